#include "record_import.h"

#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utrans.h>

#include <mutex>
#include <unordered_map>

#include "common/gbk_text.h"
#include "records/iso2709.h"
#include "records/marc_record.h"

namespace ks {

std::vector<RawRecord> SplitIsoRecords(std::string_view file) {
    std::vector<RawRecord> out;
    size_t pos = 0;
    while (pos < file.size()) {
        while (pos < file.size() && (file[pos] == '\r' || file[pos] == '\n')) ++pos;
        if (pos >= file.size()) break;
        size_t end = file.find('\x1D', pos);
        size_t next = end == std::string_view::npos ? file.size() : end + 1;
        out.push_back({pos, std::string(file.substr(pos, next - pos))});
        pos = next;
    }
    return out;
}

RecordKeys ExtractKeys(const std::string& record) {
    RecordKeys keys;
    if (record.size() < 25) {
        keys.error = "shorter than a leader";
        return keys;
    }
    auto length = z39::ToNumber(record.substr(0, 5));
    if (!length || static_cast<size_t>(*length) != record.size()) {
        keys.error = "record length in the leader does not match";
        return keys;
    }
    if (!z39::IsWellFormedIso2709(record)) {
        keys.error = "not a well-formed ISO 2709 record (base address, directory or terminators)";
        return keys;
    }
    // The protocol frames records with these words: a record holding one cannot be sent.
    for (const char* word : {"REC_BEGIN", "REC_END", "BAG_BEGIN", "BAG_END"}) {
        if (record.find(word) != std::string::npos) {
            keys.error = std::string("holds ") + word + ", which the protocol cannot frame";
            return keys;
        }
    }
    z39::MarcFields read = z39::ReadFields(record);
    if (!read.ok || read.fields.empty()) {
        keys.error = "directory cannot be read";
        return keys;
    }
    const z39::MarcField* f010 = nullptr;
    const z39::MarcField* f200 = nullptr;
    for (const auto& f : read.fields) {
        if (f.tag == "010" && !f010) f010 = &f;
        if (f.tag == "200" && !f200) f200 = &f;
    }
    if (!f200) {
        keys.error = "no field 200";
        return keys;
    }
    keys.name = z39::Trim(z39::Subfield(f200->data, 'a'));
    keys.namepy = PinyinInitials(keys.name);
    if (f010) keys.isbn = z39::NormaliseIsbn(z39::Subfield(f010->data, 'a'));
    keys.ok = true;
    return keys;
}

namespace {

// Han-Latin transliteration, one character at a time, remembered per code point.
class PinyinTable {
  public:
    char Initial(UChar32 c) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto hit = cache_.find(c);
        if (hit != cache_.end()) return hit->second;
        char initial = Transliterate(c);
        cache_.emplace(c, initial);
        return initial;
    }

  private:
    char Transliterate(UChar32 c) {
        if (!trans_) {
            UErrorCode status = U_ZERO_ERROR;
            const UChar* id = u"Han-Latin; Latin-ASCII";
            trans_ = utrans_openU(id, -1, UTRANS_FORWARD, nullptr, 0, nullptr, &status);
            if (U_FAILURE(status)) trans_ = nullptr;
            if (!trans_) return 0;
        }
        UChar buffer[64];
        int32_t length = 0;
        U16_APPEND_UNSAFE(buffer, length, c);
        int32_t limit = length;
        UErrorCode status = U_ZERO_ERROR;
        utrans_transUChars(trans_, buffer, &length, 64, 0, &limit, &status);
        if (U_FAILURE(status)) return 0;
        for (int32_t i = 0; i < length; ++i) {
            UChar u = buffer[i];
            if (u >= 'a' && u <= 'z') return static_cast<char>(u - 'a' + 'A');
            if (u >= 'A' && u <= 'Z') return static_cast<char>(u);
        }
        return 0;
    }

    std::mutex mutex_;
    std::unordered_map<UChar32, char> cache_;
    UTransliterator* trans_ = nullptr;

  public:
    PinyinTable() = default;
    PinyinTable(const PinyinTable&) = delete;
    PinyinTable& operator=(const PinyinTable&) = delete;
    ~PinyinTable() {
        if (trans_) utrans_close(trans_);
    }
};

PinyinTable& Table() {
    static PinyinTable table;
    return table;
}

}  // namespace

std::string PinyinInitials(std::string_view gbk) {
    std::string utf8 = z39::GbkToUtf8(gbk);
    std::string out;
    size_t i = 0;
    while (i < utf8.size()) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            if (c >= 'a' && c <= 'z')
                out += static_cast<char>(c - 'a' + 'A');
            else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        // Decode one UTF-8 character (GbkToUtf8 gives well-formed text).
        int len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        UChar32 cp = c & (0xFF >> (len + 1));
        for (int k = 1; k < len && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
        i += len;
        bool han = (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
                   (cp >= 0xF900 && cp <= 0xFAFF);
        if (!han) continue;
        if (char initial = Table().Initial(cp)) out += initial;
    }
    return out;
}

}  // namespace ks
