#include "batch/batch_backends.h"

#include <memory>

#include "backends/external_z39.h"
#include "backends/http_client.h"
#include "backends/nlc_opac.h"
#include "backends/process_runner.h"
#include "backends/shared_catalogue.h"
#include "backends/sru.h"
#include "backends/tcp_client.h"
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

class RealBackends final : public BatchBackends {
  public:
    explicit RealBackends(const std::string& folder)
        : runner_(ui_, clock_),
          shared_(
              http_, [this] { return std::make_unique<PosixTcpClient>(ui_); }, clock_),
          z39_(runner_, clock_, Z39WorkFilesIn(folder)),
          opac_(http_),
          sru_(http_) {}
    SearchBackend* For(TargetKind kind) override {
        switch (kind) {
            case TargetKind::kSharedCatalogue:
                return &shared_;
            case TargetKind::kZ39:
                return &z39_;
            case TargetKind::kWebOpac:
                return &opac_;
            case TargetKind::kSru:
                return &sru_;
            case TargetKind::kNone:
                break;
        }
        return nullptr;
    }

  private:
    QuietUi ui_;
    SteadyClock clock_;
    CurlHttpClient http_;
    ProcessRunner runner_;
    SharedCatalogueBackend shared_;
    ExternalZ39Backend z39_;
    NlcOpacBackend opac_;
    SruBackend sru_;
};

}  // namespace

BatchBackendsFactory RealBatchBackends(std::string workFolder) {
    return [workFolder](int worker) -> std::unique_ptr<BatchBackends> {
        const std::string folder = JoinPath(workFolder, "worker" + std::to_string(worker));
        if (!MakeDirectories(folder)) return nullptr;
        return std::make_unique<RealBackends>(folder);
    };
}

}  // namespace z39
