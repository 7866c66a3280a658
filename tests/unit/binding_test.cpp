// Binding the host's commands, error reports and host strings.
#include <cstring>

#include "fake_host.h"
#include "hostapi/error_report.h"
#include "hostapi/host_commands.h"

using fake::host;

TEST_F(ModuleTest, BindingAsksForTheCommandsInTableOrder) {
    const std::vector<std::string> expected = {
        "CREATESTRING_S_L",   "DELETESTRING_0_S",  "TIMER_F_0",         "OPENTOWRITE_0_L_S_L",
        "OPENTOWRITE_0_L_S",  "OPENTOWRITE_L_S_L", "OPENTOWRITE_L_S",   "OPENTOREAD_L_S",
        "OPENTOREAD_0_L_S",   "FILEISOPEN_L_L",    "CLOSEFILE_0_L",     "FILEEOF_L_L",
        "GETFILESIZE_L_L",    "GETFILEPOS_L_L",    "SETFILEPOS_0_L_L",  "WRITEBYTE_0_L_L",
        "WRITEINTEGER_0_L_L", "WRITEFLOAT_0_L_F",  "WRITESTRING_0_L_S", "WRITESTRING2_0_L_S",
        "WRITELINE_0_L_S",    "READBYTE_L_L",      "READINTEGER_L_L",   "READFLOAT_F_L",
        "READSTRING_S_L",     "READSTRING2_S_L",   "READLINE_S_L",      "PLUGINERROR_0_S"};
    EXPECT_EQ(host().lookups, expected);
    EXPECT_EQ(hostCommands.lookup, &fake::lookup);
}

namespace {
std::vector<std::string> secondHostReports;
void __cdecl secondPluginError(const char* message) { secondHostReports.push_back(message); }
char secondHostBuffer[64];
char* __cdecl secondCreateString(int) { return secondHostBuffer; }
void* __cdecl secondLookup(const char* name) {
    if (!strcmp(name, "PLUGINERROR_0_S")) return (void*)secondPluginError;
    if (!strcmp(name, "CREATESTRING_S_L")) return (void*)secondCreateString;
    return nullptr;  // the others are not needed for this test
}
}  // namespace

TEST_F(ModuleTest, ASecondBindingRedirectsEveryLaterHostCall) {
    secondHostReports.clear();
    listPorts({"COM7"});  // no device behind it
    ReceiveORVPtr(secondLookup);
    EXPECT_EQ(OpenSerialPort(0, 0, 0, 0), 0);
    EXPECT_EQ(secondHostReports, std::vector<std::string>{"Serial port \"COM7\" not found"});
    EXPECT_EQ(GetSerialPortName(0), secondHostBuffer);
    EXPECT_STREQ(secondHostBuffer, "COM7");
    EXPECT_TRUE(host().reports.empty());
    EXPECT_TRUE(host().stringSizes.empty());
}

TEST_F(ModuleTest, NullForTheUncalledCommandsStillBindsAWorkingModule) {
    fake::resetHost();
    const char* called[] = {"CREATESTRING_S_L", "TIMER_F_0",   "OPENTOWRITE_L_S", "OPENTOREAD_L_S", "CLOSEFILE_0_L",
                            "FILEEOF_L_L",      "WRITEBYTE_0_L_L", "READBYTE_L_L", "PLUGINERROR_0_S"};
    for (const char* name : hostCommandNames) host().absent.insert(name);
    for (const char* name : called) host().absent.erase(name);
    ReceiveORVPtr(fake::lookup);
    unsigned port = openPort();
    device().arrive("\x04");
    EXPECT_EQ(ReceiveSerialFile(port, (char*)"empty.bin", 0), 1);
    EXPECT_STREQ(GetSerialPortName(0), "COM3");
}

TEST_F(ModuleTest, ExportsNeverCallAnEmptyEntry) {
    resetHostCommands();  // as loaded, before ReceiveORVPtr
    unsigned port = openPort();  // needs no host command when nothing fails
    ASSERT_EQ(port, 1u);
    char* name = GetSerialPortName(0);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "");
    device().arrive("abc");
    char* read = ReadSerialData(port, 3);
    ASSERT_NE(read, nullptr);
    EXPECT_STREQ(read, "");
    EXPECT_EQ(device().queued(), 3u) << "a read without a host string must not take bytes";
    EXPECT_EQ(ReceiveSerialFile(port, (char*)"f", 0), 0);
    EXPECT_EQ(SendSerialFile(port, (char*)"f", 0), 0);
    EXPECT_TRUE(device().written.empty());
    device().clearError = {1, true, ERROR_GEN_FAILURE};
    EXPECT_EQ(GetSerialBytesAvailable(port), 0);
    EXPECT_EQ(device().clearError.calls, 1u) << "the query failed, and its report had nowhere to go";
}

TEST_F(ModuleTest, ErrorReportsFitTheirBuffer) {
    std::string longName(300, 'N');
    reportError(MSG_RECV_NAK_FAILED, longName.c_str(), -2147483647 - 1);
    reportError(MSG_RECV_OPEN_FILE, "");
    reportError(MSG_SEND_OPEN_FILE, nullptr);
    EXPECT_EQ(fake::messages(),
              (std::vector<std::string>{"Failed to send XMODEM NAK on serial port \"" + longName + "\": -2147483648",
                                        "Failed to open file \"\"", "Failed to open file \"\" for reading"}));
}

TEST_F(ModuleTest, AMissingErrorCommandDropsTheReport) {
    fake::resetHost();
    host().absent.insert("PLUGINERROR_0_S");
    ReceiveORVPtr(fake::lookup);
    listPorts({"COM9"});
    EXPECT_EQ(OpenSerialPort(0, 0, 0, 0), 0);
    EXPECT_TRUE(host().reports.empty());
}
