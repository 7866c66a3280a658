// ZMODEM receiving: ReceiveSerialFile in modes 4 and 5 (alike: the host's
// file commands cannot append, so a receive never resumes). docs/zmodem.md
// tells the session and its bounds.
#pragma once

#include <cstdint>

namespace zmodem {

constexpr uint32_t kInitSilenceMs = 10000;  // no header before the file: ZRINIT again
constexpr uint32_t kInitLimitMs = 110000;   // no file offered within this: the call gives up
constexpr uint32_t kDataSilenceMs = 2000;   // no byte inside the file: ZRPOS again
// No new byte stored within this (and twice the wire time of the longest
// subpacket): the call gives up.
constexpr uint32_t kStallMs = 60000;
constexpr uint32_t kEndSilenceMs = 3000;    // after the file, no ZFIN: ZRINIT again
constexpr unsigned kEndAsks = 3;            // silences after the file before the call ends without ZFIN
constexpr uint32_t kEndLimitMs = 10000;     // after the file, however busy the line
constexpr uint32_t kOverAndOutMs = 1000;    // for the sender's "OO" after ZFIN

int receiveFile(uint32_t port, const char* fileName, int mode);

}  // namespace zmodem
