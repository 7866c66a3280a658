// What travels on the line during a transfer: control bytes and 132-byte data
// packets (SOH, block number, its complement, 128 data bytes, checksum).
#pragma once

#include <cstddef>
#include <cstdint>

namespace xmodem {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;

constexpr size_t kBlockSize = 128;
constexpr size_t kPacketLength = 132;
constexpr size_t kDataOffset = 3;
constexpr size_t kChecksumOffset = 131;

// Sum modulo 256 of `length` bytes.
uint8_t checksum(const uint8_t* bytes, size_t length);

// Fills bytes 0..2 and 131 around the 128 data bytes already at offset 3.
void sealPacket(uint8_t* packet, uint8_t blockNumber);

// The receiver's three tests, in order: checksum over bytes 0..130, SOH,
// complement byte.
bool packetWellFormed(const uint8_t* packet);

}  // namespace xmodem
