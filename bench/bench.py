#!/usr/bin/python3
"""Transfer benchmarks: the plug-in against lrzsz and against itself, on the
rig's null-modem (socat pty pair) and on linesim at 115200 and 921600 baud.

    /usr/bin/python3 bench/bench.py BUILD_DIR --linesim PATH [--size BYTES]
        [--repeat N] [--lines pty,115200,921600] [--memory-size BYTES]

Prints one table and writes it as CSV under BUILD_DIR/bench/.  Figures only:
a slow run is never a failure.  A run whose received file differs from the
sent one, or that does not finish in time, is marked in its row and the
table goes on.  Exit status 1 only when the bench itself could not run.

How each figure is taken (see docs/bench.md):
  wall        the receiver's view: from its first NAK to the EOT.  For the
              plug-in, the ReceiveSerialFile call as serialhost times it; for
              rx, its lifetime less the 1 s it always waits after the EOT.
  CPU         Linux peers: rusage of the process (os.wait4).  serialhost: the
              process's CPU at the end of the transfer (its own summary, from
              GetProcessTimes) less its CPU when it had the port open (from
              /proc), so Wine's start-up is not counted.
  peak RSS    VmHWM of the serialhost process, sampled from /proc.
"""

import argparse
import csv
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
PACKET = 133          # 132-byte packet plus the one-byte answer
PAD = b"\x1a"
CLK_TCK = os.sysconf("SC_CLK_TCK")

# rx waits for a second of silence after the EOT before it answers it (an
# alarm(1) after reading the EOT, seen with strace); that second is not part
# of the transfer.
RX_EOT_WAIT = 1.0

# rx flushes its input right after each ACK, so a packet that arrives before
# that flush is lost, and the transfer stalls until a time-out.  rx's own
# (10 s by default) is set to 1 s, so that such a stall costs the reference
# and the plug-in -> rx rows alike a second, not ten.
RX = ["rx", "-q", "-b", "-t", "10", "out.bin"]
SX = ["sx", "-q", "-b"]

ROWS = [
    ("ref", "sx -> rx (reference)"),
    ("p2rx", "plug-in -> rx"),
    ("sx2p", "sx -> plug-in"),
    ("p2p", "plug-in -> plug-in"),
]
ROW_TITLES = dict(ROWS)

SUMMARY = re.compile(r"^(sent|received|send failed|receive failed) .*: (\d+) bytes in ([0-9.]+) s "
                     r"\(\d+ bytes/s\), cpu ([0-9.]+) s", re.M)


# ---------------------------------------------------------------- pure helpers

def ceiling(baud):
    """Bytes per second XMODEM can move at BAUD: 10 bits a byte on the wire,
    128 data bytes per 132-byte packet plus its one-byte answer."""
    return baud / 10.0 * BLOCK / PACKET


def padded(data):
    return data + PAD * (-len(data) % BLOCK)


def check_received(sent, got, receiver):
    """None when GOT is a correct copy of SENT, else what is wrong.  The
    plug-in keeps the whole last block (padding included); rx may cut the
    padding off."""
    if receiver == "plugin":
        want = padded(sent)
        if got == want:
            return None
    else:
        if (got[:len(sent)] == sent and len(got) <= len(padded(sent))
                and got[len(sent):] == PAD * (len(got) - len(sent))):
            return None
    for i, (a, b) in enumerate(zip(got, padded(sent))):
        if a != b:
            return "differs at byte %d" % i
    return "%d bytes, expected %d" % (len(got), len(padded(sent)))


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


def spread(values):
    """'min-max' of a list of numbers (one decimal place below 100)."""
    if not values:
        return "-"
    lo, hi = min(values), max(values)
    fmt = "%.2f" if hi < 10 else "%.1f" if hi < 100 else "%.0f"
    return (fmt % lo) if len(values) == 1 else (fmt + "-" + fmt) % (lo, hi)


def summarize(line, row, runs, size, baud, ref_best):
    """One table row from the runs of ROW on LINE.  Figures are those of the
    fastest run that delivered a correct file."""
    good = [r for r in runs if r["ok"]]
    out = {
        "line": line, "row": row, "transfer": ROW_TITLES[row], "runs": len(runs),
        "ok_runs": len(good), "size": size,
    }
    notes = sorted({r["note"] for r in runs if r.get("note")})
    out["notes"] = "; ".join(notes)
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
    if ref_best and row != "ref":
        out["vs_ref"] = out["throughput"] / (size / ref_best)
    elif row == "ref":
        out["vs_ref"] = 1.0
    if baud:
        out["efficiency"] = out["throughput"] / ceiling(baud)
    return out


def fmt_cpu(seconds, wall):
    if seconds is None:
        return "-"
    if not wall:
        return "%.2f" % seconds
    return "%.2f (%.0f%%)" % (seconds, 100.0 * seconds / wall)


def format_table(rows, title):
    """The summary rows as an aligned text table."""
    head = ["line", "transfer", "ok", "wall s best", "spread", "bytes/s", "vs ref", "eff.",
            "sender CPU s", "receiver CPU s", "wineserver CPU s", "resends"]
    body = []
    for r in rows:
        has = "wall_best" in r
        body.append([
            r["line"], r["transfer"], "%d/%d" % (r["ok_runs"], r["runs"]),
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
        lines.append("  ".join(str(c).ljust(w) if j < 2 else str(c).rjust(w)
                               for j, (c, w) in enumerate(zip(cells, widths))).rstrip())
        if i == 0:
            lines.append("  ".join("-" * w for w in widths))
    notes = [(r["line"], r["transfer"], r["notes"]) for r in rows if r.get("notes")]
    for line, transfer, note in notes:
        lines.append("  note: %s, %s: %s" % (line, transfer, note))
    return "\n".join(lines)


CSV_FIELDS = ["line", "row", "transfer", "size", "runs", "ok_runs", "wall_best", "wall_median",
              "wall_spread", "throughput", "vs_ref", "efficiency", "sender_cpu", "receiver_cpu",
              "wineserver_cpu", "resends", "timeouts", "notes"]

RUN_FIELDS = ["line", "row", "run", "size", "ok", "wall", "sender_cpu", "receiver_cpu",
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
        os.makedirs(self.work, exist_ok=True)
        self.data = {}

    def source(self, size):
        """Path of a random file of SIZE bytes (the same bytes every run)."""
        path = os.path.join(self.work, "src-%d.bin" % size)
        if size not in self.data:
            self.data[size] = random.Random(size).randbytes(size)
            with open(path, "wb") as f:
                f.write(self.data[size])
        return path

    def time_limit(self, size, baud):
        # A paced line is given 1.5 times its ceiling's time.  On the pty
        # pair a clean 1 MiB run takes 1-3 s and every packet that rx's input
        # flush throws away costs the sender a time-out (6 s for sx): a run
        # still going after a minute has stalled some ten times and is cut
        # off, which bounds the whole bench.
        if baud:
            return 120.0 + size / (ceiling(baud) * 0.66)
        return 20.0 + size / 25000.0

    # -- the pieces of one run -------------------------------------------------
    def _clean_line(self, rig):
        """Drop what a previous run left on either end (a lost final ACK,
        sx's CANs when it was ended)."""
        for end in ("a", "b"):
            fd = rig.open_linux_end(end)
            drain(fd, 0.05)
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

    def _start_peer(self, rig, argv, end, tag):
        err = open(os.path.join(self.work, tag + ".err"), "wb")
        proc = rig.start_peer(argv, end, cwd=self.work, stderr=err)
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

    # -- the four transfers ------------------------------------------------------
    def run_once(self, rig, row, size, baud, tag):
        src = self.source(size)
        data = self.data[size]
        out = os.path.join(self.work, "out.bin")
        if os.path.exists(out):
            os.remove(out)
        self._clean_line(rig)
        limit = self.time_limit(size, baud)
        ws_pid = int(rig.env.get("WINESERVER_PID") or 0)
        ws0 = proc_cpu(ws_pid) if ws_pid else None
        result = {"ok": False, "note": "", "resends": None, "timeouts": None}
        fn = getattr(self, "_run_" + row)
        fn(rig, src, out, limit, tag, result)
        ws1 = proc_cpu(ws_pid) if ws_pid else None
        if ws0 is not None and ws1 is not None:
            result["wineserver_cpu"] = ws1 - ws0
        if result.get("wall") is not None and not result["note"]:
            receiver = "rx" if row in ("ref", "p2rx") else "plugin"
            problem = check_received(data, self._read_out(out), receiver)
            if problem:
                result["note"] = "received file wrong (%s)" % problem
            else:
                result["ok"] = True
        elif not result["note"]:
            result["note"] = "no result"
        return result

    def _sx(self, rig, src, end, tag):
        proc, reaped = self._start_peer(rig, SX + [os.path.basename(src)], end, tag + "-sx")
        # sx flushes its input as it starts: the receiver's NAK must come after.
        wait_until(lambda: blocked_reading_stdin(proc.pid) or not reaped.running(), 10)
        return reaped

    def _rx(self, rig, end, tag):
        _, reaped = self._start_peer(rig, RX, end, tag + "-rx")
        return reaped

    def _rx_wall(self, rx, started):
        return rx.end - started - RX_EOT_WAIT

    def _run_ref(self, rig, src, out, limit, tag, result):
        sx = self._sx(rig, src, "a", tag)
        started = time.monotonic()
        rx = self._rx(rig, "b", tag)
        if not self._finish(rx, timeout=limit):
            sx.end_it()
            result["note"] = "timed out"
            return
        # rx flushes its output as it exits, so its last ACK can be lost and
        # sx would go on resending EOT: end it once rx is done.
        if not sx.wait(3):
            sx.end_it()
        if rx.proc.returncode != 0:
            result["note"] = "rx failed (status %s)" % rx.proc.returncode
            return
        result.update(wall=self._rx_wall(rx, started), sender_cpu=sx.cpu, receiver_cpu=rx.cpu)

    def _run_p2rx(self, rig, src, out, limit, tag, result):
        host, sender, base = self._start_host(rig, ["send", rig.com_a, winpath(src)], tag + "-send")
        cpu0 = self._host_ready(sender, rig.tty_a)
        started = time.monotonic()
        rx = self._rx(rig, "b", tag)
        finished = self._finish(rx, sender, timeout=limit)
        summary, cpu, trace = self._host_result(sender, base, cpu0)
        result["resends"], result["timeouts"] = count_resends(trace)
        if not finished:
            result["note"] = "timed out"
            return
        if not summary or not summary[0] or rx.proc.returncode != 0:
            result["note"] = "transfer failed (serialhost %s, rx %s)" % (host.returncode,
                                                                         rx.proc.returncode)
            return
        result.update(wall=self._rx_wall(rx, started), sender_cpu=cpu, receiver_cpu=rx.cpu,
                      sender_rss_kib=sender.maxrss_kib)

    def _run_sx2p(self, rig, src, out, limit, tag, result):
        sx = self._sx(rig, src, "b", tag)
        host, receiver, base = self._start_host(rig, ["recv", rig.com_a, winpath(out)], tag + "-recv")
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

    def _run_p2p(self, rig, src, out, limit, tag, result):
        _, sender, sbase = self._start_host(rig, ["send", rig.com_a, winpath(src)], tag + "-send")
        scpu0 = self._host_ready(sender, rig.tty_a)
        _, receiver, rbase = self._start_host(rig, ["recv", rig.com_b, winpath(out)], tag + "-recv")
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

    # -- the line's own round trip ----------------------------------------------
    def line_round_trip(self, rig, count=200):
        """Median time for a 132-byte packet to cross the line and a one-byte
        answer to come back, with an instant answerer (a small Linux process)
        on the far end: the least a block can cost on this line."""
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
        return statistics.median(times) if times else None


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
            proc, reaped = b._start_peer(rig, SX + [os.path.basename(src)], "a", tag)
            wait_until(lambda: blocked_reading_stdin(proc.pid) or not reaped.running(), 10)
            return reaped

        def rx(tag):
            _, reaped = b._start_peer(rig, RX, "a", tag)
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
            wall, cpu, server = costs[key]
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

LINES = {
    "pty": ("pty", 0),
    "115200": ("linesim 115200", 115200),
    "921600": ("linesim 921600", 921600),
}


def linesim_cmd(path, baud):
    return '%s --link-a "$RIG_LINK_A" --link-b "$RIG_LINK_B" --baud %d' % (path, baud)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("build", help="build folder with bin/serialhost.exe and bin/serialport.dll")
    p.add_argument("--linesim", required=True, help="path of the native linesim program")
    p.add_argument("--size", type=int, default=1024 * 1024, help="bytes per transfer (1 MiB)")
    p.add_argument("--repeat", type=int, default=None,
                   help="runs of each row on every line (default: 3 on the pty pair, "
                        "2 at 921600 and 1 at 115200 baud)")
    p.add_argument("--lines", default="pty,921600,115200",
                   help="comma list of pty, 921600, 115200 (default all)")
    p.add_argument("--rows", default=",".join(r for r, _ in ROWS),
                   help="comma list of ref, p2rx, sx2p, p2p (default all)")
    p.add_argument("--memory-size", type=int, default=16 * 1024 * 1024,
                   help="size of the large transfer for peak memory (0: skip)")
    p.add_argument("--turnaround-blocks", type=int, default=2000,
                   help="blocks per turnaround measurement (0: skip)")
    p.add_argument("--probe", default=None, help="bench/probe.cpp built for this build (run.sh "
                                                  "builds it); measures Wine's cost per call")
    p.add_argument("--probe-calls", type=int, default=4000, help="calls per probe measurement")
    p.add_argument("--prefix", default=None, help="Wine prefix (default BUILD/wineprefix)")
    p.add_argument("--rig-name", default="bench/rig", help="rig state folder under BUILD")
    p.add_argument("--out", default=None, help="folder for the CSV, the table and the work files "
                                                 "(default BUILD/bench)")
    p.add_argument("--dll", default=None, help="plug-in for serialhost to load (default: its own)")
    args = p.parse_args(argv)
    if args.probe:
        args.probe = os.path.abspath(args.probe)
    for name in args.lines.split(","):
        if name not in LINES:
            p.error("unknown line %r" % name)
    for name in args.rows.split(","):
        if name not in ROW_TITLES:
            p.error("unknown row %r" % name)
    return args


def repeats_for(args, baud):
    """Runs per row: 3 on the pty pair, where lrzsz stalls now and then; on
    the paced lines runs differ by a few per cent, and a 1 MiB run takes 30 s
    at 921600 and 115 s at 115200 baud, so 2 and 1 there."""
    if args.repeat is not None:
        return max(1, args.repeat)
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
    bench = Bench(args)
    prefix = os.path.abspath(args.prefix) if args.prefix else os.path.join(build, "wineprefix")
    rows = args.rows.split(",")
    order = [r for r, _ in ROWS if r in rows]
    summary, runs_out, extras = [], [], []
    memory = {}
    turnaround = None
    probe = None
    kind = build_kind(build)
    started = time.monotonic()
    load_start = os.getloadavg()[0]
    print("bench: %s build %s, %d bytes per transfer" % (kind, build, args.size), flush=True)

    for key in args.lines.split(","):
        line_name, baud = LINES[key]
        line_cmd = linesim_cmd(args.linesim, baud) if baud else None
        repeat = repeats_for(args, baud)
        print("bench: %s: rig up" % line_name, flush=True)
        with Rig(build, name=args.rig_name, prefix=prefix, line=line_cmd) as rig:
            rt = bench.line_round_trip(rig)
            extras.append((line_name, baud, rt))
            per_row = {r: [] for r in order}
            for n in range(repeat):
                for row in order:
                    tag = "%s-%s-%d" % (key, row, n + 1)
                    t = time.monotonic()
                    result = bench.run_once(rig, row, args.size, baud, tag)
                    result.update(line=line_name, row=row, run=n + 1, size=args.size)
                    per_row[row].append(result)
                    runs_out.append(result)
                    print("bench: %-15s %-22s run %d: %s (%.0f s)" % (
                        line_name, ROW_TITLES[row], n + 1,
                        "%.2f s" % result["wall"] if result["ok"] else "FAILED: " + result["note"],
                        time.monotonic() - t), flush=True)
            ref_runs = [r["wall"] for r in per_row.get("ref", []) if r["ok"]]
            ref_best = min(ref_runs) if ref_runs else None
            for row in order:
                summary.append(summarize(line_name, row, per_row[row], args.size, baud, ref_best))
            if not baud:
                if "p2p" in order:
                    memory[args.size] = [r for r in per_row["p2p"] if r["ok"]]
                if args.memory_size:
                    print("bench: %s: %d-byte transfer for peak memory" % (line_name, args.memory_size),
                          flush=True)
                    result = bench.run_once(rig, "p2p", args.memory_size, 0, "memory")
                    result.update(line=line_name, row="p2p", run="memory", size=args.memory_size)
                    runs_out.append(result)
                    memory[args.memory_size] = [result] if result["ok"] else []
                    if not result["ok"]:
                        print("bench: memory run failed: %s" % result["note"], flush=True)
                if args.turnaround_blocks:
                    print("bench: %s: turnaround" % line_name, flush=True)
                    turnaround = (Turnaround(bench, rig, args.turnaround_blocks).run(), rt)
                if args.probe and os.path.exists(args.probe):
                    print("bench: %s: cost of each call (probe)" % line_name, flush=True)
                    probe = bench.probe(rig, args.probe_calls)
        for path in (os.path.join(bench.work, "out.bin"),):
            if os.path.exists(path):
                os.remove(path)

    title = ("XMODEM transfers of %d bytes, %s build of serialhost/serialport.dll under Wine; "
             "figures of the fastest good run\n(load average %.2f at the start, %.2f at the end, "
             "on %d cores)" % (args.size, kind, load_start, os.getloadavg()[0], os.cpu_count()))
    table = format_table(summary, title)
    text = [table, ""]
    text.append("Line round trip (132 bytes out, 1 byte back, instant answerer; the least a block "
                "can cost):")
    for line_name, baud, rt in extras:
        if rt is None:
            text.append("  %-15s failed" % line_name)
            continue
        wire = PACKET * 10.0 / baud if baud else 0.0
        text.append("  %-15s %8.3f ms%s" % (
            line_name, rt * 1e3,
            "   (wire time %.3f ms; at most %.3f of the ceiling)" % (wire * 1e3, wire / rt)
            if baud else ""))
    text.append("")
    text.append("Peak memory (VmHWM) of the serialhost process, plug-in -> plug-in on the pty line:")
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
