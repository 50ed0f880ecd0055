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

void SteadyClock::SleepUntilReadable(int fd, int ms) { SleepUntilEitherReadable(fd, -1, ms); }

void SteadyClock::SleepUntilEitherReadable(int fd, int otherFd, int ms) {
    if (fd < 0 && otherFd < 0) return SleepMs(ms);
    pollfd p[2] = {{fd, POLLIN, 0}, {otherFd, POLLIN, 0}};
    ::poll(p, 2, ms);  // a negative descriptor is ignored
}

}  // namespace z39
