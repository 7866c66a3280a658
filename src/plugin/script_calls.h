// The bodies of the exports: argument checks, host strings, error reports and
// trace lines, over the device layer and the transfers. Each export in
// exports.cpp hands its call to one of these.
#pragma once

#include <cstdint>

namespace plugin {

int enumeratePorts();
char* portName(uint32_t index);  // host strings; the empty one for an unlisted index
char* portDescription(uint32_t index);
char* portHardwareId(uint32_t index);
char* portUsbId(uint32_t index);

int openPort(uint32_t index, uint32_t baudRate, uint32_t stopBits, uint32_t parity);
void closePort(uint32_t port);

int bytesAvailable(uint32_t port);
char* readData(uint32_t port, uint32_t length);  // a host string, never null
int writeData(uint32_t port, const char* data, int length);

// Board control: 1 on success (GetSerialLines: the sum of the far end's
// lines, -1 on failure; ReadSerialUntil: a host string).
int setLines(uint32_t port, int dtr, int rts);
int getLines(uint32_t port);
int sendBreak(uint32_t port, uint32_t ms);
int setFlowControl(uint32_t port, int mode);
int setSpeed(uint32_t port, uint32_t baudRate);
int flushPort(uint32_t port, int what);
char* readUntil(uint32_t port, const char* text, uint32_t ms);

// 1 when the whole file went over, else 0; a mode no engine serves fails at
// once, touching nothing.
int receiveFile(uint32_t port, const char* fileName, int mode);
int sendFile(uint32_t port, const char* fileName, int mode);

}  // namespace plugin
