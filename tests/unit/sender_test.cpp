// SendSerialFile against a scripted receiver on the Win32 double: the bytes on
// the line, trace lines, error reports, the host file and the simulated clock.
#include <string>
#include <utility>
#include <vector>

#include "fake_host.h"

using fake::host;
using w32::Bytes;

namespace {

const std::string N = "\x15", A = "\x06", X = "\x18";  // NAK, ACK, CAN
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kPad = 0xA5;  // low 8 bits of what the fake host reads past the end
constexpr uint8_t kSub = 0x1A;  // what pads the last block in modes 1 and 2

// One answer of the receiver to one packet: its bytes arrive `delayMs` after
// the write. No bytes is silence.
struct Answer {
    std::string bytes;
    uint64_t delayMs = 10;
};
using Script = std::vector<Answer>;

Script times(int n, const Answer& answer) { return Script(n, answer); }
Script operator+(Script a, const Script& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A packet as a receiver must see it, put together here byte by byte.
Bytes packet(uint8_t block, const Bytes& data) {
    Bytes p{0x01, block, uint8_t(255 - block)};
    unsigned sum = 0;
    for (uint8_t b : data) {
        p.push_back(b);
        sum += b;
    }
    p.push_back(uint8_t(sum % 256));
    return p;
}

// The same with CRC-16, high byte first; STX ahead of 1024 data bytes.
Bytes crcPacket(uint8_t block, const Bytes& data) {
    Bytes p{uint8_t(data.size() == 1024 ? 0x02 : 0x01), block, uint8_t(255 - block)};
    uint16_t crc = 0;
    for (uint8_t b : data) {
        p.push_back(b);
        crc ^= uint16_t(b << 8);
        for (int i = 0; i < 8; ++i) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    p.push_back(uint8_t(crc >> 8));
    p.push_back(uint8_t(crc));
    return p;
}

Bytes sample(size_t size) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = uint8_t(i * 37 + 11);
    return b;
}

Bytes block(const Bytes& padded, size_t index) {
    return Bytes(padded.begin() + index * 128, padded.begin() + (index + 1) * 128);
}

std::string received(const std::string& bytes) { return "Received: " + bytes + "\n"; }
std::string sending(int count) { return "Sending packet " + std::to_string(count) + "\n"; }
const std::string kTimedOut = "ACK timed out, resending\n";
const std::string kGaveUp = "Receiver stopped answering, giving up\n";

size_t countOf(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
}

std::string lastLine(const std::string& text) {
    if (text.size() < 2) return text;
    size_t start = text.rfind('\n', text.size() - 2);
    return start == std::string::npos ? text : text.substr(start + 1);
}

}  // namespace

class SenderTest : public ModuleTest {
protected:
    void SetUp() override { fresh(); }

    // A new world: module, host, device and clock at 0.
    void fresh() {
        ModuleTest::SetUp();
        port = openPort();
        host().calls.clear();
        host().padAfterEnd = 0x300 | kPad;
        filesOpenAtEot = -1;
        byteGapMs = 0;
    }

    // The receiver answers packets in script order and every further one with
    // ACK. It answers EOT with an ACK, which modes 1 to 3 wait for.
    void receiver(Script script) {
        device().onWrite = [this, script, next = size_t(0)](w32::Device& d, const Bytes& bytes) mutable {
            if (bytes.size() == 1 && bytes[0] == kEot) {
                filesOpenAtEot = fake::filesOpen();
                d.arrive(A);
                return;
            }
            Answer answer = next < script.size() ? script[next++] : Answer{A};
            for (size_t i = 0; i < answer.bytes.size(); ++i)
                d.arrive(answer.bytes.substr(i, 1), answer.delayMs + i * byteGapMs);
        };
    }

    int send(const std::string& name = "file.bin", int mode = 0) {
        return SendSerialFile(port, const_cast<char*>(name.c_str()), mode);
    }

    // The writes as block numbers, runs folded ("1x11 2 EOT"); a resend whose
    // bytes differ from the packet before it is marked. A packet other than
    // 128 bytes with the sum is marked by its layout: "c" 128 bytes with CRC,
    // "K" 1024 with CRC, "k" 1024 with the sum.
    std::string lineLog() {
        std::string log, last;
        int run = 0;
        const Bytes* previous = nullptr;
        auto flush = [&] {
            if (run) log += (log.empty() ? "" : " ") + last + (run > 1 ? "x" + std::to_string(run) : "");
        };
        for (const Bytes& w : device().writes) {
            const char* layout = w.size() == 132 ? "" : w.size() == 133 ? "c" : w.size() == 1029 ? "K" : "k";
            std::string token = w == Bytes{kEot}     ? "EOT"
                                : w.size() >= 132 ? std::to_string(w[1]) + layout
                                                  : "?";
            if (token == last && previous && *previous != w) token += "(changed)";
            if (token != last) {
                flush();
                last = token;
                run = 0;
            }
            ++run;
            previous = &w;
        }
        flush();
        return log;
    }

    // The data the receiver ends up with: each block's last packet, in
    // block order (no block number wraps in the files used with it).
    Bytes dataSent() {
        Bytes out;
        const std::vector<Bytes>& w = device().writes;
        for (size_t i = 0; i < w.size(); ++i) {
            if (w[i].size() < 132 || (i + 1 < w.size() && w[i + 1].size() >= 132 && w[i + 1][1] == w[i][1])) continue;
            size_t size = w[i][0] == 0x02 ? 1024 : 128;
            out.insert(out.end(), w[i].begin() + 3, w[i].begin() + 3 + size);
        }
        return out;
    }

    unsigned port = 0;
    int filesOpenAtEot = -1;
    uint64_t byteGapMs = 0;  // between the bytes of one answer
};

TEST_F(SenderTest, ABadPortOrModeEndsAtOnceTouchingNothing) {
    host().disk["file.bin"] = sample(10);
    device().arrive(N);
    auto expectUntouched = [&](unsigned handle, int mode) {
        SCOPED_TRACE(std::to_string(handle) + " mode " + std::to_string(mode));
        captureStdout();
        EXPECT_EQ(SendSerialFile(handle, const_cast<char*>("file.bin"), mode), 0);
        EXPECT_EQ(stdoutText(), "");
        EXPECT_TRUE(host().calls.empty());
        EXPECT_EQ(host().timerCalls, 0);
        EXPECT_TRUE(device().readSizes.empty());
        EXPECT_TRUE(device().writes.empty());
        EXPECT_EQ(device().queued(), 1u);
    };
    expectUntouched(0, 0);
    expectUntouched(port + 1, 0);
    expectUntouched(port, 6);
    expectUntouched(port, -1);
    CloseSerialPort(port);
    expectUntouched(port, 0);
}

TEST_F(SenderTest, WithoutANakInTimeTheStartWaitEndsAndTheFileIsNeverOpened) {
    const struct {
        const char* what;
        std::vector<std::pair<std::string, uint64_t>> line;  // bytes, arrival ms
        std::string trace;
    } cases[] = {
        {"silence", {}, ""},
        {"C and CAN do not start it", {{"C", 0}, {X, 1000}, {"CC", 7000}}, received("C") + received(X) + received("CC")},
        {"a NAK read in the pass after which time is up", {{N, 8001}}, received(N)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();  // "file.bin" is missing: an open would show as a report
        for (const auto& [bytes, atMs] : c.line) device().arrive(bytes, atMs);
        captureStdout();
        EXPECT_EQ(send(), 0);
        EXPECT_EQ(stdoutText(), c.trace + "Transfer start timed out\n");
        EXPECT_TRUE(host().calls.empty()) << "no file opened, nothing reported";
        EXPECT_TRUE(device().writes.empty());
        EXPECT_GT(w32::world().nowMs, 8000u);
        EXPECT_LE(w32::world().nowMs, 8060u);
    }
}

TEST_F(SenderTest, ANakAtExactlyEightSecondsStartsAmongOtherBytes) {
    host().disk["empty"] = {};
    device().arrive("C", 0);
    device().arrive(X, 1000);
    device().arrive("xyC" + N + "z", 8000);
    receiver({});
    captureStdout();
    EXPECT_EQ(send("empty"), 1);
    EXPECT_EQ(stdoutText(), received("C") + received(X) + received("xyC" + N + "z") + "Sent 0 blocks\n");
    EXPECT_EQ(lineLog(), "EOT");
    EXPECT_EQ(filesOpenAtEot, 0);
}

TEST_F(SenderTest, AFileMissingAfterTheNakIsReportedAndNothingIsSent) {
    std::string name = "no such dir\\" + std::string(200, 'f') + ".bin";
    device().arrive(N);
    captureStdout();
    EXPECT_EQ(send(name), 0);
    EXPECT_EQ(stdoutText(), received(N));
    EXPECT_EQ(fake::messages(), std::vector<std::string>{"Failed to open file \"" + name + "\" for reading"});
    EXPECT_TRUE(device().writes.empty());
    EXPECT_EQ(fake::filesOpen(), 0);
}

TEST_F(SenderTest, AFileGoesOutInWholeBlocksThenEotAfterTheFileIsClosed) {
    for (size_t size : {0, 1, 128, 129, 300}) {
        SCOPED_TRACE(size);
        fresh();
        Bytes data = sample(size);
        host().disk["file.bin"] = data;
        device().arrive(N);
        receiver({});
        captureStdout();
        EXPECT_EQ(send(), 1);

        size_t count = (size + 127) / 128;
        Bytes padded = data;
        padded.resize(count * 128, kPad);
        std::vector<Bytes> expected;
        std::string trace = received(N);
        for (size_t k = 0; k < count; ++k) {
            expected.push_back(packet(uint8_t(k + 1), block(padded, k)));
            trace += sending(int(k + 1)) + received(A);
        }
        expected.push_back({kEot});
        EXPECT_EQ(device().writes, expected);
        EXPECT_EQ(stdoutText(), trace + "Sent " + std::to_string(count) + " blocks\n");
        EXPECT_EQ(host().readByteCalls, int(count * 128)) << "no end test inside a block";
        EXPECT_EQ(filesOpenAtEot, 0);
        EXPECT_EQ(fake::filesOpen(), 0);
        EXPECT_EQ(device().queued(), 1u) << "the answer to EOT is left unread";
        EXPECT_TRUE(host().reports.empty());
    }
}

TEST_F(SenderTest, AbcIsTheKnownPacket) {
    host().padAfterEnd = 0;
    host().disk["abc"] = {'a', 'b', 'c'};
    device().arrive(N);
    receiver({});
    captureStdout();
    EXPECT_EQ(send("abc"), 1);
    stdoutText();
    Bytes expected{0x01, 0x01, 0xFE, 'a', 'b', 'c'};
    expected.resize(131, 0);
    expected.push_back(0x26);
    ASSERT_FALSE(device().writes.empty());
    EXPECT_EQ(device().writes[0], expected);
}

TEST_F(SenderTest, BlockNumbersWrapAfter255WhileTheCountGoesOn) {
    Bytes data = sample(256 * 128 + 1);
    host().disk["big"] = data;
    device().arrive(N);
    receiver({});
    captureStdout();
    EXPECT_EQ(send("big"), 1);
    std::string out = stdoutText();
    data.resize(257 * 128, kPad);
    ASSERT_EQ(device().writes.size(), 258u);
    const std::pair<size_t, uint8_t> wraps[] = {{254, 255}, {255, 0}, {256, 1}};
    for (auto [index, number] : wraps)
        EXPECT_EQ(device().writes[index], packet(number, block(data, index))) << "block " << index + 1;
    EXPECT_NE(out.find(sending(255) + received(A) + sending(256) + received(A) + sending(257)), std::string::npos);
    EXPECT_EQ(lastLine(out), "Sent 257 blocks\n");
}

// The answers to the packets of a two-block file, and what they lead to.
TEST_F(SenderTest, AnswersDecideAsTheyAreReadAndInTime) {
    const struct {
        const char* what;
        Script script;
        int result;
        std::string log;
        std::string last;  // last trace line
        size_t timeouts;   // "ACK timed out" lines
        uint64_t gapMs = 0;
    } cases[] = {
        {"ACK then CAN in one read is ACK", {{A + X}}, 1, "1 2 EOT", "Sent 2 blocks\n", 0},
        {"CAN then ACK in one read ends it", {{X + A}}, 0, "1", "Receiver cancelled transfer\n", 0},
        {"CAN behind other bytes on block 2", {{A}, {"zz" + X}}, 0, "1 2", "Receiver cancelled transfer\n", 0},
        {"ten NAKs are borne", times(10, {N}), 1, "1x11 2 EOT", "Sent 2 blocks\n", 0},
        {"the eleventh NAK ends it", times(11, {N}), 0, "1x11", "Received too many NAKs\n", 0},
        {"two NAKs in one read are one", times(10, {N + N}), 1, "1x11 2 EOT", "Sent 2 blocks\n", 0},
        {"an ACK sets the count back", times(10, {N}) + Script{{A}} + times(10, {N}), 1, "1x11 2x11 EOT",
         "Sent 2 blocks\n", 0},
        {"answer time-outs leave the count alone", times(5, {N}) + Script{{""}} + times(6, {N}), 0, "1x12",
         "Received too many NAKs\n", 1},
        {"a read without ACK, NAK or CAN decides nothing", {{"xyz"}}, 1, "1x2 2 EOT", "Sent 2 blocks\n", 1},
        {"an ACK at exactly 2.0 s is in time", {{A, 2000}}, 1, "1 2 EOT", "Sent 2 blocks\n", 0},
        {"an ACK read after 2.0 s resends", {{A, 2001}}, 1, "1x2 2 EOT", "Sent 2 blocks\n", 1},
        {"a late ACK still sets the count back", times(5, {N}) + Script{{A, 2001}} + times(10, {N}), 1,
         "1x17 2 EOT", "Sent 2 blocks\n", 1},
        {"a late NAK still counts", times(9, {N}) + Script{{N, 2001}, {N}}, 0, "1x11", "Received too many NAKs\n", 1},
        {"NAK then ACK in two reads of one pass: next block, count 0", Script{{N + A, 0}} + times(10, {N}), 1,
         "1 2x11 EOT", "Sent 2 blocks\n", 0, 1},
        {"ACK then NAK in two reads of one pass: resend, count 1", Script{{A + N, 0}} + times(10, {N}), 0,
         "1x11", "Received too many NAKs\n", 0, 1},
        {"ten silences in a row give up", times(10, {""}), 0, "1x10", kGaveUp, 9},
        {"a NAK breaks the row of silences", times(9, {""}) + Script{{N}} + times(9, {""}), 1, "1x20 2 EOT",
         "Sent 2 blocks\n", 18},
        {"so does a late ACK", times(9, {""}) + Script{{A, 2001}} + times(9, {""}), 1, "1x20 2 EOT",
         "Sent 2 blocks\n", 19},
        {"each block starts a new row", times(9, {""}) + Script{{A}} + times(9, {""}), 1, "1x10 2x10 EOT",
         "Sent 2 blocks\n", 18},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        host().disk["file.bin"] = sample(200);
        device().arrive(N);
        device().readMsPerByte = c.gapMs;  // so the second byte comes in behind the first read
        byteGapMs = c.gapMs;
        receiver(c.script);
        captureStdout();
        EXPECT_EQ(send(), c.result);
        std::string out = stdoutText();
        EXPECT_EQ(lineLog(), c.log);
        EXPECT_EQ(lastLine(out), c.last);
        EXPECT_EQ(countOf(out, kTimedOut), c.timeouts);
        EXPECT_EQ(fake::filesOpen(), 0);
        EXPECT_TRUE(host().reports.empty());
        if (c.gapMs) {
            const std::string& first = c.script[0].bytes;
            EXPECT_NE(out.find(received(first.substr(0, 1)) + received(first.substr(1))), std::string::npos)
                << "two reads";
        }
    }
}

TEST_F(SenderTest, TheEleventhNakClosesTheFileAndEndsWithNothingMoreSent) {
    host().disk["file.bin"] = sample(10);
    device().arrive(N);
    receiver(times(11, {N}));
    captureStdout();
    EXPECT_EQ(send(), 0);
    std::string trace = received(N);
    for (int i = 0; i < 11; ++i) trace += sending(1) + received(N);
    EXPECT_EQ(stdoutText(), trace + "Received too many NAKs\n");
    EXPECT_EQ(device().writes, std::vector<Bytes>(11, device().writes.at(0)));
    EXPECT_EQ(host().calls, (std::vector<std::string>{"OPENTOREAD_L_S", "CLOSEFILE_0_L"}));
}

TEST_F(SenderTest, ALateAckResendsTheSamePacketWithTheSameCount) {
    host().disk["file.bin"] = sample(10);
    device().arrive(N);
    receiver({{A, 2001}});
    captureStdout();
    EXPECT_EQ(send(), 1);
    EXPECT_EQ(stdoutText(), received(N) + sending(1) + received(A) + kTimedOut + sending(1) + received(A) +
                                "Sent 1 blocks\n");
    EXPECT_EQ(lineLog(), "1x2 EOT");
}

TEST_F(SenderTest, ASilentReceiverIsGivenUpOnAfterTenAnswerTimeouts) {
    host().disk["file.bin"] = sample(10);
    device().arrive(N);
    receiver(times(30, {""}));
    captureStdout();
    EXPECT_EQ(send(), 0);
    std::string trace = received(N) + sending(1);
    for (int i = 0; i < 9; ++i) trace += kTimedOut + sending(1);
    EXPECT_EQ(stdoutText(), trace + kGaveUp);
    EXPECT_EQ(lineLog(), "1x10");
    EXPECT_EQ(fake::filesOpen(), 0);
    EXPECT_TRUE(host().reports.empty());
    // Each wait ends at the first 60 ms step past 2.0 s.
    EXPECT_GT(w32::world().nowMs, 10 * 2000u);
    EXPECT_LE(w32::world().nowMs, 10 * 2060u);
    for (DWORD size : device().readSizes) EXPECT_EQ(size, 1u) << "waits for one byte at a time";
}

TEST_F(SenderTest, AFloodingPeerCannotHoldTheCallPastItsLimits) {
    constexpr uint64_t kFloodMs = 60000;  // one byte a millisecond, read at that rate
    for (bool afterStart : {false, true}) {
        SCOPED_TRACE(afterStart ? "flood after the first packet" : "flood before any NAK");
        fresh();
        host().disk["file.bin"] = sample(10);
        device().readMsPerByte = 1;
        auto flood = [](w32::Device& d) {
            for (uint64_t ms = 0; ms < kFloodMs; ++ms) d.arrive("x", ms);
        };
        if (afterStart) {
            device().arrive(N);
            device().onWrite = [flood](w32::Device& d, const Bytes&) {
                if (d.writes.size() == 1) flood(d);
            };
        } else {
            flood(device());
        }
        captureStdout();
        EXPECT_EQ(send(), 0);
        std::string out = stdoutText();
        EXPECT_EQ(lastLine(out), afterStart ? kGaveUp : "Transfer start timed out\n");
        EXPECT_LT(w32::world().nowMs, afterStart ? 10 * 2100u : 8100u);
        EXPECT_EQ(fake::filesOpen(), 0);
    }
}

TEST_F(SenderTest, FailedWritesCloseTheFileBeforeTheReport) {
    const struct {
        unsigned failingWrite;
        DWORD code;
        std::string log;
        std::string trace;
        std::string report;
    } cases[] = {
        {1, 1117, "", received(N) + sending(1), "Failed to send XMODEM packet on serial port \"COM3\": 1117"},
        {3, 995, "1x2", received(N) + sending(1) + received(N) + sending(1) + received(A) + sending(2),
         "Failed to send XMODEM packet on serial port \"COM3\": 995"},
        {4, 31, "1x2 2", received(N) + sending(1) + received(N) + sending(1) + received(A) + sending(2) + received(A),
         "Failed to send XMODEM EOT on serial port \"COM3\": 31"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failingWrite);
        fresh();
        host().disk["file.bin"] = sample(200);
        host().onCloseFile = [] { SetLastError(0); };  // a host's close may touch the last error
        device().arrive(N);
        device().write = {c.failingWrite, false, c.code};
        receiver({{N}});
        captureStdout();
        EXPECT_EQ(send(), 0);
        EXPECT_EQ(stdoutText(), c.trace);
        EXPECT_EQ(fake::messages(), std::vector<std::string>{c.report});
        ASSERT_EQ(host().reports.size(), 1u);
        EXPECT_EQ(host().reports[0].filesOpen, 0);
        EXPECT_EQ(lineLog(), c.log) << "nothing more after the failure";
    }
}

TEST_F(SenderTest, AChunkIsTracedAsTextUpToItsFirstZeroByteWhateverItsLength) {
    // 117 bytes is the longest chunk whose line fits the sender's own line
    // buffer; longer ones take another path to stdout.
    const std::string zero(1, '\0');
    const std::string cases[] = {
        "ab" + zero + "cd" + A,
        std::string(116, 'z') + A,
        std::string(117, 'z') + A,
        std::string(300, 'z') + A,
        std::string(200, 'y') + zero + std::string(50, 'q') + A,
    };
    for (const std::string& noise : cases) {
        SCOPED_TRACE(noise.size());
        fresh();
        host().disk["file.bin"] = sample(10);
        device().arrive(N);
        receiver({{noise}});
        captureStdout();
        EXPECT_EQ(send(), 1);
        EXPECT_EQ(stdoutText(), received(N) + sending(1) + received(noise.substr(0, noise.find('\0'))) +
                                    "Sent 1 blocks\n")
            << "the ACK behind the text still counts";
        EXPECT_EQ(lineLog(), "1 EOT");
    }
}

// Modes 1 and 2 start on NAK with the 8-bit sum or on C with CRC-16, whichever
// comes first, and pad the last block with 0x1A, never reading past the end.
TEST_F(SenderTest, TheStartByteChoosesTheCheckInModes1And2) {
    const struct {
        int mode;
        std::string line;
        bool crc;
    } cases[] = {
        {1, "C", true}, {2, "C", true}, {1, N, false}, {2, "xC" + N, true}, {1, "x" + N + "C", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " " << ::testing::PrintToString(c.line));
        fresh();
        Bytes data = sample(10);
        host().disk["file.bin"] = data;
        device().arrive(c.line);
        receiver({});
        captureStdout();
        EXPECT_EQ(send("file.bin", c.mode), 1);
        EXPECT_EQ(stdoutText(), received(c.line) + sending(1) + received(A) + received(A) + "Sent 1 blocks\n");
        data.resize(128, kSub);
        EXPECT_EQ(device().writes, (std::vector<Bytes>{c.crc ? crcPacket(1, data) : packet(1, data), {kEot}}));
        EXPECT_EQ(host().readByteCalls, 10);
    }
}

// Modes 1 and 2 write the EOT until it is acknowledged, as mode 3 does: a
// receiver may NAK the first one to tell it from noise, and a lost one would
// leave it waiting. Mode 0 writes one and leaves its answer to the caller.
TEST_F(SenderTest, TheEotGoesUntilAcknowledgedInModes1And2) {
    const struct {
        int mode;
        std::vector<std::string> eotAnswers;
        int result;
        size_t eots;
        std::string last;
    } cases[] = {
        {1, {N, A}, 1, 2, "Sent 1 blocks\n"},
        {2, {"", A}, 1, 2, "Sent 1 blocks\n"},
        {2, std::vector<std::string>(10, ""), 0, 10, "EOT not acknowledged, giving up\n"},
        {1, {X}, 0, 1, "Receiver cancelled transfer\n"},
        {0, {""}, 1, 1, "Sent 1 blocks\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << ", " << c.eots << " EOTs");
        fresh();
        host().disk["file.bin"] = sample(10);
        device().arrive(c.mode ? "C" : N);
        size_t eots = 0;
        device().onWrite = [&](w32::Device& d, const Bytes& w) {
            if (w != Bytes{kEot}) return d.arrive(A, 10);
            d.arrive(eots < c.eotAnswers.size() ? c.eotAnswers[eots] : "", 10);
            ++eots;
        };
        captureStdout();
        EXPECT_EQ(send("file.bin", c.mode), c.result);
        EXPECT_EQ(eots, c.eots);
        EXPECT_EQ(lastLine(stdoutText()), c.last);
        EXPECT_TRUE(host().reports.empty());
    }
}

// 1024-byte blocks while more than 896 bytes are left, then 128-byte ones.
TEST_F(SenderTest, Mode2SendsLongBlocksWhileMoreThan896BytesAreLeft) {
    const struct {
        int mode;
        size_t size;
        std::string log;
        std::string start = "C";
    } cases[] = {
        {2, 0, "EOT"},
        {2, 1, "1c EOT"},
        {2, 896, "1c 2c 3c 4c 5c 6c 7c EOT"},
        {2, 897, "1K EOT"},
        {2, 1024, "1K EOT"},
        {2, 1025, "1K 2c EOT"},
        {2, 5000, "1K 2K 3K 4K 5K EOT"},
        {2, 2000, "1k 2k EOT", N},
        {1, 1025, "1c 2c 3c 4c 5c 6c 7c 8c 9c EOT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << ", " << c.size << " bytes");
        fresh();
        Bytes data = sample(c.size);
        host().disk["file.bin"] = data;
        device().arrive(c.start);
        receiver({});
        captureStdout();
        EXPECT_EQ(send("file.bin", c.mode), 1);
        stdoutText();
        EXPECT_EQ(lineLog(), c.log);
        Bytes sent = dataSent();
        ASSERT_GE(sent.size(), data.size());
        EXPECT_LT(sent.size() - data.size(), 128u) << "less than one short block of padding";
        data.resize(sent.size(), kSub);
        EXPECT_EQ(sent, data);
        EXPECT_EQ(host().readByteCalls, int(c.size));
        EXPECT_EQ(filesOpenAtEot, 0);
    }
}

// A 1K block refused or unanswered three times goes again as 128-byte blocks
// under its own number, and so does the rest of the file.
TEST_F(SenderTest, ALongBlockThatKeepsFailingMakesTheRestGoInShortBlocks) {
    std::string shortTail;
    for (int b = 3; b <= 17; ++b) shortTail += " " + std::to_string(b) + "c";
    const struct {
        const char* what;
        Script script;
        std::string log;
        std::string trace;
    } cases[] = {
        {"block 2 fails three times", {{A}, {N}, {""}, {N}}, "1K 2Kx3 2c" + shortTail + " EOT", "Sent 17 blocks\n"},
        {"block 2 fails twice", {{A}, {N}, {""}}, "1K 2Kx3 3K EOT", "Sent 3 blocks\n"},
        {"the NAK limit still holds", Script{{A}} + times(11, {N}), "1K 2Kx3 2cx8", "Received too many NAKs\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        Bytes data = sample(3000);
        host().disk["file.bin"] = data;
        device().arrive("C");
        receiver(c.script);
        captureStdout();
        send("file.bin", 2);
        EXPECT_EQ(lineLog(), c.log);
        EXPECT_EQ(lastLine(stdoutText()), c.trace);
        if (c.trace.rfind("Sent", 0) == 0) {
            data.resize(dataSent().size(), kSub);
            EXPECT_EQ(dataSent(), data);
        }
        EXPECT_EQ(fake::filesOpen(), 0);
    }
}

// A C in answer to the first block asks for it again with CRC-16; after an
// ACK, a C decides nothing.
TEST_F(SenderTest, ACBeforeTheFirstAckAsksForTheBlockAgainWithCrc) {
    const struct {
        int mode;
        std::string start;
        std::string log;
    } cases[] = {
        {1, N, "1 1c 2cx2 3c EOT"},
        {2, "C", "1cx2 2cx2 3c EOT"},
        {0, N, "1x2 2x2 3 EOT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode);
        fresh();
        host().disk["file.bin"] = sample(300);
        device().arrive(c.start);
        receiver({{"C"}, {A}, {"C"}});
        captureStdout();
        EXPECT_EQ(send("file.bin", c.mode), 1);
        stdoutText();
        EXPECT_EQ(lineLog(), c.log);
    }
}

// Mode 3 against a receiver that asks with C: block 0 with the name and size
// first, then the data as in mode 2, the EOT until acknowledged, and an empty
// block 0 to end the batch.
class YmodemSenderTest : public SenderTest {
protected:
    // Answers in order to the header, to the EOT and to the end of the
    // batch; once a list runs out, as a receiver that takes everything:
    // ACK and C for a header or an EOT, ACK for a data block or the end.
    void ymodemReceiver(Script header, Script eot, Script end) {
        device().onWrite = [=, counts = std::vector<size_t>(3, 0)](w32::Device& d, const Bytes& w) mutable {
            Answer answer{A};
            const Script* script = nullptr;
            size_t* next = nullptr;
            if (w == Bytes{kEot}) {
                script = &eot, next = &counts[1], answer = {A + "C"};
            } else if (w[1] == 0 && w[3] != 0) {
                script = &header, next = &counts[0], answer = {A + "C"};
            } else if (w[1] == 0) {
                script = &end, next = &counts[2];
            }
            if (script && *next < script->size()) answer = (*script)[(*next)++];
            d.arrive(answer.bytes, answer.delayMs);
        };
    }

    int sendYmodem(const std::string& name, const Bytes& data, const std::string& start = "C") {
        std::string base = name.substr(name.find_last_of("\\/") + 1);
        host().disk[name] = data;
        device().arrive(start);
        captureStdout();
        int result = send(name, 3);
        trace = stdoutText();
        EXPECT_EQ(fake::filesOpen(), 0);
        EXPECT_TRUE(host().reports.empty());
        return result;
    }

    // The data of block 0 as the first write carried it.
    std::string headerData() {
        const Bytes& w = device().writes.at(0);
        size_t size = w[0] == 0x02 ? 1024 : 128;
        return std::string(w.begin() + 3, w.begin() + 3 + size);
    }

    std::string trace;
};

// The name is what follows the last \ or /; the size and a modification time
// of 0 ("unknown") follow its NUL. 128 bytes hold up to 121 characters of
// name with a three-digit size; then 1024 bytes, up to 1017.
TEST_F(YmodemSenderTest, Block0CarriesTheNameAndTheSizeInA128Or1024ByteBlock) {
    const struct {
        std::string name;
        size_t nameLength;  // of the part sent
        size_t blockSize;
    } cases[] = {
        {"C:\\dir\\sub/name.bin", 8, 128},
        {"dir/" + std::string(121, 'n'), 121, 128},
        {std::string(122, 'n'), 122, 1024},
        {"x\\" + std::string(1017, 'n'), 1017, 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nameLength);
        fresh();
        ymodemReceiver({}, {}, {});
        EXPECT_EQ(sendYmodem(c.name, sample(300)), 1);
        std::string expected = c.name.substr(c.name.size() - c.nameLength) + std::string(1, '\0') + "300 0";
        expected.resize(c.blockSize, '\0');
        EXPECT_EQ(headerData(), expected);
        EXPECT_EQ(lineLog(), std::string(c.blockSize == 128 ? "0c" : "0K") + " 1c 2c 3c EOT 0c");
        EXPECT_EQ(device().writes.back(), crcPacket(0, Bytes(128, 0))) << "the end of the batch";
    }
}

// A header that cannot be made ends the call after the start, the file
// closed and nothing sent: an empty name would end the batch, a size below 0
// is none.
TEST_F(YmodemSenderTest, NoHeaderNoTransfer) {
    const struct {
        std::string name;
        int size;
        std::string trace;
    } cases[] = {
        {"dir\\", 10, "No file name for the header block\n"},
        {"a/", 10, "No file name for the header block\n"},
        {std::string(1019, 'n'), 10, "File name too long for the header block: 1019 bytes\n"},
        {"f.bin", -1, "File size from the host is negative: -1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        fresh();
        host().fileSizeAnswer = c.size;
        EXPECT_EQ(sendYmodem(c.name, sample(10)), 0);
        EXPECT_EQ(trace, received("C") + c.trace);
        EXPECT_TRUE(device().writes.empty());
    }

    fresh();
    host().absent.insert("GETFILESIZE_L_L");
    ReceiveORVPtr(fake::lookup);
    host().calls.clear();
    EXPECT_EQ(sendYmodem("f.bin", sample(10)), 0);
    EXPECT_EQ(trace, "");
    EXPECT_TRUE(host().calls.empty()) << "fails at once, as without the other commands";
}

TEST_F(YmodemSenderTest, TheDataGoesAsInMode2AndTheSizeIsTheFiles) {
    for (auto [size, blocks] : {std::pair<size_t, int>{0, 0}, {1, 1}, {1025, 2}}) {
        SCOPED_TRACE(size);
        fresh();
        ymodemReceiver({}, {}, {});
        Bytes data = sample(size);
        EXPECT_EQ(sendYmodem("f.bin", data), 1);
        EXPECT_EQ(headerData().substr(0, 6 + std::to_string(size).size() + 3),
                  std::string("f.bin\0", 6) + std::to_string(size) + std::string(" 0\0", 3));
        Bytes sent = dataSent();
        ASSERT_GE(sent.size(), 256u);  // both block 0s
        sent = Bytes(sent.begin() + 128, sent.end() - 128);
        data.resize(sent.size(), kSub);
        EXPECT_EQ(sent, data);
        EXPECT_EQ(lastLine(trace), "Sent " + std::to_string(blocks) + " blocks\n");
    }
}

// Each answer to the header, the EOT and the end of the batch, and what it
// leads to; one data block between.
TEST_F(YmodemSenderTest, AnswersToTheHeaderTheEotAndTheEndOfTheBatch) {
    const std::string C = "C";
    const struct {
        const char* what;
        Script header, eot, end;
        int result;
        std::string log;
        std::string last;
        size_t timeouts = 0;
    } cases[] = {
        {"all taken", {}, {}, {}, 1, "0c 1c EOT 0c", "Sent 1 blocks\n"},
        {"header ACKed without a C: sent again", {{A}}, {}, {}, 1, "0cx2 1c EOT 0c", "Sent 1 blocks\n", 1},
        {"header NAKed, then taken", {{N}}, {}, {}, 1, "0cx2 1c EOT 0c", "Sent 1 blocks\n"},
        {"header refused eleven times", times(11, {N}), {}, {}, 0, "0cx11", "Received too many NAKs\n"},
        {"header cancelled", {{X}}, {}, {}, 0, "0c", "Receiver cancelled transfer\n"},
        {"header never answered", times(10, {""}), {}, {}, 0, "0cx10", kGaveUp, 9},
        {"EOT NAKed, then taken", {}, {{N}}, {}, 1, "0c 1c EOTx2 0c", "Sent 1 blocks\n"},
        {"EOT unanswered once", {}, {{""}}, {}, 1, "0c 1c EOTx2 0c", "Sent 1 blocks\n", 1},
        {"EOT answered by C alone", {}, {{C}}, {}, 1, "0c 1c EOT 0c", "Sent 1 blocks\n"},
        {"EOT ACKed without a C", {}, {{A}}, {}, 1, "0c 1c EOT", "Sent 1 blocks\n"},
        {"EOT never taken", {}, times(10, {N}), {}, 0, "0c 1c EOTx10", "EOT not acknowledged, giving up\n"},
        {"EOT cancelled", {}, {{X}}, {}, 0, "0c 1c EOT", "Receiver cancelled transfer\n"},
        {"EOT ACKed, then cancelled: the file is there", {}, {{A + X}}, {}, 1, "0c 1c EOT", "Sent 1 blocks\n"},
        {"end NAKed, then taken", {}, {}, {{N}}, 1, "0c 1c EOT 0cx2", "Sent 1 blocks\n"},
        {"end unanswered: the receiver may be gone", {}, {}, {{""}}, 1, "0c 1c EOT 0c", "Sent 1 blocks\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        ymodemReceiver(c.header, c.eot, c.end);
        EXPECT_EQ(sendYmodem("f.bin", sample(100)), c.result);
        EXPECT_EQ(lineLog(), c.log);
        EXPECT_EQ(lastLine(trace), c.last);
        EXPECT_EQ(countOf(trace, kTimedOut), c.timeouts);
    }
}

// A receiver that confirms the EOT only after seconds of silence is waited
// for 4 s; silence beyond that draws the EOT again.
TEST_F(YmodemSenderTest, TheEotAnswerIsWaitedForFourSeconds) {
    for (uint64_t delay : {3900u, 4100u}) {
        SCOPED_TRACE(delay);
        fresh();
        ymodemReceiver({}, {{A + "C", delay}}, {});
        EXPECT_EQ(sendYmodem("f.bin", sample(10)), 1);
        EXPECT_EQ(lineLog(), delay < 4000 ? "0c 1c EOT 0c" : "0c 1c EOTx2 0c");
    }
}

// Whatever the mix of NAKs, silences and late ACKs, a block goes out 20 times
// at most: the receiver's counts start again after each late ACK, so without
// the budget this pattern would hold the call for good.
TEST_F(SenderTest, ABlockSent20TimesWithoutAnAckEndsTheTransfer) {
    host().disk["file.bin"] = sample(300);
    device().arrive(N);
    Script mix;
    for (int i = 0; i < 10; ++i) mix = mix + Script{{N}, {A, 2001}, {""}};
    receiver(Script{{A}} + mix);
    captureStdout();
    EXPECT_EQ(send(), 0);
    std::string out = stdoutText();
    EXPECT_EQ(lineLog(), "1 2x20");
    EXPECT_EQ(lastLine(out), "Packet 2 sent 20 times, giving up\n");
    EXPECT_EQ(fake::filesOpen(), 0);
    EXPECT_TRUE(host().reports.empty());
    EXPECT_LT(w32::world().nowMs, 20 * 2100u);
}

// A host timer that counts seconds from midnight wraps to 0 in the middle of
// a wait: the wait goes on from the new reading and ends on time.
TEST_F(SenderTest, WaitsEndOnTimeWhenTheHostTimerWrapsAtMidnight) {
    host().timerStartSeconds = 86399.5;
    host().disk["file.bin"] = sample(10);
    device().arrive(N);
    receiver(times(30, {""}));
    captureStdout();
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(lastLine(stdoutText()), kGaveUp);
    EXPECT_EQ(lineLog(), "1x10");
    EXPECT_GT(w32::world().nowMs, 10 * 2000u);
    EXPECT_LE(w32::world().nowMs, 10 * 2060u);

    fresh();
    host().timerStartSeconds = 86399.5;
    captureStdout();
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(stdoutText(), "Transfer start timed out\n");
    EXPECT_GT(w32::world().nowMs, 8000u);
    EXPECT_LE(w32::world().nowMs, 8060u);
}
