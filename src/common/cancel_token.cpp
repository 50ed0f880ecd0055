#include "common/cancel_token.h"

#include <sys/eventfd.h>

#include <cstdint>

namespace z39 {

CancelToken::CancelToken() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void CancelToken::Cancel() {
    if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
    if (event_.ok()) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(event_.get(), &one, sizeof one);
    }
}

}  // namespace z39
