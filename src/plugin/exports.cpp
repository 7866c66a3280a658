// Thin entry points: no exception leaves the module; running out of memory
// gives the export's failure result.
#include "exports.h"

#include <new>

#include "../serial/port_list.h"
#include "../serial/port_table.h"
#include "../serial/serial_io.h"
#include "../xmodem/receiver.h"
#include "../xmodem/sender.h"
#include "../hostapi/host_string.h"

extern "C" {

void __cdecl ReceiveORVPtr(HostLookup lookup) { bindHostCommands(lookup); }

int __cdecl EnumerateSerialPorts() { return enumerateSerialPorts(); }

char* __cdecl GetSerialPortName(unsigned int index) {
    try {
        return serialPortName(index);
    } catch (const std::bad_alloc&) {
        return emptyHostString();
    }
}

int __cdecl OpenSerialPort(unsigned int index, unsigned int baudRate, unsigned int stopBits, unsigned int parity) {
    try {
        return openSerialPort(index, baudRate, stopBits, parity);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

void __cdecl CloseSerialPort(unsigned int port) { closeSerialPort(port); }

int __cdecl GetSerialBytesAvailable(unsigned int port) { return serialBytesAvailable(port); }

char* __cdecl ReadSerialData(unsigned int port, unsigned int length) { return readSerialData(port, length); }

int __cdecl WriteSerialData(unsigned int port, char* data, int length) {
    return writeSerialData(port, data, length);
}

int __cdecl ReceiveSerialFile(unsigned int port, char* fileName, int mode) {
    try {
        return xmodem::receiveFile(port, fileName, mode);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int __cdecl SendSerialFile(unsigned int port, char* fileName, int mode) {
    try {
        return xmodem::sendFile(port, fileName, mode);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

char* __cdecl GetSerialPortDescription(unsigned int index) {
    try {
        return serialPortDescription(index);
    } catch (const std::bad_alloc&) {
        return emptyHostString();
    }
}

char* __cdecl GetSerialPortHardwareId(unsigned int index) {
    try {
        return serialPortHardwareId(index);
    } catch (const std::bad_alloc&) {
        return emptyHostString();
    }
}

char* __cdecl GetSerialPortUsbId(unsigned int index) {
    try {
        return serialPortUsbId(index);
    } catch (const std::bad_alloc&) {
        return emptyHostString();
    }
}

}  // extern "C"
