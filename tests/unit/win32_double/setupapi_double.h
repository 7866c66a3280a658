// Control side of the SetupAPI double: a scripted device registry, and
// what the module left open in it.
#pragma once

#include <setupapi.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "win32_double.h"

namespace w32 {

struct DeviceNode {
    std::string instanceId;                // as in "USB\VID_2341&PID_0043\5&1A2B"
    bool portsClass = true;                // of the Ports setup class
    bool present = true;                   // plugged in
    bool keyOpens = true;                  // SetupDiOpenDevRegKey finds its key
    std::map<DWORD, RegValue> properties;  // by SPDRP_ code
    std::vector<RegValue> parameters;      // values of its "Device Parameters" key
};

struct DeviceRegistry {
    std::deque<DeviceNode> nodes;  // references stay valid as nodes are added
    bool listFails = false;  // SetupDiGetClassDevsA answers INVALID_HANDLE_VALUE
    int failEnumAt = -1;     // SetupDiEnumDeviceInfo fails at this index
    int listsOpen = 0;
    int keysOpen = 0;
};

DeviceRegistry& deviceRegistry();
// A present Ports-class device with a friendly name, hardware ids (one
// multi-string) and a PortName; empty texts are left out.
DeviceNode& addPortDevice(const std::string& instanceId, const std::string& friendlyName,
                          const std::vector<std::string>& hardwareIds, const std::string& portName);
void resetDeviceRegistry();
// For RegCloseKey: true when `key` was a device key, now closed.
bool closeDeviceKey(HKEY key);

}  // namespace w32
