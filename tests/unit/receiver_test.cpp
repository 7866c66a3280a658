// Receiving a file: a scripted sender answers each byte the receiver writes,
// on the double's clock.

#include "fake_host.h"
#include "serial/port_table.h"

using fake::host;
using w32::Bytes;

namespace {

constexpr uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

uint8_t sum(const Bytes& bytes, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i) s += bytes[i];
    return uint8_t(s);
}

// 128 bytes that differ from block to block, also 256 blocks apart.
Bytes blockData(int n) {
    Bytes d(128);
    for (int j = 0; j < 128; ++j) d[j] = uint8_t(n * 31 + j * 7 + (n >> 8));
    return d;
}

Bytes packet(uint8_t block, const Bytes& data) {
    Bytes p{SOH, block, uint8_t(255 - block)};
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(sum(p, 131));
    return p;
}

uint16_t crc16(const Bytes& data) {
    uint16_t crc = 0;
    for (uint8_t b : data) {
        crc ^= uint16_t(b << 8);
        for (int i = 0; i < 8; ++i) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

// A packet with CRC-16: STX for 1024 data bytes, SOH for 128.
Bytes crcPacket(uint8_t block, const Bytes& data) {
    Bytes p{data.size() == 1024 ? STX : SOH, block, uint8_t(255 - block)};
    p.insert(p.end(), data.begin(), data.end());
    uint16_t crc = crc16(data);
    p.push_back(uint8_t(crc >> 8));
    p.push_back(uint8_t(crc));
    return p;
}

Bytes reseal(Bytes p) {
    p[131] = sum(p, 131);
    return p;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// 1024 bytes that differ from block to block.
Bytes longData(int n) {
    Bytes d;
    for (int k = 0; k < 8; ++k) d = concat({d, blockData(1000 + n * 8 + k)});
    return d;
}

// "CNAX" is C, NAK, ACK, CAN as the receiver writes them.
Bytes line(const std::string& answers) {
    Bytes out;
    for (char c : answers) out.push_back(c == 'N' ? NAK : c == 'C' ? 'C' : c == 'X' ? CAN : ACK);
    return out;
}

// What the sender puts on the line in answer to one byte from the receiver.
struct Piece {
    Bytes bytes;
    uint64_t delayMs = 0;
};
using Turn = std::vector<Piece>;

Turn send(const Bytes& bytes, uint64_t delayMs = 0) { return {{bytes, delayMs}}; }
const Turn kEot = send({EOT});
const Turn kSilence = {};

}  // namespace

class ReceiverTest : public ModuleTest {
protected:
    struct Write {
        Bytes bytes;
        uint64_t atMs;
        size_t fileSize;  // host file bytes stored when it was written
        int filesOpen;
    };

    void SetUp() override { freshWorld(); }

    // A freshly loaded module with COM3 open and a sender on its far end; the
    // table-driven tests start each case from here.
    void freshWorld() {
        ModuleTest::SetUp();
        port = openPort();
        start = w32::world().nowMs;
        log.clear();
        answers({});
        device().onWrite = [this](w32::Device& d, const Bytes& bytes) {
            size_t stored = host().files.empty() ? 0 : host().files[0].data.size();
            log.push_back({bytes, w32::world().nowMs - start, stored, fake::filesOpen()});
            if (next >= turns.size()) return;
            for (const Piece& p : turns[next]) d.arrive(p.bytes, p.delayMs);
            ++next;
        };
    }

    // The sender's answers to the receiver's writes, in order; writes beyond
    // them meet a silent line.
    void answers(std::vector<Turn> t) {
        turns = std::move(t);
        next = 0;
    }

    int receive(const char* name = "in.bin", int mode = 0) {
        captureStdout();
        int result = ReceiveSerialFile(port, const_cast<char*>(name), mode);
        trace = stdoutText();
        EXPECT_EQ(fake::filesOpen(), 0) << "the host file is closed on every path";
        return result;
    }

    const Bytes& file() { return host().files.at(0).data; }
    uint64_t elapsed() { return w32::world().nowMs - start; }

    unsigned port = 0;
    uint64_t start = 0;
    std::vector<Turn> turns;
    size_t next = 0;
    std::vector<Write> log;
    std::string trace;
};

TEST_F(ReceiverTest, CleanTransferStoresEachBlockBeforeItsAckAndClosesBeforeTheLastAck) {
    answers({send(packet(1, blockData(1))), send(packet(2, blockData(2))), send(packet(3, blockData(3))), kEot});
    EXPECT_EQ(receive(), 1);
    EXPECT_EQ(device().written, line("NAAAA"));
    EXPECT_EQ(file(), concat({blockData(1), blockData(2), blockData(3)}));
    EXPECT_EQ(trace, "Received 3 blocks\n");
    EXPECT_TRUE(host().reports.empty());
    EXPECT_EQ(device().readSizes, (std::vector<DWORD>{1, 131, 1, 131, 1, 131, 1})) << "the header byte is read alone";
    ASSERT_EQ(log.size(), 5u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(log[i].fileSize, 128 * i);
    EXPECT_EQ(log[4].filesOpen, 0) << "the file is closed before the ACK of EOT";
    EXPECT_EQ(host().files.at(0).name, "in.bin");
}

TEST_F(ReceiverTest, PacketFromTheWireFormatExampleIsAccepted) {
    Bytes abc{0x01, 0x01, 0xFE, 'a', 'b', 'c'};
    abc.resize(131, 0);
    abc.push_back(0x26);
    Bytes allA{0x01, 0x02, 0xFD};
    allA.resize(131, 0x41);
    allA.push_back(0x80);
    answers({send(abc), send(allA), kEot});
    EXPECT_EQ(receive(), 1);
    EXPECT_EQ(device().written, line("NAAA"));
    Bytes expected(abc.begin() + 3, abc.begin() + 131);
    expected.resize(256, 0x41);
    EXPECT_EQ(file(), expected);
}

TEST_F(ReceiverTest, EotFirstGivesAnEmptyFileAndAnAckWhoseFailureIsIgnored) {
    answers({kEot});
    device().write = {2, false, ERROR_GEN_FAILURE};
    EXPECT_EQ(receive(), 1);
    EXPECT_EQ(device().written, line("N"));
    EXPECT_EQ(device().write.calls, 2u) << "the ACK was attempted";
    EXPECT_TRUE(file().empty());
    EXPECT_EQ(trace, "Received 0 blocks\n");
    EXPECT_TRUE(host().reports.empty());
}

// Which blocks a sender offers decides what is stored; a block that is
// neither the next one nor a repeat of the last ends the transfer.
TEST_F(ReceiverTest, BlockNumbersDecideWhatIsStored) {
    struct Case {
        std::vector<int> blocks;
        int result;
        std::string written;
        std::vector<int> stored;
        std::string trace;
    } cases[] = {
        {{1, 2, 2, 3}, 1, "NAAAAA", {1, 2, 3}, "Received 3 blocks\n"},
        {{0, 1}, 1, "NAAA", {1}, "Received 1 blocks\n"},
        {{1, 3}, 0, "NA", {1}, "Sender out of sequence: got block 3, expected block 2\n"},
        {{2}, 0, "N", {}, "Sender out of sequence: got block 2, expected block 1\n"},
        {{1, 2, 1}, 0, "NAA", {1, 2}, "Sender out of sequence: got block 1, expected block 3\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.blocks));
        freshWorld();
        std::vector<Turn> t;
        for (int b : c.blocks) t.push_back(send(packet(uint8_t(b), blockData(b))));
        t.push_back(kEot);
        answers(t);
        EXPECT_EQ(receive(), c.result);
        EXPECT_EQ(device().written, line(c.written));
        Bytes expected;
        for (int b : c.stored) expected = concat({expected, blockData(b)});
        EXPECT_EQ(file(), expected);
        EXPECT_EQ(trace, c.trace);
        EXPECT_TRUE(host().reports.empty());
    }
}

TEST_F(ReceiverTest, BlockNumbersWrapFrom255To0AndTheCountDoesNot) {
    std::vector<Turn> t;
    Bytes expected;
    for (int i = 1; i <= 257; ++i) {
        t.push_back(send(packet(uint8_t(i), blockData(i))));
        expected = concat({expected, blockData(i)});
    }
    t.push_back(kEot);
    answers(t);
    EXPECT_EQ(receive(), 1);
    EXPECT_EQ(device().written, line("N" + std::string(258, 'A')));
    EXPECT_EQ(file(), expected);
    EXPECT_EQ(trace, "Received 257 blocks\n");
}

// A header byte that is not EOT starts a packet; each of the three tests
// failing alone rejects it, and the resent packet is stored once.
TEST_F(ReceiverTest, EachPacketTestRejectsOnItsOwn) {
    Bytes good = packet(1, blockData(1));
    Bytes badSum = good, stx = good, can = good, badComplement = good;
    badSum[131] ^= 0x10;
    stx[0] = 0x02;
    can[0] = CAN;
    badComplement[2] += 1;
    for (const Bytes& bad : {badSum, reseal(stx), reseal(can), reseal(badComplement)}) {
        SCOPED_TRACE(::testing::Message() << "header " << int(bad[0]) << " complement " << int(bad[2]));
        freshWorld();
        answers({send(bad), send(good), kEot});
        EXPECT_EQ(receive(), 1);
        EXPECT_EQ(device().written, line("NNAA"));
        EXPECT_EQ(file(), blockData(1));
        ASSERT_GE(device().readSizes.size(), 2u);
        EXPECT_EQ(device().readSizes[1], 131u) << "the rest of the packet is read after any header";
        EXPECT_EQ(trace, "Received 1 blocks\n");
    }
}

TEST_F(ReceiverTest, PacketInPiecesIsPutTogether) {
    Bytes p = packet(1, blockData(1));
    answers({{{Bytes(p.begin(), p.begin() + 41), 0},
              {Bytes(p.begin() + 41, p.begin() + 91), 200},
              {Bytes(p.begin() + 91, p.end()), 400}},
             kEot});
    EXPECT_EQ(receive(), 1);
    EXPECT_EQ(device().written, line("NAA"));
    EXPECT_EQ(file(), blockData(1));
    EXPECT_EQ(device().readSizes, (std::vector<DWORD>{1, 131, 91, 41, 1}));
}

TEST_F(ReceiverTest, EmptyReadsInsideAPacketWithinOneSecondAreWaitedOut) {
    Bytes p = packet(1, blockData(1));
    answers({{{Bytes(p.begin(), p.begin() + 121), 0}, {Bytes(p.begin() + 121, p.end()), 900}}, kEot});
    EXPECT_EQ(receive(), 1);
    EXPECT_EQ(device().written, line("NAA"));
    EXPECT_EQ(file(), blockData(1));
    std::vector<DWORD>& sizes = device().readSizes;
    ASSERT_GE(sizes.size(), 5u);
    EXPECT_EQ(sizes[1], 131u);
    for (size_t i = 2; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], 11u) << "read " << i;
}

TEST_F(ReceiverTest, TenRejectionsInARowAreAnsweredAndTheCountStartsAgain) {
    Bytes bad = packet(1, blockData(1));
    bad[131] ^= 1;
    std::vector<Turn> t(10, send(bad));
    t.push_back(send(packet(1, blockData(1))));
    for (int i = 0; i < 10; ++i) t.push_back(send(bad));
    t.push_back(send(packet(2, blockData(2))));
    t.push_back(kEot);
    answers(t);
    EXPECT_EQ(receive(), 1);
    EXPECT_EQ(device().written, line("N" + std::string(10, 'N') + "A" + std::string(10, 'N') + "AA"));
    EXPECT_EQ(file(), concat({blockData(1), blockData(2)}));
}

TEST_F(ReceiverTest, EleventhRejectionEndsSilentlyKeepingStoredBlocks) {
    Bytes bad = packet(2, blockData(2));
    bad[2] = 0;
    std::vector<Turn> t{send(packet(1, blockData(1)))};
    for (int i = 0; i < 11; ++i) t.push_back(send(reseal(bad)));
    answers(t);
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(device().written, line("NA" + std::string(10, 'N')));
    EXPECT_EQ(next, 12u) << "all eleven bad packets were read";
    EXPECT_EQ(file(), blockData(1));
    EXPECT_EQ(trace, "");
    EXPECT_TRUE(host().reports.empty());
}

// Each failing read or write: the file is closed, then the one report made.
TEST_F(ReceiverTest, FailedReadsAndWritesAreReportedAfterTheFileIsClosed) {
    Bytes bad = packet(1, blockData(1));
    bad[131] ^= 1;
    const Turn good = send(packet(1, blockData(1)));
    struct Case {
        const char* what;
        std::vector<Turn> turns;
        bool failRead;
        unsigned onCall;
        DWORD code;
        std::string message;
        std::string written;
        size_t stored;
        int mode = 0;
    } cases[] = {
        {"start NAK", {good}, false, 1, 1117, "Failed to start XMODEM transfer on serial port \"COM3\": 1117", "", 0},
        {"first header", {good}, true, 1, 995, "Failed to read XMODEM header on serial port \"COM3\": 995", "N", 0},
        {"later header", {good}, true, 3, 31, "Failed to read XMODEM header on serial port \"COM3\": 31", "NA", 128},
        {"packet rest", {good}, true, 2, 6, "Failed to read XMODEM bytes on serial port \"COM3\": 6", "N", 0},
        {"drain after a bad packet", {send(bad)}, true, 3, 6, "Failed to read XMODEM bytes on serial port \"COM3\": 6",
         "N", 0},
        {"ACK of a new block", {good}, false, 2, 0x80070005u,
         "Failed to send XMODEM ACK on serial port \"COM3\": -2147024891", "N", 128},
        {"NAK of a bad packet", {send(bad)}, false, 2, 1117, "Failed to send XMODEM NAK on serial port \"COM3\": 1117",
         "N", 0},
        {"NAK after header silence", {kSilence}, false, 2, 121,
         "Failed to send XMODEM NAK on serial port \"COM3\": 121", "N", 0},
        {"C after silence", {kSilence}, false, 2, 121,
         "Failed to start XMODEM transfer on serial port \"COM3\": 121", "C", 0, 1},
        {"C answering a bad first packet", {send(bad)}, false, 2, 121,
         "Failed to send XMODEM NAK on serial port \"COM3\": 121", "C", 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        freshWorld();
        answers(c.turns);
        (c.failRead ? device().read : device().write) = {c.onCall, false, c.code};
        EXPECT_EQ(receive("in.bin", c.mode), 0);
        EXPECT_EQ(fake::messages(), std::vector<std::string>{c.message});
        ASSERT_EQ(host().reports.size(), 1u);
        EXPECT_EQ(host().reports[0].filesOpen, 0);
        EXPECT_EQ(host().reports[0].devicesOpen, 1) << "the port stays open";
        EXPECT_EQ(host().calls.back(), "PLUGINERROR_0_S");
        EXPECT_EQ(device().written, line(c.written));
        EXPECT_EQ(file().size(), c.stored);
        EXPECT_EQ(trace, "");
    }
}

TEST_F(ReceiverTest, BadArgumentsAndAnUnopenableFileSendNothing) {
    unsigned other = openPort("COM4");
    CloseSerialPort(other);
    for (unsigned badPort : {0u, portTable.slotCount + 1, other}) EXPECT_EQ(ReceiveSerialFile(badPort, (char*)"f", 0), 0);
    EXPECT_EQ(receive("f", 6), 0);
    EXPECT_TRUE(host().calls.empty());
    EXPECT_TRUE(host().files.empty());

    host().refuseWrites = true;
    std::string longName(300, 'n');
    EXPECT_EQ(receive(longName.c_str()), 0);
    EXPECT_EQ(fake::messages(), std::vector<std::string>{"Failed to open file \"" + longName + "\""});
    EXPECT_EQ(host().calls, (std::vector<std::string>{"OPENTOWRITE_L_S", "PLUGINERROR_0_S"}));
    EXPECT_TRUE(device().written.empty());
    EXPECT_TRUE(device().readSizes.empty());
}

// A silent line: every 10 s without a header counts as a rejected packet and
// draws a NAK; the 11th ends the call.
TEST_F(ReceiverTest, HeaderSilenceIsBoundedOnTheClock) {
    answers({});
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(device().written, line(std::string(11, 'N')));
    for (size_t i = 1; i < log.size(); ++i) {
        uint64_t gap = log[i].atMs - log[i - 1].atMs;
        EXPECT_GE(gap, 10000u) << "NAK " << i;
        EXPECT_LE(gap, 10200u) << "NAK " << i;
    }
    EXPECT_GE(elapsed(), 110000u);
    EXPECT_LE(elapsed(), 112500u);
    EXPECT_TRUE(file().empty());
    EXPECT_EQ(trace, "");
    EXPECT_TRUE(host().reports.empty());
}

TEST_F(ReceiverTest, ASenderThatMissedTheFirstNakStartsOnTheNext) {
    answers({kSilence, send(packet(1, blockData(1))), kEot});
    EXPECT_EQ(receive(), 1);
    EXPECT_EQ(device().written, line("NNAA"));
    EXPECT_GE(log[1].atMs, 10000u);
    EXPECT_EQ(file(), blockData(1));
}

TEST_F(ReceiverTest, SlowSenderJustInsideTheHeaderBoundDrawsNoExtraNak) {
    answers({send(packet(1, blockData(1)), 9500), send(packet(2, blockData(2)), 9500), send({EOT}, 9500)});
    EXPECT_EQ(receive(), 1);
    EXPECT_EQ(device().written, line("NAAA"));
    EXPECT_EQ(file(), concat({blockData(1), blockData(2)}));
    EXPECT_GE(elapsed(), 28500u);
}

// A sender that stops inside a packet: one second after its last byte the
// packet is dropped and NAKed, and the resent packet is stored. The stalled
// packet repeats the stored one, so bytes left over from it in the buffer
// must not complete it into a well-formed repeat.
TEST_F(ReceiverTest, PacketSilenceRejectsAfterOneSecond) {
    Bytes p1 = packet(1, blockData(1)), p2 = packet(2, blockData(2));
    for (size_t sent : {1u, 61u, 131u}) {
        SCOPED_TRACE(sent);
        freshWorld();
        answers({send(p1), send(Bytes(p1.begin(), p1.begin() + sent)), send(p2), kEot});
        EXPECT_EQ(receive(), 1);
        EXPECT_EQ(device().written, line("NANAA"));
        EXPECT_EQ(file(), concat({blockData(1), blockData(2)}));
        ASSERT_EQ(log.size(), 5u);
        uint64_t wait = log[2].atMs - log[1].atMs;
        EXPECT_GE(wait, 1000u);
        EXPECT_LE(wait, 2500u);
    }
}

// The rest of a garbled packet is dropped before the NAK, so it is never
// taken as the next header.
TEST_F(ReceiverTest, TrailingBytesOfAGarbledPacketAreDrainedBeforeTheNak) {
    Bytes p = packet(1, blockData(1));
    Bytes inserted = p;
    inserted.insert(inserted.begin() + 10, 0x55);
    Turn garbled = send(inserted);
    for (int i = 1; i <= 15; ++i) garbled.push_back({{uint8_t(0x30 + i)}, uint64_t(55 * i)});
    answers({garbled, send(p), kEot});
    EXPECT_EQ(receive(), 1);
    EXPECT_EQ(device().written, line("NNAA"));
    EXPECT_EQ(file(), blockData(1));
    ASSERT_EQ(log.size(), 4u);
    EXPECT_GE(log[1].atMs - log[0].atMs, 825u) << "NAK only after the last stray byte";
}

TEST_F(ReceiverTest, ALineThatNeverGoesQuietStillGetsItsNaksAndEnds) {
    for (int i = 0; i < 3000; ++i) device().arrive(Bytes{0x55}, uint64_t(20 * i));
    answers({});
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(device().written, line(std::string(11, 'N')));
    // Gathering 132 bytes takes 2.64 s of noise; the drain gives up after 1 s.
    for (size_t i = 1; i < log.size(); ++i) EXPECT_LE(log[i].atMs - log[i - 1].atMs, 4500u) << "NAK " << i;
    EXPECT_TRUE(file().empty());
    EXPECT_TRUE(host().reports.empty());
}

// Modes 1 and 2 ask with C; after three Cs that meet 2 s of silence they ask
// with NAK and take the 8-bit sum, with mode 0's bounds from there on.
TEST_F(ReceiverTest, ACrcReceiverAsksWithCThreeTimesThenFallsBackToNakAndTheSum) {
    for (int mode : {1, 2}) {
        SCOPED_TRACE(mode);
        freshWorld();
        answers({kSilence, kSilence, kSilence, send(packet(1, blockData(1))), kEot});
        EXPECT_EQ(receive("in.bin", mode), 1);
        EXPECT_EQ(device().written, line("CCCNAA"));
        EXPECT_EQ(file(), blockData(1));
        ASSERT_EQ(log.size(), 6u);
        for (size_t i = 1; i < 4; ++i) {
            EXPECT_GE(log[i].atMs - log[i - 1].atMs, 2000u) << "ask " << i;
            EXPECT_LE(log[i].atMs - log[i - 1].atMs, 2100u) << "ask " << i;
        }

        freshWorld();
        EXPECT_EQ(receive("in.bin", mode), 0);
        EXPECT_EQ(device().written, line("CCC" + std::string(11, 'N')));
        EXPECT_GE(elapsed(), 116000u) << "6 s of Cs, then mode 0's 110 s";
        EXPECT_LE(elapsed(), 118500u);
        EXPECT_EQ(trace, "");
    }
}

TEST_F(ReceiverTest, CrcReceiverTakes128And1024ByteBlocksInAnyMix) {
    for (int mode : {1, 2}) {
        SCOPED_TRACE(mode);
        freshWorld();
        answers({send(crcPacket(1, longData(1))), send(crcPacket(2, blockData(2))), send(crcPacket(3, longData(3))),
                 send(crcPacket(3, longData(3))), send(crcPacket(4, blockData(4))), kEot});
        EXPECT_EQ(receive("in.bin", mode), 1);
        EXPECT_EQ(device().written, line("CAAAAAA"));
        EXPECT_EQ(file(), concat({longData(1), blockData(2), longData(3), blockData(4)}));
        EXPECT_EQ(trace, "Received 4 blocks\n");
        for (DWORD size : device().readSizes) EXPECT_LE(size, 132u) << "a 1K packet is read in pieces";
    }
}

// With CRC, each damaged packet is refused and asked for again: with C while
// no packet has been taken (the sender may still be waiting to start), with
// NAK after that.
TEST_F(ReceiverTest, CrcReceiverRefusesDamagedPacketsOfBothSizes) {
    Bytes good1 = crcPacket(1, blockData(1)), good2 = crcPacket(2, longData(2));
    Bytes lowByte = good2, data = good2, stx128 = crcPacket(2, blockData(2));
    lowByte.back() ^= 0x01;
    data[700] ^= 0x80;
    stx128[0] = STX;
    const struct {
        const char* what;
        Bytes bad;
        bool first;  // offered before any packet was taken
        uint64_t maxAnswerMs = 300;
    } cases[] = {
        {"CRC low byte", lowByte, false},
        {"one data bit of a 1K block", data, false},
        {"a 1K packet that stalls", Bytes(good2.begin(), good2.begin() + 500), false, 2500},
        {"STX ahead of 128 data bytes", stx128, false, 2500},
        {"sum instead of CRC", packet(2, blockData(2)), false, 2500},
        {"first packet garbled", Bytes(good1.begin(), good1.end() - 1), true, 2500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        freshWorld();
        if (c.first)
            answers({send(c.bad), send(good1), kEot});
        else
            answers({send(good1), send(c.bad), send(good2), kEot});
        EXPECT_EQ(receive("in.bin", 2), 1);
        EXPECT_EQ(device().written, line(c.first ? "CCAA" : "CANAA"));
        EXPECT_EQ(file(), c.first ? blockData(1) : concat({blockData(1), longData(2)}));
        ASSERT_GE(log.size(), 3u);
        size_t refusal = c.first ? 1 : 2;
        EXPECT_LE(log[refusal].atMs - log[refusal - 1].atMs, c.maxAnswerMs);
    }
}

// Two CANs where a header is expected end the call in every mode; the rest of
// the sender's cancel, also what trickles in after the CANs, is dropped so
// that a next call does not read it.
TEST_F(ReceiverTest, TwoCansInARowEndTheReceive) {
    const Bytes cancel{CAN, CAN, CAN, CAN, CAN, 0x08, 0x08, 0x08, 0x08, 0x08};
    const struct {
        int mode;
        std::vector<Turn> turns;
        std::string written;
        Bytes stored;
    } cases[] = {
        {0, {{{cancel}, {{CAN, CAN, 0x08, 0x08}, 80}}}, "N", {}},
        {1, {send(cancel)}, "C", {}},
        {0, {send(packet(1, blockData(1))), send(cancel)}, "NA", blockData(1)},
        {2, {send(crcPacket(1, longData(1))), {{{CAN}, 0}, {{CAN}, 500}}}, "CA", longData(1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << ", " << c.written);
        freshWorld();
        answers(c.turns);
        EXPECT_EQ(receive("in.bin", c.mode), 0);
        EXPECT_EQ(trace, "Sender cancelled transfer\n");
        EXPECT_EQ(device().written, line(c.written));
        EXPECT_EQ(file(), c.stored);
        w32::advanceMs(1000);
        EXPECT_EQ(device().queued(), 0u) << "what came behind the CANs was dropped";
        EXPECT_TRUE(host().reports.empty());
    }
}

// Mode 3: block 0 with "name NUL size ..." ahead of the data, with CRC-16.
namespace {

Bytes blockZero(const std::string& fields, size_t size = 128) {
    Bytes data(fields.begin(), fields.end());
    data.resize(size, 0);
    return crcPacket(0, data);
}

Bytes header(const std::string& name, const std::string& rest) { return blockZero(name + std::string(1, '\0') + rest); }

const Turn kEndOfBatch = send(blockZero(""));

Bytes firstBytes(const Bytes& data, size_t n) { return Bytes(data.begin(), data.begin() + n); }

std::string lastLine(const std::string& text) {
    size_t start = text.size() < 2 ? std::string::npos : text.rfind('\n', text.size() - 2);
    return start == std::string::npos ? text : text.substr(start + 1);
}

}  // namespace

// What the header says decides what is stored: exactly its size, or every
// block when it gives none; a file that does not match it is refused with
// CAN CAN and result 0.
TEST_F(ReceiverTest, Mode3StoresExactlyTheSizeTheHeaderGives) {
    const Bytes three = concat({blockData(1), blockData(2), blockData(3)});
    const std::string longName(300, 'n');
    const struct {
        const char* what;
        Bytes block0;
        std::vector<Bytes> data;  // data blocks 1, 2, ...
        int result;
        std::string written;
        Bytes stored;
        std::string trace;
    } cases[] = {
        {"a size alone", header("f.bin", "300"), {blockData(1), blockData(2), blockData(3)}, 1, "CACAAAACA",
         firstBytes(three, 300), "Receiving \"f.bin\", 300 bytes\nReceived 3 blocks\n"},
        {"a size and more fields", header("f.bin", "300 14271573347 100644 0 1 300"),
         {blockData(1), blockData(2), blockData(3)}, 1, "CACAAAACA", firstBytes(three, 300),
         "Receiving \"f.bin\", 300 bytes\nReceived 3 blocks\n"},
        {"no size", header("f.bin", ""), {blockData(1), blockData(2), blockData(3)}, 1, "CACAAAACA", three,
         "Receiving \"f.bin\", size unknown\nReceived 3 blocks\n"},
        {"a size on a block's end", header("f.bin", "256"), {blockData(1), blockData(2)}, 1, "CACAAACA",
         firstBytes(three, 256), "Receiving \"f.bin\", 256 bytes\nReceived 2 blocks\n"},
        {"a size inside a 1K block, in a 1K header", blockZero(longName + std::string(1, '\0') + "1000", 1024),
         {longData(1)}, 1, "CACAACA", firstBytes(longData(1), 1000),
         "Receiving \"" + longName + "\", 1000 bytes\nReceived 1 blocks\n"},
        {"a size one past a 1K block", header("f.bin", "1025"), {longData(1), blockData(2)}, 1, "CACAAACA",
         concat({longData(1), firstBytes(blockData(2), 1)}), "Receiving \"f.bin\", 1025 bytes\nReceived 2 blocks\n"},
        {"an empty file", header("f.bin", "0"), {}, 1, "CACACA", {}, "Receiving \"f.bin\", 0 bytes\nReceived 0 blocks\n"},
        {"a size that is not a number", header("f.bin", "3O0 1"), {blockData(1)}, 0, "CXX", {},
         "Header size is not a number: \"3O0\"\n"},
        {"a size that does not fit", header("f.bin", "18446744073709551616"), {blockData(1)}, 0, "CXX", {},
         "Header size is not a number: \"18446744073709551616\"\n"},
        {"a size larger than what comes", header("f.bin", "500"), {blockData(1), blockData(2), blockData(3)}, 0,
         "CACAAAXX", three, "Receiving \"f.bin\", 500 bytes\nSender ended 116 bytes short of the header's size\n"},
        {"more than the size", header("f.bin", "200"), {blockData(1), blockData(2), blockData(3)}, 0, "CACAAXX",
         firstBytes(three, 200), "Receiving \"f.bin\", 200 bytes\nSender sent more than the header's size\n"},
        {"a name with no end", blockZero(std::string(128, 'n')), {blockData(1)}, 0, "CXX", {},
         "Header name has no end\n"},
        {"a name with control bytes", header("a\nb\x7f", "1"), {blockData(1)}, 1, "CACAACA", firstBytes(three, 1),
         "Receiving \"a?b?\", 1 bytes\nReceived 1 blocks\n"},
        {"the end of the batch first", blockZero(""), {blockData(1)}, 0, "CA", {},
         "Sender ended the batch without a file\n"},
        {"an XMODEM sender", crcPacket(1, blockData(1)), {blockData(2)}, 0, "C", {},
         "Sender out of sequence: got block 1, expected block 0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        freshWorld();
        std::vector<Turn> t{send(c.block0)};
        for (size_t i = 0; i < c.data.size(); ++i) t.push_back(send(crcPacket(uint8_t(i + 1), c.data[i])));
        t.push_back(kEot);
        t.push_back(kEndOfBatch);
        answers(t);
        EXPECT_EQ(receive("in.bin", 3), c.result);
        EXPECT_EQ(device().written, line(c.written));
        EXPECT_EQ(file(), c.stored);
        EXPECT_EQ(trace, c.trace);
        EXPECT_TRUE(host().reports.empty());
        EXPECT_EQ(host().files.at(0).name, "in.bin") << "the sender's name is not used";
    }
}

// After the EOT of a whole file the result is 1 whatever follows; a second
// file is refused, and the sender's repeats are answered again.
TEST_F(ReceiverTest, Mode3EndsTheBatchAfterOneFile) {
    const Bytes file1 = firstBytes(blockData(1), 100);
    const struct {
        const char* what;
        std::vector<Turn> afterEot;  // the sender's turns after the ACK and C of the EOT
        std::string written;          // after "CACA" (start, header, block 1)
        std::string last;             // the last trace line
        uint64_t minMs = 0;
    } cases[] = {
        {"an empty block 0", {kEndOfBatch}, "ACA", "Received 1 blocks\n"},
        {"a second file", {send(header("g.bin", "5"))}, "ACXX", "Second file in the batch refused\n"},
        {"the EOT again, then the end", {kEot, kEndOfBatch}, "ACACA", "Received 1 blocks\n"},
        {"a garbled end, then the end", {send(firstBytes(blockZero(""), 60)), kEndOfBatch}, "ACCA",
         "Received 1 blocks\n"},
        {"a cancel", {send({CAN, CAN})}, "AC", "Sender cancelled transfer\n"},
        {"silence", {}, "ACCC", "Sender did not end the batch\n", 6000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        freshWorld();
        std::vector<Turn> t{send(header("f.bin", "100")), send(crcPacket(1, blockData(1))), kEot};
        t.insert(t.end(), c.afterEot.begin(), c.afterEot.end());
        answers(t);
        EXPECT_EQ(receive("in.bin", 3), 1);
        EXPECT_EQ(device().written, line("CACA" + c.written));
        EXPECT_EQ(file(), file1);
        EXPECT_EQ(lastLine(trace), c.last);
        EXPECT_GE(elapsed(), c.minMs);
        EXPECT_LE(elapsed(), c.minMs + 2500);
        EXPECT_TRUE(host().reports.empty());
    }

    // A device that fails once the file is whole changes nothing either.
    for (bool failRead : {false, true}) {
        SCOPED_TRACE(failRead ? "a failed read" : "a failed write");
        freshWorld();
        answers({send(header("f.bin", "100")), send(crcPacket(1, blockData(1))), kEot});
        (failRead ? device().read : device().write) = {failRead ? 6u : 4u, true, ERROR_GEN_FAILURE};
        EXPECT_EQ(receive("in.bin", 3), 1);
        EXPECT_EQ(file(), file1);
        EXPECT_TRUE(host().reports.empty());
    }
}

// A sender that missed the answer to its header sends it again: it is
// answered again, and the data follows.
TEST_F(ReceiverTest, Mode3AnswersARepeatedHeaderAgain) {
    answers({send(header("f.bin", "128")), send(header("f.bin", "128")), send(crcPacket(1, blockData(1))), kEot,
             kEndOfBatch});
    EXPECT_EQ(receive("in.bin", 3), 1);
    EXPECT_EQ(device().written, line("CACACAACA"));
    EXPECT_EQ(file(), blockData(1));
}

// A sender that offers the stored block again and again, with bad packets
// between (each repeat starts the count of rejections anew), is given up on
// once the expected block has had 20 tries.
TEST_F(ReceiverTest, ABlockThatNeverComesIsGivenUpOnAfter20Tries) {
    Bytes bad = packet(2, blockData(2));
    bad[131] ^= 1;
    std::vector<Turn> t{send(packet(1, blockData(1)))};
    for (int i = 0; i < 30; ++i) t.push_back(send(i % 2 ? bad : packet(1, blockData(1))));
    answers(t);
    EXPECT_EQ(receive(), 0);
    std::string answers = "NA";
    for (int i = 0; i < 10; ++i) answers += "AN";
    EXPECT_EQ(device().written, line(answers));
    EXPECT_EQ(trace, "Block 2 not received after 20 tries, giving up\n");
    EXPECT_EQ(file(), blockData(1));
    EXPECT_TRUE(host().reports.empty());
}
