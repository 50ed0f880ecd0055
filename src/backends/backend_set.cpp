#include "backends/backend_set.h"

#include "backends/backend_kinds.h"
#include "backends/http_client.h"
#include "backends/process_runner.h"
#include "common/clock.h"
#include "common/user_interface.h"

namespace z39 {
namespace {

// No message boxes and no cursor.
class QuietUi final : public UserInterface {
  public:
    void ShowMessage(const std::string&, const std::string&) override {}
    Cursor CurrentCursor() const override { return cursor_; }
    void SetCursor(Cursor cursor) override { cursor_ = cursor; }

  private:
    Cursor cursor_ = Cursor::kNormal;
};

class OwnBackends final : public BackendRegistry {
  public:
    OwnBackends(const std::string& folder, TargetMemory& memory) : runner_(ui_, clock_) {
        AddBackends(*this, {http_, runner_, clock_, folder, memory});
    }
    // The back ends go before the clients they were built over.
    ~OwnBackends() override { Clear(); }

  private:
    QuietUi ui_;
    SteadyClock clock_;
    CurlHttpClient http_;
    ProcessRunner runner_;
};

}  // namespace

std::unique_ptr<BackendRegistry> BuildOwnBackends(const std::string& folder, TargetMemory& memory) {
    return std::make_unique<OwnBackends>(folder, memory);
}

}  // namespace z39
