// File transfers as scripts see them: the mode picks the engine.
#include "../xmodem/receiver.h"
#include "../xmodem/sender.h"
#include "../zmodem/receiver.h"
#include "../zmodem/sender.h"
#include "script_calls.h"

namespace plugin {
namespace {

// Modes 0 to 3 are the XMODEM family's, 4 and 5 ZMODEM's; any other fails in
// the XMODEM engines' mode lookup, touching nothing.
bool isZmodem(int mode) { return mode == 4 || mode == 5; }

}  // namespace

int receiveFile(uint32_t port, const char* fileName, int mode) {
    return isZmodem(mode) ? zmodem::receiveFile(port, fileName, mode) : xmodem::receiveFile(port, fileName, mode);
}

int sendFile(uint32_t port, const char* fileName, int mode) {
    return isZmodem(mode) ? zmodem::sendFile(port, fileName, mode) : xmodem::sendFile(port, fileName, mode);
}

}  // namespace plugin
