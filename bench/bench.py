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
"""

import argparse
import csv
import math
import os
import random
import re
import select
import signal
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "win32"))

import rig as rigmod  # noqa: E402
from rig import Rig, drain, read_exact  # noqa: E402

BLOCK = 128
PAD = b"\x1a"
CAN = b"\x18"
CLK_TCK = os.sysconf("SC_CLK_TCK")
QUICK_SIZE = 256 * 1024
FULL_SIZE = 1024 * 1024


class Mode:
    """One transfer mode: the plug-in's `mode` argument, the lrzsz programs
    that speak it, and its packets."""

    def __init__(self, number, name, sender, receiver, receiver_waits, check, big_blocks,
                 exact_size):
        self.number = number
        self.name = name
        self.sender = sender              # lrzsz sender argv, the file's name follows
        self.receiver = receiver          # lrzsz receiver argv
        self.receiver_waits = receiver_waits
        self.check = check                # bytes of checksum or CRC
        self.big_blocks = big_blocks      # 1024-byte blocks, 128 for the last 896 bytes or fewer
        self.exact_size = exact_size      # the receiver learns the size (YMODEM)

    @property
    def receiver_name(self):
        return " ".join(w for w in self.receiver if w not in ("-v", "-b", "-t", "10", "out.bin",
                                                              "--ymodem"))

    @property
    def sender_name(self):
        return " ".join(w for w in self.sender if w not in ("-q", "-b", "--ymodem"))

    def host_args(self):
        """What serialhost send/recv gets for this mode (nothing for mode 0,
        so that a serialhost without --mode still runs it)."""
        return ["--mode", str(self.number)] if self.number else []


# rx flushes its input right after each ACK, so a packet that arrives before
# that flush is lost, and the transfer stalls until a time-out.  rx's own
# (10 s by default) is set to 1 s, so that such a stall costs the reference
# and the plug-in -> rx rows alike a second, not ten.  rx waits for a second
# of silence after the EOT before it answers it (an alarm(1) after reading
# the EOT, seen with strace); rb also waits a second before its first C and
# another before it asks for the next file.  Those seconds are not part of
# the transfer.  sb without -k sends 128-byte blocks; with it, 1K blocks as
# sx -k does.  The receivers run with -v: they then say "Retry N: why" on
# stderr for every packet they had to ask for again.
MODES = {
    0: Mode(0, "XMODEM, checksum", ["sx", "-q", "-b"], ["rx", "-v", "-b", "-t", "10", "out.bin"],
            1.0, 1, False, False),
    1: Mode(1, "XMODEM-CRC", ["sx", "-q", "-b"], ["rx", "-v", "-b", "-c", "-t", "10", "out.bin"],
            1.0, 2, False, False),
    2: Mode(2, "XMODEM-1K", ["sx", "-q", "-b", "-k"], ["rx", "-v", "-b", "-c", "-t", "10", "out.bin"],
            1.0, 2, True, False),
    3: Mode(3, "YMODEM", ["sb", "-q", "-b", "-k", "--ymodem"], ["rb", "-v", "-b", "-t", "10", "--ymodem"],
            3.0, 2, True, True),
}

ROW_KEYS = ["ref", "p2rx", "sx2p", "p2p"]


def row_title(mode, row):
    return {
        "ref": "%s -> %s (reference)" % (mode.sender_name, mode.receiver_name),
        "p2rx": "plug-in -> %s" % mode.receiver_name,
        "sx2p": "%s -> plug-in" % mode.sender_name,
        "p2p": "plug-in -> plug-in",
    }[row]


SUMMARY = re.compile(r"^(sent|received|send failed|receive failed) .*: (\d+) bytes in ([0-9.]+) s "
                     r"\(\d+ bytes/s\), cpu ([0-9.]+) s", re.M)


# ---------------------------------------------------------------- pure helpers

def block_sizes(mode, size):
    """The data blocks that carry SIZE bytes in MODE, in order."""
    if not mode.big_blocks:
        return [BLOCK] * -(-size // BLOCK)
    sizes = []
    left = size
    while left > 0:
        block = 1024 if left > 896 else BLOCK
        sizes.append(block)
        left -= block
    return sizes


def delivery_ns(n, baud, latency_ms):
    """When the last of N bytes written at once at time 0 reaches the far
    end, as linesim models it: byte k is due when its 10 bits have crossed
    the wire; an adapter with a latency timer passes a batch on once the
    latency has passed since its first byte came, or when it holds 62."""
    def due(k):
        return -(-(k + 1) * 10 * 10**9 // baud)
    if not latency_ms:
        return due(n - 1)
    latency = int(round(latency_ms * 1e6))
    first, released = 0, 0
    while first < n:
        release = due(first) + latency
        if first + 61 < n:
            release = min(release, due(first + 61))
        last = first
        while last + 1 < n and last + 1 < first + 62 and due(last + 1) <= release:
            last += 1
        first, released = last + 1, release
    return released


def block_seconds(packet, baud, latency_ms=0):
    """Stop-and-wait cost of one block: its packet across, its answer back."""
    return (delivery_ns(packet, baud, latency_ms) + delivery_ns(1, baud, latency_ms)) / 1e9


def ceiling(mode, size, baud, latency_ms=0):
    """Bytes per second MODE can move on the line at best: SIZE bytes over
    the time of its blocks, each a packet (3 header bytes, the data, the
    check) and a one-byte answer.  The start, the EOT and YMODEM's header
    and closing blocks are left out: under 0.1% of 256 KiB."""
    cost = {}
    total = 0.0
    for block in block_sizes(mode, size):
        if block not in cost:
            cost[block] = block_seconds(3 + block + mode.check, baud, latency_ms)
        total += cost[block]
    return size / total if total else None


def padded(data):
    return data + PAD * (-len(data) % BLOCK)


def check_received(sent, got, receiver, exact=False):
    """None when GOT is a correct copy of SENT, else what is wrong.  With
    EXACT (YMODEM) the copy has the sender's size; otherwise the plug-in
    keeps the whole last block (padding included) and rx may cut the padding
    off."""
    if exact:
        if got == sent:
            return None
    elif receiver == "plugin":
        if got == padded(sent):
            return None
    elif (got[:len(sent)] == sent and len(got) <= len(padded(sent))
          and got[len(sent):] == PAD * (len(got) - len(sent))):
        return None
    want = sent if exact else padded(sent)
    for i, (a, b) in enumerate(zip(got, want)):
        if a != b:
            return "differs at byte %d" % i
    return "%d bytes, expected %d" % (len(got), len(want))


def parse_summary(stderr_text):
    """(ok, bytes, seconds, cpu) from serialhost's summary line, or None."""
    found = SUMMARY.findall(stderr_text)
    if not found:
        return None
    verb, size, seconds, cpu = found[-1]
    return verb in ("sent", "received"), int(size), float(seconds), float(cpu)


def count_resends(trace):
    """Packets the plug-in's sender wrote beyond one per block, and how many
    of them followed an answer time-out, from its trace lines."""
    sends = trace.count(b"Sending packet ")
    timeouts = trace.count(b"ACK timed out, resending\n")
    blocks = re.findall(rb"Sent (\d+) blocks\n", trace)
    if not blocks:
        return None, timeouts
    return sends - int(blocks[-1]), timeouts


def count_retries(stderr_text):
    """Packets an lrzsz receiver asked for again, and how many of those after
    a time-out, from its -v messages ("Retry 0: TIMEOUT")."""
    retries = re.findall(r"Retry \d+: (.*)", stderr_text)
    return len(retries), sum(1 for why in retries if "TIMEOUT" in why)


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
    for i, r in enumerate(rows):
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


CSV_FIELDS = ["line", "mode", "row", "transfer", "size", "runs", "ok_runs", "wall_best",
              "wall_median", "wall_spread", "throughput", "vs_ref", "efficiency", "sender_cpu",
              "receiver_cpu", "wineserver_cpu", "resends", "timeouts", "notes"]

RUN_FIELDS = ["line", "mode", "row", "run", "size", "ok", "wall", "sender_cpu", "receiver_cpu",
              "wineserver_cpu", "sender_rss_kib", "receiver_rss_kib", "resends", "timeouts", "note"]


def write_csv(path, fields, rows):
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=fields, extrasaction="ignore")
        writer.writeheader()
        for r in rows:
            writer.writerow({k: ("%.6g" % v if isinstance(v, float) else v)
                             for k, v in r.items() if k in fields})


# ---------------------------------------------------------------- processes

def proc_cpu(pid):
    """utime + stime of PID in seconds (all its threads), or None."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK
    except (OSError, IndexError, ValueError):
        return None


def blocked_reading_stdin(pid):
    """True while PID sits in read(0, ...) (x86-64 syscall 0 on fd 0)."""
    try:
        with open("/proc/%d/syscall" % pid) as f:
            fields = f.read().split()
    except OSError:
        return False
    return len(fields) >= 2 and fields[0] == "0" and int(fields[1], 16) == 0


def has_open(pid, path):
    """True when PID holds a descriptor on PATH."""
    target = os.path.realpath(path)
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == target:
                    return True
            except OSError:
                pass
    except OSError:
        pass
    return False


def wait_until(test, timeout, step=0.002):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if test():
            return True
        time.sleep(step)
    return test()


def peak_rss_kib(pid):
    """VmHWM of PID in KiB, or None once it has exited."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


class Reaped:
    """Waits for one child in a thread with os.wait4, so that its exit time
    and its CPU time are exact.  The Popen learns the exit status, so nothing
    waits for (or signals) that PID again.

    Peak memory is sampled from /proc (VmHWM, the last reading before exit):
    rusage's ru_maxrss would also count the bench's own memory, which a
    forked child carries until it execs."""

    SAMPLE_EVERY = 0.02

    def __init__(self, proc, sample_memory=False):
        self.proc = proc
        self.end = None
        self.rusage = None
        self.maxrss_kib = None
        self.done = threading.Event()
        threading.Thread(target=self._wait, daemon=True).start()
        if sample_memory:
            threading.Thread(target=self._sample, daemon=True).start()

    def _sample(self):
        while not self.done.is_set():
            value = peak_rss_kib(self.proc.pid)
            if value is not None and not self.done.is_set():
                self.maxrss_kib = max(value, self.maxrss_kib or 0)
            self.done.wait(self.SAMPLE_EVERY)

    def _wait(self):
        try:
            _, status, usage = os.wait4(self.proc.pid, 0)
            self.rusage = usage
            self.proc.returncode = os.waitstatus_to_exitcode(status)
        except ChildProcessError:
            pass
        self.end = time.monotonic()
        self.done.set()

    def wait(self, timeout):
        return self.done.wait(timeout)

    def running(self):
        return not self.done.is_set()

    def end_it(self):
        """TERM, then KILL, the child's process group (it leads one)."""
        for sig, grace in ((signal.SIGTERM, 3.0), (signal.SIGKILL, 5.0)):
            if not self.running():
                return
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                pass
            self.wait(grace)

    @property
    def cpu(self):
        return None if self.rusage is None else self.rusage.ru_utime + self.rusage.ru_stime



def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---------------------------------------------------------------- one line

class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.out_dir = os.path.abspath(args.out) if args.out else os.path.join(self.build, "bench")
        self.work = os.path.join(self.out_dir, "work")
        self.rb_dir = os.path.join(self.work, "rb")
        os.makedirs(self.rb_dir, exist_ok=True)
        self.data = {}

    def source(self, size):
        """Path of a random file of SIZE bytes (the same bytes every run)."""
        path = os.path.join(self.work, "src-%d.bin" % size)
        if size not in self.data:
            self.data[size] = random.Random(size).randbytes(size)
            with open(path, "wb") as f:
                f.write(self.data[size])
        return path

    def time_limit(self, mode, size, baud, latency_ms):
        # A paced line is given twice its ceiling's time, plus the fixed
        # waits and a minute.  On the pty pair a clean 1 MiB run takes 1-3 s
        # and every packet that rx's input flush throws away costs the sender
        # a time-out (6 s for sx): a run still going after a minute has
        # stalled some ten times and is cut off, which bounds the whole bench.
        if baud:
            return 60.0 + mode.receiver_waits + 2 * size / ceiling(mode, size, baud, latency_ms)
        return 20.0 + mode.receiver_waits + size / 25000.0

    # -- the pieces of one run -------------------------------------------------
    def _clean_line(self, rig):
        """Drop what a previous run left on either end (a lost final ACK,
        sx's CANs when it was ended)."""
        for end in ("a", "b"):
            fd = rig.open_linux_end(end)
            drain(fd, 0.1)
            rig.close_fd(fd)

    def _logs(self, tag):
        base = os.path.join(self.work, tag)
        return open(base + ".out", "wb"), open(base + ".err", "wb"), base

    def _start_host(self, rig, args, tag):
        out, err, base = self._logs(tag)
        if self.args.dll:
            args = ["--dll", winpath(self.args.dll)] + list(args)
        proc = rig.start_host(args, stdout=out, stderr=err)
        out.close()
        err.close()
        return proc, Reaped(proc, sample_memory=True), base

    def _start_peer(self, rig, argv, end, tag, cwd=None):
        err = open(os.path.join(self.work, tag + ".err"), "wb")
        proc = rig.start_peer(argv, end, cwd=cwd or self.work, stderr=err)
        err.close()
        return proc, Reaped(proc)

    def _host_ready(self, reaped, tty):
        """Waits until serialhost holds the port open (it then sits in the
        transfer at once); returns its CPU seconds at that moment."""
        ok = wait_until(lambda: has_open(reaped.proc.pid, tty) or not reaped.running(), 60)
        cpu = proc_cpu(reaped.proc.pid)
        return cpu if ok and reaped.running() else None

    def _host_result(self, reaped, base, cpu_at_open):
        """(summary, transfer CPU, trace bytes) of a finished serialhost."""
        with open(base + ".err", "rb") as f:
            err = f.read().decode(errors="replace")
        with open(base + ".out", "rb") as f:
            trace = f.read()
        summary = parse_summary(err)
        cpu = None
        if summary and cpu_at_open is not None:
            cpu = max(0.0, summary[3] - cpu_at_open)
        return summary, cpu, trace

    def _finish(self, *reaped, timeout):
        """Waits for all; on time-out ends those still running.  True when
        all ended by themselves."""
        deadline = time.monotonic() + timeout
        ok = True
        for r in reaped:
            if not r.wait(max(0.0, deadline - time.monotonic())):
                ok = False
        if not ok:
            for r in reaped:
                r.end_it()
        return ok

    def _read_out(self, path):
        try:
            with open(path, "rb") as f:
                return f.read()
        except OSError:
            return b""

    def _out_path(self, mode, row, src):
        """Where the receiver of ROW puts the file: rb names it after the
        sender's file, in its own folder."""
        if mode.exact_size and row in ("ref", "p2rx"):
            return os.path.join(self.rb_dir, os.path.basename(src))
        return os.path.join(self.work, "out.bin")

    # -- the four transfers ------------------------------------------------------
    def run_once(self, rig, mode, row, size, baud, latency_ms, tag):
        src = self.source(size)
        data = self.data[size]
        out = self._out_path(mode, row, src)
        if os.path.exists(out):
            os.remove(out)
        self._clean_line(rig)
        limit = self.time_limit(mode, size, baud, latency_ms)
        ws_pid = int(rig.env.get("WINESERVER_PID") or 0)
        ws0 = proc_cpu(ws_pid) if ws_pid else None
        result = {"ok": False, "note": "", "resends": None, "timeouts": None}
        fn = getattr(self, "_run_" + row)
        fn(rig, mode, src, out, limit, tag, result)
        ws1 = proc_cpu(ws_pid) if ws_pid else None
        if ws0 is not None and ws1 is not None:
            result["wineserver_cpu"] = ws1 - ws0
        if result.get("wall") is not None and not result["note"]:
            receiver = "rx" if row in ("ref", "p2rx") else "plugin"
            problem = check_received(data, self._read_out(out), receiver, mode.exact_size)
            if problem:
                result["note"] = "received file wrong (%s)" % problem
            else:
                result["ok"] = True
        elif not result["note"]:
            result["note"] = "no result"
        return result

    def _sx(self, rig, mode, src, end, tag):
        proc, reaped = self._start_peer(rig, mode.sender + [os.path.basename(src)], end, tag + "-sx")
        # sx flushes its input as it starts: the receiver's NAK must come after.
        wait_until(lambda: blocked_reading_stdin(proc.pid) or not reaped.running(), 10)
        return reaped

    def _rx(self, rig, mode, end, tag):
        cwd = None
        if mode.exact_size:
            cwd = self.rb_dir
        _, reaped = self._start_peer(rig, mode.receiver, end, tag + "-rx", cwd=cwd)
        return reaped

    def _end_sender(self, rig, sx, receiver_end, grace=3):
        """rx and rb flush their output as they exit, so their last ACK can
        be lost and the sender would go on resending its EOT (or YMODEM's
        closing block): give it that ACK from the receiver's end.  Ending it
        instead makes sx write CANs, which under load can reach the next run."""
        if sx.wait(0.5):
            return
        fd = rig.open_linux_end(receiver_end)
        try:
            os.write(fd, b"\x06")
            if not sx.wait(grace):
                sx.end_it()
        finally:
            rig.close_fd(fd)

    def _rx_wall(self, mode, rx, started):
        return rx.end - started - mode.receiver_waits

    def _run_ref(self, rig, mode, src, out, limit, tag, result):
        sx = self._sx(rig, mode, src, "a", tag)
        started = time.monotonic()
        rx = self._rx(rig, mode, "b", tag)
        if not self._finish(rx, timeout=limit):
            sx.end_it()
            result["note"] = "timed out"
            return
        self._end_sender(rig, sx, "b")
        result["resends"], result["timeouts"] = count_retries(self._read_out(
            os.path.join(self.work, tag + "-rx.err")).decode(errors="replace"))
        if rx.proc.returncode != 0:
            result["note"] = "%s failed (status %s)" % (mode.receiver[0], rx.proc.returncode)
            return
        result.update(wall=self._rx_wall(mode, rx, started), sender_cpu=sx.cpu, receiver_cpu=rx.cpu)

    def _run_p2rx(self, rig, mode, src, out, limit, tag, result):
        host, sender, base = self._start_host(
            rig, ["send", rig.com_a, winpath(src)] + mode.host_args(), tag + "-send")
        cpu0 = self._host_ready(sender, rig.tty_a)
        started = time.monotonic()
        rx = self._rx(rig, mode, "b", tag)
        finished = self._finish(rx, timeout=limit)
        if finished:
            self._end_sender(rig, sender, "b", grace=30)
        else:
            sender.end_it()
        summary, cpu, trace = self._host_result(sender, base, cpu0)
        result["resends"], result["timeouts"] = count_resends(trace)
        if not finished:
            result["note"] = "timed out"
            return
        if not summary or not summary[0] or rx.proc.returncode != 0:
            result["note"] = "transfer failed (serialhost %s, %s %s)" % (
                host.returncode, mode.receiver[0], rx.proc.returncode)
            return
        result.update(wall=self._rx_wall(mode, rx, started), sender_cpu=cpu, receiver_cpu=rx.cpu,
                      sender_rss_kib=sender.maxrss_kib)

    def _run_sx2p(self, rig, mode, src, out, limit, tag, result):
        sx = self._sx(rig, mode, src, "b", tag)
        host, receiver, base = self._start_host(
            rig, ["recv", rig.com_a, winpath(out)] + mode.host_args(), tag + "-recv")
        cpu0 = self._host_ready(receiver, rig.tty_a)
        finished = self._finish(receiver, timeout=limit)
        if finished and not sx.wait(5):
            sx.end_it()
        elif not finished:
            sx.end_it()
        summary, cpu, _ = self._host_result(receiver, base, cpu0)
        if not finished:
            result["note"] = "timed out"
            return
        if not summary or not summary[0]:
            result["note"] = "transfer failed (serialhost %s)" % host.returncode
            return
        result.update(wall=summary[2], sender_cpu=sx.cpu, receiver_cpu=cpu,
                      receiver_rss_kib=receiver.maxrss_kib)

    def _run_p2p(self, rig, mode, src, out, limit, tag, result):
        _, sender, sbase = self._start_host(
            rig, ["send", rig.com_a, winpath(src)] + mode.host_args(), tag + "-send")
        scpu0 = self._host_ready(sender, rig.tty_a)
        _, receiver, rbase = self._start_host(
            rig, ["recv", rig.com_b, winpath(out)] + mode.host_args(), tag + "-recv")
        rcpu0 = self._host_ready(receiver, rig.tty_b)
        finished = self._finish(receiver, sender, timeout=limit)
        ssum, scpu, trace = self._host_result(sender, sbase, scpu0)
        rsum, rcpu, _ = self._host_result(receiver, rbase, rcpu0)
        result["resends"], result["timeouts"] = count_resends(trace)
        if not finished:
            result["note"] = "timed out"
            return
        if not ssum or not rsum or not ssum[0] or not rsum[0]:
            result["note"] = "transfer failed (sender %s, receiver %s)" % (
                sender.proc.returncode, receiver.proc.returncode)
            return
        result.update(wall=rsum[2], sender_cpu=scpu, receiver_cpu=rcpu,
                      sender_rss_kib=sender.maxrss_kib, receiver_rss_kib=receiver.maxrss_kib)

    # -- which modes the plug-in serves ------------------------------------------
    def mode_support(self, rig, mode):
        """{"send": reason or None, "recv": reason or None}: None where the
        plug-in (through serialhost) serves MODE, else why not.  Cheap: a
        mode the plug-in does not serve fails at once, and one it serves
        shows it in its first byte (a receiver's request, a sender's first
        packet after a C)."""
        return {"recv": self._probe_side(rig, mode, "recv"),
                "send": self._probe_side(rig, mode, "send")}

    def _probe_side(self, rig, mode, verb):
        self._clean_line(rig)
        tag = "support-m%d-%s" % (mode.number, verb)
        path = self.source(1024) if verb == "send" else os.path.join(self.work, "support.bin")
        fd = rig.open_linux_end("b")
        reaped = None
        try:
            proc, reaped, base = self._start_host(
                rig, [verb, rig.com_a, winpath(path)] + mode.host_args(), tag)
            self._host_ready(reaped, rig.tty_a)
            deadline = time.monotonic() + 20
            next_ask = time.monotonic()
            asks = 0
            answer = b""
            while reaped.running() and time.monotonic() < deadline:
                if verb == "send" and time.monotonic() >= next_ask:
                    # C, then NAK, and so on: every mode starts on one of
                    # them, and the sender may have flushed the last one.
                    os.write(fd, b"C" if asks % 2 == 0 else b"\x15")
                    asks += 1
                    next_ask = time.monotonic() + 1.0
                if select.select([fd], [], [], 0.05)[0]:
                    answer += os.read(fd, 4096)
                    if verb == "recv" or answer[:1] in (b"\x01", b"\x02"):
                        break
            if reaped.running():
                os.write(fd, CAN * 2)
                if not reaped.wait(2):
                    reaped.end_it()
                return None if answer else "no sign of a transfer within 20 s"
            with open(base + ".err", "rb") as f:
                err = f.read().decode(errors="replace")
            if proc.returncode == 2 and "--mode" in err:
                return "serialhost has no --mode"
            return "the plug-in does not serve it"
        finally:
            rig.close_fd(fd)
            if reaped:
                reaped.end_it()

    # -- the line's own round trip ----------------------------------------------
    def line_round_trip(self, rig, count=200):
        """Round trips of a 132-byte packet across the line and a one-byte
        answer back, with an instant answerer (a small Linux process) on the
        far end: the least a block can cost on this line.  Returns the list of
        times in seconds."""
        self._clean_line(rig)
        answerer = rig.start_peer([sys.executable, "-c", ANSWERER], "a")
        fd = rig.open_linux_end("b")
        times = []
        try:
            wait_until(lambda: blocked_reading_stdin(answerer.pid) or answerer.poll() is not None, 10)
            for _ in range(count):
                start = time.perf_counter()
                os.write(fd, b"\x01" * 132)
                if read_exact(fd, 1, 5) != b"\x06":
                    break
                times.append(time.perf_counter() - start)
        finally:
            rig.close_fd(fd)
            rigmod.end_process(answerer)
        return times


    # -- Wine's cost of each call ------------------------------------------------
    def probe(self, rig, count):
        """Runs bench/probe.exe on COM_A against an answerer on end B; returns
        {name: (wall us, cpu us, wineserver cpu us or None)} per call."""
        self._clean_line(rig)
        answerer = rig.start_peer([sys.executable, "-c", ANSWERER], "b")
        wait_until(lambda: blocked_reading_stdin(answerer.pid) or answerer.poll() is not None, 10)
        argv = [rigmod.WINE_RUN, self.args.probe, "\\\\.\\" + rig.com_a, str(count),
                rig.env.get("WINESERVER_PID", "")]
        proc = rig._spawn(argv, cwd=self.work, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            out, err = proc.communicate(timeout=300)
        except subprocess.TimeoutExpired:
            rigmod.end_process(proc)
            out, err = proc.communicate()
        finally:
            rigmod.end_process(answerer)
        costs = {}
        for line in out.decode(errors="replace").splitlines():
            parts = line.split()
            if len(parts) == 4:
                try:
                    costs[parts[0]] = (float(parts[1]), float(parts[2]),
                                       None if parts[3] == "-" else float(parts[3]))
                except ValueError:
                    pass
        if not costs:
            print("bench: probe gave nothing: %s" % err.decode(errors="replace").strip()[-500:],
                  flush=True)
        return costs


# Answers every 132 bytes it reads with one byte, at once.
ANSWERER = r"""
import os
have = 0
while True:
    chunk = os.read(0, 4096)
    if not chunk:
        break
    have += len(chunk)
    while have >= 132:
        have -= 132
        os.write(1, b"\x06")
"""


# ---------------------------------------------------------------- turnaround

class Turnaround:
    """Each side's turnaround on the unthrottled line, measured from a Python
    peer on the other end: for a sender, from the moment the peer wrote its
    ACK until the next packet's first byte is readable; for a receiver, from
    the moment the peer wrote a packet until the answer is readable.  Each
    figure includes the line's own transit both ways."""

    def __init__(self, bench, rig, blocks):
        self.bench = bench
        self.rig = rig
        self.blocks = blocks

    @staticmethod
    def packet(number, data):
        n = number & 0xFF
        return bytes([1, n, 255 - n]) + data + bytes([sum(data) & 0xFF])

    def as_receiver(self, start_sender, tag):
        """Plays the receiver against a sender started by START_SENDER(); returns
        the sender's turnaround times."""
        rig = self.rig
        self.bench._clean_line(rig)
        fd = rig.open_linux_end("b")
        reaped = None
        times = []
        try:
            reaped = start_sender(tag)
            os.write(fd, b"\x15")
            for i in range(self.blocks):
                if len(read_exact(fd, 132, 10)) != 132:
                    break
                acked = time.perf_counter()
                os.write(fd, b"\x06")
                if i == self.blocks - 1:
                    break
                if not select.select([fd], [], [], 10)[0]:
                    break
                times.append(time.perf_counter() - acked)
            eot = read_exact(fd, 1, 10)
            if eot == b"\x04":
                os.write(fd, b"\x06")
            reaped.wait(10)
        finally:
            rig.close_fd(fd)
            if reaped:
                reaped.end_it()
        return times

    def as_sender(self, start_receiver, tag):
        rig = self.rig
        self.bench._clean_line(rig)
        fd = rig.open_linux_end("b")
        reaped = None
        times = []
        try:
            reaped = start_receiver(tag)
            if read_exact(fd, 1, 30) != b"\x15":
                return times
            rnd = random.Random(7)
            for i in range(1, self.blocks + 1):
                packet = self.packet(i, rnd.randbytes(BLOCK))
                # rx flushes its input right after each ACK: a packet that
                # comes before that flush is lost.  A short pause keeps this
                # measurement of the answer time clear of it.
                time.sleep(0.002)
                start = time.perf_counter()
                os.write(fd, packet)
                answer = read_exact(fd, 1, 10)
                if answer != b"\x06":
                    break
                times.append(time.perf_counter() - start)
            os.write(fd, b"\x04")
            read_exact(fd, 1, 5)
            reaped.wait(10)
        finally:
            rig.close_fd(fd)
            if reaped:
                reaped.end_it()
        return times

    def run(self):
        b, rig = self.bench, self.rig
        size = self.blocks * BLOCK
        src = b.source(size)
        out = os.path.join(b.work, "out.bin")

        def plugin_sender(tag):
            _, reaped, _ = b._start_host(rig, ["send", rig.com_a, winpath(src)], tag)
            b._host_ready(reaped, rig.tty_a)
            return reaped

        def plugin_receiver(tag):
            _, reaped, _ = b._start_host(rig, ["recv", rig.com_a, winpath(out)], tag)
            return reaped

        def sx(tag):
            proc, reaped = b._start_peer(rig, MODES[0].sender + [os.path.basename(src)], "a", tag)
            wait_until(lambda: blocked_reading_stdin(proc.pid) or not reaped.running(), 10)
            return reaped

        def rx(tag):
            _, reaped = b._start_peer(rig, MODES[0].receiver, "a", tag)
            return reaped

        results = [
            ("plug-in sender", self.as_receiver(plugin_sender, "turn-send")),
            ("sx", self.as_receiver(sx, "turn-sx")),
            ("plug-in receiver", self.as_sender(plugin_receiver, "turn-recv")),
            ("rx", self.as_sender(rx, "turn-rx")),
        ]
        return results


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


# ---------------------------------------------------------------- main

# key: (title, baud, adapter latency in ms)
LINES = {
    "pty": ("pty", 0, 0),
    "921600": ("linesim 921600", 921600, 0),
    "115200": ("linesim 115200", 115200, 0),
    "115200-16ms": ("linesim 115200, 16 ms latency", 115200, 16),
}

# What each line's plug-in rows should reach (efficiency against the mode's
# ceiling), printed beside the figures.
EFFICIENCY_TARGETS = {"921600": 0.85, "115200": 0.95}
REF_TARGET = 0.98


def linesim_cmd(path, baud, latency_ms, stats=None):
    cmd = '%s --link-a "$RIG_LINK_A" --link-b "$RIG_LINK_B" --baud %d' % (path, baud)
    if latency_ms:
        cmd += " --latency %g" % latency_ms
    if stats:
        cmd += " --stats '%s'" % stats
    return cmd


def read_linesim_stats(path):
    """linesim's key=value report, or {}."""
    values = {}
    try:
        with open(path) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                values[key] = value
    except OSError:
        pass
    return values


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
                   help="comma list of transfer modes (default all: 0,1,2,3)")
    p.add_argument("--rows", default=",".join(ROW_KEYS),
                   help="comma list of ref, p2rx, sx2p, p2p (default all)")
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
    for name in args.lines.split(","):
        if name not in LINES:
            p.error("unknown line %r" % name)
    for name in args.rows.split(","):
        if name not in ROW_KEYS:
            p.error("unknown row %r" % name)
    try:
        args.mode_list = [MODES[int(m)] for m in args.modes.split(",")]
    except (ValueError, KeyError):
        p.error("--modes takes a comma list of 0, 1, 2, 3")
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


QUICK_NO_REF = "quick run: a reference runs only beside a plug-in row (--full runs it)"


def unserved_reason(support, row, full=False):
    """Why ROW of a mode is n/a, or None: the plug-in cannot take part, or,
    in the quick run, a reference would have no plug-in row beside it."""
    if support is None:
        return None
    if row == "ref":
        return None if full or not all(support.values()) else QUICK_NO_REF
    need = {"p2rx": ["send"], "sx2p": ["recv"], "p2p": ["send", "recv"]}[row]
    reasons = sorted({support[side] for side in need if support[side]})
    return "; ".join(reasons) or None


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


def format_targets(summary, size):
    """The issue's targets against the figures of this run (never asserted)."""
    lines = ["Targets (figures of this run, never asserted):"]
    by = {(r["line_key"], r["mode"], r["row"]): r for r in summary}
    na_modes = set()
    for key, target in EFFICIENCY_TARGETS.items():
        for r in summary:
            if r["line_key"] != key or r["row"] == "ref":
                continue
            if r.get("na"):
                na_modes.add(r["mode"])
                continue
            eff, vs_ref = r.get("efficiency"), r.get("vs_ref")
            met = eff is not None and eff >= target and (vs_ref is None or vs_ref >= REF_TARGET)
            lines.append("  %-16s mode %d %-22s eff. %s (>= %.2f), vs ref %s (>= %.2f): %s" % (
                LINES[key][0], r["mode"], r["transfer"],
                "%.3f" % eff if eff is not None else "-", target,
                "%.3f" % vs_ref if vs_ref is not None else "-", REF_TARGET,
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


def main(argv):
    args = parse_args(argv)
    build = os.path.abspath(args.build)
    reason = rigmod.host_unavailable(build)
    if reason:
        print("bench: cannot run: %s" % reason, file=sys.stderr)
        return 1
    bench = Bench(args)
    prefix = os.path.abspath(args.prefix) if args.prefix else os.path.join(build, "wineprefix")
    rows = [r for r in ROW_KEYS if r in args.rows.split(",")]
    modes = args.mode_list
    summary, runs_out, extras, tables, pacing = [], [], [], [], []
    support = {}
    memory = {}
    turnaround = None
    probe = None
    kind = build_kind(build)
    started = time.monotonic()
    load_start = os.getloadavg()[0]
    print("bench: %s build %s, %d bytes per transfer, %s run" % (
        kind, build, args.size, "full" if args.full else "quick"), flush=True)

    for key in args.lines.split(","):
        line_name, baud, latency_ms = LINES[key]
        stats_path = os.path.join(bench.out_dir, "linesim-%s.stats" % key)
        if os.path.exists(stats_path):
            os.remove(stats_path)
        line_cmd = linesim_cmd(args.linesim, baud, latency_ms, stats_path) if baud else None
        repeat = repeats_for(args, baud)
        print("bench: %s: rig up" % line_name, flush=True)
        with Rig(build, name=args.rig_name, prefix=prefix, line=line_cmd) as rig:
            for mode in modes:
                if mode.number and mode.number not in support:
                    support[mode.number] = bench.mode_support(rig, mode)
                    print("bench: mode %d: %s" % (mode.number, ", ".join(
                        "%s %s" % (side, why or "served") for side, why in
                        sorted(support[mode.number].items()))), flush=True)
            times = bench.line_round_trip(rig, args.round_trips)
            extras.append((line_name, baud, latency_ms, times))
            per_row = {(m.number, r): [] for m in modes for r in rows}
            for n in range(repeat):
                for mode in modes:
                    for row in rows:
                        if unserved_reason(support.get(mode.number), row, args.full):
                            continue
                        tag = "%s-m%d-%s-%d" % (key, mode.number, row, n + 1)
                        t = time.monotonic()
                        result = bench.run_once(rig, mode, row, args.size, baud, latency_ms, tag)
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
                    r = summarize(line_name, mode, row, per_row[(mode.number, row)], args.size,
                                  ref_best, top,
                                  unserved_reason(support.get(mode.number), row, args.full))
                    r["line_key"] = key
                    line_rows.append(r)
            summary += line_rows
            title = "%s: %d bytes a transfer, figures of the fastest good run" % (line_name, args.size)
            table = format_table(line_rows, title)
            tables.append(table)
            print("\n" + table + "\n", flush=True)
            if not baud:
                if "p2p" in rows:
                    memory[args.size] = [r for r in per_row.get((0, "p2p"), []) if r["ok"]]
                if args.memory_size:
                    print("bench: %s: %d-byte transfer for peak memory" % (line_name, args.memory_size),
                          flush=True)
                    result = bench.run_once(rig, MODES[0], "p2p", args.memory_size, 0, 0, "memory")
                    result.update(line=line_name, mode=0, row="p2p", run="memory",
                                  size=args.memory_size)
                    runs_out.append(result)
                    memory[args.memory_size] = [result] if result["ok"] else []
                    if not result["ok"]:
                        print("bench: memory run failed: %s" % result["note"], flush=True)
                if args.turnaround_blocks:
                    print("bench: %s: turnaround" % line_name, flush=True)
                    turnaround = (Turnaround(bench, rig, args.turnaround_blocks).run(),
                                  statistics.median(times) if times else None)
                if args.probe and os.path.exists(args.probe):
                    print("bench: %s: cost of each call (probe)" % line_name, flush=True)
                    probe = bench.probe(rig, args.probe_calls)
        for path in (os.path.join(bench.work, "out.bin"),):
            if os.path.exists(path):
                os.remove(path)
        if baud:
            pacing.append((line_name, read_linesim_stats(stats_path)))

    text = ["XMODEM transfers, %s build of serialhost/serialport.dll under Wine (load average "
            "%.2f at the start, %.2f at the end, on %d cores); ceilings per mode: stop-and-wait, "
            "data over packet + answer" % (kind, load_start, os.getloadavg()[0], os.cpu_count()),
            ""]
    for table in tables:
        text += [table, ""]
    text.append(format_round_trips(extras))
    text.append("")
    if pacing:
        text.append(format_pacing(pacing))
        text.append("")
    text.append(format_targets(summary, args.size))
    text.append("")
    if memory:
        text.append("Peak memory (VmHWM) of the serialhost process, mode 0 plug-in -> plug-in on the "
                    "pty line:")
    for size in sorted(memory):
        got = memory[size]
        if not got:
            text.append("  %10d bytes: no successful run" % size)
            continue
        snd = max(r.get("sender_rss_kib") or 0 for r in got)
        rcv = max(r.get("receiver_rss_kib") or 0 for r in got)
        text.append("  %10d bytes: sender %6.1f MiB, receiver %6.1f MiB" % (size, snd / 1024, rcv / 1024))
    if turnaround:
        text.append("")
        text.append(format_turnaround(turnaround[0], turnaround[1], args.turnaround_blocks))
    if probe:
        text.append("")
        text.append(format_probe(probe, args.probe_calls))
    text.append("")
    text.append("(%.0f s in all; CSV: %s)" % (time.monotonic() - started,
                                              os.path.join(bench.out_dir, "bench.csv")))
    report = "\n".join(text)
    print()
    print(report)
    write_csv(os.path.join(bench.out_dir, "bench.csv"), CSV_FIELDS, summary)
    write_csv(os.path.join(bench.out_dir, "runs.csv"), RUN_FIELDS, runs_out)
    with open(os.path.join(bench.out_dir, "bench.txt"), "w") as f:
        f.write(report + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
