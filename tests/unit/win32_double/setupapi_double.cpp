#include "setupapi_double.h"

#include <cstring>
#include <memory>

namespace w32 {
namespace {

const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// A device information list holds the nodes it found when it was made.
struct DeviceList {
    std::vector<size_t> nodes;
};

DeviceRegistry* theRegistry = nullptr;
std::map<HDEVINFO, std::unique_ptr<DeviceList>> lists;
std::map<HKEY, size_t> deviceKeys;  // open key -> node
uintptr_t nextKey = 0x9000;

BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// The node a device entry of `list` stands for, or null (error code set).
DeviceNode* nodeOf(HDEVINFO list, PSP_DEVINFO_DATA device) {
    auto it = lists.find(list);
    if (it == lists.end()) return fail(ERROR_INVALID_HANDLE), nullptr;
    if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA) || device->Reserved != reinterpret_cast<ULONG_PTR>(list))
        return fail(ERROR_INVALID_USER_BUFFER), nullptr;
    return &deviceRegistry().nodes[device->DevInst];
}

}  // namespace

DeviceRegistry& deviceRegistry() {
    if (!theRegistry) theRegistry = new DeviceRegistry();
    return *theRegistry;
}

DeviceNode& addPortDevice(const std::string& instanceId, const std::string& friendlyName,
                          const std::vector<std::string>& hardwareIds, const std::string& portName) {
    DeviceNode node;
    node.instanceId = instanceId;
    if (!friendlyName.empty()) node.properties[SPDRP_FRIENDLYNAME] = regSz("", friendlyName);
    if (!hardwareIds.empty()) {
        Bytes multi;
        for (const std::string& id : hardwareIds) {
            multi.insert(multi.end(), id.begin(), id.end());
            multi.push_back(0);
        }
        multi.push_back(0);
        node.properties[SPDRP_HARDWAREID] = regValue("", REG_MULTI_SZ, multi);
    }
    if (!portName.empty()) node.parameters.push_back(regSz("PortName", portName));
    deviceRegistry().nodes.push_back(node);
    return deviceRegistry().nodes.back();
}

void resetDeviceRegistry() {
    delete theRegistry;
    theRegistry = nullptr;  // made again on first use
    lists.clear();
    deviceKeys.clear();
    nextKey = 0x9000;
}

bool closeDeviceKey(HKEY key) {
    if (!deviceKeys.erase(key)) return false;
    --deviceRegistry().keysOpen;
    return true;
}

}  // namespace w32

using namespace w32;

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, void*, DWORD flags) {
    DeviceRegistry& r = deviceRegistry();
    if (r.listFails || !classGuid || enumerator) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto list = std::make_unique<DeviceList>();
    for (size_t i = 0; i < r.nodes.size(); ++i) {
        const DeviceNode& node = r.nodes[i];
        if (!node.portsClass || memcmp(classGuid, &kPortsClass, sizeof(GUID)) != 0) continue;
        if ((flags & DIGCF_PRESENT) && !node.present) continue;
        list->nodes.push_back(i);
    }
    HDEVINFO handle = list.get();
    lists[handle] = std::move(list);
    ++r.listsOpen;
    return handle;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO list, DWORD index, PSP_DEVINFO_DATA device) {
    auto it = lists.find(list);
    if (it == lists.end()) return fail(ERROR_INVALID_HANDLE);
    if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    if (static_cast<int>(index) == deviceRegistry().failEnumAt) return fail(ERROR_GEN_FAILURE);
    if (index >= it->second->nodes.size()) return fail(ERROR_NO_MORE_ITEMS);
    device->ClassGuid = kPortsClass;
    device->DevInst = static_cast<DWORD>(it->second->nodes[index]);
    device->Reserved = reinterpret_cast<ULONG_PTR>(list);
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO list, PSP_DEVINFO_DATA device, DWORD property, LPDWORD type,
                                       LPBYTE buffer, DWORD bufferSize, LPDWORD requiredSize) {
    DeviceNode* node = nodeOf(list, device);
    if (!node) return FALSE;
    auto it = node->properties.find(property);
    if (it == node->properties.end()) return fail(ERROR_INVALID_DATA);
    const RegValue& value = it->second;
    if (type) *type = value.type;
    if (requiredSize) *requiredSize = static_cast<DWORD>(value.data.size());
    if (!buffer || bufferSize < value.data.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(buffer, value.data.data(), value.data.size());
    return TRUE;
}

BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO list, PSP_DEVINFO_DATA device, LPSTR buffer, DWORD bufferSize,
                                 LPDWORD requiredSize) {
    DeviceNode* node = nodeOf(list, device);
    if (!node) return FALSE;
    DWORD size = static_cast<DWORD>(node->instanceId.size() + 1);
    if (requiredSize) *requiredSize = size;
    if (!buffer || bufferSize < size) return fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(buffer, node->instanceId.c_str(), size);
    return TRUE;
}

HKEY SetupDiOpenDevRegKey(HDEVINFO list, PSP_DEVINFO_DATA device, DWORD scope, DWORD, DWORD keyType,
                          REGSAM access) {
    HKEY invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    DeviceNode* node = nodeOf(list, device);
    if (!node) return invalid;
    if (scope != DICS_FLAG_GLOBAL || keyType != DIREG_DEV || access != KEY_READ) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return invalid;
    }
    if (!node->keyOpens) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return invalid;
    }
    HKEY key = reinterpret_cast<HKEY>(nextKey++);
    deviceKeys[key] = static_cast<size_t>(device->DevInst);
    ++deviceRegistry().keysOpen;
    return key;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO list) {
    if (!lists.erase(list)) return fail(ERROR_INVALID_HANDLE);
    --deviceRegistry().listsOpen;
    return TRUE;
}

// The module reads single values only from device keys.
LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataLength) {
    auto it = deviceKeys.find(key);
    if (it == deviceKeys.end() || reserved) return ERROR_INVALID_HANDLE;
    for (const RegValue& value : deviceRegistry().nodes[it->second].parameters) {
        if (!name || value.name != name) continue;
        if (type) *type = value.type;
        DWORD size = static_cast<DWORD>(value.data.size());
        if (data && *dataLength < size) {
            *dataLength = size;
            return ERROR_MORE_DATA;
        }
        if (data) memcpy(data, value.data.data(), size);
        if (dataLength) *dataLength = size;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}
