#pragma once

#include <map>
#include <string>
#include <vector>

#include "targets/target_table.h"

namespace z39 {

// What a target is searched through.
enum class TargetKind {
    kNone,             // no database chosen
    kSharedCatalogue,  // the maker's shared cataloguing database (framed TCP or HTTP)
    kZ39,              // a Z39.50 server, through the external client
    kWebOpac,          // the national library's web OPAC, by ISBN
    kSru,              // a server answering SRU (Search/Retrieve via URL) over HTTP(S)
};

// The options of a Z39.50 target.
struct Z39Options {
    std::string charset;  // the server's character set; empty: automatic
    std::string syntax;   // the record syntax to ask for; empty: automatic
};

// The options of an SRU target.
struct SruOptions {
    // The server's own CQL index names by the field they search ("title", "isbn", "issn",
    // "author", "publisher", "date"); a field not named uses the usual index.
    std::map<std::string, std::string> indexes;
};

// One target as a back end needs it: its kind, its address fields, and the options of its
// kind (filled for that kind only; the list file keeps them on the entry).
struct TargetProfile {
    TargetKind kind = TargetKind::kNone;
    int slot = 0;       // the tree position it was chosen at (0: none)
    TargetEntry entry;  // address, port, database, authentication
    Z39Options z39;
    SruOptions sru;
};

// The web OPAC's domain label: an entry whose address holds it and whose database is
// "opac" is searched through the web OPAC.
inline constexpr const char* kWebOpacDomainLabel = "nlc";

// True when an address names an SRU server: it begins with "http://" or "https://" (case
// ignored) and a host follows.
bool IsSruAddress(const std::string& address);

// The one place that tells a target's kind from the list as it stands: slot 1 is the
// shared catalogue, an entry whose address holds "nlc" and whose database is "opac" (case
// ignored) the web OPAC, an entry with an SRU address an SRU server, any other a Z39.50
// server; slot 0 is none.
TargetKind KindOf(int slot, const TargetEntry& entry);

TargetProfile ProfileOf(int slot, const TargetEntry& entry);

// An entry of the list file as a back end needs it, wherever it stands in the tree (the
// target editor's fields): never the shared catalogue.
TargetProfile ProfileOfListEntry(const TargetEntry& entry);

// Why a target cannot be searched before anything is sent (GBK): the shared catalogue's
// address (KSIP) or a server's address is not set, and where to set it. Empty when the
// target has an address (the web OPAC always has one).
std::string MissingAddressMessage(const TargetProfile& target);

// A field combo box: its selected position (-1: none) and the text it shows.
struct ComboState {
    int index = -1;
    std::string text;
};

// The combo after its list was rebuilt with `fields` names (the kind's: "题名", "ISBN", ...):
// the text stays, except that a selection beyond the new list becomes "ISBN" (the shared
// catalogue offers two). Afterwards no position is selected, so a kept text survives later
// rebuilds unchanged.
ComboState RebuildFieldCombo(const ComboState& before, size_t fields);

}  // namespace z39
