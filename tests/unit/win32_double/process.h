// Test double: thread creation as the C runtime offers it on Windows.
#pragma once

#include <cstdint>

uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                         void* argument, unsigned initFlag, unsigned* threadId);
