#pragma once

#include <optional>
#include <string>
#include <vector>

#include "batch/batch_engine.h"
#include "targets/target_table.h"

namespace z39 {

// The name the tree shows for a slot's database; `withServer` puts the server first
// ("server/database"), as needed where two servers have a database of the same name.
std::string ChainName(const TargetEntry& entry, bool withServer);

// The chain a list of names (GBK) makes in the target list: each a database as the tree
// shows it ("ks_lib" is the shared catalogue) or "server/database". Nothing, with
// `error` saying which name, when a name matches no target or several.
std::optional<std::vector<ChainTarget>> ResolveChain(const TargetList& list,
                                                     const std::vector<std::string>& names,
                                                     std::string* error);

// The chain a batch starts with: the shared catalogue, then the current target when it is
// another one.
std::vector<ChainTarget> DefaultChain(const TargetList& list);

// The chain target of a slot.
ChainTarget ChainTargetOf(const TargetList& list, int slot);

}  // namespace z39
