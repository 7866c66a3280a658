// The real DLL as a host sees it: found by name, bound, and safe with bad
// arguments before any port exists.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "host.h"
#include "loaded_dll.h"

namespace {

PluginApi& api() { return loadedDll(); }

}  // namespace

TEST(DllExports, EveryExportIsFoundByItsDecoratedNameAndNoneByAPlainOne) {
    api();
    HMODULE dll = GetModuleHandleA("serialport.dll");
    ASSERT_NE(dll, nullptr);
    const char* decorated[] = {"ReceiveORVPtr",
                               "?EnumerateSerialPorts@@YAHXZ",
                               "?GetSerialPortName@@YAPADI@Z",
                               "?OpenSerialPort@@YAHIIII@Z",
                               "?CloseSerialPort@@YAXI@Z",
                               "?GetSerialBytesAvailable@@YAHI@Z",
                               "?ReadSerialData@@YAPADII@Z",
                               "?WriteSerialData@@YAHIPADH@Z",
                               "?ReceiveSerialFile@@YAHIPADH@Z",
                               "?SendSerialFile@@YAHIPADH@Z",
                               "?GetSerialPortDescription@@YAPADI@Z",
                               "?GetSerialPortHardwareId@@YAPADI@Z",
                               "?GetSerialPortUsbId@@YAPADI@Z",
                               "?SetSerialLines@@YAHIHH@Z",
                               "?GetSerialLines@@YAHI@Z",
                               "?SendSerialBreak@@YAHII@Z",
                               "?SetSerialFlowControl@@YAHIH@Z",
                               "?SetSerialSpeed@@YAHII@Z",
                               "?FlushSerialPort@@YAHIH@Z",
                               "?ReadSerialUntil@@YAPADIPADI@Z"};
    for (const char* name : decorated) EXPECT_NE(GetProcAddress(dll, name), nullptr) << name;
    for (const char* plain : {"EnumerateSerialPorts", "_EnumerateSerialPorts", "SendSerialFile", "DllMain"})
        EXPECT_EQ(GetProcAddress(dll, plain), nullptr) << plain;
}

TEST(DllExports, BindingAsksForTheTwentyEightCommandsOnce) {
    api();
    const auto& log = hostLookupLog();
    ASSERT_EQ(log.size(), 28u);
    EXPECT_EQ(log.front(), "CREATESTRING_S_L");
    EXPECT_EQ(log[2], "TIMER_F_0");
    EXPECT_EQ(log[21], "READBYTE_L_L");
    EXPECT_EQ(log.back(), "PLUGINERROR_0_S");
}

TEST(DllExports, BadArgumentsGiveTheFailureResultQuietly) {
    PluginApi& p = api();
    hostClearErrors();
    EXPECT_EQ(p.OpenSerialPort(4294967295u, 0, 0, 0), 0);
    EXPECT_STREQ(p.GetSerialPortName(4294967295u), "");
    EXPECT_STREQ(p.GetSerialPortDescription(4294967295u), "");
    EXPECT_STREQ(p.GetSerialPortHardwareId(0), "");
    EXPECT_STREQ(p.GetSerialPortUsbId(7), "");
    EXPECT_STREQ(p.ReadSerialData(0, 5), "");
    EXPECT_STREQ(p.ReadSerialData(7, 4294967295u), "");
    EXPECT_EQ(p.WriteSerialData(0, nullptr, -1), 0);
    EXPECT_EQ(p.GetSerialBytesAvailable(3), 0);
    EXPECT_EQ(p.ReceiveSerialFile(0, nullptr, 0), 0);
    EXPECT_EQ(p.SendSerialFile(1, nullptr, 1), 0);
    EXPECT_EQ(p.SetSerialLines(0, 1, 1), 0);
    EXPECT_EQ(p.GetSerialLines(9), -1);
    EXPECT_EQ(p.SendSerialBreak(1, 250), 0);
    EXPECT_EQ(p.SetSerialFlowControl(1, 1), 0);
    EXPECT_EQ(p.SetSerialSpeed(1, 9600), 0);
    EXPECT_EQ(p.FlushSerialPort(1, 3), 0);
    EXPECT_STREQ(p.ReadSerialUntil(1, const_cast<char*>("ok"), 10), "");
    p.CloseSerialPort(0);
    p.CloseSerialPort(4294967295u);
    EXPECT_TRUE(hostErrors().empty());
}
