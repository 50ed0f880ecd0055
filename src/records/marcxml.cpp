#include "records/marcxml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <yaz/marcdisp.h>
#include <yaz/wrbuf.h>

#include <climits>

#include "records/iso2709.h"

namespace z39 {
namespace {

constexpr const char* kMarcXmlNamespace = "http://www.loc.gov/MARC21/slim";

struct MarcCloser {
    void operator()(yaz_marc_t mt) const { yaz_marc_destroy(mt); }
};
struct WrbufCloser {
    void operator()(WRBUF w) const { wrbuf_destroy(w); }
};

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

std::optional<std::string> MarcXmlToIso2709(const _xmlNode* record) {
    if (!IsMarcXmlRecord(record)) return std::nullopt;
    std::unique_ptr<std::remove_pointer_t<yaz_marc_t>, MarcCloser> mt(yaz_marc_create());
    std::unique_ptr<std::remove_pointer_t<WRBUF>, WrbufCloser> out(wrbuf_alloc());
    if (!mt || !out) return std::nullopt;
    // YAZ's reader takes the first element from the node it is given on: this record.
    if (yaz_marc_read_xml(mt.get(), record) != 0) return std::nullopt;
    if (yaz_marc_write_iso2709(mt.get(), out.get()) != 0) return std::nullopt;
    std::string iso(wrbuf_buf(out.get()), wrbuf_len(out.get()));
    if (!IsWellFormedIso2709(iso)) return std::nullopt;
    return iso;
}

std::optional<std::string> MarcXmlToIso2709(std::string_view xml) {
    XmlDocument doc = ParseXml(xml);
    if (!doc) return std::nullopt;
    return MarcXmlToIso2709(xmlDocGetRootElement(doc.get()));
}

}  // namespace z39
