#include "records/marc_charset.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/utf8.h>
#include <yaz/yaz-iconv.h>

#include <memory>
#include <vector>

#include "common/gbk_text.h"
#include "records/iso2709.h"
#include "records/marc_record.h"

namespace z39 {
namespace {

struct IconvCloser {
    void operator()(yaz_iconv_t cd) const { yaz_iconv_close(cd); }
};
using YazIconv = std::unique_ptr<std::remove_pointer_t<yaz_iconv_t>, IconvCloser>;

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

bool IsDataTag(std::string_view tag) { return tag.substr(0, 2) != "00"; }

// The text of a field without its terminator.
std::string_view Body(const MarcField& field) {
    std::string_view d = field.data;
    if (!d.empty() && d.back() == '\x1E') d.remove_suffix(1);
    return d;
}

// The subfield texts of a field's data (after the indicators), codes left out; a control
// field is one text.
std::vector<std::string_view> Texts(const MarcField& field) {
    std::string_view body = Body(field);
    if (!IsDataTag(field.tag)) return {body};
    std::vector<std::string_view> out;
    body.remove_prefix(std::min<size_t>(2, body.size()));
    size_t pos = 0;
    while (pos <= body.size()) {
        size_t next = body.find('\x1F', pos);
        if (next == std::string_view::npos) next = body.size();
        std::string_view part = body.substr(pos, next - pos);
        if (pos > 0 && !part.empty()) part.remove_prefix(1);  // the subfield code
        out.push_back(part);
        pos = next + 1;
    }
    return out;
}

// How many characters MARC-8 bytes stand for, escape sequences aside: one per byte of a
// one-byte set, one per three bytes of the CJK set (EACC), one per control. A conversion
// giving fewer code points has dropped something.
size_t Marc8Characters(std::string_view bytes) {
    size_t count = 0, pos = 0;
    bool multiByteG0 = false;
    while (pos < bytes.size()) {
        const unsigned char c = static_cast<unsigned char>(bytes[pos]);
        if (c == 0x1B) {
            // ESC ( F, ESC , F, ESC $ F, ESC $ , F, ESC ) F, ESC - F, ESC $ ) F, ESC $ - F,
            // or the one-byte technique ESC g / b / p / s.
            size_t end = pos + 1;
            bool multi = false, g0 = false;
            if (end < bytes.size() && bytes[end] == '$') {
                multi = true;
                ++end;
            }
            if (end < bytes.size() && (bytes[end] == '(' || bytes[end] == ',')) {
                g0 = true;
                ++end;
            } else if (end < bytes.size() && (bytes[end] == ')' || bytes[end] == '-')) {
                ++end;
            } else if (multi) {
                g0 = true;  // ESC $ F designates G0
            }
            if (end < bytes.size()) ++end;  // the final character
            if (g0 || (!multi && pos + 1 < bytes.size() &&
                       std::string_view("gbps").find(bytes[pos + 1]) != std::string_view::npos))
                multiByteG0 = multi;
            pos = end;
            continue;
        }
        if (multiByteG0 && c >= 0x21 && c <= 0x7E) {
            ++count;
            pos += 3;
            continue;
        }
        ++count;
        ++pos;
    }
    return count;
}

size_t CodePoints(std::string_view utf8) {
    size_t n = 0;
    for (char c : utf8)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

// One field's bytes (after its indicators) through YAZ's decoder for `from`; nothing when
// YAZ reports an error or, for MARC-8, gives fewer characters than the bytes hold.
std::optional<std::string> DecodeWithYaz(std::string_view bytes, RecordCharset from) {
    YazIconv cd(yaz_iconv_open("UTF-8", IconvName(from)));
    if (!cd) return std::nullopt;
    std::string in(bytes), out;
    char* src = in.data();
    size_t srcLeft = in.size();
    char buffer[4096];
    while (true) {
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        const size_t rc = srcLeft > 0 ? yaz_iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft)
                                      : yaz_iconv(cd.get(), nullptr, nullptr, &dst, &dstLeft);
        out.append(buffer, static_cast<size_t>(dst - buffer));
        if (rc == static_cast<size_t>(-1)) {
            if (yaz_iconv_error(cd.get()) == YAZ_ICONV_E2BIG) continue;
            return std::nullopt;
        }
        if (srcLeft == 0 && rc != static_cast<size_t>(-1)) {
            // Flush what the decoder holds back (a combining mark waiting for its letter).
            dst = buffer;
            dstLeft = sizeof buffer;
            if (yaz_iconv(cd.get(), nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1))
                return std::nullopt;
            out.append(buffer, static_cast<size_t>(dst - buffer));
            break;
        }
    }
    if (from == RecordCharset::kMarc8 && CodePoints(out) != Marc8Characters(bytes))
        return std::nullopt;
    if (!IsValidUtf8(out)) return std::nullopt;
    return out;
}

bool PrintableTag(std::string_view tag) {
    if (tag.size() != 3) return false;
    for (char c : tag)
        if (c < 0x20 || c >= 0x7F) return false;
    return true;
}

bool IndicatorsUsable(const MarcField& field) {
    if (!IsDataTag(field.tag)) return true;
    std::string_view body = Body(field);
    if (body.size() < 2) return false;
    for (size_t i = 0; i < 2; ++i) {
        const unsigned char c = static_cast<unsigned char>(body[i]);
        if (c < 0x20 || c >= 0x7F) return false;
    }
    return true;
}

// Each field of `record` decoded into UTF-8 (indicators as they are); nothing when one
// field does not decode whole. `failedTag` names the first that did not.
std::optional<std::vector<MarcField>> DecodeFields(const MarcFields& read, RecordCharset from,
                                                   std::string* failedTag) {
    std::vector<MarcField> out;
    for (const MarcField& field : read.fields) {
        std::string_view body = Body(field);
        const size_t head = IsDataTag(field.tag) ? std::min<size_t>(2, body.size()) : 0;
        MarcField decoded{field.tag, std::string(body.substr(0, head))};
        std::string_view text = body.substr(head);
        if (from == RecordCharset::kUtf8) {
            if (!IsValidUtf8(text)) {
                if (failedTag) *failedTag = field.tag;
                return std::nullopt;
            }
            decoded.data += text;
        } else if (!HasNonAscii(text) && text.find('\x1B') == std::string_view::npos) {
            decoded.data += text;
        } else {
            std::optional<std::string> utf8 = DecodeWithYaz(text, from);
            if (!utf8) {
                if (failedTag) *failedTag = field.tag;
                return std::nullopt;
            }
            decoded.data += *utf8;
        }
        out.push_back(std::move(decoded));
    }
    return out;
}

std::string Composed(std::string_view utf8) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return std::string(utf8);
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    if (nfc->isNormalized(text, status) && U_SUCCESS(status)) return std::string(utf8);
    status = U_ZERO_ERROR;
    icu::UnicodeString composed = nfc->normalize(text, status);
    if (U_FAILURE(status)) return std::string(utf8);
    std::string out;
    composed.toUTF8String(out);
    return out;
}

// --- Plausibility of a UTF-8 reading ------------------------------------------------------

bool EastAsian(UScriptCode s) {
    return s == USCRIPT_HAN || s == USCRIPT_HIRAGANA || s == USCRIPT_KATAKANA ||
           s == USCRIPT_HANGUL || s == USCRIPT_BOPOMOFO;
}

bool Letter(UChar32 c) {
    const int8_t t = u_charType(c);
    return u_isalpha(c) || t == U_NON_SPACING_MARK || t == U_COMBINING_SPACING_MARK ||
           t == U_ENCLOSING_MARK;
}

// A code point beyond ASCII that no catalogue text holds on its own: unassigned, private,
// a C1 control, IPA and spacing modifiers (the romanisation primes aside), archaic Greek
// and Cyrillic letters.
bool OddCodePoint(UChar32 c) {
    const int8_t t = u_charType(c);
    if (t == U_UNASSIGNED || t == U_PRIVATE_USE_CHAR || t == U_CONTROL_CHAR || t == U_SURROGATE)
        return true;
    if (c >= 0x0250 && c <= 0x02FF) return !(c >= 0x02B9 && c <= 0x02BC);
    if ((c >= 0x0370 && c <= 0x0385) || (c >= 0x03CF && c <= 0x03FF)) return true;
    if (c >= 0x0460 && c <= 0x048F) return true;
    return false;
}

// True when the characters beyond ASCII of one UTF-8 text are ones a catalogue holds.
bool PlausibleText(std::string_view utf8) {
    std::vector<UChar32> cps;
    for (int32_t i = 0; i < static_cast<int32_t>(utf8.size());) {
        UChar32 c;
        U8_NEXT(reinterpret_cast<const uint8_t*>(utf8.data()), i, static_cast<int32_t>(utf8.size()),
                c);
        if (c < 0) return false;
        cps.push_back(c);
    }
    // Words: letters and marks. A word's letters beyond Latin and East Asian are of one
    // script and not mixed with Latin; a word of one such letter ("и", "в") stands only
    // beside longer words of its script.
    struct Word {
        UScriptCode script;
        size_t letters;
    };
    std::vector<Word> words;
    for (size_t i = 0; i < cps.size();) {
        if (!Letter(cps[i])) {
            if (cps[i] >= 0x80 && OddCodePoint(cps[i])) return false;
            ++i;
            continue;
        }
        size_t end = i;
        UScriptCode script = USCRIPT_COMMON;
        bool latinSeen = false, afterLetter = false;
        size_t letters = 0;
        for (; end < cps.size() && Letter(cps[end]); ++end) {
            const UChar32 c = cps[end];
            if (c >= 0x80 && OddCodePoint(c)) return false;
            UErrorCode status = U_ZERO_ERROR;
            const UScriptCode s = uscript_getScript(c, &status);
            if (s == USCRIPT_INHERITED) {
                if (!afterLetter) return false;  // a combining mark follows a letter
                continue;
            }
            ++letters;
            afterLetter = true;
            if (s == USCRIPT_LATIN) {
                latinSeen = true;
            } else if (!EastAsian(s) && s != USCRIPT_COMMON) {
                if (script != USCRIPT_COMMON && script != s) return false;
                script = s;
            }
        }
        if (script != USCRIPT_COMMON) {
            if (latinSeen) return false;
            words.push_back({script, letters});
        }
        i = end;
    }
    for (const Word& w : words) {
        if (w.letters >= 2) continue;
        bool company = false;
        for (const Word& other : words)
            if (other.script == w.script && other.letters >= 2) company = true;
        if (!company) return false;
    }
    return true;
}

// True when every field of a UTF-8 record reads as catalogue text.
bool PlausibleUtf8(const MarcFields& read) {
    for (const MarcField& field : read.fields)
        for (std::string_view text : Texts(field))
            if (HasNonAscii(text) && !PlausibleText(text)) return false;
    return true;
}

// Of the double-byte characters of a GBK reading, how many are in GB2312's rows (the
// common characters and symbols), and how many there are.
std::pair<size_t, size_t> Gb2312Share(std::string_view gbk) {
    size_t common = 0, all = 0;
    for (size_t i = 0; i < gbk.size(); ++i) {
        const unsigned char lead = static_cast<unsigned char>(gbk[i]);
        if (!IsGbkLead(lead) || i + 1 >= gbk.size()) continue;
        const unsigned char trail = static_cast<unsigned char>(gbk[i + 1]);
        ++all;
        if (lead >= 0xA1 && lead <= 0xF7 && trail >= 0xA1 && trail <= 0xFE) ++common;
        ++i;
    }
    return {common, all};
}

bool LosslessMarc8(const MarcFields& read) {
    return DecodeFields(read, RecordCharset::kMarc8, nullptr).has_value();
}

bool HasEscape(std::string_view record) { return record.find('\x1B') != std::string_view::npos; }

// An escape that designates a MARC-8 set (ESC followed by "(", ",", "$", ")", "-", or one of
// the one-byte techniques "g", "b", "p", "s"), not a stray ESC byte in other text.
bool HasMarc8Escape(std::string_view record) {
    for (size_t at = record.find('\x1B'); at != std::string_view::npos && at + 1 < record.size();
         at = record.find('\x1B', at + 1))
        if (std::string_view("(,$)-gbps").find(record[at + 1]) != std::string_view::npos)
            return true;
    return false;
}

// Whether the record reads whole in `charset`.
bool ReadsIn(std::string_view record, const MarcFields& read, RecordCharset charset) {
    switch (charset) {
        case RecordCharset::kGbk:
            // A MARC-8 record's escapes and CJK are ASCII bytes: valid GBK, but not GBK.
            return IsValidGbk(record) && !HasMarc8Escape(record);
        case RecordCharset::kUtf8:
            return IsValidUtf8(record);
        case RecordCharset::kMarc8:
        case RecordCharset::kBig5:
            return DecodeFields(read, charset, nullptr).has_value();
    }
    return false;
}

// Fields that are plainly UTF-8 (well-formed, beyond ASCII, plausible, and not plain GBK)
// beside fields that are no UTF-8 at all.
bool MixesUtf8AndGbk(const MarcFields& read) {
    bool utf8 = false, other = false;
    for (const MarcField& field : read.fields) {
        std::string_view body = Body(field);
        if (!HasNonAscii(body)) continue;
        if (!IsValidUtf8(body)) {
            other = true;
            continue;
        }
        bool plausible = true;
        for (std::string_view text : Texts(field))
            if (HasNonAscii(text) && !PlausibleText(text)) plausible = false;
        const auto [common, all] = Gb2312Share(body);
        if (plausible && (!IsValidGbk(body) || common < all)) utf8 = true;
    }
    return utf8 && other;
}

}  // namespace

std::string ReferencesNotice(int records) {
    if (records == 0) return {};
    return G("有[") + std::to_string(records) +
           G("]条记录含有GBK字符集没有的字符，这些字符已写成&#x....;的形式保存。");
}

std::string TooLargeReason(size_t bytes) {
    return G("记录转换为GBK后有") + std::to_string(bytes) +
           G("字节，超出ISO 2709的限度（记录99999字节，字段9999字节）");
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

std::optional<RecordCharset> DecideRecordCharset(std::string_view record,
                                                 std::optional<RecordCharset> known,
                                                 std::string* why) {
    const MarcFields read = ReadFields(record);
    if (known && ReadsIn(record, read, *known)) return known;
    if (!HasNonAscii(record) && !HasEscape(record)) return RecordCharset::kGbk;
    if (HasMarc8Escape(record)) {
        if (LosslessMarc8(read)) return RecordCharset::kMarc8;
        if (why) *why = G("记录中的MARC-8转义序列不完整，转换会丢失文字");
        return std::nullopt;
    }
    const bool utf8 = IsValidUtf8(record);
    if (utf8 && PlausibleUtf8(read)) return RecordCharset::kUtf8;
    if (MixesUtf8AndGbk(read)) {
        if (why) *why = G("记录中既有UTF-8字段又有GBK字段，无法确定字符集");
        return std::nullopt;
    }
    if (IsValidGbk(record)) {
        const auto [common, all] = Gb2312Share(record);
        const bool marc21 = record.size() > 9 && record[9] == ' ' && IsMarc21(record);
        if (marc21 && common * 2 < all && LosslessMarc8(read)) return RecordCharset::kMarc8;
        return RecordCharset::kGbk;
    }
    if (utf8) return RecordCharset::kUtf8;
    if (why) *why = G("记录中有既不是GBK、也不是UTF-8或MARC-8的字节，无法确定字符集");
    return std::nullopt;
}

RecordCharset DetectRecordCharset(std::string_view record) {
    return DecideRecordCharset(record).value_or(RecordCharset::kGbk);
}

std::string Utf8FieldToGbk(std::string_view utf8, int* references) {
    return Utf8ToGbkKeepingAll(Composed(utf8), references);
}

std::optional<std::string> RecordToGbk(std::string_view record, RecordCharset from, int* references,
                                       std::string* why) {
    if (from == RecordCharset::kGbk) return std::string(record);
    auto refuse = [&](std::string reason) -> std::optional<std::string> {
        if (why) *why = std::move(reason);
        return std::nullopt;
    };
    // YAZ's decoders and our reader see only a well-formed record.
    if (!IsWellFormedIso2709(record)) return refuse(G("记录结构不完整（ISO 2709）"));
    const MarcFields read = ReadFields(record);
    if (!read.ok) return refuse(G("记录结构不完整（ISO 2709）"));
    for (const MarcField& field : read.fields)
        if (!PrintableTag(field.tag)) return refuse(G("记录中有无效的字段标识符"));
    for (const MarcField& field : read.fields)
        if (!IndicatorsUsable(field))
            return refuse(G("字段") + field.tag + G("的指示符是NUL或非ASCII字符"));
    std::string failedTag;
    std::optional<std::vector<MarcField>> decoded = DecodeFields(read, from, &failedTag);
    if (!decoded)
        return refuse(G("字段") + failedTag + G("不能从") + CharsetName(from) +
                      G("完整转换（会丢失文字）"));
    int count = 0;
    for (auto& field : *decoded) field.data = Utf8FieldToGbk(field.data, &count) + '\x1E';
    // A leader is ASCII by definition; a stray byte there is junk, not text to convert
    // (a reference would shift every position after it).
    std::string leader(record.substr(0, 24));
    for (char& c : leader)
        if (static_cast<unsigned char>(c) >= 0x80 || static_cast<unsigned char>(c) < 0x20) c = ' ';
    // Leader/09 "a" says UCS; in GBK it says nothing (MARC21's MARC-8 value, CNMARC's
    // undefined position).
    if (leader[9] == 'a') leader[9] = ' ';
    auto built = BuildIso2709(leader, *decoded);
    if (!built) {
        size_t bytes = 24 + 1 + 1;
        for (const auto& f : *decoded) bytes += 12 + f.data.size();
        return refuse(TooLargeReason(bytes));
    }
    if (!IsWellFormedIso2709(*built)) return refuse(G("记录结构不完整（ISO 2709）"));
    if (references) *references += count;
    return built;
}

std::optional<std::string> ConvertRecordToGbk(std::string_view record,
                                              std::optional<RecordCharset> known, int* references,
                                              std::string* why, RecordCharset* decided) {
    std::optional<RecordCharset> from = DecideRecordCharset(record, known, why);
    if (!from) return std::nullopt;
    if (decided) *decided = *from;
    return RecordToGbk(record, *from, references, why);
}

}  // namespace z39
