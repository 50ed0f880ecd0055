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

// A MARCXML record as ISO 2709 through YAZ's MARCXML reader and ISO 2709 writer, which
// computes the lengths, the base address and the directory. The text stays UTF-8 as
// MARCXML holds it. Nothing when `record` is not a MARCXML record, YAZ cannot read it, or
// what it writes is not one well-formed ISO 2709 record.
std::optional<std::string> MarcXmlToIso2709(const _xmlNode* record);

// The same for a document whose root element is the record.
std::optional<std::string> MarcXmlToIso2709(std::string_view xml);

}  // namespace z39
