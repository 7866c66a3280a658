// Device details of listed ports: what the device registry says about the
// device behind a port name, read through SetupAPI when the list is built.
#pragma once

#include <cstdint>
#include <memory>

struct PortDetails {
    std::unique_ptr<char[]> description;  // the device's friendly name, or none
    std::unique_ptr<char[]> hardwareId;   // the first of its hardware ids, or none
    char usbId[10] = {};                  // "VVVV:PPPP", or empty
};

struct PortListEntry;

// Gives each of the `count` entries the details of the present Ports-class
// device whose PortName is the entry's name. Whatever the device registry
// cannot tell stays empty; nothing here fails the enumeration.
void gatherPortDetails(PortListEntry* entries, uint32_t count);
