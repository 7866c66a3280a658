#include "host_commands.h"

const char* const hostCommandNames[HOST_COMMAND_COUNT] = {
    "CREATESTRING_S_L",   "DELETESTRING_0_S",    "TIMER_F_0",          "OPENTOWRITE_0_L_S_L",
    "OPENTOWRITE_0_L_S",  "OPENTOWRITE_L_S_L",   "OPENTOWRITE_L_S",    "OPENTOREAD_L_S",
    "OPENTOREAD_0_L_S",   "FILEISOPEN_L_L",      "CLOSEFILE_0_L",      "FILEEOF_L_L",
    "GETFILESIZE_L_L",    "GETFILEPOS_L_L",      "SETFILEPOS_0_L_L",   "WRITEBYTE_0_L_L",
    "WRITEINTEGER_0_L_L", "WRITEFLOAT_0_L_F",    "WRITESTRING_0_L_S",  "WRITESTRING2_0_L_S",
    "WRITELINE_0_L_S",    "READBYTE_L_L",        "READINTEGER_L_L",    "READFLOAT_F_L",
    "READSTRING_S_L",     "READSTRING2_S_L",     "READLINE_S_L",       "PLUGINERROR_0_S",
};

HostCommandTable hostCommands = {};

void bindHostCommands(HostLookup lookup) {
    hostCommands.lookup = lookup;
    for (int i = 0; i < HOST_COMMAND_COUNT; ++i)
        hostCommands.entries[i] = lookup ? lookup(hostCommandNames[i]) : nullptr;
}

void resetHostCommands() { hostCommands = HostCommandTable{}; }
