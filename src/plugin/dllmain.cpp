#include <windows.h>

// Nothing is built at load and nothing is torn down at unload.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
