#!/bin/bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each for
# SECONDS (default 60) on a working copy of the committed seed corpus.
# Findings (crash-*, timeout-*, leak-*, oom-*) land in build/fuzz/findings/TARGET/
# and stay there; a run reports only the ones it added. Replay one with
# build/fuzz/bin/TARGET_fuzz FILE (FUZZ_TRACE=1 shows the module's traces,
# FUZZ_DUMP=1 the receiver's reads and writes).
# A finding makes the run exit 1, and the output says what to do next.
# Usage: tools/fuzz.sh [SECONDS] [TARGET...]   (targets: receiver sender zframe zreceiver zsender)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(receiver sender zframe zreceiver zsender)
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
    before=$(ls "$findings")
    echo "== $target: ${seconds}s, corpus $work"
    # Each input is bounded too: a run that takes 10 s of real time is a hang.
    set +e
    (cd "$findings" && "$build/bin/${target}_fuzz" "$work" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 -artifact_prefix="$findings/") >"$log" 2>&1
    rc=$?
    set -e
    grep -E "^stat::number_of_executed_units|^stat::new_units_added|^stat::peak_rss_mb" "$log" || true
    grep -E "^Done [0-9]+ runs" "$log" | tail -1 | awk '{print; printf "   %d inputs a second\n", $2 / $5}' || true
    added=$(comm -13 <(echo "$before") <(ls "$findings") | sed "s|^|$findings/|")
    if [ $rc -ne 0 ] || [ -n "$added" ]; then
        echo "!! $target: finding (exit $rc), see $log"
        grep -E "fuzz property broken|ERROR: |SUMMARY|Test unit written" "$log" | head -10
        first=$(head -n 1 <<<"$added")
        first=${first:-FILE}
        cat <<NEXT
   What to do next:
   1. Replay it: FUZZ_TRACE=1 FUZZ_DUMP=1 $build/bin/${target}_fuzz $first
      (FUZZ_TRACE shows the module's trace lines, FUZZ_DUMP the reads and writes with their times.)
   2. Find the fault: in the module, or in the target's oracle if the rule it checks is wrong.
      Fix it with a unit test that shows it (tests/unit).
   3. Keep the input as a regression case: add it, byte for byte, to the ${target^^} seeds in
      tests/fuzz/make_seeds.py (base64 or hex), run /usr/bin/python3 tests/fuzz/make_seeds.py, and
      commit the corpus; ctest replays every seed on each make test.
   4. Run make fuzz again. Findings stay in $findings; remove them once kept.
NEXT
        status=1
    else
        echo "   $target: no finding"
    fi
done
exit $status
