#pragma once

#include <atomic>

#include "common/unique_fd.h"

namespace z39 {

// Asks a running fetch to stop. Any thread may call Cancel(); the fetch sees it between
// its steps and in every wait, through cancelled() or by waiting on fd(), which becomes
// readable once Cancel() was called. One token serves one fetch at a time or several that
// are to stop together.
class CancelToken {
  public:
    CancelToken();
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    void Cancel();
    bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }
    // An eventfd, readable after Cancel(); -1 when none could be made (then only
    // cancelled() tells, at the next step).
    int fd() const { return event_.get(); }

  private:
    std::atomic<bool> cancelled_{false};
    UniqueFd event_;
};

}  // namespace z39
