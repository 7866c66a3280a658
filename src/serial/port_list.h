// The port list: the serial devices the registry's map of serial devices
// names, rebuilt on demand by EnumerateSerialPorts.
#pragma once

#include <cstdint>
#include <memory>

struct PortListEntry {
    std::unique_ptr<char[]> deviceName;  // a name such as COM3, or none
};

struct PortList {
    std::unique_ptr<PortListEntry[]> entries;
    uint32_t room;  // entries allocated
    uint32_t entryCount;
};

extern PortList portList;

int enumerateSerialPorts();
char* serialPortName(uint32_t index);             // a host string
const char* listedDeviceName(uint32_t index);     // null when index is not listed
void resetPortList();                             // back to the load-time list (tests)
