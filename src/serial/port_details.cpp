#include "port_details.h"

#include <windows.h>
#include <setupapi.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "port_list.h"

namespace {

// The Ports (COM & LPT) device setup class.
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// Device properties are short; a longer answer is not trusted.
const DWORD kLongestProperty = 64 * 1024;
const DWORD kFirstPropertyRoom = 256;

struct DeviceInfoList {
    HDEVINFO list;
    ~DeviceInfoList() {
        if (list != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(list);
    }
};

struct DeviceKey {
    HKEY key;
    bool isOpen() const { return key && key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE); }
    ~DeviceKey() {
        if (isOpen()) RegCloseKey(key);
    }
};

std::unique_ptr<char[]> copyText(const std::string& text) {
    if (text.empty()) return nullptr;
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

// The strings of a REG_SZ or REG_MULTI_SZ value of `length` bytes, which
// need not be terminated; an empty string ends a multi-string.
std::vector<std::string> stringsOf(const BYTE* data, DWORD length) {
    std::vector<std::string> strings;
    const char* text = reinterpret_cast<const char*>(data);
    DWORD at = 0;
    while (at < length && text[at]) {
        const void* zero = memchr(text + at, 0, length - at);
        DWORD end = zero ? static_cast<DWORD>(static_cast<const char*>(zero) - text) : length;
        strings.emplace_back(text + at, end - at);
        at = end + 1;
    }
    return strings;
}

std::vector<std::string> deviceStrings(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property) {
    std::vector<BYTE> buffer(kFirstPropertyRoom);
    DWORD type = 0, needed = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(list, device, property, &type, buffer.data(),
                                           static_cast<DWORD>(buffer.size()), &needed)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size() || needed > kLongestProperty)
            return {};
        buffer.resize(needed);
        if (!SetupDiGetDeviceRegistryPropertyA(list, device, property, &type, buffer.data(),
                                               static_cast<DWORD>(buffer.size()), &needed))
            return {};
    }
    if (type != REG_SZ && type != REG_MULTI_SZ) return {};
    // The buffer starts zero-filled, so a size not given back reads no further.
    DWORD length = static_cast<DWORD>(buffer.size());
    return stringsOf(buffer.data(), needed && needed < length ? needed : length);
}

std::string instanceId(HDEVINFO list, SP_DEVINFO_DATA* device) {
    std::vector<char> buffer(kFirstPropertyRoom);
    DWORD needed = 0;
    if (!SetupDiGetDeviceInstanceIdA(list, device, buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size() || needed > kLongestProperty)
            return {};
        buffer.resize(needed);
        if (!SetupDiGetDeviceInstanceIdA(list, device, buffer.data(), static_cast<DWORD>(buffer.size()), &needed))
            return {};
    }
    buffer.back() = 0;
    return buffer.data();
}

// The PortName under the device's "Device Parameters" key, or empty.
std::string portNameOf(HDEVINFO list, SP_DEVINFO_DATA* device) {
    DeviceKey key{SetupDiOpenDevRegKey(list, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ)};
    if (!key.isOpen()) return {};
    BYTE name[256];
    DWORD type = 0, length = sizeof name;
    if (RegQueryValueExA(key.key, "PortName", nullptr, &type, name, &length) != ERROR_SUCCESS || type != REG_SZ)
        return {};
    std::vector<std::string> strings = stringsOf(name, length < sizeof name ? length : sizeof name);
    return strings.empty() ? std::string() : strings[0];
}

// Device ids and port names are ASCII and compared without regard to case.
char lowerCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (lowerCase(c) >= 'a' && lowerCase(c) <= 'f'); }

bool sameLetters(const char* text, const char* tag) {
    for (; *tag; ++text, ++tag)
        if (!*text || lowerCase(*text) != lowerCase(*tag)) return false;
    return true;
}

// The four hex digits after the first "VID_" or "PID_" (any case) that has
// exactly four; false when there is none.
bool findTag(const std::string& text, const char* tag, char digits[4]) {
    for (size_t at = 0; at + 8 <= text.size(); ++at) {
        const char* p = text.c_str() + at;
        if (!sameLetters(p, tag)) continue;
        p += 4;
        if (!isHexDigit(p[0]) || !isHexDigit(p[1]) || !isHexDigit(p[2]) || !isHexDigit(p[3]) || isHexDigit(p[4]))
            continue;
        for (int i = 0; i < 4; ++i) digits[i] = static_cast<char>(p[i] >= 'a' ? p[i] - 'a' + 'A' : p[i]);
        return true;
    }
    return false;
}

// Vendor and product must come from the same string.
bool usbIdFrom(const std::string& text, char usbId[10]) {
    char vendor[4], product[4];
    if (!findTag(text, "VID_", vendor) || !findTag(text, "PID_", product)) return false;
    memcpy(usbId, vendor, 4);
    usbId[4] = ':';
    memcpy(usbId + 5, product, 4);
    usbId[9] = 0;
    return true;
}

bool sameName(const char* a, const std::string& b) { return strlen(a) == b.size() && sameLetters(a, b.c_str()); }

PortDetails detailsOf(HDEVINFO list, SP_DEVINFO_DATA* device) {
    PortDetails details;
    std::vector<std::string> friendly = deviceStrings(list, device, SPDRP_FRIENDLYNAME);
    if (!friendly.empty()) details.description = copyText(friendly[0]);
    std::vector<std::string> hardwareIds = deviceStrings(list, device, SPDRP_HARDWAREID);
    if (!hardwareIds.empty()) details.hardwareId = copyText(hardwareIds[0]);
    for (const std::string& id : hardwareIds)
        if (usbIdFrom(id, details.usbId)) return details;
    usbIdFrom(instanceId(list, device), details.usbId);
    return details;
}

}  // namespace

void gatherPortDetails(PortListEntry* entries, uint32_t count) {
    try {
        // Present devices only: a device unplugged long ago may still carry
        // the name of a port that another device has now.
        DeviceInfoList devices{SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT)};
        if (devices.list == INVALID_HANDLE_VALUE) return;
        std::vector<bool> matched(count);
        SP_DEVINFO_DATA device;
        device.cbSize = sizeof device;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(devices.list, index, &device); ++index) {
            std::string portName = portNameOf(devices.list, &device);
            if (portName.empty()) continue;
            for (uint32_t i = 0; i < count; ++i) {
                // The first device that names a port describes it.
                if (matched[i] || !sameName(entries[i].deviceName.get(), portName)) continue;
                entries[i].details = detailsOf(devices.list, &device);
                matched[i] = true;
            }
        }
    } catch (const std::bad_alloc&) {
        // Ports described so far keep their details; the rest have none.
    }
}
