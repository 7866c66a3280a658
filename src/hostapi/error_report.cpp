#include "error_report.h"

#include <cstdio>
#include <memory>
#include <new>

#include "host_commands.h"

void reportError(const char* format, const char* name, int code) {
    PluginErrorFn pluginError = hostPluginError();
    if (!pluginError) return;
    if (!name) name = "";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int length = snprintf(nullptr, 0, format, name, code);
    if (length < 0) return;
    const size_t size = size_t(length) + 1;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer) return;
    snprintf(buffer.get(), size, format, name, code);
#pragma GCC diagnostic pop
    pluginError(buffer.get());
}
