#pragma once

#include <cstdint>

namespace xmodem {

constexpr float kStartTimeout = 8.0f;   // seconds for the receiver's first NAK (or C)
constexpr float kAnswerTimeout = 2.0f;  // seconds for the answer to a packet
constexpr unsigned kMaxNaks = 10;       // the 11th NAK without an ACK ends it
constexpr unsigned kMaxSilentWaits = 10;  // answer time-outs in a row that end it
constexpr unsigned kLongBlockTries = 3;   // NAKs and time-outs of one 1K block before 128-byte blocks
// A receiver may confirm an EOT only after a second or two of silence (lrzsz
// takes about 2 s), so its answer is given longer than a packet's.
constexpr float kEotAnswerTimeout = 4.0f;
constexpr unsigned kMaxEots = 10;  // EOTs written without an ACK before giving up

int sendFile(uint32_t port, const char* fileName, int mode);

}  // namespace xmodem
