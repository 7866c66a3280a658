// File transfers as scripts see them: the mode picks the engine. A port with
// XON/XOFF flow control has it off for the transfer, whose bytes include 0x11
// and 0x13, and back on after it.
#include "../hostapi/error_report.h"
#include "../serial/line_control.h"
#include "../serial/port_table.h"
#include "../xmodem/modes.h"
#include "../xmodem/receiver.h"
#include "../xmodem/sender.h"
#include "../zmodem/receiver.h"
#include "../zmodem/sender.h"
#include "script_calls.h"

namespace plugin {
namespace {

// Modes 0 to 3 are the XMODEM family's, 4 and 5 ZMODEM's; any other fails
// here, touching nothing.
bool isZmodem(int mode) { return mode == 4 || mode == 5; }

template <class Engine>
int transfer(uint32_t port, int mode, Engine engine) {
    OpenPort* record = findOpenPort(port);
    if (!record || !(isZmodem(mode) || xmodem::findMode(mode))) return 0;
    if (const LineResult paused = pauseSoftwareFlow(*record); !paused.ok()) {
        reportError(MSG_SET_FLOW_FAILED, record->portName.get(), static_cast<int>(paused.code));
        return 0;
    }
    const int result = engine();
    // The port may have gone during the transfer; its report was made.
    resumeSoftwareFlow(*record);
    return result;
}

}  // namespace

int receiveFile(uint32_t port, const char* fileName, int mode) {
    return transfer(port, mode, [&] {
        return isZmodem(mode) ? zmodem::receiveFile(port, fileName, mode) : xmodem::receiveFile(port, fileName, mode);
    });
}

int sendFile(uint32_t port, const char* fileName, int mode) {
    return transfer(port, mode, [&] {
        return isZmodem(mode) ? zmodem::sendFile(port, fileName, mode) : xmodem::sendFile(port, fileName, mode);
    });
}

}  // namespace plugin
