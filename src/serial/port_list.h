// The port list: the serial devices the registry's map of serial devices
// names, rebuilt on demand by EnumerateSerialPorts, each with the details
// the device registry has of it.
#pragma once

#include <cstdint>
#include <memory>

#include "port_details.h"

struct PortListEntry {
    std::unique_ptr<char[]> deviceName;  // a name such as COM3, or none
    PortDetails details;
};

struct PortList {
    std::unique_ptr<PortListEntry[]> entries;
    uint32_t room;  // entries allocated
    uint32_t entryCount;
};

extern PortList portList;

int enumerateSerialPorts();
char* serialPortName(uint32_t index);             // a host string
// Host strings of an entry's details; empty for an unknown port or index.
char* serialPortDescription(uint32_t index);
char* serialPortHardwareId(uint32_t index);
char* serialPortUsbId(uint32_t index);
const char* listedDeviceName(uint32_t index);     // null when index is not listed
void resetPortList();                             // back to the load-time list (tests)
