// The real DLL, loaded and bound once for all the Wine-level tests of this
// program that call it as a host does.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "host.h"

inline PluginApi& loadedDll() {
    static PluginApi loaded{};
    static bool once = [] {
        std::string error;
        EXPECT_TRUE(hostLoad("serialport.dll", &loaded, &error)) << error;
        return true;
    }();
    (void)once;
    return loaded;
}
