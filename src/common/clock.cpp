#include "common/clock.h"

#include <chrono>
#include <thread>

#include "common/gbk_text.h"
#include "common/user_interface.h"

namespace z39 {

int64_t SteadyClock::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SteadyClock::SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

const std::string& NoticeTitle() {
    static const std::string title = G("提示信息");
    return title;
}

}  // namespace z39
