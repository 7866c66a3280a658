// File transfers as scripts see them: the mode picks the engine.
#include "../xmodem/receiver.h"
#include "../xmodem/sender.h"
#include "script_calls.h"

namespace plugin {

int receiveFile(uint32_t port, const char* fileName, int mode) { return xmodem::receiveFile(port, fileName, mode); }

int sendFile(uint32_t port, const char* fileName, int mode) { return xmodem::sendFile(port, fileName, mode); }

}  // namespace plugin
