#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct _xmlDoc;
struct _xmlNode;

namespace z39 {

// An XML document owned: freed with it.
struct XmlDocCloser {
    void operator()(_xmlDoc* doc) const;
};
using XmlDocument = std::unique_ptr<_xmlDoc, XmlDocCloser>;

// The document `text` holds, read by libxml2 without the network, without substituting
// entities and without printing; nothing when it is not well-formed XML or brings a
// document type declaration (which no answer we read has, and which could make a small
// answer expand into a huge one).
XmlDocument ParseXml(std::string_view text);

// The local name of an element (without its prefix), or empty for any other node.
std::string_view LocalName(const _xmlNode* node);

// The first element child of `node` with local name `name` (any name when empty), or null.
const _xmlNode* ChildElement(const _xmlNode* node, std::string_view name = {});

// The text of a node and all beneath it (UTF-8).
std::string TextOf(const _xmlNode* node);

// True for a MARCXML record element: "record" in the MARC21 slim namespace, or in none.
bool IsMarcXmlRecord(const _xmlNode* node);

// A MARCXML record as a GBK ISO 2709 record, field by field: each field's text (UTF-8, as
// XML holds it) composed and converted to GBK, a character GBK lacks written as "&#xXXXX;"
// and counted in `references`; the lengths and directory are those of the GBK record, and
// its limits (99,999 bytes, 9,999 a field) apply to it. Nothing is cut: a record that does
// not fit, an indicator that is not one printable ASCII character, or an element that is
// no MARCXML record is refused with the reason (GBK) in `why`.
std::optional<std::string> MarcXmlToGbk(const _xmlNode* record, int* references = nullptr,
                                        std::string* why = nullptr);

// The same for a document whose root element is the record.
std::optional<std::string> MarcXmlToGbk(std::string_view xml, int* references = nullptr,
                                        std::string* why = nullptr);

}  // namespace z39
