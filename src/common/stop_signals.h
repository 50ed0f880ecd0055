#pragma once

#include <signal.h>

#include <atomic>
#include <thread>

#include "common/cancel_token.h"

namespace z39 {

// Ctrl-C and SIGTERM for a command-line program. From construction on they are blocked in
// every thread started afterwards (and SIGPIPE ignored); Watch() reads them on a thread of
// their own, which cancels the token given. Stop() (or the destructor) ends that thread.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals() { Stop(); }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    void Watch(CancelToken& cancel);
    void Stop();
    // A signal arrived and cancelled the token.
    bool interrupted() const { return interrupted_.load(std::memory_order_acquire); }

  private:
    sigset_t signals_;
    std::thread thread_;
    std::atomic<bool> interrupted_{false};
};

}  // namespace z39
