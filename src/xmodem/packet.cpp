#include "packet.h"

#include "../transfer/crc.h"

namespace xmodem {
namespace {

// The check bytes as they go on the line.
void writeCheck(uint8_t* at, const uint8_t* data, size_t blockSize, Check check) {
    if (check == Check::Sum) {
        at[0] = checksum(data, blockSize);
        return;
    }
    uint16_t crc = transfer::crc16(data, blockSize);
    at[0] = uint8_t(crc >> 8);
    at[1] = uint8_t(crc);
}

}  // namespace

uint8_t checksum(const uint8_t* bytes, size_t length) {
    unsigned sum = 0;
    for (size_t i = 0; i < length; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

void sealPacket(uint8_t* packet, size_t blockSize, Check check, uint8_t blockNumber) {
    packet[0] = startByte(blockSize);
    packet[1] = blockNumber;
    packet[2] = static_cast<uint8_t>(255 - blockNumber);
    writeCheck(packet + kDataOffset + blockSize, packet + kDataOffset, blockSize, check);
}

bool packetWellFormed(const uint8_t* packet, size_t blockSize, Check check) {
    uint8_t expected[2];
    writeCheck(expected, packet + kDataOffset, blockSize, check);
    const uint8_t* got = packet + kDataOffset + blockSize;
    for (size_t i = 0; i < checkLength(check); ++i)
        if (got[i] != expected[i]) return false;
    if (packet[0] != startByte(blockSize)) return false;
    return packet[2] == static_cast<uint8_t>(255 - packet[1]);
}

}  // namespace xmodem
