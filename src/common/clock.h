#pragma once

#include <cstdint>

namespace z39 {

// Time and waiting, so that tests never wait out a real time-out.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual int64_t NowMs() = 0;
    virtual void SleepMs(int ms) = 0;
};

// The steady clock and real sleeping.
class SteadyClock final : public Clock {
  public:
    int64_t NowMs() override;
    void SleepMs(int ms) override;
};

}  // namespace z39
