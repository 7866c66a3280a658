// Both transfer loops, in every mode, on a line that goes wrong under them: a
// device pulled out (on Windows every call then fails at once; under Wine
// reads wait out their time-outs and only the port's state can no longer be
// read), a hung-up line that answers every read at once, and line errors on
// a device that aborts on them.
#include <algorithm>
#include <string>
#include <vector>

#include "fake_host.h"
#include "xmodem/packet.h"

using fake::host;
using w32::Bytes;

namespace {

constexpr uint8_t EOT = 0x04, ACK = 0x06, NAK = 0x15;
constexpr DWORD kRemoved = 22;   // ERROR_BAD_COMMAND, as a pulled-out adapter answers on Windows
constexpr DWORD kNotReady = 21;  // ERROR_NOT_READY, ClearCommError on a line gone under Wine
constexpr int kModes[] = {0, 1, 2};
constexpr int kAllModes[] = {0, 1, 2, 3};  // 3 sends and takes a header block 0 first

Bytes dataPacket(int mode, uint8_t block) {
    const xmodem::Check check = mode == 0 ? xmodem::Check::Sum : xmodem::Check::Crc;
    Bytes p(xmodem::packetLength(xmodem::kShortBlock, check));
    for (size_t i = 0; i < xmodem::kShortBlock; ++i) p[xmodem::kDataOffset + i] = uint8_t(block * 7 + i);
    xmodem::sealPacket(p.data(), xmodem::kShortBlock, check, block);
    return p;
}

Bytes dataOf(int mode, std::initializer_list<uint8_t> blocks) {
    Bytes out;
    for (uint8_t b : blocks) {
        Bytes p = dataPacket(mode, b);
        out.insert(out.end(), p.begin() + xmodem::kDataOffset, p.begin() + xmodem::kDataOffset + xmodem::kShortBlock);
    }
    return out;
}

uint8_t askByte(int mode) { return mode == 0 ? NAK : 'C'; }

// Block 0 of mode 3 for a file "in.bin" of 1000 bytes.
Bytes headerPacket() {
    Bytes p(xmodem::packetLength(xmodem::kShortBlock, xmodem::Check::Crc));
    const char fields[] = "in.bin\0" "1000";
    std::copy(fields, fields + sizeof fields, p.begin() + xmodem::kDataOffset);
    xmodem::sealPacket(p.data(), xmodem::kShortBlock, xmodem::Check::Crc, 0);
    return p;
}

enum class Gone { FailsAtOnce, StateUnreadable };

// The device is gone from its next call on (`readsLeft` reads still work).
void pullOut(w32::Device& d, Gone how, unsigned readsLeft = 0) {
    auto from = [](w32::Fault& f, unsigned later, DWORD code) {
        f.onCall = f.calls + 1 + later;
        f.sticky = true;
        f.code = code;
    };
    if (how == Gone::FailsAtOnce) {
        from(d.read, readsLeft, kRemoved);
        from(d.write, 0, kRemoved);
        from(d.clearError, 0, kRemoved);
    } else {
        from(d.clearError, 0, kNotReady);
    }
}

}  // namespace

class LineFaultTest : public ModuleTest {
protected:
    void SetUp() override { fresh(); }
    void fresh() {
        ModuleTest::SetUp();
        port = openPort();
    }
    int receive(int mode) {
        captureStdout();
        int result = ReceiveSerialFile(port, const_cast<char*>("in.bin"), mode);
        trace = stdoutText();
        return result;
    }
    int send(int mode) {
        captureStdout();
        int result = SendSerialFile(port, const_cast<char*>("out.bin"), mode);
        trace = stdoutText();
        return result;
    }
    unsigned port = 0;
    std::string trace;
};

// A device pulled out in the middle of a receive ends it within a second: the
// file closed, then one report, the failing call's.
TEST_F(LineFaultTest, APulledOutDeviceEndsAReceiveAtOnceWithOneReport) {
    const struct {
        Gone how;
        bool insidePacket;
        std::string message;
    } cases[] = {
        {Gone::FailsAtOnce, false, "Failed to read XMODEM header on serial port \"COM3\": 22"},
        {Gone::FailsAtOnce, true, "Failed to read XMODEM bytes on serial port \"COM3\": 22"},
        {Gone::StateUnreadable, false, "Error getting serial port \"COM3\" bytes available: 21"},
        {Gone::StateUnreadable, true, "Error getting serial port \"COM3\" bytes available: 21"},
    };
    for (int mode : kAllModes) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << "mode " << mode << ": " << c.message);
            fresh();
            host().disk.clear();
            uint64_t pulledAt = 0;
            // Block 1 comes whole (in mode 3 after the header); after its
            // ACK the device goes, with the first 60 bytes of block 2 on
            // their way or with nothing.
            const size_t header = mode == 3 ? 1 : 0;
            device().onWrite = [&](w32::Device& d, const Bytes&) {
                if (header && d.writes.size() == 1) d.arrive(headerPacket(), 10);
                if (d.writes.size() == 1 + header) d.arrive(dataPacket(mode, 1), 10);
                if (d.writes.size() != 2 + header) return;
                if (c.insidePacket) {
                    Bytes part = dataPacket(mode, 2);
                    part.resize(60);
                    d.arrive(part, 10);
                }
                pullOut(d, c.how, c.insidePacket ? 1 : 0);
                pulledAt = w32::world().nowMs;
            };
            EXPECT_EQ(receive(mode), 0);
            EXPECT_EQ(fake::messages(), std::vector<std::string>{c.message});
            ASSERT_EQ(host().reports.size(), 1u);
            EXPECT_EQ(host().reports[0].filesOpen, 0);
            EXPECT_EQ(host().files.at(0).data, dataOf(mode, {1}));
            EXPECT_LE(w32::world().nowMs - pulledAt, 1000u);
            EXPECT_EQ(trace, mode == 3 ? "Receiving \"in.bin\", 1000 bytes\n" : "");
        }
    }
}

// The same for a send: in the start wait (no file opened) and in an answer
// wait. A read that fails while the port's state can still be read is
// reported as a failed read.
TEST_F(LineFaultTest, APulledOutDeviceEndsASendAtOnceWithOneReport) {
    const struct {
        Gone how;
        bool started;
        bool onlyReads;
        std::string message;
    } cases[] = {
        {Gone::FailsAtOnce, false, false, "Error getting serial port \"COM3\" bytes available: 22"},
        {Gone::FailsAtOnce, true, false, "Error getting serial port \"COM3\" bytes available: 22"},
        {Gone::StateUnreadable, true, false, "Error getting serial port \"COM3\" bytes available: 21"},
        {Gone::FailsAtOnce, true, true, "Failed to read bytes from serial port \"COM3\": 22"},
    };
    for (int mode : kAllModes) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << "mode " << mode << ": " << c.message
                                              << (c.started ? " after the start" : " before it"));
            const size_t header = mode == 3 ? 1 : 0;  // mode 3 sends block 0 first
            fresh();
            host().disk["out.bin"] = Bytes(1000, 0x55);
            device().arrive(Bytes{askByte(mode)});
            uint64_t pulledAt = 0;
            auto pull = [&](w32::Device& d) {
                if (c.onlyReads) {
                    d.read.onCall = d.read.calls + 1;
                    d.read.sticky = true;
                    d.read.code = kRemoved;
                } else {
                    pullOut(d, c.how);
                }
                pulledAt = w32::world().nowMs;
            };
            if (c.started)
                device().onWrite = [&](w32::Device& d, const Bytes&) {
                    if (d.writes.size() == header)
                        d.arrive(Bytes{ACK, 'C'}, 10);
                    else
                        pull(d);
                };
            else
                pull(device());
            EXPECT_EQ(send(mode), 0);
            EXPECT_EQ(fake::messages(), std::vector<std::string>{c.message});
            ASSERT_EQ(host().reports.size(), 1u);
            EXPECT_EQ(host().reports[0].filesOpen, 0);
            EXPECT_EQ(host().files.size(), c.started ? 1u : 0u);
            EXPECT_EQ(device().writes.size(), c.started ? 1 + header : 0u) << "nothing more is sent";
            EXPECT_LE(w32::world().nowMs - pulledAt, 1000u);
            EXPECT_EQ(trace.find("timed out"), std::string::npos);
        }
    }
}

// A hung-up line answers every read at once with nothing: the loops pause
// between such reads (the double stops a loop that does not) and still end
// on their usual bounds.
TEST_F(LineFaultTest, AHungUpLineIsWaitedOutWithoutSpinning) {
    for (int mode : kAllModes) {
        SCOPED_TRACE(mode);
        fresh();
        device().hungUp = true;
        EXPECT_EQ(receive(mode), 0);
        EXPECT_GE(w32::world().nowMs, 110000u);
        EXPECT_LE(w32::world().nowMs, 120000u);
        EXPECT_TRUE(host().reports.empty());

        fresh();
        host().disk["out.bin"] = Bytes(10, 0x55);
        device().hungUp = true;
        EXPECT_EQ(send(mode), 0);
        EXPECT_EQ(trace, "Transfer start timed out\n");
        EXPECT_GT(w32::world().nowMs, 8000u);
        EXPECT_LE(w32::world().nowMs, 8100u);
    }
}

// On a device that aborts on line errors, a packet hit by one is refused and
// asked for again, whether the error hits its header or its middle; an error
// raised as the ACK is due does not stop the ACK.
TEST_F(LineFaultTest, ALineErrorDamagesAPacketAndTheReceiverAsksForItAgain) {
    for (int mode : kModes) {
        for (size_t at : {0u, 70u}) {
            SCOPED_TRACE(::testing::Message() << "mode " << mode << ", damaged byte " << at);
            fresh();
            device().dcb.fAbortOnError = 1;
            const Bytes second = dataPacket(mode, 2);
            bool raised = false;
            device().onRead = [&](w32::Device& d, const uint8_t*, DWORD got) {
                if (got == second.size() - 1 && !raised) {  // the rest of block 1
                    d.lineErrors |= CE_FRAME;
                    raised = true;
                }
            };
            device().onWrite = [&](w32::Device& d, const Bytes&) {
                switch (d.writes.size()) {
                    case 1: d.arrive(dataPacket(mode, 1), 10); break;
                    case 2:
                        d.arrive(Bytes(second.begin(), second.begin() + at), 10);
                        d.arriveDamaged(second[at], CE_FRAME);
                        d.arrive(Bytes(second.begin() + at + 1, second.end()));
                        break;
                    case 3: d.arrive(second, 10); break;
                    case 4: d.arrive(Bytes{EOT}, 10); break;
                }
            };
            EXPECT_EQ(receive(mode), 1);
            EXPECT_EQ(device().written, (Bytes{askByte(mode), ACK, NAK, ACK, ACK}));
            EXPECT_EQ(host().files.at(0).data, dataOf(mode, {1, 2}));
            EXPECT_TRUE(host().reports.empty());
        }
    }
}

// A line error on the receiver's answer: no answer was read, so the packet
// goes again.
TEST_F(LineFaultTest, ADamagedAnswerIsNoAnswer) {
    for (int mode : kModes) {
        SCOPED_TRACE(mode);
        fresh();
        host().disk["out.bin"] = Bytes(100, 0x55);
        device().dcb.fAbortOnError = 1;
        device().arrive(Bytes{askByte(mode)});
        device().onWrite = [](w32::Device& d, const Bytes&) {
            if (d.writes.size() == 1)
                d.arriveDamaged(ACK, CE_RXPARITY, 10);
            else
                d.arrive(Bytes{ACK}, 10);
        };
        EXPECT_EQ(send(mode), 1);
        const std::string start(1, char(askByte(mode)));
        const std::string eotAnswer = mode == 0 ? "" : "Received: \x06\n";
        EXPECT_EQ(trace, "Received: " + start + "\nSending packet 1\nACK timed out, resending\nSending packet 1\n" +
                             "Received: \x06\n" + eotAnswer + "Sent 1 blocks\n");
        EXPECT_TRUE(host().reports.empty());
    }
}

// Writes in the loops finish what a time-out cut short; a packet that cannot
// go out whole (flow control holds the line) is a failed packet write.
TEST_F(LineFaultTest, APacketGoesOutWholeOrFailsWithTheWriteTimeout) {
    for (int mode : kModes) {
        SCOPED_TRACE(mode);
        fresh();
        host().disk["out.bin"] = Bytes(100, 0x55);
        device().writeMsPerByte = 25;  // slower than the write time-out allows
        device().arrive(Bytes{askByte(mode)});
        device().onWrite = [](w32::Device& d, const Bytes&) { d.arrive(Bytes{ACK}, 10); };
        EXPECT_EQ(send(mode), 1);
        ASSERT_GT(device().writes.size(), 2u) << "the packet took several writes";
        Bytes packet = device().written;
        packet.pop_back();  // the EOT
        EXPECT_EQ(packet.size(), xmodem::packetLength(xmodem::kShortBlock, mode ? xmodem::Check::Crc : xmodem::Check::Sum));
        EXPECT_TRUE(host().reports.empty());

        fresh();
        host().disk["out.bin"] = Bytes(100, 0x55);
        device().ctsHeldUntilMs = w32::kForever;
        device().arrive(Bytes{askByte(mode)});
        EXPECT_EQ(send(mode), 0);
        EXPECT_EQ(fake::messages(),
                  std::vector<std::string>{"Failed to send XMODEM packet on serial port \"COM3\": 1460"});
        EXPECT_EQ(fake::filesOpen(), 0);
    }
}
