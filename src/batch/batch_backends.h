#pragma once

#include <string>

#include "batch/batch_engine.h"

namespace z39 {

// The real back ends for batch workers: the shared catalogue over its own sockets, the
// Z39.50 client with its own working files in `workFolder` (one subfolder per worker,
// made here) and without the settle waits, and the web OPAC. Messages a back end would
// show go nowhere: a batch reports per row.
BatchBackendsFactory RealBatchBackends(std::string workFolder);

}  // namespace z39
