#!/bin/bash
# Install the Debian 12 packages this project builds and tests with.
# Idempotent: when everything is there it only asks dpkg and returns.
# Runs as root, or through sudo otherwise.

set -euo pipefail

packages=(
    cmake g++ make googletest
    g++-mingw-w64-i686-win32 g++-mingw-w64-i686-posix mingw-w64-i686-dev
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
    wine wine32:i386 wine64
    socat lrzsz python3-xmodem
    clang llvm libclang-rt-14-dev
    gcc-i686-linux-gnu   # the rig's modem-line library for 32-bit Wine (tools/riglines)
)
# The shipped DLL's compiler: the win32 thread model links no POSIX thread
# runtime into it (cmake/mingw-i686.cmake).
compiler=i686-w64-mingw32-g++-win32

missing() {
    # Prints the packages that are not installed; one dpkg-query for all.
    local -A have=()
    local flags name p
    while read -r flags name; do
        [ "${flags:0:2}" = ii ] || continue
        have[$name]=1
        have[${name%%:*}]=1   # a native package may be listed as name:arch
    done < <(dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package}\n' "${packages[@]}" 2>/dev/null || true)
    for p in "${packages[@]}"; do
        [ -n "${have[$p]:-}" ] || echo "$p"
    done
}

todo=$(missing)
if [ -z "$todo" ] && command -v "$compiler" >/dev/null; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "setup-packages: need root (or sudo) to install: $(echo $todo)" >&2
    exit 1
fi

echo "setup-packages: installing: $(echo $todo)"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${packages[@]}"

if ! command -v "$compiler" >/dev/null; then
    echo "setup-packages: $compiler is still missing after the install" >&2
    exit 1
fi
todo=$(missing)
if [ -n "$todo" ]; then
    echo "setup-packages: still missing: $(echo $todo)" >&2
    exit 1
fi
echo "setup-packages: done"
