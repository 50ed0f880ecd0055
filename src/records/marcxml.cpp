#include "records/marcxml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <vector>

#include "common/gbk_text.h"
#include "records/iso2709.h"
#include "records/marc_charset.h"

namespace z39 {
namespace {

constexpr const char* kMarcXmlNamespace = "http://www.loc.gov/MARC21/slim";

void Quietly(void*, const char*, ...) {}
void QuietlyStructured(void*, xmlErrorPtr) {}

// libxml2 is set up once, before any thread parses. What it would print of a broken
// document goes nowhere: the caller says what failed. (Its error handlers belong to the
// thread, so each parsing thread sets its own.)
void InitXmlOnce() {
    static const bool done = [] {
        xmlInitParser();
        return true;
    }();
    (void)done;
    thread_local const bool quiet = [] {
        xmlSetGenericErrorFunc(nullptr, Quietly);
        xmlSetStructuredErrorFunc(nullptr, QuietlyStructured);
        return true;
    }();
    (void)quiet;
}

}  // namespace

void XmlDocCloser::operator()(_xmlDoc* doc) const { xmlFreeDoc(doc); }

XmlDocument ParseXml(std::string_view text) {
    InitXmlOnce();
    if (text.size() > static_cast<size_t>(INT_MAX)) return nullptr;
    XmlDocument doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc || doc->intSubset || doc->extSubset || !xmlDocGetRootElement(doc.get()))
        return nullptr;
    return doc;
}

std::string_view LocalName(const _xmlNode* node) {
    if (!node || node->type != XML_ELEMENT_NODE || !node->name) return {};
    return reinterpret_cast<const char*>(node->name);
}

const _xmlNode* ChildElement(const _xmlNode* node, std::string_view name) {
    if (!node) return nullptr;
    for (const xmlNode* c = node->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE && (name.empty() || LocalName(c) == name)) return c;
    }
    return nullptr;
}

std::string TextOf(const _xmlNode* node) {
    if (!node) return {};
    std::unique_ptr<xmlChar, decltype(xmlFree)> text(xmlNodeGetContent(node), xmlFree);
    return text ? std::string(reinterpret_cast<const char*>(text.get())) : std::string();
}

bool IsMarcXmlRecord(const _xmlNode* node) {
    if (LocalName(node) != "record") return false;
    return !node->ns || !node->ns->href ||
           std::string_view(reinterpret_cast<const char*>(node->ns->href)) == kMarcXmlNamespace;
}

namespace {

std::string AttributeOf(const xmlNode* node, const char* name) {
    std::unique_ptr<xmlChar, decltype(xmlFree)> value(
        xmlGetProp(node, reinterpret_cast<const xmlChar*>(name)), xmlFree);
    return value ? std::string(reinterpret_cast<const char*>(value.get())) : std::string();
}

// One indicator: a single printable ASCII character, a blank when the attribute is
// missing or empty.
std::optional<char> Indicator(const xmlNode* field, const char* name) {
    const std::string value = AttributeOf(field, name);
    if (value.empty()) return ' ';
    if (value.size() != 1 || value[0] < 0x20 || value[0] >= 0x7F) return std::nullopt;
    return value[0];
}

}  // namespace

std::optional<std::string> MarcXmlToGbk(const _xmlNode* record, int* references, std::string* why) {
    auto refuse = [&](std::string reason) -> std::optional<std::string> {
        if (why) *why = std::move(reason);
        return std::nullopt;
    };
    if (!IsMarcXmlRecord(record)) return refuse(G("不是MARCXML记录"));
    std::string leader = "00000nam  2200000   4500";
    std::vector<MarcField> fields;
    int count = 0;
    for (const xmlNode* n = record->children; n; n = n->next) {
        const std::string_view name = LocalName(n);
        if (name == "leader") {
            // Only the leader's fixed positions are kept; lengths are the GBK record's.
            std::string text = TextOf(n);
            text.resize(24, ' ');
            for (char& c : text)
                if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
                    c = ' ';
            leader = text;
        } else if (name == "controlfield") {
            const std::string tag = AttributeOf(n, "tag");
            fields.push_back({tag, Utf8FieldToGbk(TextOf(n), &count)});
        } else if (name == "datafield") {
            const std::string tag = AttributeOf(n, "tag");
            const auto ind1 = Indicator(n, "ind1"), ind2 = Indicator(n, "ind2");
            if (!ind1 || !ind2) return refuse(G("字段") + tag + G("的指示符不是一个ASCII字符"));
            std::string utf8{*ind1, *ind2};
            for (const xmlNode* sf = n->children; sf; sf = sf->next) {
                if (LocalName(sf) != "subfield") continue;
                const std::string code = AttributeOf(sf, "code");
                if (code.size() != 1 || code[0] <= 0x20 || code[0] >= 0x7F)
                    return refuse(G("字段") + tag + G("的子字段代码无效"));
                utf8 += '\x1F' + code + TextOf(sf);
            }
            fields.push_back({tag, Utf8FieldToGbk(utf8, &count)});
        }
    }
    if (fields.empty()) return refuse(G("记录没有字段"));
    for (const MarcField& f : fields) {
        bool printable = f.tag.size() == 3;
        for (char c : f.tag) printable = printable && c >= 0x20 && c < 0x7F;
        if (!printable) return refuse(G("字段标识符[") + Utf8ToGbk(f.tag) + G("]无效"));
    }
    // Leader/09 "a" says UCS; the GBK record says nothing of the kind.
    if (leader[9] == 'a') leader[9] = ' ';
    std::optional<std::string> built = BuildIso2709(leader, fields);
    if (!built) {
        size_t bytes = 24 + 1 + 1;
        for (const auto& f : fields) bytes += 12 + f.data.size() + 1;
        return refuse(TooLargeReason(bytes));
    }
    if (!IsWellFormedIso2709(*built)) return refuse(G("记录结构不完整（ISO 2709）"));
    if (references) *references += count;
    return built;
}

std::optional<std::string> MarcXmlToGbk(std::string_view xml, int* references, std::string* why) {
    XmlDocument doc = ParseXml(xml);
    if (!doc) {
        if (why) *why = G("不是完整的XML");
        return std::nullopt;
    }
    return MarcXmlToGbk(xmlDocGetRootElement(doc.get()), references, why);
}

}  // namespace z39
