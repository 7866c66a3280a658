// A rig port that goes away under the plug-in, and a plug-in that goes away
// right after a close. test_line_loss.py runs these with SERIAL_RIG_PORT and
// SERIAL_RIG_PEER_PORT naming the rig's two ports and SERIAL_RIG_SIGNALS a
// folder: a test prints "@unplug" or "@plug" on a line of its own, and the
// harness, once it has ended or restarted the line, creates the file
// "unplugged" or "plugged" there.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host.h"
#include "loaded_dll.h"

namespace {

const char* envText(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

std::string signalPath(const char* done) { return std::string(envText("SERIAL_RIG_SIGNALS")) + "\\" + done; }

// Asks the harness to act on the line ("@unplug", "@plug"); it creates the
// file `done` when it has.
void requestLineEvent(const char* request, const char* done) {
    DeleteFileA(signalPath(done).c_str());
    std::printf("\n%s\n", request);
    std::fflush(stdout);
}

bool lineEventDone(const char* done) {
    return GetFileAttributesA(signalPath(done).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool waitForLineEvent(const char* done) {
    for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < 60000; Sleep(20))
        if (lineEventDone(done)) return true;
    return false;
}

std::string firstReport() { return hostErrors().empty() ? "none" : "\"" + hostErrors().front() + "\""; }

int portIndex(const PluginApi& p, const char* name) {
    const int count = p.EnumerateSerialPorts();
    for (int i = 0; i < count; ++i)
        if (lstrcmpiA(p.GetSerialPortName(static_cast<unsigned>(i)), name) == 0) return i;
    return -1;
}

unsigned openPort(const PluginApi& p, const char* name) {
    const int index = portIndex(p, name);
    return index < 0 ? 0 : static_cast<unsigned>(p.OpenSerialPort(static_cast<unsigned>(index), 0, 1, 0));
}

class RigPort : public testing::Test {
protected:
    void SetUp() override {
        port = envText("SERIAL_RIG_PORT");
        peer = envText("SERIAL_RIG_PEER_PORT");
        if (!port || !peer || !envText("SERIAL_RIG_SIGNALS"))
            GTEST_SKIP() << "SERIAL_RIG_PORT, SERIAL_RIG_PEER_PORT, SERIAL_RIG_SIGNALS not set (test_line_loss.py sets them)";
        logBefore = hostLookupLog();
    }
    void TearDown() override {
        hostFreeStrings();
        hostClearErrors();
        // Keep the lookup log as the first binding left it for the binding test.
        hostClearLookupLog();
        for (const std::string& name : logBefore) hostLookup(name.c_str());
    }
    PluginApi& bound() { return loadedDll(); }
    // After an unplug: the port closes, and once the line is back it opens
    // again and its bytes reach the other port.
    void expectTheLineBack(unsigned handle) {
        PluginApi& p = bound();
        p.CloseSerialPort(handle);
        requestLineEvent("@plug", "plugged");
        ASSERT_TRUE(waitForLineEvent("plugged"));
        const unsigned again = openPort(p, port);
        const unsigned other = openPort(p, peer);
        ASSERT_GT(again, 0u);
        ASSERT_GT(other, 0u);
        char text[] = "back";
        EXPECT_EQ(p.WriteSerialData(again, text, 4), 1);
        std::string got;
        for (ULONGLONG start = GetTickCount64(); got.size() < 4 && GetTickCount64() - start < 10000;)
            got += p.ReadSerialData(other, static_cast<unsigned>(4 - got.size()));
        EXPECT_EQ(got, "back");
        p.CloseSerialPort(again);
        p.CloseSerialPort(other);
        EXPECT_TRUE(hostErrors().empty()) << hostErrors().front();
    }
    const char* port = nullptr;
    const char* peer = nullptr;
    std::vector<std::string> logBefore;
};

}  // namespace

TEST_F(RigPort, FreeLibraryRightAfterCloseTwoHundredTimes) {
    // A copy under a name of its own, so that no other test's load keeps it.
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::string folder(path, length);
    folder = folder.substr(0, folder.find_last_of("\\/") + 1);
    const std::string copy = folder + "serialport_unload.dll";
    ASSERT_TRUE(CopyFileA((folder + "serialport.dll").c_str(), copy.c_str(), FALSE)) << GetLastError();
    auto unloaded = [&] {
        for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < 30000; Sleep(2))
            if (!GetModuleHandleA(copy.c_str())) return true;
        return false;
    };

    // What a load costs with no call at all: the statically linked C++
    // runtime keeps a handle or two per load that it never closes.
    constexpr int kControlRounds = 5;
    unsigned long before = hostHandleCount();
    for (int round = 0; round < kControlRounds; ++round) {
        HMODULE module = LoadLibraryA(copy.c_str());
        ASSERT_NE(module, nullptr) << GetLastError();
        ASSERT_TRUE(FreeLibrary(module));
        ASSERT_TRUE(unloaded());
    }
    const unsigned long perLoad = (hostHandleCount() - before) / kControlRounds;

    // Load, bind, open, close, and unload at once: the close thread may not
    // have run yet. Without the close, the unload closes the port itself.
    int retriedOpens = 0;
    auto round = [&](int number, bool close = true) {
        HMODULE module = LoadLibraryA(copy.c_str());
        ASSERT_NE(module, nullptr) << "round " << number << ": " << GetLastError();
        PluginApi p{};
        p.ReceiveORVPtr = reinterpret_cast<decltype(p.ReceiveORVPtr)>(GetProcAddress(module, "ReceiveORVPtr"));
        p.EnumerateSerialPorts =
            reinterpret_cast<decltype(p.EnumerateSerialPorts)>(GetProcAddress(module, "?EnumerateSerialPorts@@YAHXZ"));
        p.GetSerialPortName =
            reinterpret_cast<decltype(p.GetSerialPortName)>(GetProcAddress(module, "?GetSerialPortName@@YAPADI@Z"));
        p.OpenSerialPort =
            reinterpret_cast<decltype(p.OpenSerialPort)>(GetProcAddress(module, "?OpenSerialPort@@YAHIIII@Z"));
        p.CloseSerialPort =
            reinterpret_cast<decltype(p.CloseSerialPort)>(GetProcAddress(module, "?CloseSerialPort@@YAXI@Z"));
        p.ReceiveORVPtr(hostLookup);
        unsigned handle = openPort(p, port);
        for (int retry = 0; !handle && retry < 100; ++retry, ++retriedOpens) {
            Sleep(10);  // Windows refuses the device until the last close thread has closed it
            handle = openPort(p, port);
        }
        EXPECT_GT(handle, 0u) << "round " << number << ": " << (hostErrors().empty() ? "" : hostErrors().back());
        if (close) p.CloseSerialPort(handle);
        ASSERT_TRUE(FreeLibrary(module));
        hostFreeStrings();
        ASSERT_TRUE(unloaded()) << "round " << number << ": the module stays loaded";
    };
    before = hostHandleCount();
    for (int number = 1; number <= 200 && !HasFailure(); ++number) round(number);
    const unsigned long after = hostHandleCount();
    EXPECT_EQ(after - before, 200 * perLoad) << "handles beyond the C++ runtime's " << perLoad << " a load";
    round(201);  // the port opens again
    std::printf("unload right after close: 200 rounds, no crash; %lu handles before, %lu after, all %lu new ones "
                "the C++ runtime's (%lu a load, as with no call at all); %d opens retried\n",
                before, after, after - before, perLoad, retriedOpens);
    const unsigned long openBefore = hostHandleCount();
    for (int number = 202; number < 252 && !HasFailure(); ++number) round(number, false);
    const unsigned long openAfter = hostHandleCount();
    EXPECT_EQ(openAfter - openBefore, 50 * perLoad) << "an unload leaves its open ports' handles behind";
    round(252);
    std::printf("unload with the port open: 50 rounds; %lu handles before, %lu after, %lu new ones (%lu a load)\n",
                openBefore, openAfter, openAfter - openBefore, perLoad);
    hostClearErrors();
    if (!HasFailure()) DeleteFileA(copy.c_str());
}

TEST_F(RigPort, ReadSerialDataOnAVanishingLine) {
    PluginApi& p = bound();
    const unsigned handle = openPort(p, port);
    ASSERT_GT(handle, 0u);
    // A read is bounded by 10 ms a byte + 50 ms (with room for a loaded
    // machine) and reports at most once.
    auto timedRead = [&](unsigned length, const char* when) {
        hostClearErrors();
        const ULONGLONG start = GetTickCount64();
        p.ReadSerialData(handle, length);
        const ULONGLONG took = GetTickCount64() - start;
        EXPECT_LT(took, length * 10u + 50u + 5000u);
        EXPECT_LE(hostErrors().size(), 1u);
        std::printf("ReadSerialData(%u) %s: %llu ms, %u reports (%s)\n", length, when, took,
                    unsigned(hostErrors().size()), firstReport().c_str());
    };
    // The harness ends the line while the first read waits.
    requestLineEvent("@unplug", "unplugged");
    timedRead(1000, "as the line went");
    ASSERT_TRUE(waitForLineEvent("unplugged"));
    timedRead(100, "on the dead line");
    hostClearErrors();
    expectTheLineBack(handle);
}

TEST_F(RigPort, PollingAVanishingLine) {
    PluginApi& p = bound();
    const unsigned handle = openPort(p, port);
    ASSERT_GT(handle, 0u);
    hostClearErrors();
    requestLineEvent("@unplug", "unplugged");
    int calls = 0, callsAfter = 0;
    size_t mostReports = 0;
    ULONGLONG longest = 0;
    for (ULONGLONG begin = GetTickCount64(); callsAfter < 50; ++calls) {
        ASSERT_LT(GetTickCount64() - begin, 60000u) << "the harness did not end the line";
        const size_t before = hostErrors().size();
        const ULONGLONG start = GetTickCount64();
        p.GetSerialBytesAvailable(handle);
        const ULONGLONG took = GetTickCount64() - start;
        longest = took > longest ? took : longest;
        const size_t reports = hostErrors().size() - before;
        mostReports = reports > mostReports ? reports : mostReports;
        if (callsAfter || lineEventDone("unplugged")) ++callsAfter;
        Sleep(10);
    }
    EXPECT_LE(mostReports, 1u);
    EXPECT_LT(longest, 1000u) << "a query of the queue must not block";
    std::printf("GetSerialBytesAvailable every 10 ms as the line went: %d calls, %u reports in all, at most %u a "
                "call, longest call %llu ms (%s)\n",
                calls, unsigned(hostErrors().size()), unsigned(mostReports), longest, firstReport().c_str());
    hostClearErrors();
    expectTheLineBack(handle);
}
