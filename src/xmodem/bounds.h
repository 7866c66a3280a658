// Bounds that hold in every mode, whatever the other side sends: waits
// measured on the host's timer that end even when that timer wraps, and a
// budget of tries for each block.
#pragma once

#include <cstdint>

namespace xmodem {

// Sends of one block by the sender, answers for one block by the receiver,
// whatever their mix of NAKs, repeats and silences: the block that would take
// one more ends the transfer.
constexpr unsigned kBlockBudget = 20;

// A wait of `limit` seconds measured on the host's "TIMER_F_0", seconds as a
// float, which script hosts often count from midnight. A reading lower than
// the one before means that the timer wrapped: the wait goes on from the new
// reading. The module's own clock bounds the wait as well, so it never lasts
// longer than the limit whatever the host's timer does.
struct WaitClock {
    explicit WaitClock(float limitSeconds);
    bool over();  // more than the limit has passed, on either clock

    float limit;
    float start;        // the first reading, or the first after a wrap
    float last;         // the latest reading
    float before = 0;   // seconds counted before the last wrap
    uint32_t startTick;
    uint32_t limitMs;
};

}  // namespace xmodem
