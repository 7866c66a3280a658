// Modes 4 and 5 against a scripted peer on the Win32 double: the session's
// steps and bytes, going back, damage, the end of the session, aborts both
// ways, giving up, and a failing port.
#include <string>

#include "../fuzz/zpeer.h"
#include "fake_host.h"

using fake::host;
using namespace zpeer;

namespace {

Bytes sample(size_t size) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = uint8_t(i * 7 + i / 251);
    return b;
}

const Bytes kAbort = Bytes(8, 0x18) + Bytes(8, 0x08);

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class ZmodemTest : public ModuleTest {
protected:
    void SetUp() override { fresh(); }
    void fresh() {
        ModuleTest::SetUp();
        port = openPort();
    }
    int send(ReceiverPeer& peer, const Bytes& data, int mode = 4) {
        host().disk["dir\\f.bin"] = data;
        device().onWrite = [&peer](w32::Device& d, const Bytes& w) { d.arrive(peer.answer(w.data(), w.size()), 5); };
        captureStdout();
        return SendSerialFile(port, const_cast<char*>("dir\\f.bin"), mode);
    }
    int receive(SenderPeer& peer) {
        device().arrive(Bytes{'r', 'z', '\r'} + peer.encoder.hex(flagsHeader(ZRQINIT, 0)));
        device().onWrite = [&peer](w32::Device& d, const Bytes& w) { d.arrive(peer.answer(w.data(), w.size()), 5); };
        captureStdout();
        return ReceiveSerialFile(port, const_cast<char*>("out.bin"), 4);
    }
    const Bytes& stored() { return host().files.at(0).data; }
    unsigned port = 0;
};

TEST_F(ZmodemTest, TheSenderGoesThroughTheSessionAsTheReceiverAsks) {
    const struct {
        size_t size;
        uint8_t flags;
        uint16_t buffer;
    } cases[] = {
        {0, CANFDX | CANFC32, 0},      {1, CANFDX | CANFC32, 0}, {1025, CANFDX, 0},
        {70000, CANFDX | CANFC32, 0}, {5000, CANFC32 | ESCCTL, 0}, {5000, CANFC32, 2048},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " flags " + std::to_string(c.flags) + " buffer " + std::to_string(c.buffer));
        fresh();
        ReceiverPeer peer;
        peer.flags = c.flags;
        peer.buffer = c.buffer;
        const Bytes data = sample(c.size);
        EXPECT_EQ(send(peer, data), 1);
        const std::string out = stdoutText();
        EXPECT_EQ(peer.file, data);
        EXPECT_EQ(peer.info, "f.bin" + std::string(1, '\0') + std::to_string(c.size) + " 0" + std::string(1, '\0'));
        EXPECT_EQ(peer.fileOption, ZCBIN);
        const std::vector<Bytes>& w = device().writes;
        EXPECT_EQ(w.front(), Bytes({'r', 'z', '\r'}) + Encoder().hex(flagsHeader(ZRQINIT, 0)));
        EXPECT_EQ(w.back(), Bytes({'O', 'O'}));
        std::vector<uint8_t> want = {ZRQINIT, ZFILE, ZDATA, ZEOF, ZFIN};
        if (c.size == 0) want = {ZRQINIT, ZFILE, ZEOF, ZFIN};
        EXPECT_EQ(typesOf(peer.items), want);
        for (const Item& it : peer.items)
            if (it.kind == EventKind::Header && it.header.type != ZRQINIT && it.header.type != ZFIN)
                EXPECT_EQ(it.form, c.flags & CANFC32 ? HeaderForm::Bin32 : HeaderForm::Bin16);
        size_t sinceWait = 0;
        for (const Item& it : peer.items) {
            sinceWait = it.end == ZCRCW ? 0 : sinceWait + it.data.size();
            if (c.buffer) EXPECT_LE(sinceWait, c.buffer);
        }
        if (c.flags & ESCCTL)
            for (size_t i = 2; i + 2 < w.size(); ++i)
                EXPECT_TRUE(std::all_of(w[i].begin(), w[i].end(), [](uint8_t b) { return (b & 0x7F) >= 0x20 || b == 0x18; }));
        EXPECT_EQ(out.rfind("ZMODEM: sending \"f.bin\", " + std::to_string(c.size) + " bytes\n", 0), 0u);
        EXPECT_TRUE(endsWith(out, "Sent " + std::to_string(c.size) + " bytes\n")) << out;
        EXPECT_EQ(c.size > 65536, out.find("ZMODEM: 65536 of 70000 bytes\n") != std::string::npos);
        EXPECT_EQ(fake::filesOpen(), 0);
        EXPECT_TRUE(host().reports.empty());
    }
}

TEST_F(ZmodemTest, ZrposTakesTheSenderBackThroughKeptBytesOrAReopenedFile) {
    const struct {
        size_t size, at;
        uint32_t back;
        size_t opens;
    } cases[] = {{20000, 8192, 1000, 1}, {140000, 100000, 0, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        fresh();
        ReceiverPeer peer;
        bool asked = false;
        peer.twist = [&](ReceiverPeer& p) {
            if (asked || p.file.size() < c.at) return Bytes();
            asked = true;
            p.file.resize(c.back);
            return p.encoder.hex(positionHeader(ZRPOS, c.back));
        };
        const Bytes data = sample(c.size);
        EXPECT_EQ(send(peer, data), 1);
        EXPECT_NE(stdoutText().find("ZMODEM: going back to " + std::to_string(c.back) + "\n"), std::string::npos);
        EXPECT_EQ(peer.file, data);
        EXPECT_EQ(std::count(host().calls.begin(), host().calls.end(), "OPENTOREAD_L_S"), long(c.opens));
    }
}

TEST_F(ZmodemTest, Mode5AsksToResumeAndSendsOnlyWhatTheReceiverLacks) {
    ReceiverPeer peer;
    const Bytes data = sample(10000);
    peer.start = 3072;
    peer.file.assign(data.begin(), data.begin() + 3072);
    EXPECT_EQ(send(peer, data, 5), 1);
    EXPECT_NE(stdoutText().find("ZMODEM: the receiver holds 3072 bytes, going on from there\n"), std::string::npos);
    EXPECT_EQ(peer.fileOption, ZCRESUM);
    EXPECT_EQ(peer.file, data);
    for (const Item& it : peer.items)
        if (it.kind == EventKind::Header && it.header.type == ZDATA) EXPECT_GE(positionOf(it.header), 3072u);
}

TEST_F(ZmodemTest, TheSenderEndsOnTheReceiversAbortAndSendsItsOwnWhenItGivesUp) {
    const struct {
        const char* what;
        std::function<void(ReceiverPeer&)> setUp;
        std::string last;  // trace line
        bool abortSent;
        uint64_t atMostMs;
    } cases[] = {
        {"five CANs amid the data",
         [](ReceiverPeer& p) {
             p.twist = [](ReceiverPeer& r) {
                 if (r.file.empty() || r.mute) return Bytes();
                 r.mute = true;  // and nothing more may come from the sender
                 return cans(5);
             };
         },
         "Receiver cancelled transfer\n", false, 1000},
        {"no receiver", [](ReceiverPeer& p) { p.absent = true; }, "Transfer start timed out\n", true, 20100},
        {"a receiver that falls silent after ZRINIT", [](ReceiverPeer& p) { p.mute = true; },
         "Receiver stopped answering, giving up\n", true, 25000},
        {"a receiver that asks for 0 again and again",
         [](ReceiverPeer& p) { p.twist = [](ReceiverPeer& r) { r.file.clear(); return r.encoder.hex(positionHeader(ZRPOS, 0)); }; },
         "after 16 tries, giving up\n", true, 5000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        ReceiverPeer peer;
        c.setUp(peer);
        size_t run = 0, writesAtAbort = 0;  // CANs in a row read, and the writes made until the fifth
        device().onRead = [&](w32::Device& d, const uint8_t* bytes, DWORD got) {
            for (DWORD i = 0; i < got; ++i) run = bytes[i] == 0x18 ? run + 1 : 0;
            if (run >= 5 && !writesAtAbort) writesAtAbort = d.writes.size();
        };
        EXPECT_EQ(send(peer, sample(5000)), 0);
        const std::string out = stdoutText();
        EXPECT_TRUE(endsWith(out, c.last)) << out;
        EXPECT_EQ(device().writes.back() == kAbort, c.abortSent);
        if (!c.abortSent) EXPECT_EQ(device().writes.size(), writesAtAbort) << "a write after the abort";
        EXPECT_LE(w32::world().nowMs, c.atMostMs);
        EXPECT_TRUE(host().reports.empty());
        EXPECT_EQ(fake::filesOpen(), 0);
    }
}

TEST_F(ZmodemTest, TheReceiverStoresExactlyTheFileAndLeavesWhatFollowsTheSessionForTheScript) {
    const struct {
        size_t size, sub;
        CrcKind crc;
        int damaged;
        std::vector<uint32_t> positions;  // of its ZRPOS
    } cases[] = {
        {0, 1024, CrcKind::Crc32, -1, {0}},         {1, 1024, CrcKind::Crc32, -1, {0}},
        {1025, 1024, CrcKind::Crc16, -1, {0}},      {20000, 8192, CrcKind::Crc32, -1, {0}},
        {70000, 1024, CrcKind::Crc32, -1, {0}},     {10000, 1024, CrcKind::Crc32, 3, {0, 3072}},
        {20000, 8192, CrcKind::Crc16, 1, {0, 8192}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " in " + std::to_string(c.sub) + ", damaged " + std::to_string(c.damaged));
        fresh();
        SenderPeer peer;
        peer.data = sample(c.size);
        peer.info = std::string("f.bin\0", 6) + std::to_string(c.size) + " 10 100644";
        peer.sub = c.sub;
        peer.damaged = c.damaged;
        peer.encoder.crc = c.crc;
        EXPECT_EQ(receive(peer), 1);
        const std::string out = stdoutText();
        EXPECT_EQ(stored(), peer.data);
        EXPECT_EQ(fake::filesOpen(), 0);
        EXPECT_EQ(device().writes.front(), Encoder().hex(flagsHeader(ZRINIT, 0x23)));
        std::vector<uint32_t> positions;
        for (const Item& it : peer.asked)
            if (it.header.type == ZRPOS) positions.push_back(positionOf(it.header));
        EXPECT_EQ(positions, c.positions);
        EXPECT_EQ(out.rfind("Receiving \"f.bin\", " + std::to_string(c.size) + " bytes\n", 0), 0u);
        EXPECT_NE(out.find("Received " + std::to_string(c.size) + " bytes\n"), std::string::npos);
        EXPECT_EQ(typesOf(peer.asked).back(), ZFIN);
        EXPECT_STREQ(ReadSerialData(port, 10), "$ ");
    }
}

TEST_F(ZmodemTest, TheReceiverRefusesASecondFileEndsOnAnAbortAndSendsItsOwnWhenItGivesUp) {
    const struct {
        const char* what;
        std::function<void(SenderPeer&)> setUp;
        int result;
        std::string last;
        bool abortSent;
    } cases[] = {
        {"a second file", [](SenderPeer& p) { p.secondFile = true; }, 1, "Second file in the session refused\n", false},
        {"five CANs after ZRPOS",
         [](SenderPeer& p) { p.twist = [](SenderPeer& s, const Item& it) { return it.header.type == ZRPOS ? cans(8) : s.encoder.fileOffer(s.info); }; },
         0, "Sender cancelled transfer\n", false},
        {"a file longer than its header says", [](SenderPeer& p) { p.info = std::string("f\0" "100", 5); }, 0,
         "Sender sent more than the header's size\n", true},
        {"a sender that stops inside the file",
         [](SenderPeer& p) {
             p.twist = [n = 0](SenderPeer& s, const Item& it) mutable {
                 if (it.header.type == ZRINIT) return s.encoder.fileOffer(s.info);
                 return n++ ? Bytes() : s.encoder.bin(positionHeader(ZDATA, 0)) + s.encoder.subpacket(s.data.data(), 1024, ZCRCG);
             };
         },
         0, "No progress at 1024 after 16 tries, giving up\n", true},
        {"no file offered", [](SenderPeer& p) { p.twist = [](SenderPeer&, const Item&) { return Bytes(); }; }, 0,
         "No file offered, giving up\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        SenderPeer peer;
        peer.data = sample(3000);
        peer.info = std::string("f\0" "3000", 7);
        c.setUp(peer);
        EXPECT_EQ(receive(peer), c.result);
        const std::string out = stdoutText();
        EXPECT_NE(out.find(c.last), std::string::npos) << out;
        EXPECT_EQ(device().writes.back() == kAbort, c.abortSent);
        EXPECT_LE(stored().size(), 3000u);
        EXPECT_EQ(fake::filesOpen(), 0);
        EXPECT_TRUE(host().reports.empty());
    }
}

TEST_F(ZmodemTest, AFailingPortEndsEitherSideWithOneReportAfterTheFileIsClosed) {
    const struct {
        bool sending;
        w32::Fault w32::Device::*call;
        unsigned onCall;
        std::string report;
    } cases[] = {
        {true, &w32::Device::write, 3, "Failed to send ZMODEM data on serial port \"COM3\": 31"},
        {true, &w32::Device::clearError, 6, "Error getting serial port \"COM3\" bytes available: 31"},
        {false, &w32::Device::write, 2, "Failed to send ZMODEM header on serial port \"COM3\": 31"},
        {false, &w32::Device::read, 4, "Failed to read bytes from serial port \"COM3\": 31"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report);
        fresh();
        w32::Fault& fault = device().*c.call;
        fault.onCall = c.onCall;
        fault.sticky = true;
        ReceiverPeer receiver;
        SenderPeer sender;
        sender.data = sample(5000);
        sender.info = std::string("f\0" "5000", 7);
        EXPECT_EQ(c.sending ? send(receiver, sample(5000)) : receive(sender), 0);
        stdoutText();
        ASSERT_EQ(fake::messages(), std::vector<std::string>{c.report});
        EXPECT_EQ(host().reports[0].filesOpen, 0);
        EXPECT_NE(device().writes.empty() ? Bytes() : device().writes.back(), kAbort);
    }
}

}  // namespace
