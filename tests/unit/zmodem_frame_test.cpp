// The CRCs of the transfer protocols, whole and in pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/crc.h"

using Bytes = std::vector<uint8_t>;

namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

uint32_t slowCrc32(const Bytes& data) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

}  // namespace

TEST(ZmodemCrc, CheckValuesAndPieces) {
    Bytes check = bytesOf("123456789");
    EXPECT_EQ(transfer::crc16(check.data(), check.size()), 0x31C3);
    EXPECT_EQ(transfer::crc32(check.data(), check.size()), 0xCBF43926u);
    Bytes all(1024);
    for (size_t i = 0; i < all.size(); ++i) all[i] = uint8_t(i * 7 + (i >> 8));
    uint32_t whole = transfer::crc32(all.data(), all.size());
    EXPECT_EQ(whole, slowCrc32(all)) << "every table entry";
    uint16_t whole16 = transfer::crc16(all.data(), all.size());
    for (size_t cut : {size_t(0), size_t(1), size_t(500)}) {
        uint32_t crc = transfer::crc32(all.data(), cut);
        uint16_t crc16 = transfer::crc16(all.data(), cut);
        crc = transfer::crc32Update(crc, all[cut]);
        crc16 = transfer::crc16Update(crc16, all[cut]);
        EXPECT_EQ(transfer::crc32Update(crc, all.data() + cut + 1, all.size() - cut - 1), whole) << cut;
        EXPECT_EQ(transfer::crc16Update(crc16, all.data() + cut + 1, all.size() - cut - 1), whole16) << cut;
    }
}
