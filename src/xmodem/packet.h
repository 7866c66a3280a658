// What travels on the line during a transfer: control bytes and data packets.
// A packet is a start byte (SOH for 128 data bytes, STX for 1024), the block
// number, 255 minus the block number, the data, and the check over the data:
// the 8-bit sum, or the CRC-16 high byte first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace xmodem {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t CRC_ASK = 'C';  // a receiver's NAK that asks for CRC-16

constexpr size_t kShortBlock = 128;
constexpr size_t kLongBlock = 1024;
constexpr size_t kDataOffset = 3;

enum class Check { Sum, Crc };

constexpr size_t checkLength(Check check) { return check == Check::Crc ? 2 : 1; }
constexpr size_t packetLength(size_t blockSize, Check check) { return kDataOffset + blockSize + checkLength(check); }
constexpr size_t kLongestPacket = packetLength(kLongBlock, Check::Crc);

constexpr uint8_t startByte(size_t blockSize) { return blockSize == kLongBlock ? STX : SOH; }

// Sum modulo 256 of `length` bytes.
uint8_t checksum(const uint8_t* bytes, size_t length);

// Fills the start byte, block number, complement and check around the
// `blockSize` data bytes already at kDataOffset.
void sealPacket(uint8_t* packet, size_t blockSize, Check check, uint8_t blockNumber);

// The receiver's three tests: the check, the start byte for `blockSize`, the
// complement byte.
bool packetWellFormed(const uint8_t* packet, size_t blockSize, Check check);

}  // namespace xmodem
