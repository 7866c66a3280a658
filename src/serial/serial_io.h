// Raw byte traffic on an open port.
#pragma once

#include <cstdint>

int serialBytesAvailable(uint32_t port);
char* readSerialData(uint32_t port, uint32_t length);  // a host string, never null
int writeSerialData(uint32_t port, const char* data, int length);
