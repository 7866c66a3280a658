// Driving a board: lines, breaks, flow control, speed, flushes and the read
// that waits for a text, on the Win32 double.
#include <functional>
#include <string>

#include "fake_host.h"

using fake::host;

class LinesTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        port = openPort();
        device().states.clear();
    }
    unsigned port = 0;
};

// Bad arguments fail at once with nothing on the device and no report; a
// failing device call fails with one report naming the port.
TEST_F(LinesTest, BadArgumentsAndFailingCallsGiveTheFailureResult) {
    const unsigned bad = 7;
    const struct {
        const char* what;
        std::function<void(w32::Device&)> arrange;
        std::function<int()> call;
        int result;
        std::string report;  // empty: none
    } cases[] = {
        {"lines, bad handle", nullptr, [&] { return SetSerialLines(bad, 1, 1); }, 0, ""},
        {"lines, bad value", nullptr, [&] { return SetSerialLines(port, 2, -1); }, 0, ""},
        {"get lines, bad handle", nullptr, [&] { return GetSerialLines(bad); }, -1, ""},
        {"break, bad handle", nullptr, [&] { return SendSerialBreak(bad, 10); }, 0, ""},
        {"break of 0 ms", nullptr, [&] { return SendSerialBreak(port, 0); }, 0, ""},
        {"break of 10001 ms", nullptr, [&] { return SendSerialBreak(port, 10001); }, 0, ""},
        {"flow, bad handle", nullptr, [&] { return SetSerialFlowControl(bad, 1); }, 0, ""},
        {"flow mode 3", nullptr, [&] { return SetSerialFlowControl(port, 3); }, 0, ""},
        {"speed, bad handle", nullptr, [&] { return SetSerialSpeed(bad, 9600); }, 0, ""},
        {"speed 0", nullptr, [&] { return SetSerialSpeed(port, 0); }, 0, ""},
        {"flush, bad handle", nullptr, [&] { return FlushSerialPort(bad, 1); }, 0, ""},
        {"flush 4", nullptr, [&] { return FlushSerialPort(port, 4); }, 0, ""},
        {"lines fail", [](w32::Device& d) { d.setState = {1, false, 31}; }, [&] { return SetSerialLines(port, 0, 0); },
         0, "Error setting serial port \"COM3\" lines: 31"},
        {"get lines fails", [](w32::Device& d) { d.modemStatus = {1, false, 50}; }, [&] { return GetSerialLines(port); },
         -1, "Error getting serial port \"COM3\" lines: 50"},
        {"break fails", [](w32::Device& d) { d.setBreak = {1, false, 1}; }, [&] { return SendSerialBreak(port, 5); }, 0,
         "Error sending break on serial port \"COM3\": 1"},
        {"flow fails", [](w32::Device& d) { d.setState = {1, false, 87}; }, [&] { return SetSerialFlowControl(port, 2); },
         0, "Error setting serial port \"COM3\" flow control: 87"},
        {"rate refused", [](w32::Device& d) { d.refusedBaud = 12345; }, [&] { return SetSerialSpeed(port, 12345); }, 0,
         "Error setting serial port \"COM3\" speed: 87"},
        {"time-outs refused", [](w32::Device& d) { d.setTimeouts = {1, false, 31}; },
         [&] { return SetSerialSpeed(port, 300); }, 0, "Error setting serial port \"COM3\" timeouts: 31"},
        {"purge fails", [](w32::Device& d) { d.purge = {1, false, 6}; }, [&] { return FlushSerialPort(port, 1); }, 0,
         "Error flushing serial port \"COM3\": 6"},
        {"RTS under RTS/CTS", [&](w32::Device&) { SetSerialFlowControl(port, 1); },
         [&] { return SetSerialLines(port, -1, 0); }, 0, "Serial port \"COM3\" RTS is driven by RTS/CTS flow control"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (c.arrange) c.arrange(device());
        const size_t statesBefore = device().states.size();
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(fake::messages(), c.report.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.report});
        if (c.report.empty()) {
            EXPECT_EQ(device().states.size(), statesBefore);
            EXPECT_TRUE(device().breaks.empty() && device().purges.empty());
        }
        EXPECT_EQ(device().dcb.BaudRate, 115200u) << "a refused rate leaves the old one";
    }
    EXPECT_STREQ(ReadSerialUntil(port, nullptr, 10), "");
    EXPECT_STREQ(ReadSerialUntil(port, (char*)"", 10), "");
    EXPECT_STREQ(ReadSerialUntil(bad, (char*)"x", 10), "");
    EXPECT_TRUE(device().readSizes.empty());
}

TEST_F(LinesTest, LinesChangeTogetherAndTheFarEndsAreSummed) {
    EXPECT_EQ(SetSerialLines(port, 0, 0), 1);
    EXPECT_EQ(SetSerialLines(port, 1, -1), 1);
    EXPECT_EQ(SetSerialLines(port, -1, -1), 1);
    ASSERT_EQ(device().states.size(), 2u) << "one SetCommState a change, none for no change";
    EXPECT_EQ(device().states[0].fDtrControl, unsigned(DTR_CONTROL_DISABLE));
    EXPECT_EQ(device().states[0].fRtsControl, unsigned(RTS_CONTROL_DISABLE));
    EXPECT_EQ(device().states[1].fDtrControl, unsigned(DTR_CONTROL_ENABLE));
    EXPECT_EQ(device().states[1].fRtsControl, unsigned(RTS_CONTROL_DISABLE));
    device().lines = MS_CTS_ON | MS_RLSD_ON;
    EXPECT_EQ(GetSerialLines(port), 1 + 8);
    device().lines = MS_DSR_ON | MS_RING_ON;
    EXPECT_EQ(GetSerialLines(port), 2 + 4);

    EXPECT_EQ(SendSerialBreak(port, 250), 1);
    EXPECT_EQ(device().breaks, std::vector<uint64_t>{250});
    EXPECT_FALSE(device().breakOn);
    EXPECT_TRUE(host().reports.empty());
}

// Flow control owns RTS while RTS/CTS is on, and gives back the level the
// script last set; a new speed brings the slow-line time-outs with it.
TEST_F(LinesTest, FlowControlAndSpeedSetTheirFields) {
    ASSERT_EQ(SetSerialLines(port, -1, 0), 1);
    ASSERT_EQ(SetSerialFlowControl(port, 1), 1);
    EXPECT_EQ(device().dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(device().dcb.fRtsControl, unsigned(RTS_CONTROL_HANDSHAKE));
    ASSERT_EQ(SetSerialFlowControl(port, 2), 1);
    EXPECT_EQ(device().dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(device().dcb.fRtsControl, unsigned(RTS_CONTROL_DISABLE));
    EXPECT_EQ(device().dcb.fOutX + device().dcb.fInX, 2u);
    EXPECT_EQ(device().dcb.XonChar, 0x11);
    EXPECT_EQ(device().dcb.XoffChar, 0x13);
    ASSERT_EQ(SetSerialFlowControl(port, 0), 1);
    EXPECT_EQ(device().dcb.fOutX + device().dcb.fInX + device().dcb.fOutxCtsFlow, 0u);

    ASSERT_EQ(SetSerialSpeed(port, 300), 1);
    EXPECT_EQ(device().dcb.BaudRate, 300u);
    EXPECT_EQ(device().timeouts.ReadTotalTimeoutMultiplier, 67u) << "twice a byte's 33.3 ms on the wire";
    EXPECT_EQ(device().dcb.fDtrControl, unsigned(DTR_CONTROL_ENABLE)) << "the rest stays";
}

// Flushing input empties what has arrived and the read-ahead; bytes still
// on their way come later. A transfer on a port with XON/XOFF has it off
// while it runs, so that 0x11 and 0x13 go through, and on again after.
TEST_F(LinesTest, FlushAndTransfersUnderXonXoff) {
    device().arrive("stale");
    device().arrive("fresh", 100);
    EXPECT_STREQ(ReadSerialUntil(port, (char*)"a", 0), "sta");
    EXPECT_EQ(GetSerialBytesAvailable(port), 2);
    EXPECT_EQ(FlushSerialPort(port, 3), 1);
    EXPECT_EQ(device().purges, std::vector<DWORD>{PURGE_RXCLEAR});
    EXPECT_EQ(GetSerialBytesAvailable(port), 0);
    EXPECT_STREQ(ReadSerialData(port, 10), "fresh");

    ASSERT_EQ(SetSerialFlowControl(port, 2), 1);
    host().disk["x.bin"] = {0x11, 0x13};
    bool softwareFlowOn = true;
    device().arrive(w32::Bytes{0x15});
    device().onWrite = [&](w32::Device& d, const w32::Bytes&) {
        softwareFlowOn = d.dcb.fOutX || d.dcb.fInX;
        d.arrive(w32::Bytes{0x06});
    };
    EXPECT_EQ(SendSerialFile(port, (char*)"x.bin", 0), 1);
    EXPECT_FALSE(softwareFlowOn);
    EXPECT_EQ(device().dcb.fOutX + device().dcb.fInX, 2u);
}

// The read returns as the text arrives; what came after it stays for the
// next read of any kind; a silent line returns what came once the time is up.
TEST_F(LinesTest, ReadUntilStopsAtTheTextAndKeepsWhatFollows) {
    device().arrive("boot...\r\nre");
    device().arrive("ady> tail", 300);
    EXPECT_STREQ(ReadSerialUntil(port, (char*)"ready>", 5000), "boot...\r\nready>");
    EXPECT_EQ(w32::world().nowMs, 300u) << "back as the text came";
    EXPECT_EQ(GetSerialBytesAvailable(port), 5);
    EXPECT_STREQ(ReadSerialData(port, 5), " tail");

    device().arrive("no prompt");
    const uint64_t start = w32::world().nowMs;
    EXPECT_STREQ(ReadSerialUntil(port, (char*)"$ ", 1000), "no prompt");
    EXPECT_GE(w32::world().nowMs - start, 1000u);
    EXPECT_LE(w32::world().nowMs - start, 1060u);

    device().arrive(w32::Bytes(70000, 'x'));
    EXPECT_EQ(strlen(ReadSerialUntil(port, (char*)"y", 10)), 65536u) << "at most 64 KiB a call";
    EXPECT_EQ(GetSerialBytesAvailable(port), 70000 - 65536);
    EXPECT_TRUE(host().reports.empty());
}
