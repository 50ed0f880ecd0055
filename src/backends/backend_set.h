#pragma once

#include <memory>
#include <string>

#include "backends/search_backend.h"
#include "backends/target_memory.h"

namespace z39 {

// One back end of every kind of the table over clients of its own (sockets, curl, a
// process runner that shows nothing), with the external client's working files in `folder`
// and the run's target memory. For fetches that run at the same time as others: a batch
// worker, one database of a search over several. Messages a back end would show go
// nowhere; what happened is in its pages.
std::unique_ptr<BackendRegistry> BuildOwnBackends(const std::string& folder, TargetMemory& memory);

}  // namespace z39
