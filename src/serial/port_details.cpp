#include "port_details.h"

#include <windows.h>
#include <setupapi.h>

#include <cstring>
#include <new>

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

// The module keeps clear of std::string and std::vector here: their
// length checks throw through the C++ runtime's exception helpers, which
// drag a good part of that runtime, and its imports, into the DLL.

std::unique_ptr<char[]> copyText(const char* text, size_t length) {
    if (length == 0) return nullptr;
    std::unique_ptr<char[]> copy(new char[length + 1]);
    memcpy(copy.get(), text, length);
    copy[length] = 0;
    return copy;
}

// A property's bytes with a terminator behind them, so that the last
// string of a value that is not terminated still ends.
struct Property {
    std::unique_ptr<char[]> bytes;
    DWORD length = 0;  // without the added terminator
};

// The strings of a REG_SZ or REG_MULTI_SZ value, one after the other; an
// empty string ends a multi-string. Returns the length of the string at
// `at` and moves `at` past it, or 0 at the end.
size_t nextString(const Property& value, DWORD* at) {
    if (!value.bytes || *at >= value.length || !value.bytes[*at]) return 0;
    size_t length = strlen(value.bytes.get() + *at);
    if (*at + length > value.length) length = value.length - *at;
    *at += static_cast<DWORD>(length) + 1;
    return length;
}

Property fetched(DWORD needed, BYTE* first) {
    Property value;
    value.bytes.reset(new char[needed + 1]);
    memcpy(value.bytes.get(), first, needed);
    value.bytes[needed] = 0;
    value.length = needed;
    return value;
}

Property deviceStrings(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property) {
    BYTE first[kFirstPropertyRoom] = {};
    DWORD type = 0, needed = 0;
    if (SetupDiGetDeviceRegistryPropertyA(list, device, property, &type, first, sizeof first, &needed)) {
        if (type != REG_SZ && type != REG_MULTI_SZ) return {};
        return fetched(needed && needed < sizeof first ? needed : sizeof first, first);
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= sizeof first || needed > kLongestProperty)
        return {};
    Property value;
    value.bytes.reset(new char[needed + 1]());
    DWORD room = needed;
    if (!SetupDiGetDeviceRegistryPropertyA(list, device, property, &type, reinterpret_cast<BYTE*>(value.bytes.get()),
                                           room, &needed) ||
        (type != REG_SZ && type != REG_MULTI_SZ))
        return {};
    value.length = needed && needed < room ? needed : room;
    value.bytes[value.length] = 0;
    return value;
}

Property instanceId(HDEVINFO list, SP_DEVINFO_DATA* device) {
    char first[kFirstPropertyRoom] = {};
    DWORD needed = 0;
    if (SetupDiGetDeviceInstanceIdA(list, device, first, sizeof first, &needed)) {
        first[sizeof first - 1] = 0;
        return fetched(static_cast<DWORD>(strlen(first)), reinterpret_cast<BYTE*>(first));
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= sizeof first || needed > kLongestProperty)
        return {};
    Property id;
    id.bytes.reset(new char[needed + 1]());
    if (!SetupDiGetDeviceInstanceIdA(list, device, id.bytes.get(), needed, &needed)) return {};
    id.bytes[needed] = 0;
    id.length = static_cast<DWORD>(strlen(id.bytes.get()));
    return id;
}

// The PortName under the device's "Device Parameters" key into `name`;
// false when there is none.
bool portNameOf(HDEVINFO list, SP_DEVINFO_DATA* device, char (&name)[256]) {
    DeviceKey key{SetupDiOpenDevRegKey(list, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ)};
    if (!key.isOpen()) return false;
    DWORD type = 0, length = sizeof name - 1;
    if (RegQueryValueExA(key.key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &length) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    name[length < sizeof name - 1 ? length : sizeof name - 1] = 0;
    return name[0] != 0;
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
// exactly four; false when there is none. `text` is terminated.
bool findTag(const char* text, size_t length, const char* tag, char digits[4]) {
    for (size_t at = 0; at + 8 <= length; ++at) {
        const char* p = text + at;
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
bool usbIdFrom(const char* text, size_t length, char usbId[10]) {
    char vendor[4], product[4];
    if (!findTag(text, length, "VID_", vendor) || !findTag(text, length, "PID_", product)) return false;
    memcpy(usbId, vendor, 4);
    usbId[4] = ':';
    memcpy(usbId + 5, product, 4);
    usbId[9] = 0;
    return true;
}

bool sameName(const char* a, const char* b) { return strlen(a) == strlen(b) && sameLetters(a, b); }

PortDetails detailsOf(HDEVINFO list, SP_DEVINFO_DATA* device) {
    PortDetails details;
    Property friendly = deviceStrings(list, device, SPDRP_FRIENDLYNAME);
    DWORD at = 0;
    if (size_t length = nextString(friendly, &at)) details.description = copyText(friendly.bytes.get(), length);
    Property hardwareIds = deviceStrings(list, device, SPDRP_HARDWAREID);
    bool first = true;
    at = 0;
    for (DWORD start = at; size_t length = nextString(hardwareIds, &at); start = at) {
        const char* id = hardwareIds.bytes.get() + start;
        if (first) details.hardwareId = copyText(id, length);
        first = false;
        if (usbIdFrom(id, length, details.usbId)) return details;
    }
    Property instance = instanceId(list, device);
    if (instance.bytes) usbIdFrom(instance.bytes.get(), instance.length, details.usbId);
    return details;
}

}  // namespace

void gatherPortDetails(PortListEntry* entries, uint32_t count) {
    try {
        // Present devices only: a device unplugged long ago may still carry
        // the name of a port that another device has now.
        DeviceInfoList devices{SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT)};
        if (devices.list == INVALID_HANDLE_VALUE) return;
        std::unique_ptr<bool[]> matched(new bool[count]());
        SP_DEVINFO_DATA device;
        device.cbSize = sizeof device;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(devices.list, index, &device); ++index) {
            char portName[256];
            if (!portNameOf(devices.list, &device, portName)) continue;
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
