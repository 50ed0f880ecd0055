#include "records/daily_format.h"

#include <libxml/tree.h>
#include <yaz/marcdisp.h>
#include <yaz/wrbuf.h>
#include <yaz/yaz-iconv.h>

#include <memory>
#include <type_traits>

#include "common/gbk_text.h"
#include "records/marc_charset.h"
#include "records/marcxml.h"

namespace z39 {
namespace {

struct MarcCloser {
    void operator()(yaz_marc_t mt) const { yaz_marc_destroy(mt); }
};
using YazMarc = std::unique_ptr<std::remove_pointer_t<yaz_marc_t>, MarcCloser>;
struct WrbufCloser {
    void operator()(WRBUF w) const { wrbuf_destroy(w); }
};
using Wrbuf = std::unique_ptr<std::remove_pointer_t<WRBUF>, WrbufCloser>;
struct IconvCloser {
    void operator()(yaz_iconv_t cd) const { yaz_iconv_close(cd); }
};
using YazIconv = std::unique_ptr<std::remove_pointer_t<yaz_iconv_t>, IconvCloser>;

std::string Upper(std::string_view name) {
    std::string out;
    for (char c : name) {
        if (c == '-' || c == ' ' || c == '_') continue;
        out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

// The UTF-8 bytes of a code point.
std::string Utf8Of(unsigned long cp) {
    std::string out;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// The MARCXML text with each reference the GBK record kept for a character GBK lacks
// ("&#xXXXX;", escaped by the XML writer as "&amp;#xXXXX;") put back as the character.
// Only characters beyond ASCII that XML allows: a reference to "<" stays the text it is.
std::string ResolveReferences(const std::string& xml) {
    static const std::string kStart = "&amp;#x";
    std::string out;
    size_t from = 0;
    for (size_t at = xml.find(kStart); at != std::string::npos; at = xml.find(kStart, from)) {
        out.append(xml, from, at - from);
        size_t end = at + kStart.size();
        unsigned long cp = 0;
        for (; end < xml.size() && end - at - kStart.size() < 6; ++end) {
            const char c = xml[end];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) break;
            cp = cp * 16 + static_cast<unsigned long>(digit);
        }
        const bool allowed = cp >= 0x80 && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) &&
                             cp != 0xFFFE && cp != 0xFFFF;
        if (end > at + kStart.size() && end < xml.size() && xml[end] == ';' && allowed) {
            out += Utf8Of(cp);
            from = end + 1;
        } else {
            out.append(xml, at, kStart.size());
            from = at + kStart.size();
        }
    }
    out.append(xml, from, std::string::npos);
    return out;
}

// 100 $a positions 26-29 of a CNMARC record in MARCXML text set to "50  ": the record's
// character set is Unicode now. Left as it is when 100 $a is shorter or not plain text.
void MarkCnmarcUnicode(std::string& xml) {
    const size_t field = xml.find("<datafield tag=\"100\"");
    if (field == std::string::npos) return;
    const size_t fieldEnd = xml.find("</datafield>", field);
    static const std::string kA = "<subfield code=\"a\">";
    const size_t a = xml.find(kA, field);
    if (a == std::string::npos || a > fieldEnd) return;
    const size_t text = a + kA.size();
    const size_t textEnd = xml.find("</subfield>", text);
    if (textEnd == std::string::npos || textEnd - text < 30) return;
    for (size_t i = text; i < textEnd; ++i)
        if (static_cast<unsigned char>(xml[i]) >= 0x80 || xml[i] == '&') return;
    xml.replace(text + 26, 4, "50  ");
}

// The record as one MARCXML <record> element (UTF-8), read and converted by YAZ.
std::optional<std::string> GbkToMarcXml(std::string_view gbk, std::string* why) {
    YazMarc mt(yaz_marc_create());
    YazIconv cd(yaz_iconv_open("UTF-8", "GBK"));
    Wrbuf out(wrbuf_alloc());
    if (!mt || !cd || !out) {
        if (why) *why = G("无法建立记录转换");
        return std::nullopt;
    }
    yaz_marc_iconv(mt.get(), cd.get());
    yaz_marc_xml(mt.get(), YAZ_MARC_MARCXML);
    if (yaz_marc_read_iso2709(mt.get(), gbk.data(), static_cast<int>(gbk.size())) <= 0 ||
        yaz_marc_write_mode(mt.get(), out.get()) != 0) {
        if (why) *why = G("YAZ无法读出这条记录");
        return std::nullopt;
    }
    return ResolveReferences(std::string(wrbuf_buf(out.get()), wrbuf_len(out.get())));
}

// A MARCXML record element (UTF-8) written by YAZ in `mode`: ISO 2709 in UTF-8 (leader/09
// "a"), or MARC text.
std::optional<std::string> WriteMarcXml(const std::string& xml, int mode, std::string* why) {
    XmlDocument doc = ParseXml(xml);
    YazMarc mt(yaz_marc_create());
    Wrbuf out(wrbuf_alloc());
    if (!doc || !mt || !out || yaz_marc_read_xml(mt.get(), xmlDocGetRootElement(doc.get())) != 0) {
        if (why) *why = G("YAZ无法读出这条记录");
        return std::nullopt;
    }
    yaz_marc_modify_leader(mt.get(), 9, "a");
    yaz_marc_xml(mt.get(), mode);
    if (yaz_marc_write_mode(mt.get(), out.get()) != 0 || wrbuf_len(out.get()) == 0) {
        if (why) *why = G("转换成UTF-8后超出了ISO 2709记录的长度限制");
        return std::nullopt;
    }
    return std::string(wrbuf_buf(out.get()), wrbuf_len(out.get()));
}

}  // namespace

const char* const kMarcXmlFileHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<collection xmlns=\"http://www.loc.gov/MARC21/slim\">\r\n";
const char* const kMarcXmlFileTail = "</collection>\r\n";

std::optional<DailyFormat> DailyFormatFromName(std::string_view name) {
    const std::string upper = Upper(name);
    if (upper.empty() || upper == "GBK") return DailyFormat::kGbk;
    if (upper == "UTF8") return DailyFormat::kUtf8;
    if (upper == "MARCXML") return DailyFormat::kMarcXml;
    return std::nullopt;
}

const char* DailyFormatName(DailyFormat format) {
    switch (format) {
        case DailyFormat::kUtf8:
            return "UTF-8";
        case DailyFormat::kMarcXml:
            return "MARCXML";
        case DailyFormat::kGbk:
            break;
    }
    return "GBK";
}

const char* DailyFileSuffix(DailyFormat format) {
    return format == DailyFormat::kMarcXml ? ".xml" : ".txt";
}

std::optional<std::string> RecordForDailyFile(std::string_view gbk, DailyFormat format,
                                              std::string* why) {
    if (format == DailyFormat::kGbk) return std::string(gbk);
    std::optional<std::string> xml = GbkToMarcXml(gbk, why);
    if (!xml) return std::nullopt;
    if (format == DailyFormat::kMarcXml) {
        while (!xml->empty() && (xml->back() == '\n' || xml->back() == '\r')) xml->pop_back();
        return xml;
    }
    if (!IsMarc21(gbk)) MarkCnmarcUnicode(*xml);
    return WriteMarcXml(*xml, YAZ_MARC_ISO2709, why);
}

std::optional<std::string> RecordAsMarcText(std::string_view gbk) {
    std::optional<std::string> xml = GbkToMarcXml(gbk, nullptr);
    if (!xml) return std::nullopt;
    return WriteMarcXml(*xml, YAZ_MARC_LINE, nullptr);
}

std::optional<std::string> DailyRecordToGbk(std::string_view record, DailyFormat format) {
    switch (format) {
        case DailyFormat::kGbk:
            return std::string(record);
        case DailyFormat::kUtf8:
            return RecordToGbk(record, RecordCharset::kUtf8);
        case DailyFormat::kMarcXml:
            return MarcXmlToGbk(record);
    }
    return std::nullopt;
}

std::vector<std::string> SplitDailyFile(std::string_view text, DailyFormat format, size_t* used) {
    std::vector<std::string> out;
    size_t from = 0, end = 0;
    if (format != DailyFormat::kMarcXml) {
        while (from < text.size()) {
            const size_t stop = text.find("\x1D\r\n", from);
            if (stop == std::string_view::npos) break;
            out.emplace_back(text.substr(from, stop + 1 - from));
            from = end = stop + 3;
        }
    } else {
        static constexpr std::string_view kClose = "</record>";
        while (true) {
            size_t open = text.find("<record", from);
            while (open != std::string_view::npos && open + 7 < text.size() &&
                   text[open + 7] != '>' && text[open + 7] != ' ')
                open = text.find("<record", open + 7);
            if (open == std::string_view::npos) break;
            const size_t close = text.find(kClose, open);
            if (close == std::string_view::npos) break;
            out.emplace_back(text.substr(open, close + kClose.size() - open));
            from = end = close + kClose.size();
        }
    }
    if (used) *used = end;
    return out;
}

}  // namespace z39
