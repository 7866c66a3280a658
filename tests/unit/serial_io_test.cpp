// Raw traffic on an open port, and the device reads and writes under it.
#include "fake_host.h"
#include "serial/serial_io.h"

using fake::host;

class SerialIoTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        port = openPort();
    }
    unsigned port = 0;
};

TEST_F(SerialIoTest, BytesWaitingAreCountedAndRead) {
    EXPECT_EQ(GetSerialBytesAvailable(port), 0);
    device().arrive("hello");
    EXPECT_EQ(GetSerialBytesAvailable(port), 5);
    host().stringSizes.clear();
    char* text = ReadSerialData(port, 5);
    EXPECT_STREQ(text, "hello");
    EXPECT_EQ(host().stringSizes, std::vector<int>{6});
    EXPECT_EQ(GetSerialBytesAvailable(port), 0);
}

TEST_F(SerialIoTest, ReadsCutShortByTheTimeoutsGiveTheBytesSoFarThenZeros) {
    device().arrive("ab");
    device().arrive("late", 500);
    uint64_t start = w32::world().nowMs;
    char* text = ReadSerialData(port, 8);
    EXPECT_EQ(std::string(text, 9), std::string("ab\0\0\0\0\0\0\0", 9));
    EXPECT_EQ(w32::world().nowMs - start, 50u) << "ends when the line is quiet for 50 ms";
    start = w32::world().nowMs;
    EXPECT_STREQ(ReadSerialData(port, 100), "late");
    EXPECT_EQ(w32::world().nowMs - start, 500u) << "50 ms after the late bytes, which came at 550 ms";
    // Nothing arriving at all: 10 * n + 50 ms.
    start = w32::world().nowMs;
    EXPECT_STREQ(ReadSerialData(port, 20), "");
    EXPECT_EQ(w32::world().nowMs - start, 250u);
    EXPECT_TRUE(host().reports.empty());
}

TEST_F(SerialIoTest, AZeroByteEndsTheScriptsText) {
    device().arrive(w32::Bytes{'o', 'k', 0, 'x'});
    char* text = ReadSerialData(port, 4);
    EXPECT_STREQ(text, "ok");
    EXPECT_EQ(text[3], 'x');
    EXPECT_EQ(text[4], 0);
}

TEST_F(SerialIoTest, LengthZeroAndHugeLengthsReadNothing) {
    device().arrive("data");
    for (unsigned length : {0u, 4294967295u, 2147483647u}) {
        host().stringSizes.clear();
        EXPECT_STREQ(ReadSerialData(port, length), "");
        EXPECT_EQ(host().stringSizes, std::vector<int>{1});
    }
    EXPECT_TRUE(device().readSizes.empty());
    EXPECT_EQ(GetSerialBytesAvailable(port), 4);
}

TEST_F(SerialIoTest, ReadAndQueryFailuresAreReported) {
    device().arrive("abc");
    device().read = {1, false, 995};
    EXPECT_STREQ(ReadSerialData(port, 3), "");
    device().clearError = {1, false, 6};
    EXPECT_EQ(GetSerialBytesAvailable(port), 0);
    EXPECT_EQ(fake::messages(), (std::vector<std::string>{"Failed to read bytes from serial port \"COM3\": 995",
                                                          "Error getting serial port \"COM3\" bytes available: 6"}));
}

TEST_F(SerialIoTest, WritesSendLengthBytesAndTraceTheWholeString) {
    captureStdout();
    EXPECT_EQ(WriteSerialData(port, (char*)"hello", -1), 1);
    EXPECT_EQ(WriteSerialData(port, (char*)"hello", 2), 1);
    EXPECT_EQ(WriteSerialData(port, (char*)"hi", 0), 1);
    EXPECT_EQ(WriteSerialData(port, nullptr, -1), 1);
    EXPECT_EQ(WriteSerialData(port, nullptr, 0), 1);
    char withZero[] = {'a', 0, 'b', 0};
    EXPECT_EQ(WriteSerialData(port, withZero, 3), 1);
    EXPECT_EQ(stdoutText(), "Sending: hello\nSending: hello\nSending: hi\nSending: \nSending: \nSending: a\n");
    EXPECT_EQ(device().writes,
              (std::vector<w32::Bytes>{{'h', 'e', 'l', 'l', 'o'}, {'h', 'e'}, {}, {}, {}, {'a', 0, 'b'}}));
}

TEST_F(SerialIoTest, ANullStringSendsNothingWhateverLengthComesWithIt) {
    captureStdout();
    EXPECT_EQ(WriteSerialData(port, nullptr, 5), 1);
    EXPECT_EQ(WriteSerialData(port, nullptr, 2147483647), 1);
    EXPECT_EQ(stdoutText(), "Sending: \nSending: \n");
    EXPECT_EQ(device().writes, (std::vector<w32::Bytes>{{}, {}}));
}

TEST_F(SerialIoTest, AFailedWriteIsReportedAndTheTraceStillPrinted) {
    device().write = {1, false, 1117};
    captureStdout();
    EXPECT_EQ(WriteSerialData(port, (char*)"abc", -1), 0);
    EXPECT_EQ(stdoutText(), "Sending: abc\n");
    EXPECT_EQ(fake::messages(), std::vector<std::string>{"Failed to write bytes to serial port \"COM3\": 1117"});
    EXPECT_EQ(WriteSerialData(port, (char*)"abc", -1), 1) << "the port stays usable";
}

TEST_F(SerialIoTest, AShortWriteIsFinishedWhileTheLineMovesAndFailsOnceItStops) {
    // 20 ms a byte against 10 ms a byte + 50: the first call sends 7 of 10
    // bytes before its time-out, the second the other 3.
    device().writeMsPerByte = 20;
    captureStdout();
    EXPECT_EQ(WriteSerialData(port, (char*)"0123456789", -1), 1);
    EXPECT_EQ(device().writes, (std::vector<w32::Bytes>{{'0', '1', '2', '3', '4', '5', '6'}, {'7', '8', '9'}}));
    EXPECT_EQ(w32::world().nowMs, 210u);
    // Flow control holds the line: nothing goes out within the time-out.
    device().ctsHeldUntilMs = w32::kForever;
    EXPECT_EQ(WriteSerialData(port, (char*)"abc", -1), 0);
    EXPECT_EQ(w32::world().nowMs, 210u + 80u);
    stdoutText();
    EXPECT_EQ(fake::messages(), std::vector<std::string>{"Failed to write bytes to serial port \"COM3\": 1460"});
    // Released part-way: what went out is not sent again.
    device().ctsHeldUntilMs = w32::world().nowMs + 60;
    device().writes.clear();
    IoResult r = writePort(*findOpenPort(port), "abcdef", 6);
    EXPECT_EQ(r.status, IoStatus::Done);
    EXPECT_EQ(r.count, 6u);
    EXPECT_EQ(fake::text(device().written).substr(10), "abcdef");
}

TEST_F(SerialIoTest, ALineErrorOnADeviceThatAbortsIsClearedAndCountsAsDamage) {
    device().dcb.fAbortOnError = 1;
    device().arrive("ab");
    device().arriveDamaged('x', CE_FRAME, 5);
    device().arrive("cd", 5);
    char buffer[8] = {};
    IoResult r = readPort(*findOpenPort(port), buffer, 8);
    EXPECT_EQ(r.status, IoStatus::Damaged);
    EXPECT_EQ(r.count, 2u);
    EXPECT_EQ(r.code, DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(device().lineErrors, 0u) << "cleared";
    EXPECT_STREQ(ReadSerialData(port, 8), "xcd") << "the device reads on; the damaged byte was queued";
    // A write that a line error aborts is damaged too, and cleared.
    device().arriveDamaged('y', CE_OVERRUN);
    r = writePort(*findOpenPort(port), "hi", 2);
    EXPECT_EQ(r.status, IoStatus::Damaged);
    EXPECT_EQ(writePort(*findOpenPort(port), "hi", 2).status, IoStatus::Done);
    // The raw exports report it once a call and leave the port working.
    device().arriveDamaged('z', CE_RXPARITY);
    EXPECT_STREQ(ReadSerialData(port, 4), "");
    EXPECT_STREQ(ReadSerialData(port, 4), "yz");
    device().arriveDamaged('w', CE_BREAK);
    EXPECT_EQ(WriteSerialData(port, (char*)"ok", -1), 0);
    EXPECT_EQ(WriteSerialData(port, (char*)"ok", -1), 1);
    EXPECT_EQ(fake::messages(), (std::vector<std::string>{"Failed to read bytes from serial port \"COM3\": 995",
                                                          "Failed to write bytes to serial port \"COM3\": 995"}));
    // An abort with no line error behind it is a failure, not damage.
    device().read = {1, false, ERROR_OPERATION_ABORTED};
    EXPECT_EQ(readPort(*findOpenPort(port), buffer, 1).status, IoStatus::Failed);
    // Without abort-on-error the line error does not stop the traffic.
    device().dcb.fAbortOnError = 0;
    device().arriveDamaged('v', CE_FRAME);
    EXPECT_EQ(readPort(*findOpenPort(port), buffer, 1).status, IoStatus::Done);
}

TEST_F(SerialIoTest, AFailingDeviceCostsTimeAndIsReportedOncePerCall) {
    // An adapter pulled out: every call fails at once, but a loop over such
    // calls still sees the clock move.
    for (w32::Fault* f : {&device().read, &device().write, &device().clearError}) *f = {1, true, ERROR_GEN_FAILURE};
    uint64_t start = w32::world().nowMs;
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ(ReadSerialData(port, 8), "");
        EXPECT_EQ(WriteSerialData(port, (char*)"x", 1), 0);
        EXPECT_EQ(GetSerialBytesAvailable(port), 0);
    }
    EXPECT_GE(w32::world().nowMs - start, 9u);
    EXPECT_EQ(host().reports.size(), 9u);
}
