// Every export with the bad arguments a script can give: the failure result,
// no crash, no error report, no trace line, no file touched. With
// SERIAL_BAD_INPUT_PORT naming a port (the rig test sets it) the same calls
// are also made against a real open port and a closed one; the rig test then
// checks from the far end that not one byte reached the line.
#include <gtest/gtest.h>
#include <windows.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host.h"

namespace {

PluginApi& bound() {
    static PluginApi loaded{};
    static bool once = [] {
        // Loading again rebinds the same commands; keep the lookup log as the
        // first binding left it for the binding test.
        const std::vector<std::string> before = hostLookupLog();
        std::string error;
        EXPECT_TRUE(hostLoad("serialport.dll", &loaded, &error)) << error;
        hostClearLookupLog();
        for (const std::string& name : before) hostLookup(name.c_str());
        return true;
    }();
    (void)once;
    return loaded;
}

std::string tempPath(const char* name) {
    char dir[MAX_PATH];
    DWORD length = GetTempPathA(MAX_PATH, dir);
    return std::string(dir, length) + name;
}

bool fileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Handles that name no port while none is open.
const unsigned int kNoPort[] = {0u, 1u, 2u, 17u, 0x7FFFFFFFu, 0x80000000u, 4294967295u};

// Every per-port export with `port`, which names no open port. Returns the
// trace text the calls printed. A bound module's ReadSerialData hands back a
// host string of length + 1 zeros; an unbound one its own 1-byte empty text.
std::string callEveryPortExport(PluginApi& p, unsigned int port, const std::string& never, bool hostStrings = true) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.GetSerialBytesAvailable(port), 0) << port;
    for (unsigned int length : {0u, 1u, 5u, 4096u}) {
        const char* text = p.ReadSerialData(port, length);
        if (!text) {
            ADD_FAILURE() << "null from ReadSerialData(" << port << ", " << length << ")";
            continue;
        }
        bool zeros = true;
        for (unsigned int i = 0; i <= (hostStrings ? length : 0); ++i) zeros = zeros && text[i] == 0;
        EXPECT_TRUE(zeros) << "ReadSerialData(" << port << ", " << length << ")";
        hostFreeStrings();
    }
    for (unsigned int length : {0x7FFFFFFFu, 0x80000000u, 4294967295u}) EXPECT_STREQ(p.ReadSerialData(port, length), "");
    char hello[] = "hello";
    char empty[] = "";
    for (int length : {-1, 0, 5, INT_MIN, INT_MAX}) {
        EXPECT_EQ(p.WriteSerialData(port, hello, length), 0) << port << " " << length;
        EXPECT_EQ(p.WriteSerialData(port, empty, length), 0);
        EXPECT_EQ(p.WriteSerialData(port, nullptr, length), 0);
    }
    std::vector<char> name(never.begin(), never.end());
    name.push_back('\0');
    for (int mode : {0, 1, -1}) {
        EXPECT_EQ(p.ReceiveSerialFile(port, name.data(), mode), 0);
        EXPECT_EQ(p.ReceiveSerialFile(port, nullptr, mode), 0);
        EXPECT_EQ(p.ReceiveSerialFile(port, empty, mode), 0);
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(p.SendSerialFile(port, name.data(), mode), 0);
        EXPECT_EQ(p.SendSerialFile(port, nullptr, mode), 0);
        // It fails before the 8 s wait for the receiver.
        EXPECT_LT(GetTickCount64() - start, 4000u);
    }
    p.CloseSerialPort(port);
    hostFreeStrings();
    return testing::internal::GetCapturedStdout();
}

// The index of `name` in the port list, or -1.
int listIndex(PluginApi& p, const char* name) {
    const int count = p.EnumerateSerialPorts();
    for (int i = 0; i < count; ++i) {
        const bool same = lstrcmpiA(p.GetSerialPortName(static_cast<unsigned int>(i)), name) == 0;
        hostFreeStrings();
        if (same) return i;
    }
    return -1;
}

class BadInput : public testing::Test {
protected:
    void SetUp() override {
        never = tempPath("bad_input_never_written.bin");
        DeleteFileA(never.c_str());
        hostClearErrors();
    }
    void TearDown() override {
        EXPECT_FALSE(fileExists(never)) << "a bad call created " << never;
        EXPECT_TRUE(hostErrors().empty()) << hostErrors().front();
        hostClearErrors();
    }
    std::string never;
};

// The port the rig lends these tests, or null.
const char* rigPort() {
    const char* port = std::getenv("SERIAL_BAD_INPUT_PORT");
    return port && *port ? port : nullptr;
}

}  // namespace

TEST_F(BadInput, HandlesThatNameNoPortFailQuietly) {
    PluginApi& p = bound();
    for (unsigned int port : kNoPort) EXPECT_EQ(callEveryPortExport(p, port, never), "") << port;
}

TEST_F(BadInput, IndicesOutsideThePortListFailQuietly) {
    PluginApi& p = bound();
    const unsigned int count = static_cast<unsigned int>(p.EnumerateSerialPorts());
    for (unsigned int index : {count, count + 1, 0x7FFFFFFFu, 0x80000000u, 4294967295u}) {
        const char* name = p.GetSerialPortName(index);
        ASSERT_NE(name, nullptr);
        EXPECT_STREQ(name, "") << index;
        for (unsigned int setting : {0u, 1u, 2u, 3u, 4294967295u})
            EXPECT_EQ(p.OpenSerialPort(index, setting, setting, setting), 0) << index;
    }
    hostFreeStrings();
}

TEST_F(BadInput, ExportsCalledBeforeBindingFailWithoutTouchingTheHost) {
    // A copy under another name is mapped as a second module, never bound.
    HMODULE original = GetModuleHandleA("serialport.dll");
    if (!original) {
        bound();
        original = GetModuleHandleA("serialport.dll");
    }
    ASSERT_NE(original, nullptr);
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(original, path, MAX_PATH), 0u);
    std::string copy(path);
    copy = copy.substr(0, copy.find_last_of("\\/") + 1) + "serialport_unbound.dll";
    HMODULE dll = GetModuleHandleA(copy.c_str());
    if (!dll) {
        ASSERT_TRUE(CopyFileA(path, copy.c_str(), FALSE)) << GetLastError();
        dll = LoadLibraryA(copy.c_str());
    }
    ASSERT_NE(dll, nullptr);
    ASSERT_NE(dll, original);
    auto find = [dll](const char* exported) {
        FARPROC entry = GetProcAddress(dll, exported);
        EXPECT_NE(entry, nullptr) << exported;
        return entry;
    };
    PluginApi u{};
    u.EnumerateSerialPorts = reinterpret_cast<decltype(u.EnumerateSerialPorts)>(find("?EnumerateSerialPorts@@YAHXZ"));
    u.GetSerialPortName = reinterpret_cast<decltype(u.GetSerialPortName)>(find("?GetSerialPortName@@YAPADI@Z"));
    u.OpenSerialPort = reinterpret_cast<decltype(u.OpenSerialPort)>(find("?OpenSerialPort@@YAHIIII@Z"));
    u.CloseSerialPort = reinterpret_cast<decltype(u.CloseSerialPort)>(find("?CloseSerialPort@@YAXI@Z"));
    u.GetSerialBytesAvailable =
        reinterpret_cast<decltype(u.GetSerialBytesAvailable)>(find("?GetSerialBytesAvailable@@YAHI@Z"));
    u.ReadSerialData = reinterpret_cast<decltype(u.ReadSerialData)>(find("?ReadSerialData@@YAPADII@Z"));
    u.WriteSerialData = reinterpret_cast<decltype(u.WriteSerialData)>(find("?WriteSerialData@@YAHIPADH@Z"));
    u.ReceiveSerialFile = reinterpret_cast<decltype(u.ReceiveSerialFile)>(find("?ReceiveSerialFile@@YAHIPADH@Z"));
    u.SendSerialFile = reinterpret_cast<decltype(u.SendSerialFile)>(find("?SendSerialFile@@YAHIPADH@Z"));
    ASSERT_FALSE(HasFailure());

    const std::size_t stringsBefore = hostStringCount();
    EXPECT_EQ(callEveryPortExport(u, 1, never, false), "");
    testing::internal::CaptureStdout();
    // The port list needs no host command: the same ports as the bound copy.
    const int count = u.EnumerateSerialPorts();
    EXPECT_EQ(count, bound().EnumerateSerialPorts());
    // No host string command: the plug-in's own empty text, never null.
    for (unsigned int index : {0u, 4294967295u}) {
        const char* name = u.GetSerialPortName(index);
        ASSERT_NE(name, nullptr);
        EXPECT_STREQ(name, "");
    }
    EXPECT_EQ(u.OpenSerialPort(4294967295u, 0, 0, 0), 0);

    if (const char* port = rigPort()) {
        // The port list needs no host command, so a port opens; transfers
        // need the host's files and timer, so they fail before the line.
        // Names are not readable here; the bound module gives the index.
        const int index = listIndex(bound(), port);
        ASSERT_GE(index, 0) << port << " is not listed";
        ASSERT_EQ(u.EnumerateSerialPorts(), count);
        const int handle = u.OpenSerialPort(static_cast<unsigned int>(index), 0, 1, 0);
        ASSERT_GT(handle, 0);
        const unsigned int h = static_cast<unsigned int>(handle);
        char name[] = "Z:\\tmp\\bad_input_unbound.bin";
        EXPECT_EQ(u.ReceiveSerialFile(h, name, 0), 0);
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(u.SendSerialFile(h, name, 0), 0);
        EXPECT_LT(GetTickCount64() - start, 4000u);
        EXPECT_FALSE(fileExists(name));
        const char* read = u.ReadSerialData(h, 16);
        ASSERT_NE(read, nullptr);
        EXPECT_STREQ(read, "");
        EXPECT_EQ(u.GetSerialBytesAvailable(h), 0);
        u.CloseSerialPort(h);
        Sleep(100);  // let the close thread run before anyone reopens
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(hostStringCount(), stringsBefore);
    // The copy stays loaded until the process ends: a close thread may still
    // be running inside it.
}

TEST_F(BadInput, AnOpenPortRefusesBadModesAndBadNamesBeforeTheLine) {
    const char* port = rigPort();
    if (!port) GTEST_SKIP() << "SERIAL_BAD_INPUT_PORT not set (the rig test sets it)";
    PluginApi& p = bound();
    const int index = listIndex(p, port);
    ASSERT_GE(index, 0) << port << " is not listed";
    const int handle = p.OpenSerialPort(static_cast<unsigned int>(index), 0, 1, 0);
    ASSERT_GT(handle, 0);
    const unsigned int h = static_cast<unsigned int>(handle);
    std::vector<char> name(never.begin(), never.end());
    name.push_back('\0');
    char empty[] = "";

    testing::internal::CaptureStdout();
    for (int mode : {6, -1, INT_MIN, INT_MAX}) {
        EXPECT_EQ(p.ReceiveSerialFile(h, name.data(), mode), 0) << mode;
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(p.SendSerialFile(h, name.data(), mode), 0) << mode;
        EXPECT_LT(GetTickCount64() - start, 4000u);
    }
    // Past the table, and reading nothing with length 0.
    EXPECT_EQ(p.GetSerialBytesAvailable(h + 1), 0);
    EXPECT_EQ(p.WriteSerialData(h + 1, empty, -1), 0);
    EXPECT_STREQ(p.ReadSerialData(h, 0), "");
    EXPECT_STREQ(p.ReadSerialData(h, 4294967295u), "");
    EXPECT_STREQ(p.ReadSerialData(h, 0x80000000u), "");
    // Nothing to send: a write of no bytes, traced.
    EXPECT_EQ(p.WriteSerialData(h, empty, -1), 1);
    EXPECT_EQ(p.WriteSerialData(h, empty, INT_MIN), 1);
    EXPECT_EQ(p.WriteSerialData(h, nullptr, -1), 1);
    EXPECT_EQ(p.WriteSerialData(h, nullptr, 0), 1);
    EXPECT_EQ(p.WriteSerialData(h, nullptr, 5), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sending: \nSending: \nSending: \nSending: \nSending: \n");
    hostFreeStrings();
    EXPECT_TRUE(hostErrors().empty());

    // A name the host cannot open: reported, and no NAK goes out.
    EXPECT_EQ(p.ReceiveSerialFile(h, nullptr, 0), 0);
    EXPECT_EQ(p.ReceiveSerialFile(h, empty, 0), 0);
    EXPECT_EQ(hostErrors(), (std::vector<std::string>{"Failed to open file \"\"", "Failed to open file \"\""}));
    hostClearErrors();

    // A closed handle, closed twice.
    p.CloseSerialPort(h);
    p.CloseSerialPort(h);
    EXPECT_EQ(callEveryPortExport(p, h, never), "");
    Sleep(100);  // let the close thread run before anyone reopens
}

TEST_F(BadInput, ASendWithNoNameWaitsForTheReceiverThenFailsQuietly) {
    const char* port = rigPort();
    if (!port) GTEST_SKIP() << "SERIAL_BAD_INPUT_PORT not set (the rig test sets it)";
    PluginApi& p = bound();
    const int index = listIndex(p, port);
    ASSERT_GE(index, 0) << port << " is not listed";
    const int handle = p.OpenSerialPort(static_cast<unsigned int>(index), 0, 1, 0);
    ASSERT_GT(handle, 0);
    // The file is opened only after the receiver's NAK, which never comes.
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.SendSerialFile(static_cast<unsigned int>(handle), nullptr, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Transfer start timed out\n");
    p.CloseSerialPort(static_cast<unsigned int>(handle));
    Sleep(100);
}
