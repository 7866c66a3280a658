// The bytes of a packet in each layout, put together here independently of
// the module, and what the receiver's tests make of damaged ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <cstring>
#include <vector>

#include "xmodem/block_zero.h"
#include "transfer/crc.h"
#include "xmodem/packet.h"

using Bytes = std::vector<uint8_t>;

namespace {

// CRC-16/XMODEM bit by bit, the way it is defined.
uint16_t slowCrc(const Bytes& data) {
    uint16_t crc = 0;
    for (uint8_t b : data) {
        crc ^= uint16_t(b << 8);
        for (int i = 0; i < 8; ++i) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

}  // namespace

TEST(Crc16, CheckValues) {
    const char* text = "123456789";
    EXPECT_EQ(transfer::crc16(reinterpret_cast<const uint8_t*>(text), 9), 0x31C3);
    EXPECT_EQ(transfer::crc16(nullptr, 0), 0);
    Bytes all(1024);
    for (size_t i = 0; i < all.size(); ++i) all[i] = uint8_t(i * 7 + (i >> 8));
    EXPECT_EQ(transfer::crc16(all.data(), all.size()), slowCrc(all)) << "every table entry, at every position";
}

TEST(Packet, BothSizesWithBothChecks) {
    using xmodem::Check;
    const struct {
        size_t size;
        Check check;
        uint8_t start;
        size_t length;
    } cases[] = {
        {128, Check::Sum, 0x01, 132},
        {128, Check::Crc, 0x01, 133},
        {1024, Check::Sum, 0x02, 1028},
        {1024, Check::Crc, 0x02, 1029},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.size << (c.check == Check::Crc ? " CRC" : " sum"));
        Bytes data(c.size);
        for (size_t i = 0; i < c.size; ++i) data[i] = uint8_t(i * 13 + 200);
        Bytes expected{c.start, 0xFE, 0x01};
        expected.insert(expected.end(), data.begin(), data.end());
        if (c.check == Check::Crc) {
            uint16_t crc = slowCrc(data);
            expected.push_back(uint8_t(crc >> 8));
            expected.push_back(uint8_t(crc));
        } else {
            unsigned sum = 0;
            for (uint8_t b : data) sum += b;
            expected.push_back(uint8_t(sum));
        }
        ASSERT_EQ(xmodem::packetLength(c.size, c.check), c.length);
        ASSERT_EQ(expected.size(), c.length);

        Bytes packet(xmodem::kLongestPacket, 0xEE);
        std::memcpy(packet.data() + 3, data.data(), c.size);
        xmodem::sealPacket(packet.data(), c.size, c.check, 0xFE);
        EXPECT_EQ(Bytes(packet.begin(), packet.begin() + c.length), expected);
        EXPECT_TRUE(std::all_of(packet.begin() + c.length, packet.end(), [](uint8_t b) { return b == 0xEE; }))
            << "nothing written past the packet";
        EXPECT_TRUE(xmodem::packetWellFormed(expected.data(), c.size, c.check));

        // Any one byte changed, the other size or the other check: refused.
        for (size_t at : {size_t(0), size_t(1), size_t(2), size_t(3), c.size + 2, c.length - 1}) {
            Bytes bad = expected;
            bad[at] ^= 0x01;
            EXPECT_FALSE(xmodem::packetWellFormed(bad.data(), c.size, c.check)) << "byte " << at;
        }
        Check other = c.check == Check::Crc ? Check::Sum : Check::Crc;
        expected.resize(xmodem::kLongestPacket);
        EXPECT_FALSE(xmodem::packetWellFormed(expected.data(), c.size, other));
        EXPECT_FALSE(xmodem::packetWellFormed(expected.data(), c.size == 128 ? 1024 : 128, c.check));
    }
}

// Block 0 as the sender builds it reads back as the receiver reads it; the
// receiver also meets blocks no sender of ours makes.
TEST(BlockZero, BuiltHeadersReadBackAndOddOnesAreSorted) {
    using xmodem::ReadBlockZero;
    for (const auto& [path, size] : {std::pair<std::string, uint32_t>{"C:\\d\\f.bin", 0},
                                     {"a/" + std::string(121, 'n'), 4294967295u},
                                     {std::string(300, 'n'), 7}}) {
        SCOPED_TRACE(path.size());
        uint8_t data[1024];
        const xmodem::BuiltBlockZero built = xmodem::buildBlockZero(path.c_str(), size, data);
        ASSERT_EQ(built.status, xmodem::BuiltBlockZero::Status::Built);
        const ReadBlockZero read = xmodem::readBlockZero(data, built.blockSize);
        EXPECT_EQ(read.status, ReadBlockZero::Status::File);
        EXPECT_EQ(std::string(read.name, read.nameLength), path.substr(path.find_last_of("\\/") + 1));
        EXPECT_TRUE(read.sizeKnown);
        EXPECT_EQ(read.size, size);
    }
    const struct {
        std::string data;
        ReadBlockZero::Status status;
        bool sizeKnown;
    } odd[] = {
        {std::string("\0f", 2), ReadBlockZero::Status::EndOfBatch, false},
        {std::string(128, 'n'), ReadBlockZero::Status::NoNameEnd, false},
        {std::string("f\0  12 3", 8), ReadBlockZero::Status::File, true},  // spaces before the size
        {std::string("f\0", 2), ReadBlockZero::Status::File, false},       // no size: unknown
        {std::string("f\0" "1x", 4), ReadBlockZero::Status::BadSize, true},
        {std::string("f\0" "99999999999999999999", 22), ReadBlockZero::Status::BadSize, true},
    };
    for (const auto& c : odd) {
        SCOPED_TRACE(c.data);
        Bytes block(c.data.begin(), c.data.end());
        block.resize(128, 0);
        const ReadBlockZero read = xmodem::readBlockZero(block.data(), 128);
        EXPECT_EQ(read.status, c.status);
        if (c.status != ReadBlockZero::Status::NoNameEnd) EXPECT_EQ(read.sizeKnown, c.sizeKnown);
    }
}
