// The entry points a host finds by name: each hands its call on, guarded, so
// that no exception leaves the module.
#include "exports.h"

#include "../hostapi/host_string.h"
#include "guard.h"
#include "script_calls.h"

namespace {

int failedInt() { return 0; }
char* failedString() { return emptyHostString(); }

}  // namespace

extern "C" {

void __cdecl ReceiveORVPtr(HostLookup lookup) { bindHostCommands(lookup); }

int __cdecl EnumerateSerialPorts() {
    return guarded([] { return plugin::enumeratePorts(); }, failedInt);
}

char* __cdecl GetSerialPortName(unsigned int index) {
    return guarded([=] { return plugin::portName(index); }, failedString);
}

int __cdecl OpenSerialPort(unsigned int index, unsigned int baudRate, unsigned int stopBits, unsigned int parity) {
    return guarded([=] { return plugin::openPort(index, baudRate, stopBits, parity); }, failedInt);
}

void __cdecl CloseSerialPort(unsigned int port) {
    guarded([=] { plugin::closePort(port); }, [] {});
}

int __cdecl GetSerialBytesAvailable(unsigned int port) {
    return guarded([=] { return plugin::bytesAvailable(port); }, failedInt);
}

char* __cdecl ReadSerialData(unsigned int port, unsigned int length) {
    return guarded([=] { return plugin::readData(port, length); }, failedString);
}

int __cdecl WriteSerialData(unsigned int port, char* data, int length) {
    return guarded([=] { return plugin::writeData(port, data, length); }, failedInt);
}

int __cdecl ReceiveSerialFile(unsigned int port, char* fileName, int mode) {
    return guarded([=] { return plugin::receiveFile(port, fileName, mode); }, failedInt);
}

int __cdecl SendSerialFile(unsigned int port, char* fileName, int mode) {
    return guarded([=] { return plugin::sendFile(port, fileName, mode); }, failedInt);
}

char* __cdecl GetSerialPortDescription(unsigned int index) {
    return guarded([=] { return plugin::portDescription(index); }, failedString);
}

char* __cdecl GetSerialPortHardwareId(unsigned int index) {
    return guarded([=] { return plugin::portHardwareId(index); }, failedString);
}

char* __cdecl GetSerialPortUsbId(unsigned int index) {
    return guarded([=] { return plugin::portUsbId(index); }, failedString);
}

int __cdecl SetSerialLines(unsigned int port, int dtr, int rts) {
    return guarded([=] { return plugin::setLines(port, dtr, rts); }, failedInt);
}

int __cdecl GetSerialLines(unsigned int port) {
    return guarded([=] { return plugin::getLines(port); }, [] { return -1; });
}

int __cdecl SendSerialBreak(unsigned int port, unsigned int ms) {
    return guarded([=] { return plugin::sendBreak(port, ms); }, failedInt);
}

int __cdecl SetSerialFlowControl(unsigned int port, int mode) {
    return guarded([=] { return plugin::setFlowControl(port, mode); }, failedInt);
}

int __cdecl SetSerialSpeed(unsigned int port, unsigned int baudRate) {
    return guarded([=] { return plugin::setSpeed(port, baudRate); }, failedInt);
}

int __cdecl FlushSerialPort(unsigned int port, int what) {
    return guarded([=] { return plugin::flushPort(port, what); }, failedInt);
}

char* __cdecl ReadSerialUntil(unsigned int port, char* text, unsigned int ms) {
    return guarded([=] { return plugin::readUntil(port, text, ms); }, failedString);
}

}  // extern "C"
