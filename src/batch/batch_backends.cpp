#include "batch/batch_backends.h"

#include "backends/backend_set.h"
#include "common/file_util.h"
#include "common/paths.h"

namespace z39 {

BatchBackendsFactory RealBatchBackends(std::string workFolder) {
    return [workFolder](int worker, TargetMemory& memory) -> std::unique_ptr<BackendRegistry> {
        const std::string folder = JoinPath(workFolder, "worker" + std::to_string(worker));
        if (!MakeDirectories(folder)) return nullptr;
        return BuildOwnBackends(folder, memory);
    };
}

}  // namespace z39
