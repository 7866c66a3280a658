#include "port_list.h"

#include <windows.h>

#include <cstring>
#include <new>


PortList portList = {};

namespace {

const char kSerialcommKey[] = "Hardware\\Devicemap\\Serialcomm";

struct RegistryKey {
    HKEY key = nullptr;
    ~RegistryKey() {
        if (key) RegCloseKey(key);
    }
};

std::unique_ptr<char[]> copyName(const char* data, DWORD length) {
    const void* zero = memchr(data, 0, length);
    size_t used = zero ? static_cast<const char*>(zero) - data : length;
    std::unique_ptr<char[]> name(new char[length + 1]);
    memcpy(name.get(), data, used);
    name[used] = 0;
    return name;
}

void readSerialcomm() {
    RegistryKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialcommKey, 0, KEY_READ, &key.key) != ERROR_SUCCESS) {
        key.key = nullptr;
        return;
    }
    DWORD valueCount = 0, maxNameLength = 0, maxDataLength = 0;
    if (RegQueryInfoKeyA(key.key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &valueCount,
                         &maxNameLength, &maxDataLength, nullptr, nullptr) != ERROR_SUCCESS)
        return;

    try {
        // Twice the longest name, but never less than room for the terminator
        // alone: a key whose names are all empty would otherwise read nothing.
        DWORD nameRoom = 2 * maxNameLength;
        if (nameRoom < maxNameLength + 1) nameRoom = maxNameLength + 1;
        DWORD dataRoom = 2 * maxDataLength;
        std::unique_ptr<char[]> name(new char[nameRoom]);
        std::unique_ptr<BYTE[]> data(new BYTE[dataRoom ? dataRoom : 1]);

        portList.entries.reset(new PortListEntry[valueCount]);
        portList.room = valueCount;

        for (DWORD index = 0;; ++index) {
            DWORD nameLength = nameRoom;
            DWORD dataLength = dataRoom;
            DWORD type = 0;
            if (RegEnumValueA(key.key, index, name.get(), &nameLength, nullptr, &type, data.get(),
                              &dataLength) != ERROR_SUCCESS)
                break;
            if (type != REG_SZ) continue;
            if (portList.entryCount >= portList.room) break;
            portList.entries[portList.entryCount].deviceName =
                copyName(reinterpret_cast<const char*>(data.get()), dataLength);
            ++portList.entryCount;
        }
    } catch (const std::bad_alloc&) {
        // Whole, named entries below entryCount stand; nothing else was filed.
    }
}

}  // namespace

void resetPortList() { portList = PortList{}; }

uint32_t rebuildPortList() {
    portList = PortList{};
    readSerialcomm();
    if (portList.entryCount > 0) gatherPortDetails(portList.entries.get(), portList.entryCount);
    return portList.entryCount;
}

const char* listedDeviceName(uint32_t index) {
    if (index >= portList.entryCount) return nullptr;
    return portList.entries[index].deviceName.get();
}

const PortDetails* listedDetails(uint32_t index) {
    return index < portList.entryCount ? &portList.entries[index].details : nullptr;
}
