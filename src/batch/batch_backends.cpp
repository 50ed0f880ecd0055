#include "batch/batch_backends.h"

#include <memory>

#include "backends/backend_kinds.h"
#include "backends/http_client.h"
#include "backends/process_runner.h"
#include "common/clock.h"
#include "common/file_util.h"
#include "common/paths.h"
#include "common/user_interface.h"

namespace z39 {
namespace {

// No message boxes and no cursor: the batch says what happened in its rows.
class QuietUi final : public UserInterface {
  public:
    void ShowMessage(const std::string&, const std::string&) override {}
    Cursor CurrentCursor() const override { return cursor_; }
    void SetCursor(Cursor cursor) override { cursor_ = cursor; }

  private:
    Cursor cursor_ = Cursor::kNormal;
};

// A worker's back ends, one of each kind of the table, with the clients they are built
// over; the run's target memory is shared.
class WorkerBackends final : public BackendRegistry {
  public:
    WorkerBackends(const std::string& folder, TargetMemory& memory) : runner_(ui_, clock_) {
        AddBackends(*this, {http_, runner_, clock_, folder, memory});
    }
    // The back ends go before the clients they were built over.
    ~WorkerBackends() override { Clear(); }

  private:
    QuietUi ui_;
    SteadyClock clock_;
    CurlHttpClient http_;
    ProcessRunner runner_;
};

}  // namespace

BatchBackendsFactory RealBatchBackends(std::string workFolder) {
    return [workFolder](int worker, TargetMemory& memory) -> std::unique_ptr<BackendRegistry> {
        const std::string folder = JoinPath(workFolder, "worker" + std::to_string(worker));
        if (!MakeDirectories(folder)) return nullptr;
        return std::make_unique<WorkerBackends>(folder, memory);
    };
}

}  // namespace z39
