// The one clock that bounds every wait of the module.
//
// It counts on the system's 32-bit millisecond tick, which wraps every 49.7
// days: only differences of two readings mean anything, and unsigned
// subtraction gets them right across a wrap. A wait may also be measured on
// the host's "TIMER_F_0" (seconds as a float, which script hosts often count
// from midnight): a reading lower than the one before means that the timer
// wrapped, and the wait goes on from the new reading. Such a wait is over
// when either clock says so, so that it never lasts longer than its limit,
// whatever the host's timer does.
#pragma once

#include <cstdint>

namespace transfer {

uint32_t tickMs();

class WaitClock {
public:
    // A wait of `limitMs`, from now, on the tick alone.
    static WaitClock onTick(uint32_t limitMs);
    // A wait of `limitSeconds`, from now, on the host's timer and the tick.
    static WaitClock onHostTimer(float limitSeconds);

    // More than the limit has passed.
    bool over();
    uint32_t elapsedMs() const { return tickMs() - startTick_; }
    // Milliseconds left on the tick; 0 once over.
    uint32_t leftMs() const;
    // Starts the same wait again from now.
    void restart();

private:
    WaitClock() = default;
    uint32_t startTick_ = 0;
    uint32_t limitMs_ = 0;
    bool onHost_ = false;
    float limit_ = 0;
    float start_ = 0;   // the first host reading, or the first after a wrap
    float last_ = 0;    // the latest host reading
    float before_ = 0;  // host seconds counted before the last wrap
};

}  // namespace transfer
