// Raw traffic on an open port.
#include "fake_host.h"

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
