// The stand-in host's own commands: file ids, reads past the end, host
// strings and the lookup log that the DLL tests rely on.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "host.h"

namespace {

template <typename Fn>
Fn command(const char* name) {
    return reinterpret_cast<Fn>(hostCommand(name));
}

const auto createString = command<char*(__cdecl*)(int)>("CREATESTRING_S_L");
const auto openToWrite = command<int(__cdecl*)(const char*)>("OPENTOWRITE_L_S");
const auto openToRead = command<int(__cdecl*)(const char*)>("OPENTOREAD_L_S");
const auto closeFile = command<void(__cdecl*)(int)>("CLOSEFILE_0_L");
const auto fileEof = command<int(__cdecl*)(int)>("FILEEOF_L_L");
const auto writeByte = command<void(__cdecl*)(int, int)>("WRITEBYTE_0_L_L");
const auto readByte = command<int(__cdecl*)(int)>("READBYTE_L_L");
const auto pluginError = command<void(__cdecl*)(const char*)>("PLUGINERROR_0_S");

// A file in the temp folder, removed again when the test ends.
struct TempFile {
    std::string path;
    explicit TempFile(const char* tag) {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        path = std::string(dir) + "host_lib_test_" + std::to_string(GetCurrentProcessId()) + "_" + tag;
        DeleteFileA(path.c_str());
    }
    ~TempFile() { DeleteFileA(path.c_str()); }
    void write(const std::string& bytes) const {
        const int id = openToWrite(path.c_str());
        ASSERT_NE(id, 0);
        for (char c : bytes) writeByte(id, static_cast<unsigned char>(c));
        closeFile(id);
    }
};

TEST(HostFiles, IdsStartAtOneAndAClosedIdIsReusedFirst) {
    TempFile a("a"), b("b"), c("c");
    const int first = openToWrite(a.path.c_str());
    const int second = openToWrite(b.path.c_str());
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
    closeFile(first);
    EXPECT_EQ(openToWrite(c.path.c_str()), first);
    closeFile(first);
    closeFile(first);  // already closed: nothing happens
    closeFile(second);

    EXPECT_EQ(openToRead((a.path + ".missing").c_str()), 0);
    EXPECT_EQ(openToRead(nullptr), 0);
    EXPECT_EQ(openToWrite(""), 0);
    // A failed open must not take an id.
    const int again = openToRead(a.path.c_str());
    EXPECT_EQ(again, 1);
    closeFile(again);
}

TEST(HostFiles, EveryByteValueSurvivesAWriteAndReadBack) {
    TempFile file("bytes");
    const int out = openToWrite(file.path.c_str());
    ASSERT_NE(out, 0);
    for (int value = 0; value < 256; ++value) writeByte(out, value);
    writeByte(out, 0x141);  // only the low 8 bits count
    closeFile(out);

    const int in = openToRead(file.path.c_str());
    ASSERT_NE(in, 0);
    for (int value = 0; value < 256; ++value) {
        ASSERT_EQ(fileEof(in), 0) << value;  // peeking must not eat the byte
        ASSERT_EQ(readByte(in), value);
    }
    EXPECT_EQ(readByte(in), 0x41);
    EXPECT_NE(fileEof(in), 0);
    closeFile(in);
}

TEST(HostFiles, ReadsPastTheEndGivePadBytesAndEofStaysSet) {
    TempFile empty("empty"), one("one");
    empty.write("");
    one.write("Z");

    const int e = openToRead(empty.path.c_str());
    ASSERT_NE(e, 0);
    EXPECT_NE(fileEof(e), 0);
    EXPECT_EQ(readByte(e), 0x1A);
    closeFile(e);

    const int o = openToRead(one.path.c_str());
    ASSERT_NE(o, 0);
    EXPECT_EQ(fileEof(o), 0);
    EXPECT_EQ(readByte(o), 'Z');
    EXPECT_NE(fileEof(o), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(readByte(o), 0x1A);
    EXPECT_NE(fileEof(o), 0);
    closeFile(o);

    // Unknown and closed ids are harmless.
    EXPECT_EQ(readByte(o), 0);
    EXPECT_NE(fileEof(o), 0);
    writeByte(o, 1);
    EXPECT_EQ(readByte(99), 0);
}

TEST(HostStrings, BuffersAreZeroFilledNeverNullAndFreedTogether) {
    hostFreeStrings();
    char* big = createString(300);
    ASSERT_NE(big, nullptr);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(big[i], '\0') << i;
    for (int size : {0, -5}) {
        char* tiny = createString(size);
        ASSERT_NE(tiny, nullptr);
        EXPECT_EQ(tiny[0], '\0');
    }
    EXPECT_EQ(hostStringCount(), 3u);
    hostFreeStrings();
    EXPECT_EQ(hostStringCount(), 0u);
}

TEST(HostErrors, AReportIsCopiedBecauseThePluginFreesItsBuffer) {
    hostClearErrors();
    char message[] = "Serial port \"COM9\" not found";
    pluginError(message);
    message[0] = 'X';
    pluginError(nullptr);
    ASSERT_EQ(hostErrors().size(), 2u);
    EXPECT_EQ(hostErrors()[0], "Serial port \"COM9\" not found");
    EXPECT_EQ(hostErrors()[1], "");
    hostClearErrors();
}

TEST(HostLookup, AnswersAllTwentyEightNamesAndLogsEveryQueryInOrder) {
    const char* names[] = {
        "CREATESTRING_S_L",   "DELETESTRING_0_S",   "TIMER_F_0",         "OPENTOWRITE_0_L_S_L",
        "OPENTOWRITE_0_L_S",  "OPENTOWRITE_L_S_L",  "OPENTOWRITE_L_S",   "OPENTOREAD_L_S",
        "OPENTOREAD_0_L_S",   "FILEISOPEN_L_L",     "CLOSEFILE_0_L",     "FILEEOF_L_L",
        "GETFILESIZE_L_L",    "GETFILEPOS_L_L",     "SETFILEPOS_0_L_L",  "WRITEBYTE_0_L_L",
        "WRITEINTEGER_0_L_L", "WRITEFLOAT_0_L_F",   "WRITESTRING_0_L_S", "WRITESTRING2_0_L_S",
        "WRITELINE_0_L_S",    "READBYTE_L_L",       "READINTEGER_L_L",   "READFLOAT_F_L",
        "READSTRING_S_L",     "READSTRING2_S_L",    "READLINE_S_L",      "PLUGINERROR_0_S"};
    const std::vector<std::string> before = hostLookupLog();
    hostClearLookupLog();

    std::vector<std::string> expected;
    std::vector<void*> seen;
    for (const char* name : names) {
        void* entry = hostLookup(name);
        EXPECT_NE(entry, nullptr) << name;
        for (void* other : seen) EXPECT_NE(entry, other) << name;
        seen.push_back(entry);
        expected.push_back(name);
    }
    EXPECT_EQ(hostLookup("timer_f_0"), nullptr);
    EXPECT_EQ(hostLookup("TIMER_F_0 "), nullptr);
    EXPECT_EQ(hostLookup(nullptr), nullptr);
    expected.insert(expected.end(), {"timer_f_0", "TIMER_F_0 ", ""});
    EXPECT_EQ(hostLookupLog(), expected);

    // Leave the log as the plug-in's binding left it for the DLL tests.
    hostClearLookupLog();
    for (const std::string& name : before) hostLookup(name.c_str());
}

TEST(HostTimer, CountsSecondsFromFirstUseAsTheClockGoes) {
    const auto timer = command<float(__cdecl*)()>("TIMER_F_0");
    const float first = timer();
    Sleep(200);
    const float second = timer();
    EXPECT_GE(second - first, 0.15f) << "the timer does not keep up with the system's clock";
    EXPECT_LT(second, 86400.0f);  // counted from first use, not from boot
}

}  // namespace
