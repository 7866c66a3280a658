#include <windows.h>

#include "../serial/port_table.h"

// Nothing is built at load. When a host frees the module (`reserved` is null),
// the devices still open are closed: a handle left behind keeps its port busy
// until the process ends, and the host's next load could not open it. At
// process exit (`reserved` set) the system reclaims everything, and other
// threads may already be gone, so nothing is done.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && !reserved) closeAllPorts();
    return TRUE;
}
