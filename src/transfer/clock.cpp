#include "clock.h"

#include <windows.h>

#include "../hostapi/host_commands.h"

namespace transfer {

uint32_t tickMs() { return GetTickCount(); }

WaitClock WaitClock::onTick(uint32_t limitMs) {
    WaitClock clock;
    clock.limitMs_ = limitMs;
    clock.restart();
    return clock;
}

WaitClock WaitClock::onHostTimer(float limitSeconds) {
    WaitClock clock;
    clock.onHost_ = true;
    clock.limit_ = limitSeconds;
    clock.limitMs_ = static_cast<uint32_t>(limitSeconds * 1000.0f + 0.5f);
    clock.restart();
    return clock;
}

void WaitClock::restart() {
    if (onHost_) {
        start_ = last_ = hostTimer()();
        before_ = 0;
    }
    startTick_ = tickMs();
}

bool WaitClock::over() {
    bool hostOver = false;
    if (onHost_) {
        const float now = hostTimer()();
        if (now < last_) {
            before_ += last_ - start_;
            start_ = now;
        }
        last_ = now;
        hostOver = before_ + (now - start_) > limit_;
    }
    return hostOver || elapsedMs() > limitMs_;
}

uint32_t WaitClock::leftMs() const {
    const uint32_t elapsed = elapsedMs();
    return elapsed >= limitMs_ ? 0 : limitMs_ - elapsed;
}

}  // namespace transfer
