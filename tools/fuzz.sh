#!/bin/bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each for
# SECONDS (default 60) on a working copy of the committed seed corpus.
# Findings (crash-*, timeout-*, leak-*, oom-*) land in build/fuzz/findings/TARGET/
# and stay there; a run reports only the ones it added. Replay one with
# build/fuzz/bin/TARGET_fuzz FILE (FUZZ_TRACE=1 shows the module's traces,
# FUZZ_DUMP=1 the receiver's reads and writes).
# Usage: tools/fuzz.sh [SECONDS] [TARGET...]   (targets: receiver sender)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(receiver sender)
build=$root/build/fuzz

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DSERIALPORT_LIBFUZZER=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; exit 1; }
cmake --build "$build" --target "${targets[@]/%/_fuzz}" -j2

status=0
for target in "${targets[@]}"; do
    work=$build/corpus/$target
    findings=$build/findings/$target
    mkdir -p "$work" "$findings"
    cp -n "$root/tests/fuzz/corpus/$target/"* "$work/" 2>/dev/null || true
    log=$build/$target.log
    before=$(ls "$findings" | wc -l)
    echo "== $target: ${seconds}s, corpus $work"
    # Each input is bounded too: a run that takes 10 s of real time is a hang.
    set +e
    (cd "$findings" && "$build/bin/${target}_fuzz" "$work" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 -artifact_prefix="$findings/") >"$log" 2>&1
    rc=$?
    set -e
    grep -E "^stat::number_of_executed_units|^stat::new_units_added|^stat::peak_rss_mb" "$log" || true
    grep -E "^Done [0-9]+ runs" "$log" | tail -1 || true
    if [ $rc -ne 0 ] || [ "$(ls "$findings" | wc -l)" -ne "$before" ]; then
        echo "!! $target: finding (exit $rc), see $log"
        grep -E "fuzz property broken|ERROR: |SUMMARY|Test unit written" "$log" | head -10
        status=1
    else
        echo "   $target: no finding"
    fi
done
exit $status
