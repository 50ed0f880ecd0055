#include "common/stop_signals.h"

#include <pthread.h>

namespace z39 {

StopSignals::StopSignals() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGUSR1);  // sent by Stop() to end the watching thread
    ::pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

void StopSignals::Watch(CancelToken& cancel) {
    if (thread_.joinable()) return;
    thread_ = std::thread([this, &cancel] {
        int got = 0;
        sigwait(&signals_, &got);
        if (got == SIGUSR1) return;
        interrupted_.store(true, std::memory_order_release);
        cancel.Cancel();
    });
}

void StopSignals::Stop() {
    if (!thread_.joinable()) return;
    ::pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
}

}  // namespace z39
