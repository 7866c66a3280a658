// The port list and the opening and closing of ports, as scripts see them.
#include <windows.h>

#include "../hostapi/error_report.h"
#include "../hostapi/host_string.h"
#include "../serial/port_list.h"
#include "../serial/port_table.h"
#include "script_calls.h"

namespace plugin {
namespace {

char* hostStringOf(const char* text) { return text ? hostStringCopy(text) : emptyHostString(); }

}  // namespace

int enumeratePorts() { return static_cast<int>(rebuildPortList()); }

char* portName(uint32_t index) { return hostStringOf(listedDeviceName(index)); }

char* portDescription(uint32_t index) {
    const PortDetails* details = listedDetails(index);
    return hostStringOf(details ? details->description.get() : nullptr);
}

char* portHardwareId(uint32_t index) {
    const PortDetails* details = listedDetails(index);
    return hostStringOf(details ? details->hardwareId.get() : nullptr);
}

char* portUsbId(uint32_t index) {
    const PortDetails* details = listedDetails(index);
    return hostStringOf(details && details->usbId[0] ? details->usbId : nullptr);
}

int openPort(uint32_t index, uint32_t baudRate, uint32_t stopBits, uint32_t parity) {
    const OpenResult opened = ::openPort(index, baudRate, stopBits, parity);
    const int code = static_cast<int>(opened.code);
    switch (opened.step) {
    case OpenStep::Opened: return static_cast<int>(opened.port);
    case OpenStep::NotListed:
    case OpenStep::NoMemory: return 0;
    case OpenStep::NotFound: reportError(MSG_PORT_NOT_FOUND, opened.name); return 0;
    case OpenStep::OpenFailed: reportError(MSG_OPEN_FAILED, opened.name, code); return 0;
    case OpenStep::GetState: reportError(MSG_GET_STATE_FAILED, opened.name, code); return 0;
    case OpenStep::SetState: reportError(MSG_SET_STATE_FAILED, opened.name, code); return 0;
    case OpenStep::SetTimeouts: reportError(MSG_SET_TIMEOUTS_FAILED, opened.name, code); return 0;
    }
    return 0;
}

void closePort(uint32_t port) { ::closePort(port); }

}  // namespace plugin
