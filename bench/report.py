"""The report: a row of the table from its runs, the tables, the CSV files,
the targets, and the figures printed beside the tables (round trips,
linesim's pacing, peak memory, turnaround, Wine's cost per call, the
command/response exchange)."""

import csv
import math
import os
import statistics

from lines import LINES, block_seconds, delivery_ns
from modes import MODES
from runs import row_title

# What each line's plug-in rows should reach (efficiency against the mode's
# ceiling), printed beside the figures; a streaming mode's rows have their own.
EFFICIENCY_TARGETS = {"921600": 0.85, "115200": 0.95}
REF_TARGET = 0.98
# A streaming mode's rows against the line's raw byte rate (its ceiling), on
# every paced line; with 16 ms adapters also against mode 2's same row.
STREAM_TARGETS = {"115200": 0.95, "115200-16ms": 0.95, "921600": 0.90, "921600-16ms": 0.90}
STREAM_VS_MODE2 = ("921600-16ms", 2.5)

CSV_FIELDS = ["line", "mode", "row", "transfer", "size", "runs", "ok_runs", "wall_best",
              "wall_median", "wall_spread", "throughput", "vs_ref", "efficiency", "sender_cpu",
              "receiver_cpu", "wineserver_cpu", "resends", "timeouts", "notes"]

RUN_FIELDS = ["line", "mode", "row", "run", "size", "ok", "wall", "sender_cpu", "receiver_cpu",
              "wineserver_cpu", "sender_rss_kib", "receiver_rss_kib", "resends", "timeouts", "note"]


# ---------------------------------------------------------------- the tables

def spread(values):
    """'min-max' of a list of numbers (one decimal place below 100)."""
    if not values:
        return "-"
    lo, hi = min(values), max(values)
    fmt = "%.2f" if hi < 10 else "%.1f" if hi < 100 else "%.0f"
    return (fmt % lo) if len(values) == 1 else (fmt + "-" + fmt) % (lo, hi)


def quantile(values, share):
    """The value that SHARE of VALUES are no greater than (nearest rank)."""
    xs = sorted(values)
    return xs[max(0, min(len(xs) - 1, math.ceil(share * len(xs)) - 1))]


def summarize(line, mode, row, runs, size, ref_best, ceiling_bps=None, unserved=None):
    """One table row from the runs of ROW in MODE on LINE.  Figures are those
    of the fastest run that delivered a correct file.  UNSERVED: why the
    plug-in could not take part (the row is n/a)."""
    out = {
        "line": line, "mode": mode.number, "row": row, "transfer": row_title(mode, row),
        "runs": len(runs), "ok_runs": 0, "size": size, "notes": "",
    }
    if unserved:
        out.update(na=True, notes=unserved)
        return out
    good = [r for r in runs if r["ok"]]
    out["ok_runs"] = len(good)
    out["notes"] = "; ".join(sorted({r["note"] for r in runs if r.get("note")}))
    if not good:
        return out
    best = min(good, key=lambda r: r["wall"])
    out.update({
        "wall_best": best["wall"],
        "wall_median": statistics.median(r["wall"] for r in good),
        "wall_spread": spread([r["wall"] for r in good]),
        "throughput": size / best["wall"] if best["wall"] > 0 else 0.0,
        "sender_cpu": best.get("sender_cpu"),
        "receiver_cpu": best.get("receiver_cpu"),
        "wineserver_cpu": best.get("wineserver_cpu"),
        "resends": sum(r["resends"] for r in good if r.get("resends") is not None)
        if any(r.get("resends") is not None for r in good) else None,
        "timeouts": sum(r.get("timeouts") or 0 for r in good)
        if any(r.get("timeouts") is not None for r in good) else None,
    })
    if row == "ref":
        out["vs_ref"] = 1.0
    elif ref_best:
        out["vs_ref"] = out["throughput"] / (size / ref_best)
    if ceiling_bps:
        out["efficiency"] = out["throughput"] / ceiling_bps
    return out


def fmt_cpu(seconds, wall):
    if seconds is None:
        return "-"
    if not wall:
        return "%.2f" % seconds
    return "%.2f (%.0f%%)" % (seconds, 100.0 * seconds / wall)


def format_table(rows, title):
    """The summary rows of one line as an aligned text table."""
    head = ["mode", "transfer", "ok", "wall s best", "spread", "bytes/s", "vs ref", "eff.",
            "sender CPU s", "receiver CPU s", "wineserver CPU s", "resends"]
    body = []
    for r in rows:
        has = "wall_best" in r
        if r.get("na"):
            # A mode none of whose rows ran takes one line.
            mates = [x for x in rows if x["mode"] == r["mode"]]
            if all(x.get("na") for x in mates) and len(mates) > 1:
                if r is mates[0]:
                    body.append([str(r["mode"]), "all %d rows" % len(mates), "n/a", "n/a"] + ["-"] * 8)
                continue
            body.append([str(r["mode"]), r["transfer"], "n/a", "n/a"] + ["-"] * 8)
            continue
        body.append([
            str(r["mode"]), r["transfer"], "%d/%d" % (r["ok_runs"], r["runs"]),
            "%.2f" % r["wall_best"] if has else "-",
            r["wall_spread"] if has else "-",
            "%.0f" % r["throughput"] if has else "-",
            "%.2f" % r["vs_ref"] if has and r.get("vs_ref") is not None else "-",
            "%.3f" % r["efficiency"] if has and r.get("efficiency") is not None else "-",
            fmt_cpu(r.get("sender_cpu"), r.get("wall_best")),
            fmt_cpu(r.get("receiver_cpu"), r.get("wall_best")),
            "%.2f" % r["wineserver_cpu"] if r.get("wineserver_cpu") is not None else "-",
            "-" if r.get("resends") is None else "%d (%d t/o)" % (r["resends"], r.get("timeouts") or 0),
        ])
    widths = [max(len(str(x)) for x in col) for col in zip(head, *body)]
    lines = [title]
    for i, cells in enumerate([head] + body):
        lines.append("  ".join(str(c).ljust(w) if j == 1 else str(c).rjust(w)
                               for j, (c, w) in enumerate(zip(cells, widths))).rstrip())
        if i == 0:
            lines.append("  ".join("-" * w for w in widths))
    notes = {}
    for r in rows:
        if r.get("notes"):
            key = ("n/a: " if r.get("na") else "") + r["notes"]
            notes.setdefault(key, []).append(r)
    for note, which in notes.items():
        if which[0].get("na"):
            modes = sorted({r["mode"] for r in which})
            lines.append("  %s (mode %s)" % (note, ", ".join(str(m) for m in modes)))
        else:
            for r in which:
                lines.append("  note: mode %d, %s: %s" % (r["mode"], r["transfer"], note))
    return "\n".join(lines)


def write_csv(path, fields, rows):
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=fields, extrasaction="ignore")
        writer.writeheader()
        for r in rows:
            writer.writerow({k: ("%.6g" % v if isinstance(v, float) else v)
                             for k, v in r.items() if k in fields})


# ---------------------------------------------------------------- the targets

def format_targets(summary, size):
    """The issue's targets against the figures of this run (never asserted)."""
    lines = ["Targets (figures of this run, never asserted):"]
    by = {(r["line_key"], r["mode"], r["row"]): r for r in summary}
    na_modes = set()
    vs_key, vs_goal = STREAM_VS_MODE2
    for r in summary:
        streams = MODES[r["mode"]].streams
        target = (STREAM_TARGETS if streams else EFFICIENCY_TARGETS).get(r["line_key"])
        if target is None or r["row"] == "ref":
            continue
        if r.get("na"):
            na_modes.add(r["mode"])
            continue
        eff, vs_ref = r.get("efficiency"), r.get("vs_ref")
        met = eff is not None and eff >= target and (vs_ref is None or vs_ref >= REF_TARGET)
        extra = ""
        m2 = by.get((vs_key, 2, r["row"]))
        if streams and r["line_key"] == vs_key and m2 and "throughput" in m2 and "throughput" in r:
            times = r["throughput"] / m2["throughput"]
            met = met and times >= vs_goal
            extra = ", %.2fx mode 2 (>= %.1f)" % (times, vs_goal)
        lines.append("  %-30s mode %d %-22s %s %s (>= %.2f), vs ref %s (>= %.2f)%s: %s" % (
            LINES[r["line_key"]][0], r["mode"], r["transfer"], "of the line" if streams else "eff.",
            "%.3f" % eff if eff is not None else "-", target,
            "%.3f" % vs_ref if vs_ref is not None else "-", REF_TARGET, extra,
            "met" if met else "NOT met"))
    slow = "115200-16ms"
    for row in ("p2rx", "sx2p", "p2p"):
        m2, m0 = by.get((slow, 2, row)), by.get((slow, 0, row))
        ref2 = by.get((slow, 2, "ref"))
        if not m2 or not m0:
            continue
        title = "%s, mode 2 %s" % (LINES[slow][0], m2["transfer"])
        if m2.get("na") or "throughput" not in m2:
            lines.append("  %s: n/a (mode 2 not served or no good run)" % title)
            continue
        parts = []
        if "throughput" in m0:
            parts.append("%.2fx mode 0 (>= 2)" % (m2["throughput"] / m0["throughput"]))
        if ref2 and "throughput" in ref2:
            parts.append("%.2fx %s (>= 1)" % (m2["throughput"] / ref2["throughput"],
                                              ref2["transfer"].replace(" (reference)", "")))
        lines.append("  %s: %s" % (title, ", ".join(parts) or "-"))
    if na_modes:
        lines.append("  mode %s: n/a (see the tables)" % ", ".join(str(m) for m in sorted(na_modes)))
    lines.append("  (%d bytes a transfer; the 16 ms target is stated for 1 MiB, --full)" % size)
    return "\n".join(lines)


# ---------------------------------------------------------------- beside the tables

def format_round_trips(extras):
    lines = ["Line round trip (132 bytes out, 1 byte back, instant Linux answerer; the least a "
             "block of 128 can cost):",
             "  %-30s %10s %10s %10s %10s %8s" % ("line", "median ms", "p99 ms", "model ms",
                                                  "excess ms", "samples")]
    for line_name, baud, latency_ms, times in extras:
        if not times:
            lines.append("  %-30s %10s" % (line_name, "failed"))
            continue
        median, p99 = statistics.median(times), quantile(times, 0.99)
        model = block_seconds(132, baud, latency_ms) if baud else None
        lines.append("  %-30s %10.3f %10.3f %10s %10s %8d" % (
            line_name, median * 1e3, p99 * 1e3, "%.3f" % (model * 1e3) if model else "-",
            "%.3f" % ((median - model) * 1e3) if model else "-", len(times)))
    lines.append("  (model: wire time at 10 bits a byte, plus the adapter's holds; excess: median "
                 "less model)")
    return "\n".join(lines)


def format_pacing(stats_by_line):
    """linesim's own pacing error on each line, both directions."""
    lines = ["linesim's pacing error over the whole line (its report: deliveries, and how late they "
             "were against their due time, us):",
             "  %-30s %4s %11s %8s %8s %8s" % ("line", "dir", "deliveries", "median", "p99", "max")]
    for line_name, stats in stats_by_line:
        for d in ("ab", "ba"):
            if d + "_deliveries" not in stats:
                lines.append("  %-30s %4s %11s" % (line_name, d, "no report"))
                continue
            lines.append("  %-30s %4s %11s %8s %8s %8s" % (
                line_name, d, stats[d + "_deliveries"], stats[d + "_late_us_median"],
                stats[d + "_late_us_p99"], stats[d + "_late_us_max"]))
    return "\n".join(lines)


def format_memory(memory):
    """Peak memory of the plug-in's processes, per transfer size."""
    lines = ["Peak memory (VmHWM) of the serialhost process, mode 0 plug-in -> plug-in on the "
             "pty line:"]
    for size in sorted(memory):
        got = memory[size]
        if not got:
            lines.append("  %10d bytes: no successful run" % size)
            continue
        snd = max(r.get("sender_rss_kib") or 0 for r in got)
        rcv = max(r.get("receiver_rss_kib") or 0 for r in got)
        lines.append("  %10d bytes: sender %6.1f MiB, receiver %6.1f MiB" % (size, snd / 1024, rcv / 1024))
    return "\n".join(lines)


def format_turnaround(results, line_rt, blocks):
    lines = ["Turnaround per block on the unthrottled line (%d blocks, from a Python peer; "
             "includes the line both ways)" % blocks,
             "  %-18s %9s %9s %9s %7s" % ("side", "median us", "p90 us", "max us", "blocks")]
    for name, times in results:
        if not times:
            lines.append("  %-18s %9s" % (name, "failed"))
            continue
        xs = sorted(times)
        lines.append("  %-18s %9.0f %9.0f %9.0f %7d" % (
            name, xs[len(xs) // 2] * 1e6, xs[int(len(xs) * 0.9)] * 1e6, xs[-1] * 1e6, len(xs)))
    if line_rt:
        lines.append("  %-18s %9.0f   (132 bytes out, 1 byte back, instant Linux answerer)"
                     % ("line alone", line_rt * 1e6))
    return "\n".join(lines)


PROBE_ROWS = [
    ("ClearCommError", "ClearCommError (receive-queue query)"),
    ("WriteFile_132", "WriteFile, 132 bytes"),
    ("ReadFile_1_queued", "ReadFile, 1 byte already queued"),
    ("ReadFile_1_waiting", "ReadFile, 1 byte it has to wait for"),
    ("READBYTE_L_L", "READBYTE_L_L (host command), per byte"),
    ("WRITEBYTE_0_L_L", "WRITEBYTE_0_L_L (host command), per byte"),
    ("TIMER_F_0", "TIMER_F_0 (host command)"),
    ("fprintf_line", "trace line by fprintf"),
    ("snprintf+fwrite_line", "trace line formatted, one fwrite"),
]

# What one block costs each side, in calls (the receiver's ACK write is a
# WriteFile like the packet's; its size makes no difference here).
BLOCK_CALLS = {
    "sender": [("WriteFile_132", 1), ("ReadFile_1_waiting", 1), ("ClearCommError", 2),
               ("READBYTE_L_L", 128), ("TIMER_F_0", 2), ("snprintf+fwrite_line", 2)],
    "receiver": [("ReadFile_1_waiting", 1), ("ReadFile_1_queued", 1), ("WriteFile_132", 1),
                 ("WRITEBYTE_0_L_L", 128)],
}


def probe_costs(raw):
    """The probe's figures, with the waiting read separated from the write
    that drew its answer."""
    costs = dict(raw)
    both, write = raw.get("WriteFile_132+ReadFile_1_waiting"), raw.get("WriteFile_132")
    if both and write:
        server = None if both[2] is None or write[2] is None else max(0.0, both[2] - write[2])
        costs["ReadFile_1_waiting"] = (max(0.0, both[0] - write[0]), max(0.0, both[1] - write[1]), server)
    return costs


def format_probe(raw, count):
    costs = probe_costs(raw)
    lines = ["Cost of each call under Wine (probe, %d calls each; microseconds per call)" % count,
             "  %-42s %9s %9s %11s" % ("call", "wall", "CPU", "wineserver")]
    for key, title in PROBE_ROWS:
        if key in costs:
            wall, cpu, server = (None if x is None else max(0.0, x) for x in costs[key])
            lines.append("  %-42s %9.2f %9.2f %11s" % (title, wall, cpu,
                                                      "-" if server is None else "%.2f" % server))
    for side, calls in BLOCK_CALLS.items():
        if all(key in costs for key, _ in calls):
            wall = sum(costs[key][0] * n for key, n in calls)
            cpu = sum(costs[key][1] * n for key, n in calls)
            server = sum((costs[key][2] or 0.0) * n for key, n in calls)
            lines.append("  one block, plug-in %-8s %7.0f us wall, %.0f us CPU, %.0f us wineserver" % (
                side + ":", wall, cpu, server))
    lines.append("  (sender: 1 packet write, 1 waiting read, 2 queue queries, 128 READBYTE, 2 TIMER, "
                 "2 trace lines;")
    lines.append("   receiver: 1 waiting read, 1 read of what is queued, 1 answer write, 128 WRITEBYTE)")
    return "\n".join(lines)


# ---------------------------------------------------------------- the whole report

def format_report(kind, load_start, load_end, tables, extras, pacing, summary, size, memory,
                  turnaround, turnaround_blocks, probe, probe_calls, seconds, csv_path,
                  exchanges=None):
    """The report printed at the end and kept in bench.txt; EXCHANGES: the
    rows of the exchange table."""
    text = ["Transfers (XMODEM family and ZMODEM), %s build of serialhost/serialport.dll under Wine (load average "
            "%.2f at the start, %.2f at the end, on %d cores); ceilings per mode: stop-and-wait, "
            "data over packet + answer" % (kind, load_start, load_end, os.cpu_count()),
            ""]
    for table in tables:
        text += [table, ""]
    text.append(format_round_trips(extras))
    text.append("")
    if exchanges:
        text.append(format_exchanges(exchanges))
        text.append("")
    if pacing:
        text.append(format_pacing(pacing))
        text.append("")
    text.append(format_targets(summary, size))
    text.append("")
    if memory:
        text.append(format_memory(memory))
    if turnaround:
        text.append("")
        text.append(format_turnaround(turnaround[0], turnaround[1], turnaround_blocks))
    if probe:
        text.append("")
        text.append(format_probe(probe, probe_calls))
    text.append("")
    text.append("(%.0f s in all; CSV: %s)" % (seconds, csv_path))
    return "\n".join(text)


# ---------------------------------------------------------------- command/response exchanges

# The median time the plug-in may add to the bare line's exchange.
EXCHANGE_GOAL_MS = 0.3

EXCHANGE_FIELDS = ["line", "exchanges", "failed", "bare_exchanges", "model_ms", "bare_median_ms",
                   "bare_p99_ms", "plugin_median_ms", "plugin_p99_ms", "excess_median_ms",
                   "excess_p99_ms", "write_median_us", "read_median_us", "cpu_us", "wineserver_us",
                   "notes"]


def exchange_row(line_name, baud, latency_ms, got, command=16, answer=4):
    """A row of the exchange table from measures.exchanges' result: each
    side's median and 99th percentile (ms), and the excess of the plug-in's
    over the bare line's (the difference of the medians, and of the 99th
    percentiles).  Failed exchanges are counted, not timed."""
    plugin = [w + r for w, r in zip(got["write"], got["read"])]
    row = {"line": line_name, "exchanges": len(plugin), "failed": len(got["failed"]),
           "bare_exchanges": len(got["bare"]), "cpu_us": got.get("cpu_us"),
           "wineserver_us": got.get("server_us"),
           "notes": "; ".join(x for x in [got.get("note")] + got["failed"][:3] if x)}
    if baud:
        row["model_ms"] = (delivery_ns(command, baud, latency_ms) + delivery_ns(answer, baud, latency_ms)) / 1e6
    if got["bare"]:
        row["bare_median_ms"] = statistics.median(got["bare"]) * 1e3
        row["bare_p99_ms"] = quantile(got["bare"], 0.99) * 1e3
    if plugin:
        row["plugin_median_ms"] = statistics.median(plugin) * 1e3
        row["plugin_p99_ms"] = quantile(plugin, 0.99) * 1e3
        row["write_median_us"] = statistics.median(got["write"]) * 1e6
        row["read_median_us"] = statistics.median(got["read"]) * 1e6
    if got["bare"] and plugin:
        row["excess_median_ms"] = row["plugin_median_ms"] - row["bare_median_ms"]
        row["excess_p99_ms"] = row["plugin_p99_ms"] - row["bare_p99_ms"]
    return row


def format_exchanges(rows):
    """The exchange table, with each line's split of the plug-in's time and
    the goal."""
    def ms(row, key):
        return "%.3f" % row[key] if row.get(key) is not None else "-"

    head = ["line", "model", "bare median", "bare p99", "plug-in median", "plug-in p99",
            "excess median", "excess p99", "exchanges", "failed"]
    body = [[r["line"], ms(r, "model_ms"), ms(r, "bare_median_ms"), ms(r, "bare_p99_ms"),
             ms(r, "plugin_median_ms"), ms(r, "plugin_p99_ms"), ms(r, "excess_median_ms"),
             ms(r, "excess_p99_ms"), str(r["exchanges"]), str(r["failed"])] for r in rows]
    widths = [max(len(x) for x in col) for col in zip(head, *body)]
    lines = ['Command/response exchange (16-byte command, "OK\\r\\n" answered at once by a Python '
             'echo peer on end B; ms):']
    for i, cells in enumerate([head] + body):
        lines.append("  " + "  ".join(c.ljust(w) if j == 0 else c.rjust(w)
                                      for j, (c, w) in enumerate(zip(cells, widths))))
        if i == 0:
            lines.append("  " + "  ".join("-" * w for w in widths))
    lines.append("  (bare: the same bytes from a Linux process on end A; plug-in: WriteSerialData, then "
                 "ReadSerialUntil(port, \"OK\\r\\n\", 1000),")
    lines.append("   under Wine on COM5; excess: plug-in less bare, of the medians and of the 99th "
                 "percentiles; model: wire time both ways)")
    for r in rows:
        if r.get("plugin_median_ms") is not None:
            cost = "CPU %s us in the process, %s us in the wineserver" % (
                "%.0f" % r["cpu_us"] if r.get("cpu_us") is not None else "-",
                "%.0f" % r["wineserver_us"] if r.get("wineserver_us") is not None else "-")
            lines.append("  %s: WriteSerialData %.0f us, ReadSerialUntil %.0f us (medians); %s, per "
                         "exchange" % (r["line"], r["write_median_us"], r["read_median_us"], cost))
    for r in rows:
        excess = r.get("excess_median_ms")
        verdict = "no figure" if excess is None else "%.3f ms: %s" % (
            excess, "met" if excess <= EXCHANGE_GOAL_MS else "NOT met")
        lines.append("  goal, median excess <= %.1f ms, %s: %s" % (EXCHANGE_GOAL_MS, r["line"], verdict))
        if r.get("notes"):
            lines.append("  note: %s: %s" % (r["line"], r["notes"]))
    return "\n".join(lines)
