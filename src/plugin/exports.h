// The entry points a host finds by name. The DLL exports them under
// decorated names (serialport.def); native tests call them directly.
#pragma once

#include "../hostapi/host_commands.h"

extern "C" {
void __cdecl ReceiveORVPtr(HostLookup lookup);
int __cdecl EnumerateSerialPorts();
char* __cdecl GetSerialPortName(unsigned int index);
int __cdecl OpenSerialPort(unsigned int index, unsigned int baudRate, unsigned int stopBits, unsigned int parity);
void __cdecl CloseSerialPort(unsigned int port);
int __cdecl GetSerialBytesAvailable(unsigned int port);
char* __cdecl ReadSerialData(unsigned int port, unsigned int length);
int __cdecl WriteSerialData(unsigned int port, char* data, int length);
int __cdecl ReceiveSerialFile(unsigned int port, char* fileName, int mode);
int __cdecl SendSerialFile(unsigned int port, char* fileName, int mode);
char* __cdecl GetSerialPortDescription(unsigned int index);
char* __cdecl GetSerialPortHardwareId(unsigned int index);
char* __cdecl GetSerialPortUsbId(unsigned int index);
int __cdecl SetSerialLines(unsigned int port, int dtr, int rts);
int __cdecl GetSerialLines(unsigned int port);
int __cdecl SendSerialBreak(unsigned int port, unsigned int ms);
int __cdecl SetSerialFlowControl(unsigned int port, int mode);
int __cdecl SetSerialSpeed(unsigned int port, unsigned int baudRate);
int __cdecl FlushSerialPort(unsigned int port, int what);
char* __cdecl ReadSerialUntil(unsigned int port, char* text, unsigned int ms);
}
