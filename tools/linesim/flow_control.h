// RTS/CTS handshaking on the rig's line, read from the rig's line state
// (tools/riglines/line_state.h): an end whose program asked for it sends
// only while the far end's RTS, its own CTS, is up. The UART of a real
// adapter stops its transmitter then; linesim holds that end's bytes.
#pragma once

#include <cstdint>
#include <string>

namespace linesim {

// A process that owns an end's lines, and whether it still lived when last
// looked at (looking reads /proc, so it is done at most every kOwnerCheckNs).
struct OwnerCheck {
    uint32_t pid = 0;
    uint32_t start = 0;
    bool alive = false;
    int64_t checkedNs = 0;
};

struct FlowControl {
    const volatile uint32_t* words = nullptr;   // the mapped state; null: no state
    OwnerCheck owners[2];
};

constexpr int64_t kOwnerCheckNs = 2000000;

// Maps the state at PATH read-only. False, with the reason in *error, when
// it cannot be had.
bool openFlowControl(FlowControl& flow, const std::string& path, std::string* error);

// Whether end 0 (A) or 1 (B) must hold what it sends now: its owner asked for
// RTS/CTS handshaking and the far end's RTS is low (or its owner is gone).
bool sendHeld(FlowControl& flow, int end, int64_t nowNs);

}  // namespace linesim
