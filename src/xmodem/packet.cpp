#include "packet.h"

namespace xmodem {

uint8_t checksum(const uint8_t* bytes, size_t length) {
    unsigned sum = 0;
    for (size_t i = 0; i < length; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

void sealPacket(uint8_t* packet, uint8_t blockNumber) {
    packet[0] = SOH;
    packet[1] = blockNumber;
    packet[2] = static_cast<uint8_t>(255 - blockNumber);
    packet[kChecksumOffset] = checksum(packet, kChecksumOffset);
}

bool packetWellFormed(const uint8_t* packet) {
    if (packet[kChecksumOffset] != checksum(packet, kChecksumOffset)) return false;
    if (packet[0] != SOH) return false;
    return packet[2] == static_cast<uint8_t>(255 - packet[1]);
}

}  // namespace xmodem
