# Cross-build for 32-bit Windows with MinGW-w64, the shipped DLL's build. The
# win32 thread model: its C++ runtime uses Windows threads directly, so the
# static link brings no POSIX thread runtime (whose thread-control imports a
# plug-in has no use for). The module starts its one thread with
# _beginthreadex and uses no C++ threads. The Windows programs and tests run
# under Wine through tools/wine-run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(SERIALPORT_CXX_COMPILER ${CMAKE_CXX_COMPILER})  # checked against a build folder's own
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)
