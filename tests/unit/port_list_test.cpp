// Listing the serial ports from the registry.
#include "fake_host.h"

using fake::host;
using w32::regSz;
using w32::regValue;

namespace {
w32::Registry& registry() { return w32::world().registry; }
}  // namespace

TEST_F(ModuleTest, ListsStringValuesInRegistryOrderAndSkipsOthers) {
    registry().keyExists = true;
    registry().values = {regSz("\\Device\\Serial2", "COM3"), regValue("Dword", REG_DWORD, {1, 0, 0, 0}),
                         regSz("\\Device\\Serial0", "COM1"), regValue("Multi", REG_MULTI_SZ, {'C', 0, 0}),
                         regSz("\\Device\\X", "COM10", false)};  // stored without its terminator
    EXPECT_EQ(EnumerateSerialPorts(), 3);
    EXPECT_STREQ(GetSerialPortName(0), "COM3");
    EXPECT_STREQ(GetSerialPortName(1), "COM1");
    EXPECT_STREQ(GetSerialPortName(2), "COM10");
    EXPECT_EQ(host().stringSizes, (std::vector<int>{5, 5, 6}));
    EXPECT_EQ(registry().openedAccess, REGSAM(KEY_READ));
    EXPECT_EQ(registry().openKeys, 0) << "the key is closed again";
    // Each read is given the full buffers again: twice the longest name.
    for (DWORD size : registry().nameBufferSizes) EXPECT_EQ(size, 2u * 15);
}

TEST_F(ModuleTest, TheNameCopyStopsAtTheFirstZeroByte) {
    registry().keyExists = true;
    registry().values = {regValue("a", REG_SZ, {'C', 'O', 'M', '4', 0, 'j', 'u', 'n', 'k'})};
    EXPECT_EQ(EnumerateSerialPorts(), 1);
    EXPECT_STREQ(GetSerialPortName(0), "COM4");
}

TEST_F(ModuleTest, ValuesWithEmptyNamesAreStillRead) {
    registry().keyExists = true;
    registry().values = {regSz("", "COM5")};
    EXPECT_EQ(EnumerateSerialPorts(), 1);
    EXPECT_STREQ(GetSerialPortName(0), "COM5");
}

TEST_F(ModuleTest, IndicesOutsideTheListGiveTheEmptyHostStringOfOneByte) {
    listPorts({"COM1", "COM2"});
    for (unsigned index : {2u, 3u, 4294967295u}) {
        host().stringSizes.clear();
        EXPECT_STREQ(GetSerialPortName(index), "");
        EXPECT_EQ(host().stringSizes, std::vector<int>{1});
    }
}

TEST_F(ModuleTest, AFailedEnumerationLeavesTheListEmpty) {
    listPorts({"COM1", "COM2"});
    registry().queryStatus = ERROR_ACCESS_DENIED;
    EXPECT_EQ(EnumerateSerialPorts(), 0);
    EXPECT_STREQ(GetSerialPortName(0), "");
    EXPECT_EQ(registry().openKeys, 0);
    registry().queryStatus = ERROR_SUCCESS;
    registry().openStatus = ERROR_ACCESS_DENIED;
    EXPECT_EQ(EnumerateSerialPorts(), 0);
    registry().openStatus = ERROR_SUCCESS;
    registry().keyExists = false;
    EXPECT_EQ(EnumerateSerialPorts(), 0);
    EXPECT_EQ(OpenSerialPort(0, 0, 0, 0), 0);
    EXPECT_TRUE(host().reports.empty());
}

TEST_F(ModuleTest, AFailingReadEndsTheListWithWhatWasGathered) {
    registry().keyExists = true;
    registry().values = {regSz("a", "COM1"), regSz("b", "COM2"), regSz("c", "COM3")};
    registry().failEnumAt = 1;
    EXPECT_EQ(EnumerateSerialPorts(), 1);
    EXPECT_STREQ(GetSerialPortName(1), "");
}

TEST_F(ModuleTest, ValuesAddedWhileEnumeratingDoNotOverflowTheList) {
    registry().keyExists = true;
    registry().values = {regSz("a", "COM1")};
    registry().addedAfterQuery = {regSz("b", "COM2")};
    EXPECT_EQ(EnumerateSerialPorts(), 1);
}

TEST_F(ModuleTest, OpenPortsOutliveANewEnumeration) {
    unsigned port = openPort("COM3");
    listPorts({"COM8"});
    device().write = {1, false, 31};
    EXPECT_EQ(WriteSerialData(port, (char*)"x", 1), 0);
    EXPECT_EQ(fake::messages(), std::vector<std::string>{"Failed to write bytes to serial port \"COM3\": 31"});
}
