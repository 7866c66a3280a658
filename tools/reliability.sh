#!/bin/bash
# The full reliability campaign against one build folder:
#
#   tools/reliability.sh BUILD_DIR
#
#   1. noisy lines: tests/reliability/noisy.py (every noise level, both
#      directions, plug-in to plug-in and against lrzsz, in mode 0; BER 1e-3,
#      drop 1e-4 and insert 1e-4 also in modes 1, 2 and 4);
#   2. long runs: tests/reliability/longrun.py (16 MiB each way, 1000
#      open/close cycles);
#   3. hostile peers, the long cases included (SERIAL_LONG_HOSTILE=1).
#
# BUILD_DIR is a Windows build whose serialhost.exe runs under Wine here
# (build/win32, or build/win64 where 32-bit code cannot run).  The line
# simulator comes from $LINESIM, else build/native/bin/linesim.  Tables and
# CSV files go to BUILD_DIR/reliability/, the whole log to
# BUILD_DIR/reliability/campaign.log.  Exit 1 when any part found a fault,
# 77 when serialhost.exe cannot run here.  Takes about 60-75 minutes.

set -u
if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    sed -n '2,18p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
fi
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd)
py=/usr/bin/python3
mkdir -p "$build/reliability"
log="$build/reliability/campaign.log"

if [ -z "${LINESIM:-}" ] && [ ! -x "$repo/build/native/bin/linesim" ]; then
    echo "reliability: no line simulator; run 'make native' or set LINESIM" >&2
    exit 2
fi

status=0
: >"$log"
say() { echo "$*" | tee -a "$log"; }
part() {
    local name=$1 rc
    shift
    say "== $name ($(date +%H:%M:%S))"
    "$@" 2>&1 | tee -a "$log"
    rc=${PIPESTATUS[0]}
    case $rc in
        0) say "== $name: passed" ;;
        77) say "== $name: skipped (serialhost.exe cannot run here)"; [ "$status" -eq 0 ] && status=77 ;;
        *) say "== $name: FAILED (exit $rc)"; status=1 ;;
    esac
}

part "noisy lines" "$py" "$repo/tests/reliability/noisy.py" "$build"
part "long runs" "$py" "$repo/tests/reliability/longrun.py" "$build"
part "hostile peers" env SERIAL_LONG_HOSTILE=1 "$py" "$repo/tests/win32/run_rig_tests.py" "$build" -k Hostile -v
say "== campaign done ($(date +%H:%M:%S)), exit $status"
exit "$status"
