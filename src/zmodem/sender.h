// ZMODEM sending: SendSerialFile in modes 4 and 5 (5: resume a file the
// receiver holds part of). docs/zmodem.md tells the session and its bounds.
#pragma once

#include <cstdint>

namespace zmodem {

constexpr uint32_t kStartLimitMs = 20000;   // for the receiver's ZRINIT
constexpr uint32_t kZrqinitAgainMs = 5000;  // ZRQINIT again when unanswered this long
// An answer to a header, or to a full window, beyond twice the wire time of
// what may still be on its way to the receiver.
constexpr uint32_t kAnswerMs = 3000;
constexpr unsigned kOfferTries = 10;        // ZFILE sends
constexpr unsigned kSilentWaits = 6;        // answer waits in a row with no byte from the receiver
constexpr unsigned kFinTries = 3;           // ZFIN sends at the end
constexpr uint32_t kFinAnswerMs = 3000;

int sendFile(uint32_t port, const char* fileName, int mode);

}  // namespace zmodem
