#pragma once

#include <cstdint>

namespace z39 {

// Time and waiting, so that tests never wait out a real time-out.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual int64_t NowMs() = 0;
    virtual void SleepMs(int ms) = 0;
    // Sleeps up to `ms`, waking as soon as `fd` is readable (a child's pidfd, a socket).
    // A clock whose time is not real time sleeps as SleepMs does.
    virtual void SleepUntilReadable(int fd, int ms) {
        (void)fd;
        SleepMs(ms);
    }
    // Sleeps up to `ms`, waking as soon as either descriptor is readable (-1: none), e.g. a
    // socket and a cancel token. A clock whose time is not real time sleeps as SleepMs does.
    virtual void SleepUntilEitherReadable(int fd, int otherFd, int ms) {
        (void)otherFd;
        SleepUntilReadable(fd, ms);
    }
    // A point a sequence has reached where it once waited a fixed time, now a condition
    // that already holds: nothing is waited. A test clock records the steps in order.
    virtual void Step(const char* name) { (void)name; }
};

// The steady clock and real sleeping.
class SteadyClock final : public Clock {
  public:
    int64_t NowMs() override;
    void SleepMs(int ms) override;
    void SleepUntilReadable(int fd, int ms) override;
    void SleepUntilEitherReadable(int fd, int otherFd, int ms) override;
};

}  // namespace z39
