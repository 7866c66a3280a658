#include "clock.h"

namespace {

struct WideTick {
    uint32_t last;
    uint64_t wraps;  // 2^32 for each wrap seen
};

WideTick wideTick = {};

}  // namespace

uint64_t wideTickMs() {
    uint32_t now = tickMs();
    if (now < wideTick.last) wideTick.wraps += uint64_t{1} << 32;
    wideTick.last = now;
    return wideTick.wraps + now;
}
