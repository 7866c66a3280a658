// The port list: the serial devices the registry's map of serial devices
// names, rebuilt on demand, each with the details the device registry has of
// it.
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

// Replaces the list with the devices listed now; gives their number. The old
// list goes first, whatever the outcome.
uint32_t rebuildPortList();
const char* listedDeviceName(uint32_t index);     // null when index is not listed
const PortDetails* listedDetails(uint32_t index);  // null when index is not listed
void resetPortList();                             // back to the load-time list (tests)
