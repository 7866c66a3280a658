#!/usr/bin/env bash
# make bench: XMODEM transfer benchmarks under Wine (see docs/bench.md).
#
#   bash bench/run.sh BUILD_DIR [--full] [--size BYTES] [--repeat N] [bench.py options]
#
# BUILD_DIR holds bin/serialhost.exe and bin/serialport.dll (build/win32, or
# build/win64 where this machine cannot execute 32-bit code).  The line
# simulator comes from the native build ($LINESIM overrides; it is built when
# missing).  Prints a table per line and writes BUILD_DIR/bench/bench.csv.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)

if [ $# -lt 1 ] || [ "${1#-}" != "$1" ]; then
    sed -n '2,9p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
fi
build=$1
shift

for tool in sx rx sb rb socat; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing (bash tools/setup-packages.sh)" >&2; exit 1; }
done
if [ ! -x "$build/bin/serialhost.exe" ] && [ ! -f "$build/bin/serialhost.exe" ]; then
    echo "bench: $build/bin/serialhost.exe is not built" >&2
    exit 1
fi

linesim=${LINESIM:-$repo/build/native/bin/linesim}
if [ ! -x "$linesim" ]; then
    echo "bench: building linesim (native build)" >&2
    (cd "$repo" && cmake --preset native >/dev/null && cmake --build --preset native --target linesim >/dev/null)
fi

# The probe of Wine's per-call costs and the exchange program are built for
# the same machine as serialhost.exe; without a compiler the bench skips them.
mkdir -p "$build/bench"
case "$(od -An -t x2 -j $(( $(od -An -t u4 -j 60 -N 4 "$build/bin/serialhost.exe") + 4 )) -N 2 "$build/bin/serialhost.exe" | tr -d ' ')" in
    014c) cxx=i686-w64-mingw32-g++-posix ;;
    *)    cxx=x86_64-w64-mingw32-g++-posix ;;
esac
build_program() {  # bench/NAME.cpp -> BUILD/bench/NAME.exe, or no such file
    local name=$1 exe=$build/bench/$1.exe
    if [ ! -f "$exe" ] || [ "$here/$name.cpp" -nt "$exe" ] || [ "$here/clocks.h" -nt "$exe" ] || [ "$repo/host/host.cpp" -nt "$exe" ] ||
        [ "$repo/host/host.h" -nt "$exe" ]; then
        if command -v "$cxx" >/dev/null &&
            "$cxx" -O2 -std=gnu++17 -static -static-libgcc -static-libstdc++ -I"$repo/host" \
                -o "$exe" "$here/$name.cpp" "$repo/host/host.cpp" 2>"$build/bench/$name-build.log"; then
            :
        else
            echo "bench: could not build $name (see $build/bench/$name-build.log); skipping it" >&2
            rm -f "$exe"
        fi
    fi
}
build_program probe
build_program exchange
probe=$build/bench/probe.exe
exchange=$build/bench/exchange.exe

program_args=()
[ -f "$probe" ] && program_args=(--probe "$probe")
[ -f "$exchange" ] && program_args+=(--exchange-exe "$exchange")
exec /usr/bin/python3 "$here/bench.py" "$build" --linesim "$linesim" "${program_args[@]}" "$@"
