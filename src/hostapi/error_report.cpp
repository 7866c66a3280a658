#include "error_report.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "host_commands.h"

void reportError(const char* format, const char* name, int code, size_t room) {
    PluginErrorFn pluginError = hostPluginError();
    if (!pluginError) return;
    if (!name) name = "";
    size_t size = strlen(name) + room;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer) return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(buffer.get(), size, format, name, code);
#pragma GCC diagnostic pop
    pluginError(buffer.get());
}
