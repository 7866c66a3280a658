#include "modes.h"

#include "packet.h"

namespace xmodem {
namespace {

constexpr uint8_t SUB = 0x1A;  // the customary pad after the end of a file

constexpr Mode kModes[] = {
    // number  crc    blockSize    takesLongBlocks headerBlock eotAcked pad
    {0,        false, kShortBlock, false,          false,      false,   kHostPad},
    {1,        true,  kShortBlock, true,           false,      true,    SUB},
    {2,        true,  kLongBlock,  true,           false,      true,    SUB},
    {3,        true,  kLongBlock,  true,           true,       true,    SUB},
};

}  // namespace

const Mode* findMode(int mode) {
    for (const Mode& m : kModes)
        if (m.number == mode) return &m;
    return nullptr;
}

}  // namespace xmodem
