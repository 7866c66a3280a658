#pragma once

#include <cstdint>

namespace xmodem {

// Silence bounds of the receiver, on the module's clock.
constexpr uint32_t kHeaderSilenceMs = 10000;  // no header byte: reject, NAK again
constexpr uint32_t kPacketSilenceMs = 1000;   // a packet stalls: reject it
constexpr uint32_t kDrainLimitMs = 1000;      // most time spent dropping a garbled rest
constexpr unsigned kMaxRejections = 10;       // the 11th in a row ends the transfer
constexpr uint32_t kCrcAskMs = 2000;          // no packet after a C: ask again
constexpr unsigned kCrcAsks = 3;              // Cs that meet silence before asking with NAK

int receiveFile(uint32_t port, const char* fileName, int mode);

}  // namespace xmodem
