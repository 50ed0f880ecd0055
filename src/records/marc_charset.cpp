#include "records/marc_charset.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <yaz/marcdisp.h>
#include <yaz/yaz-iconv.h>

#include <memory>
#include <vector>

#include "common/gbk_text.h"
#include "records/iso2709.h"
#include "records/marc_record.h"

namespace z39 {
namespace {

struct MarcCloser {
    void operator()(yaz_marc_t mt) const { yaz_marc_destroy(mt); }
};
struct IconvCloser {
    void operator()(yaz_iconv_t cd) const { yaz_iconv_close(cd); }
};

std::string Folded(std::string_view name) {
    std::string out;
    for (char c : name) {
        if (c == '-' || c == '_' || c == ' ') continue;
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

bool HasNonAscii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

// The record as UTF-8 ISO 2709, through YAZ's reader, its character-set conversion and
// its writer (which recomputes the lengths).
std::optional<std::string> ToUtf8ThroughYaz(std::string_view record, const char* from) {
    std::unique_ptr<std::remove_pointer_t<yaz_marc_t>, MarcCloser> mt(yaz_marc_create());
    std::unique_ptr<std::remove_pointer_t<yaz_iconv_t>, IconvCloser> cd(
        yaz_iconv_open("UTF-8", from));
    if (!mt || !cd) return std::nullopt;
    yaz_marc_xml(mt.get(), YAZ_MARC_ISO2709);
    yaz_marc_iconv(mt.get(), cd.get());
    // YAZ's reader looks a few bytes past a short field (for subfields in a 00X field,
    // say); the padding keeps that inside this buffer.
    std::string padded(record);
    padded.append(64, '\0');
    const char* out = nullptr;
    size_t size = 0;
    if (yaz_marc_decode_buf(mt.get(), padded.data(), static_cast<int>(record.size()), &out,
                            &size) <= 0 ||
        !out)
        return std::nullopt;
    return std::string(out, size);
}

// MARC-8 writes a letter with a diacritic as the letter and a combining mark; GBK holds
// some such letters whole (the pinyin vowels, say), so they are composed first.
std::string Composed(const std::string& utf8) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return utf8;
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(utf8);
    icu::UnicodeString composed = nfc->normalize(text, status);
    if (U_FAILURE(status)) return utf8;
    std::string out;
    composed.toUTF8String(out);
    return out;
}

}  // namespace

std::string ReferencesNotice(int records) {
    if (records == 0) return {};
    return G("有[") + std::to_string(records) +
           G("]条记录含有GBK字符集没有的字符，这些字符已写成&#x....;的形式保存。");
}

const char* IconvName(RecordCharset charset) {
    switch (charset) {
        case RecordCharset::kUtf8:
            return "UTF-8";
        case RecordCharset::kMarc8:
            return "MARC8";
        case RecordCharset::kBig5:
            return "BIG5";
        case RecordCharset::kGbk:
            break;
    }
    return "GBK";
}

const char* CharsetName(RecordCharset charset) {
    switch (charset) {
        case RecordCharset::kUtf8:
            return "UTF-8";
        case RecordCharset::kMarc8:
            return "MARC-8";
        case RecordCharset::kBig5:
            return "Big5";
        case RecordCharset::kGbk:
            break;
    }
    return "GBK";
}

std::optional<RecordCharset> CharsetFromName(std::string_view name) {
    const std::string f = Folded(name);
    if (f == "gbk" || f == "gb2312" || f == "cp936" || f == "gb18030") return RecordCharset::kGbk;
    if (f == "utf8") return RecordCharset::kUtf8;
    if (f == "marc8") return RecordCharset::kMarc8;
    if (f == "big5") return RecordCharset::kBig5;
    return std::nullopt;
}

bool IsMarc21(std::string_view record) {
    if (record.size() >= 24 && record.substr(20, 4) == "4500") return true;
    for (const auto& f : ReadFields(record).fields)
        if (f.tag == "245") return true;
    return false;
}

RecordCharset DetectRecordCharset(std::string_view record) {
    if (!HasNonAscii(record) && record.find('\x1B') == std::string_view::npos)
        return RecordCharset::kGbk;
    if (HasNonAscii(record) && IsValidUtf8(record)) return RecordCharset::kUtf8;
    const bool blank09 = record.size() > 9 && record[9] == ' ';
    const bool escapes = record.find('\x1B') != std::string_view::npos;
    if (blank09 && (escapes || IsMarc21(record))) return RecordCharset::kMarc8;
    return RecordCharset::kGbk;
}

std::optional<std::string> RecordToGbk(std::string_view record, RecordCharset from,
                                       int* references) {
    if (from == RecordCharset::kGbk) return std::string(record);
    // YAZ's ISO 2709 reader reads past the end of a record whose directory lies (found by
    // fuzzing): only a well-formed record is converted.
    if (!IsWellFormedIso2709(record)) return std::nullopt;
    std::optional<std::string> utf8;
    if (from == RecordCharset::kUtf8) {
        utf8 = std::string(record);
    } else {
        utf8 = ToUtf8ThroughYaz(record, IconvName(from));
    }
    if (!utf8 || utf8->size() < 24) return std::nullopt;
    MarcFields read = ReadFields(*utf8);
    if (!read.ok) return std::nullopt;
    int count = 0;
    for (auto& field : read.fields) {
        if (from == RecordCharset::kMarc8) field.data = Composed(field.data);
        field.data = Utf8ToGbkKeepingAll(field.data, &count);
    }
    // A leader is ASCII by definition; a stray byte there is junk, not text to convert
    // (a reference would shift every position after it).
    std::string leader = utf8->substr(0, 24);
    for (char& c : leader)
        if (static_cast<unsigned char>(c) >= 0x80) c = ' ';
    // Leader/09 "a" says UCS; in GBK it says nothing (MARC21's MARC-8 value, CNMARC's
    // undefined position).
    if (leader[9] == 'a') leader[9] = ' ';
    auto built = BuildIso2709(leader, read.fields);
    // YAZ reads a NUL indicator as the end of the indicators and writes none: what comes
    // out is held to the same check as what went in.
    if (!built || !IsWellFormedIso2709(*built)) return std::nullopt;
    if (references) *references += count;
    return built;
}

}  // namespace z39
