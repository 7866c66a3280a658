// Opening and closing ports: handles, the table, line settings, failures.
#include "fake_host.h"
#include "serial/port_table.h"

using fake::host;

namespace {
std::vector<std::string> comNames(int n) {
    std::vector<std::string> names;
    for (int i = 1; i <= n; ++i) names.push_back("COM" + std::to_string(i));
    return names;
}
}  // namespace

class PortTableTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        listPorts(comNames(9));
        for (auto& name : comNames(9)) w32::addDevice(name);
    }
    int open(unsigned index) { return OpenSerialPort(index, 0, 0, 0); }
};

TEST_F(PortTableTest, HandlesCountUpAndTheLowestFreeSlotIsReused) {
    EXPECT_EQ(open(0), 1);
    EXPECT_EQ(open(1), 2);
    EXPECT_EQ(open(2), 3);
    CloseSerialPort(2);
    EXPECT_EQ(open(3), 2);
    EXPECT_EQ(portTable.slotCount, 3u);
    CloseSerialPort(3);
    EXPECT_EQ(open(4), 3);
    EXPECT_EQ(portTable.slotCount, 3u);
    CloseSerialPort(1);
    CloseSerialPort(3);
    EXPECT_EQ(open(5), 1);
}

TEST_F(PortTableTest, CapacityGrowsByHalf) {
    std::vector<uint32_t> capacities;
    for (unsigned i = 0; i < 7; ++i) {
        ASSERT_EQ(open(i), int(i + 1));
        capacities.push_back(portTable.capacity);
    }
    EXPECT_EQ(capacities, (std::vector<uint32_t>{2, 2, 3, 4, 6, 6, 9}));
    for (unsigned port = 1; port <= 7; ++port) EXPECT_STREQ(findOpenPort(port)->portName.get(), ("COM" + std::to_string(port)).c_str());
}

TEST_F(PortTableTest, InvalidHandlesTouchNothingAndReportNothing) {
    ASSERT_EQ(open(0), 1);
    CloseSerialPort(1);
    ASSERT_EQ(open(1), 1);
    ASSERT_EQ(open(2), 2);
    CloseSerialPort(2);
    auto& com2 = w32::world().devices["COM2"];
    com2.arrive("data");
    int closes = com2.closes + w32::world().devices["COM3"].closes;
    for (unsigned bad : {0u, 2u, 3u, 4294967295u}) {
        CloseSerialPort(bad);
        EXPECT_EQ(GetSerialBytesAvailable(bad), 0);
        EXPECT_STREQ(ReadSerialData(bad, 4), "");
        EXPECT_EQ(WriteSerialData(bad, (char*)"x", 1), 0);
        EXPECT_EQ(ReceiveSerialFile(bad, (char*)"f", 0), 0);
        EXPECT_EQ(SendSerialFile(bad, (char*)"f", 0), 0);
    }
    EXPECT_EQ(com2.closes + w32::world().devices["COM3"].closes, closes);
    EXPECT_TRUE(host().reports.empty());
    EXPECT_TRUE(host().files.empty());
    EXPECT_EQ(portTable.slotCount, 2u);
}

// The four line settings and raw binary mode: whatever another program left
// set (the double's device has RTS/CTS handshaking on) must not touch the
// bytes or hold the line.
TEST_F(PortTableTest, LineSettingsAndRawModeAreSetWithTheTimeouts) {
    w32::Device& d = w32::world().devices["COM1"];
    d.dcb.fOutX = d.dcb.fInX = d.dcb.fNull = d.dcb.fErrorChar = d.dcb.fDsrSensitivity = d.dcb.fOutxDsrFlow = 1;
    d.dcb.fDtrControl = DTR_CONTROL_DISABLE;
    DCB before = d.dcb;
    ASSERT_EQ(OpenSerialPort(0, 0, 0, 0), 1);
    EXPECT_EQ(d.dcb.BaudRate, 57600u);
    EXPECT_EQ(d.dcb.ByteSize, 8);
    EXPECT_EQ(d.dcb.Parity, NOPARITY);
    EXPECT_EQ(d.dcb.StopBits, ONESTOPBIT);
    // Everything else stays as the device had it.
    DCB expected = before;
    expected.BaudRate = 57600;
    expected.ByteSize = 8;
    expected.Parity = NOPARITY;
    expected.StopBits = ONESTOPBIT;
    expected.fBinary = 1;
    expected.fOutX = expected.fInX = expected.fNull = expected.fErrorChar = 0;
    expected.fDsrSensitivity = expected.fOutxCtsFlow = expected.fOutxDsrFlow = 0;
    expected.fDtrControl = DTR_CONTROL_ENABLE;
    expected.fRtsControl = RTS_CONTROL_ENABLE;
    EXPECT_EQ(memcmp(&expected, &d.dcb, sizeof(DCB)), 0);
    EXPECT_EQ(d.timeouts.ReadIntervalTimeout, 50u);
    EXPECT_EQ(d.timeouts.ReadTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(d.timeouts.ReadTotalTimeoutConstant, 50u);
    EXPECT_EQ(d.timeouts.WriteTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(d.timeouts.WriteTotalTimeoutConstant, 50u);

    struct Case { unsigned stop, parity; BYTE stopBits, parityValue; };
    for (Case c : {Case{2, 1, TWOSTOPBITS, ODDPARITY}, Case{3, 2, ONESTOPBIT, EVENPARITY},
                   Case{1, 3, ONESTOPBIT, NOPARITY}, Case{0, 4, ONESTOPBIT, NOPARITY}}) {
        int port = OpenSerialPort(1, 921600, c.stop, c.parity);
        ASSERT_GT(port, 0);
        w32::Device& com2 = w32::world().devices["COM2"];
        EXPECT_EQ(com2.dcb.BaudRate, 921600u);
        EXPECT_EQ(com2.dcb.StopBits, c.stopBits);
        EXPECT_EQ(com2.dcb.Parity, c.parityValue);
        CloseSerialPort(port);
    }
}

TEST_F(PortTableTest, SlowLinesGetTimeoutsThatGrowWithAByteTimeOnTheWire) {
    struct Case {
        unsigned baud, stop, parity;
        DWORD interval, perByte;
        uint32_t packetMs;  // wireTimeMs of 132 bytes
    };
    for (Case c : {Case{0, 1, 0, 50, 10, 23}, Case{9600, 1, 0, 50, 10, 138}, Case{2400, 2, 1, 50, 10, 660},
                   Case{1200, 1, 0, 50, 17, 1100}, Case{600, 1, 0, 67, 34, 2200}, Case{300, 1, 0, 134, 67, 4400},
                   Case{300, 2, 2, 160, 80, 5280}, Case{1, 1, 0, 800, 400, 1320000}}) {
        SCOPED_TRACE(c.baud);
        int port = OpenSerialPort(0, c.baud, c.stop, c.parity);
        ASSERT_GT(port, 0);
        w32::Device& d = w32::world().devices["COM1"];
        EXPECT_EQ(d.timeouts.ReadIntervalTimeout, c.interval);
        EXPECT_EQ(d.timeouts.ReadTotalTimeoutMultiplier, c.perByte);
        EXPECT_EQ(d.timeouts.WriteTotalTimeoutMultiplier, c.perByte);
        EXPECT_EQ(d.timeouts.ReadTotalTimeoutConstant, 50u);
        EXPECT_EQ(d.timeouts.WriteTotalTimeoutConstant, 50u);
        EXPECT_EQ(findOpenPort(port)->baudRate, c.baud ? c.baud : 57600u);
        EXPECT_EQ(wireTimeMs(*findOpenPort(port), 132), c.packetMs);
        // A 64-byte reply coming in at the line's pace, from a read that
        // starts as the request goes out, is read whole.
        uint32_t byteMs = wireTimeMs(*findOpenPort(port), 1);
        if (byteMs < 100) {
            for (int i = 1; i <= 64; ++i) d.arrive(std::string(1, char('@' + i % 32)), i * byteMs);
            EXPECT_EQ(strlen(ReadSerialData(port, 64)), 64u);
        }
        CloseSerialPort(port);
    }
}

TEST_F(PortTableTest, EveryFailingStepReportsClosesAndLeavesTheTableAlone) {
    ASSERT_EQ(open(8), 1);  // COM9 holds slot 1 throughout
    struct Case {
        const char* what;
        std::function<void(w32::Device&)> arrange;
        std::string message;
        bool opened;
    };
    std::vector<Case> cases = {
        {"missing", [](w32::Device& d) { d.openError = ERROR_FILE_NOT_FOUND; }, "Serial port \"COM1\" not found", false},
        {"busy", [](w32::Device& d) { d.openError = ERROR_ACCESS_DENIED; }, "Error opening serial port \"COM1\": 5", false},
        {"get", [](w32::Device& d) { d.getState = {1, false, 1167}; }, "Error getting serial port \"COM1\" parameters: 1167", true},
        {"set", [](w32::Device& d) { d.refusedBaud = 57600; }, "Error setting serial port \"COM1\" parameters: 87", true},
        {"timeouts", [](w32::Device& d) { d.setTimeouts = {1, false, 0xC0000001}; },
         "Error setting serial port \"COM1\" timeouts: -1073741823", true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        w32::Device& d = w32::addDevice("COM1");
        d.opens = d.closes = 0;
        d.openError = 0;
        c.arrange(d);
        host().reports.clear();
        EXPECT_EQ(open(0), 0);
        ASSERT_EQ(host().reports.size(), 1u);
        EXPECT_EQ(host().reports[0].message, c.message);
        // COM9 is the only device still open when the report is made.
        EXPECT_EQ(host().reports[0].devicesOpen, 1);
        EXPECT_EQ(d.openHandles, 0);
        EXPECT_EQ(d.closes, c.opened ? 1 : 0);
        EXPECT_EQ(portTable.slotCount, 1u);
        EXPECT_EQ(portTable.capacity, 2u);
    }
    // The device that refused a rate opens with a good one.
    w32::Device& d = w32::addDevice("COM1");
    d.refusedBaud = 57600;
    EXPECT_EQ(OpenSerialPort(0, 9600, 1, 0), 2);
}

TEST_F(PortTableTest, SecondOpenOfAnOpenPortIsRefusedByTheDevice) {
    ASSERT_EQ(open(0), 1);
    EXPECT_EQ(open(0), 0);
    EXPECT_EQ(fake::messages(), std::vector<std::string>{"Error opening serial port \"COM1\": 5"});
}

TEST_F(PortTableTest, CloseHandsTheDeviceToAThreadAndFreesTheSlotAtOnce) {
    w32::world().runThreadsAtOnce = false;
    ASSERT_EQ(open(0), 1);
    w32::Device& d = w32::world().devices["COM1"];
    CloseSerialPort(1);
    EXPECT_EQ(findOpenPort(1), nullptr);
    ASSERT_EQ(w32::world().threadStarts.size(), 1u);
    EXPECT_EQ(w32::world().threadStarts[0].stackSize, 0u);
    EXPECT_EQ(w32::world().threadStarts[0].initFlag, 0u);
    EXPECT_EQ(d.openHandles, 1) << "the device is closed by the thread, not by the call";
    EXPECT_EQ(w32::world().threadHandlesOpen, 0) << "nobody keeps the thread's handle";
    EXPECT_EQ(w32::world().moduleRefs, 1) << "the module stays loaded for the thread";
    EXPECT_EQ(open(0), 0) << "still held until the thread has run";
    w32::runPendingThreads();
    EXPECT_EQ(d.openHandles, 0);
    EXPECT_EQ(w32::world().moduleRefs, 0) << "the thread lets go of the module as it ends";
    EXPECT_EQ(w32::world().threadExits, std::vector<DWORD>{0});
    EXPECT_EQ(open(0), 1);
}

TEST_F(PortTableTest, ACloseThreadThatCannotStartClosesOnTheCallingThread) {
    for (bool noModuleReference : {false, true}) {
        w32::world().failThreadStart = !noModuleReference;
        w32::world().failModuleRef = noModuleReference;
        ASSERT_EQ(open(0), 1);
        CloseSerialPort(1);
        EXPECT_EQ(w32::world().devices["COM1"].openHandles, 0);
        EXPECT_EQ(w32::world().moduleRefs, 0);
        EXPECT_EQ(findOpenPort(1), nullptr);
        EXPECT_TRUE(host().reports.empty());
    }
    EXPECT_EQ(w32::world().threadStarts.size(), 1u) << "no thread starts without a module reference";
    EXPECT_TRUE(w32::world().threadExits.empty());
}

TEST_F(ModuleTest, OpenBeforeAnyEnumerationFailsSilently) {
    w32::addDevice("COM1");
    EXPECT_EQ(OpenSerialPort(0, 0, 0, 0), 0);
    listPorts({"COM1"});
    EXPECT_EQ(OpenSerialPort(1, 0, 0, 0), 0);
    EXPECT_TRUE(host().reports.empty());
    EXPECT_EQ(w32::world().devices["COM1"].opens, 0);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved);

// A host that frees the module with ports open gets them closed: a handle
// left behind would keep the port busy until its process ends. At process
// exit (`reserved` set) nothing is done.
TEST_F(PortTableTest, FreeingTheModuleClosesItsOpenPortsButProcessExitDoesNot) {
    int marker = 0;
    for (LPVOID reserved : {static_cast<LPVOID>(&marker), static_cast<LPVOID>(nullptr)}) {
        SCOPED_TRACE(reserved ? "process exit" : "FreeLibrary");
        ASSERT_EQ(open(0), 1);
        ASSERT_EQ(open(1), 2);
        CloseSerialPort(1);
        EXPECT_EQ(DllMain(nullptr, DLL_PROCESS_DETACH, reserved), TRUE);
        EXPECT_EQ(w32::world().devices["COM2"].openHandles, reserved ? 1 : 0);
        EXPECT_EQ(findOpenPort(2) != nullptr, reserved != nullptr);
        EXPECT_EQ(w32::world().devices["COM1"].closes, reserved ? 1 : 2) << "a closed port is not closed again";
        CloseSerialPort(2);
    }
}
