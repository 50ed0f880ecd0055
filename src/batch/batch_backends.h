#pragma once

#include <string>

#include "batch/batch_engine.h"

namespace z39 {

// The real back ends for batch workers, one of each kind of the table, each worker's over
// its own clients (sockets, curl, the external client with its own working files in a
// subfolder of `workFolder` made here) and the run's target memory. Messages a back end
// would show go nowhere: a batch reports per row.
BatchBackendsFactory RealBatchBackends(std::string workFolder);

}  // namespace z39
