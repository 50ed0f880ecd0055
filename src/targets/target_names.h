#pragma once

#include <optional>
#include <string>
#include <vector>

#include "targets/target_profile.h"
#include "targets/target_table.h"

namespace z39 {

// A database with the name a user writes for it (GBK): a batch's chain, the ticked
// databases of the search window.
struct ChainTarget {
    std::string name;
    TargetProfile profile;
};

// The name the tree shows for a slot's database; `withServer` puts the server first
// ("server/database"), as needed where two servers have a database of the same name.
std::string ChainName(const TargetEntry& entry, bool withServer);

// The named database of a slot: "server/database" where another server has a database of
// that name, else the database alone ("ks_lib" for the shared catalogue).
ChainTarget ChainTargetOf(const TargetList& list, int slot);

// The slot a name (GBK) makes in the target list: a database as the tree shows it or
// "server/database". 0, with `error` saying why, when it matches no target or several.
int SlotOfName(const TargetList& list, const std::string& name, std::string* error);

// The databases a list of names makes, in order. Nothing, with `error` saying which name,
// when a name matches no target or several or is given twice, or no name is given.
std::optional<std::vector<ChainTarget>> ResolveChain(const TargetList& list,
                                                     const std::vector<std::string>& names,
                                                     std::string* error);

// A ","-joined list of names split into its trimmed, non-empty names.
std::vector<std::string> SplitNames(const std::string& joined);

}  // namespace z39
