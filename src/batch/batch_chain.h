#pragma once

#include <vector>

#include "targets/target_names.h"
#include "targets/target_table.h"

namespace z39 {

// The chain a batch starts with: the shared catalogue, then the current target when it is
// another one.
std::vector<ChainTarget> DefaultChain(const TargetList& list);

}  // namespace z39
