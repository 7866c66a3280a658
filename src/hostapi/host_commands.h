// The host command table: the host's own services (strings, files, time,
// error display), looked up once by name through ReceiveORVPtr.
#pragma once

#include <windows.h>

enum HostCommand {
    CMD_CREATESTRING_S_L,
    CMD_DELETESTRING_0_S,
    CMD_TIMER_F_0,
    CMD_OPENTOWRITE_0_L_S_L,
    CMD_OPENTOWRITE_0_L_S,
    CMD_OPENTOWRITE_L_S_L,
    CMD_OPENTOWRITE_L_S,
    CMD_OPENTOREAD_L_S,
    CMD_OPENTOREAD_0_L_S,
    CMD_FILEISOPEN_L_L,
    CMD_CLOSEFILE_0_L,
    CMD_FILEEOF_L_L,
    CMD_GETFILESIZE_L_L,
    CMD_GETFILEPOS_L_L,
    CMD_SETFILEPOS_0_L_L,
    CMD_WRITEBYTE_0_L_L,
    CMD_WRITEINTEGER_0_L_L,
    CMD_WRITEFLOAT_0_L_F,
    CMD_WRITESTRING_0_L_S,
    CMD_WRITESTRING2_0_L_S,
    CMD_WRITELINE_0_L_S,
    CMD_READBYTE_L_L,
    CMD_READINTEGER_L_L,
    CMD_READFLOAT_F_L,
    CMD_READSTRING_S_L,
    CMD_READSTRING2_S_L,
    CMD_READLINE_S_L,
    CMD_PLUGINERROR_0_S,
    HOST_COMMAND_COUNT
};

extern const char* const hostCommandNames[HOST_COMMAND_COUNT];

typedef void*(__cdecl* HostLookup)(const char* name);

struct HostCommandTable {
    HostLookup lookup;
    void* entries[HOST_COMMAND_COUNT];
};

extern HostCommandTable hostCommands;

// Signatures of the ten commands the module calls.
typedef char*(__cdecl* CreateStringFn)(int size);
typedef float(__cdecl* TimerFn)();
typedef int(__cdecl* OpenFileFn)(const char* fileName);
typedef void(__cdecl* CloseFileFn)(int fileId);
typedef int(__cdecl* FileEofFn)(int fileId);
typedef int(__cdecl* FileSizeFn)(int fileId);
typedef void(__cdecl* WriteByteFn)(int fileId, int value);
typedef int(__cdecl* ReadByteFn)(int fileId);
typedef void(__cdecl* PluginErrorFn)(const char* message);

// Each gives the bound entry point, or null while the entry is empty: no
// export calls a command that the host has not handed over.
inline CreateStringFn hostCreateString() { return (CreateStringFn)hostCommands.entries[CMD_CREATESTRING_S_L]; }
inline TimerFn hostTimer() { return (TimerFn)hostCommands.entries[CMD_TIMER_F_0]; }
inline OpenFileFn hostOpenToWrite() { return (OpenFileFn)hostCommands.entries[CMD_OPENTOWRITE_L_S]; }
inline OpenFileFn hostOpenToRead() { return (OpenFileFn)hostCommands.entries[CMD_OPENTOREAD_L_S]; }
inline CloseFileFn hostCloseFile() { return (CloseFileFn)hostCommands.entries[CMD_CLOSEFILE_0_L]; }
inline FileEofFn hostFileEof() { return (FileEofFn)hostCommands.entries[CMD_FILEEOF_L_L]; }
inline FileSizeFn hostFileSize() { return (FileSizeFn)hostCommands.entries[CMD_GETFILESIZE_L_L]; }
inline WriteByteFn hostWriteByte() { return (WriteByteFn)hostCommands.entries[CMD_WRITEBYTE_0_L_L]; }
inline ReadByteFn hostReadByte() { return (ReadByteFn)hostCommands.entries[CMD_READBYTE_L_L]; }
inline PluginErrorFn hostPluginError() { return (PluginErrorFn)hostCommands.entries[CMD_PLUGINERROR_0_S]; }

void bindHostCommands(HostLookup lookup);
void resetHostCommands();  // back to the load-time table (tests)
