// A host file opened by a transfer: closed exactly once, on every path.
#pragma once

#include "host_commands.h"

namespace hostapi {

struct HostFile {
    int id = 0;
    ~HostFile() { close(); }
    void close() {
        if (id) hostCloseFile()(id);
        id = 0;
    }
};

}  // namespace hostapi
