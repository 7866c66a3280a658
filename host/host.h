// Stand-in host for serialport.dll: loads the plug-in the way a script host
// does (by exported name), hands it the host commands, and implements the
// ten it calls: host strings, host files by id, a timer and error reports.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

using HostLookupFn = void* (__cdecl*)(const char* name);

// One entry point per export of serialport.dll, named like the export.
struct PluginApi {
    void(__cdecl* ReceiveORVPtr)(HostLookupFn lookup);
    int(__cdecl* EnumerateSerialPorts)();
    char*(__cdecl* GetSerialPortName)(unsigned int index);
    int(__cdecl* OpenSerialPort)(unsigned int index, unsigned int baud, unsigned int stopBits,
                                 unsigned int parity);
    void(__cdecl* CloseSerialPort)(unsigned int port);
    int(__cdecl* GetSerialBytesAvailable)(unsigned int port);
    char*(__cdecl* ReadSerialData)(unsigned int port, unsigned int length);
    int(__cdecl* WriteSerialData)(unsigned int port, char* data, int length);
    int(__cdecl* ReceiveSerialFile)(unsigned int port, char* fileName, int mode);
    int(__cdecl* SendSerialFile)(unsigned int port, char* fileName, int mode);
    char*(__cdecl* GetSerialPortDescription)(unsigned int index);
    char*(__cdecl* GetSerialPortHardwareId)(unsigned int index);
    char*(__cdecl* GetSerialPortUsbId)(unsigned int index);
    int(__cdecl* SetSerialLines)(unsigned int port, int dtr, int rts);
    int(__cdecl* GetSerialLines)(unsigned int port);
    int(__cdecl* SendSerialBreak)(unsigned int port, unsigned int ms);
    int(__cdecl* SetSerialFlowControl)(unsigned int port, int mode);
    int(__cdecl* SetSerialSpeed)(unsigned int port, unsigned int baud);
    int(__cdecl* FlushSerialPort)(unsigned int port, int what);
    char*(__cdecl* ReadSerialUntil)(unsigned int port, char* text, unsigned int ms);
};

// Loads the DLL, finds all twenty exports by their exported names and binds the
// plug-in with ReceiveORVPtr(hostLookup). On failure *error names the DLL or
// every missing export, the DLL is unloaded again and *api is left untouched.
bool hostLoad(const char* dllPath, PluginApi* api, std::string* error);

// The lookup function handed to the plug-in: the entry point of one of the
// 28 host commands, or null for a name the host does not know. Every name
// asked for is logged, in order.
extern "C" void* __cdecl hostLookup(const char* name);

// The same answer as hostLookup without logging the name.
void* hostCommand(const char* name);

const std::vector<std::string>& hostLookupLog();
void hostClearLookupLog();

// Host strings handed out by CREATESTRING_S_L live until this call.
void hostFreeStrings();
std::size_t hostStringCount();

// Messages the plug-in reported through PLUGINERROR_0_S, oldest first.
const std::vector<std::string>& hostErrors();
void hostClearErrors();

// Seconds since the host library was first used, as TIMER_F_0 reports them.
double hostSeconds();

// File bytes the plug-in has read (READBYTE_L_L, within the file) and written
// (WRITEBYTE_0_L_L) since the host library was loaded. Another thread may read
// them while a transfer runs.
unsigned long long hostBytesRead();
unsigned long long hostBytesWritten();

// Open handles of this process, found by asking each possible handle value
// for its flags (Wine's GetProcessHandleCount answers 0).
unsigned long hostHandleCount();
