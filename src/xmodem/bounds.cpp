#include "bounds.h"

#include "../hostapi/host_commands.h"
#include "../serial/clock.h"

namespace xmodem {

WaitClock::WaitClock(float limitSeconds)
    : limit(limitSeconds),
      start(hostTimer()()),
      last(start),
      startTick(tickMs()),
      limitMs(static_cast<uint32_t>(limitSeconds * 1000.0f + 0.5f)) {}

bool WaitClock::over() {
    const float now = hostTimer()();
    if (now < last) {
        before += last - start;
        start = now;
    }
    last = now;
    return before + (now - start) > limit || msSince(startTick) > limitMs;
}

}  // namespace xmodem
