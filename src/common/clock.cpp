#include "common/clock.h"

#include <poll.h>

#include <chrono>
#include <thread>

namespace z39 {

int64_t SteadyClock::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SteadyClock::SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void SteadyClock::SleepUntilReadable(int fd, int ms) {
    if (fd < 0) return SleepMs(ms);
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, ms);
}

}  // namespace z39
