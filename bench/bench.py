#!/usr/bin/python3
"""Transfer benchmarks: the plug-in against lrzsz and against itself, in every
transfer mode, on the rig's null-modem (socat pty pair) and on linesim at
921600 and 115200 baud, the latter also with a USB adapter's 16 ms latency.

    /usr/bin/python3 bench/bench.py BUILD_DIR --linesim PATH [--full]
        [--size BYTES] [--repeat N] [--lines pty,921600,115200,115200-16ms]
        [--modes 0,1,2,3] [--rows ref,p2rx,sx2p,p2p] [--memory-size BYTES]

Prints one table per line and writes them as CSV under BUILD_DIR/bench/.
Figures only: a slow run is never a failure.  A run whose received file
differs from the sent one, or that does not finish in time, is marked in its
row and the table goes on.  A mode the plug-in does not serve shows "n/a".
Exit status 1 only when the bench itself could not run.

How each figure is taken (see docs/bench.md):
  wall        the receiver's view: from its first request to the end.  For the
              plug-in, the ReceiveSerialFile call as serialhost times it; for
              rx and rb, their lifetime less the fixed waits they always make
              (rx: 1 s after the EOT; rb: 1 s before its first request, 1 s
              after the EOT, 1 s before it asks for the next file).
  CPU         Linux peers: rusage of the process (os.wait4).  serialhost: the
              process's CPU at the end of the transfer (its own summary, from
              GetProcessTimes) less its CPU when it had the port open (from
              /proc), so Wine's start-up is not counted.
  peak RSS    VmHWM of the serialhost process, sampled from /proc.
  ceiling     stop-and-wait: each block's packet, then its one-byte answer,
              through the line's model (wire time at the baud rate, plus the
              adapter's latency timer where there is one).

This file is the entry point; the modules beside it do the work, one job
each (docs/bench.md lists them).
"""

import argparse
import os
import statistics
import sys
import time

import measures
import report
from lines import LINES, linesim_cmd, read_linesim_stats
from modes import MODES, ceiling
from peers import rigmod
from runs import ROW_KEYS, Runner, row_title, unserved_reason

QUICK_SIZE = 256 * 1024
FULL_SIZE = 1024 * 1024


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("build", help="build folder with bin/serialhost.exe and bin/serialport.dll")
    p.add_argument("--linesim", required=True, help="path of the native linesim program")
    p.add_argument("--full", action="store_true",
                   help="the full run: 1 MiB a transfer, 3 runs a row on the pty pair and 2 at "
                        "921600 baud, peak memory with 16 MiB, 2000 turnaround blocks (default: "
                        "the quick run, 256 KiB and one run a row)")
    p.add_argument("--size", type=int, default=None, help="bytes per transfer (256 KiB; --full 1 MiB)")
    p.add_argument("--repeat", type=int, default=None,
                   help="runs of each row on every line (default 1; --full: 3 on the pty pair, "
                        "2 at 921600 and 1 at 115200 baud)")
    p.add_argument("--lines", default=",".join(LINES),
                   help="comma list of %s (default all)" % ", ".join(LINES))
    p.add_argument("--modes", default=",".join(str(m) for m in MODES),
                   help="comma list of transfer modes (default all: %s)" % ",".join(str(m) for m in MODES))
    p.add_argument("--rows", default=",".join(ROW_KEYS),
                   help="comma list of %s (default all)" % ", ".join(ROW_KEYS))
    p.add_argument("--memory-size", type=int, default=None,
                   help="size of the large transfer for peak memory (0: skip; default 0, "
                        "--full 16 MiB)")
    p.add_argument("--turnaround-blocks", type=int, default=None,
                   help="blocks per turnaround measurement (0: skip; default 500, --full 2000)")
    p.add_argument("--round-trips", type=int, default=200,
                   help="round trips per line for its median and 99th percentile")
    p.add_argument("--probe", default=None, help="bench/probe.cpp built for this build (run.sh "
                                                  "builds it); measures Wine's cost per call")
    p.add_argument("--probe-calls", type=int, default=4000, help="calls per probe measurement")
    p.add_argument("--exchange-exe", default=None, help="bench/exchange.cpp built for this build "
                                                          "(run.sh builds it)")
    p.add_argument("--exchanges", type=int, default=1000,
                   help="command/response exchanges through ReadSerialUntil per line (0: skip)")
    p.add_argument("--prefix", default=None, help="Wine prefix (default BUILD/wineprefix)")
    p.add_argument("--rig-name", default="bench/rig", help="rig state folder under BUILD")
    p.add_argument("--out", default=None, help="folder for the CSV, the table and the work files "
                                                 "(default BUILD/bench)")
    p.add_argument("--dll", default=None, help="plug-in for serialhost to load (default: its own)")
    args = p.parse_args(argv)
    if args.size is None:
        args.size = FULL_SIZE if args.full else QUICK_SIZE
    if args.memory_size is None:
        args.memory_size = 16 * 1024 * 1024 if args.full else 0
    if args.turnaround_blocks is None:
        args.turnaround_blocks = 2000 if args.full else 500
    if args.probe:
        args.probe = os.path.abspath(args.probe)
    if args.exchange_exe:
        args.exchange_exe = os.path.abspath(args.exchange_exe)
    for name in args.lines.split(","):
        if name not in LINES:
            p.error("unknown line %r" % name)
    for name in args.rows.split(","):
        if name not in ROW_KEYS:
            p.error("unknown row %r" % name)
    try:
        args.mode_list = [MODES[int(m)] for m in args.modes.split(",")]
    except (ValueError, KeyError):
        p.error("--modes takes a comma list of %s" % ", ".join(str(m) for m in MODES))
    return args


def repeats_for(args, baud):
    """Runs per row: one in the quick run.  The full run makes 3 on the pty
    pair, where lrzsz stalls now and then; on the paced lines runs differ by
    a few per cent, and a 1 MiB run takes 30 s at 921600 and 115 s at 115200
    baud, so 2 and 1 there."""
    if args.repeat is not None:
        return max(1, args.repeat)
    if not args.full:
        return 1
    return {0: 3, 921600: 2}.get(baud, 1)


def build_kind(build):
    exe = rigmod.host_exe(build)
    return "32-bit (win32)" if rigmod.is_32bit_program(exe) else "64-bit (win64)"


def main(argv):
    args = parse_args(argv)
    build = os.path.abspath(args.build)
    reason = rigmod.host_unavailable(build)
    if reason:
        print("bench: cannot run: %s" % reason, file=sys.stderr)
        return 1
    out_dir = os.path.abspath(args.out) if args.out else os.path.join(build, "bench")
    runner = Runner(out_dir, args.dll)
    prefix = os.path.abspath(args.prefix) if args.prefix else os.path.join(build, "wineprefix")
    rows = [r for r in ROW_KEYS if r in args.rows.split(",")]
    modes = args.mode_list
    summary, runs_out, extras, tables, pacing = [], [], [], [], []
    support = {}
    memory = {}
    turnaround = None
    probe = None
    exchange_rows = []
    kind = build_kind(build)
    started = time.monotonic()
    load_start = os.getloadavg()[0]
    print("bench: %s build %s, %d bytes per transfer, %s run" % (
        kind, build, args.size, "full" if args.full else "quick"), flush=True)

    for key in args.lines.split(","):
        line_name, baud, latency_ms = LINES[key]
        stats_path = os.path.join(out_dir, "linesim-%s.stats" % key)
        if os.path.exists(stats_path):
            os.remove(stats_path)
        line_cmd = linesim_cmd(args.linesim, baud, latency_ms, stats_path) if baud else None
        repeat = repeats_for(args, baud)
        print("bench: %s: rig up" % line_name, flush=True)
        with rigmod.Rig(build, name=args.rig_name, prefix=prefix, line=line_cmd) as rig:
            for mode in modes:
                if mode.number and mode.number not in support:
                    support[mode.number] = runner.peers.mode_support(rig, mode, runner.source(1024))
                    print("bench: mode %d: %s" % (mode.number, ", ".join(
                        "%s %s" % (side, why or "served") for side, why in
                        sorted(support[mode.number].items()))), flush=True)
            times = measures.line_round_trip(runner.peers, rig, args.round_trips)
            extras.append((line_name, baud, latency_ms, times))
            per_row = {(m.number, r): [] for m in modes for r in rows}
            for n in range(repeat):
                for mode in modes:
                    for row in rows:
                        if unserved_reason(support.get(mode.number), row, args.full):
                            continue
                        tag = "%s-m%d-%s-%d" % (key, mode.number, row, n + 1)
                        t = time.monotonic()
                        result = runner.run_once(rig, mode, row, args.size, baud, latency_ms, tag)
                        result.update(line=line_name, mode=mode.number, row=row, run=n + 1,
                                      size=args.size)
                        per_row[(mode.number, row)].append(result)
                        runs_out.append(result)
                        print("bench: %-30s mode %d %-30s run %d: %s (%.0f s)" % (
                            line_name, mode.number, row_title(mode, row), n + 1,
                            "%.2f s" % result["wall"] if result["ok"] else "FAILED: " + result["note"],
                            time.monotonic() - t), flush=True)
            line_rows = []
            for mode in modes:
                ref_runs = [r["wall"] for r in per_row.get((mode.number, "ref"), []) if r["ok"]]
                ref_best = min(ref_runs) if ref_runs else None
                top = ceiling(mode, args.size, baud, latency_ms) if baud else None
                for row in rows:
                    r = report.summarize(line_name, mode, row, per_row[(mode.number, row)], args.size,
                                         ref_best, top,
                                         unserved_reason(support.get(mode.number), row, args.full))
                    r["line_key"] = key
                    line_rows.append(r)
            summary += line_rows
            title = "%s: %d bytes a transfer, figures of the fastest good run" % (line_name, args.size)
            table = report.format_table(line_rows, title)
            tables.append(table)
            print("\n" + table + "\n", flush=True)
            if not baud:
                if "p2p" in rows:
                    memory[args.size] = [r for r in per_row.get((0, "p2p"), []) if r["ok"]]
                if args.memory_size:
                    print("bench: %s: %d-byte transfer for peak memory" % (line_name, args.memory_size),
                          flush=True)
                    result = runner.run_once(rig, MODES[0], "p2p", args.memory_size, 0, 0, "memory")
                    result.update(line=line_name, mode=0, row="p2p", run="memory",
                                  size=args.memory_size)
                    runs_out.append(result)
                    memory[args.memory_size] = [result] if result["ok"] else []
                    if not result["ok"]:
                        print("bench: memory run failed: %s" % result["note"], flush=True)
                if args.turnaround_blocks:
                    print("bench: %s: turnaround" % line_name, flush=True)
                    turnaround = (measures.Turnaround(runner, rig, args.turnaround_blocks).run(),
                                  statistics.median(times) if times else None)
                if args.probe and os.path.exists(args.probe):
                    print("bench: %s: cost of each call (probe)" % line_name, flush=True)
                    probe = measures.probe(runner.peers, rig, args.probe, args.probe_calls)
            if args.exchanges and args.exchange_exe and os.path.exists(args.exchange_exe):
                print("bench: %s: %d command/response exchanges" % (line_name, args.exchanges),
                      flush=True)
                got = measures.exchanges(runner.peers, rig, args.exchange_exe,
                                         args.dll or os.path.join(build, "bin", "serialport.dll"),
                                         args.exchanges, "exchange-%s" % key)
                exchange_rows.append(report.exchange_row(line_name, baud, latency_ms, got))
                print("\n" + report.format_exchanges(exchange_rows[-1:]) + "\n", flush=True)
        out_bin = os.path.join(runner.work, "out.bin")
        if os.path.exists(out_bin):
            os.remove(out_bin)
        if baud:
            pacing.append((line_name, read_linesim_stats(stats_path)))

    csv_path = os.path.join(out_dir, "bench.csv")
    text = report.format_report(kind, load_start, os.getloadavg()[0], tables, extras, pacing, summary,
                                args.size, memory, turnaround, args.turnaround_blocks, probe,
                                args.probe_calls, time.monotonic() - started, csv_path,
                                exchanges=exchange_rows)
    print()
    print(text)
    report.write_csv(csv_path, report.CSV_FIELDS, summary)
    report.write_csv(os.path.join(out_dir, "runs.csv"), report.RUN_FIELDS, runs_out)
    if exchange_rows:
        report.write_csv(os.path.join(out_dir, "exchange.csv"), report.EXCHANGE_FIELDS, exchange_rows)
    with open(os.path.join(out_dir, "bench.txt"), "w") as f:
        f.write(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
