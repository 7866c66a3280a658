"""The peers on the rig's line: the lrzsz programs, serialhost with the
plug-in, and a small answerer; how each is started, watched and ended, and
what each says about its transfer.

The rig's helpers (tests/win32/rig.py) come through here as `rigmod`."""

import os
import re
import select
import signal
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "win32"))

import rig as rigmod  # noqa: E402
from rig import drain  # noqa: E402

CAN = b"\x18"
CLK_TCK = os.sysconf("SC_CLK_TCK")

# A failure that moved no byte has no rate.
SUMMARY = re.compile(r"^(sent|received|send failed|receive failed) .*: (\d+) bytes in ([0-9.]+) s"
                     r"(?: \(\d+ bytes/s\))?, cpu ([0-9.]+) s", re.M)


def winpath(path):
    return rigmod.winpath(os.path.abspath(path))


# ---------------------------------------------------------------- what the peers say

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


def read_file(path):
    """PATH's bytes, or b"" when it cannot be read."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


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


def finish(*reaped, timeout):
    """Waits for all; on time-out ends those still running.  True when all
    ended by themselves."""
    deadline = time.monotonic() + timeout
    ok = True
    for r in reaped:
        if not r.wait(max(0.0, deadline - time.monotonic())):
            ok = False
    if not ok:
        for r in reaped:
            r.end_it()
    return ok


# ---------------------------------------------------------------- the peers

class Peers:
    """Starts the peers on a rig, each with its stdout and stderr in a file
    of its own under WORK named after its tag; lrzsz runs in WORK, rb in
    RB_DIR.  DLL: the plug-in for serialhost to load (None: its own)."""

    def __init__(self, work, rb_dir, dll=None):
        self.work = work
        self.rb_dir = rb_dir
        self.dll = dll

    def clean_line(self, rig):
        """Drop what a previous run left on either end (a lost final ACK,
        sx's CANs when it was ended)."""
        for end in ("a", "b"):
            fd = rig.open_linux_end(end)
            drain(fd, 0.1)
            rig.close_fd(fd)

    def log(self, tag, ext):
        return os.path.join(self.work, tag + ext)

    # -- the plug-in, through serialhost -------------------------------------
    def start_host(self, rig, args, tag):
        """serialhost ARGS; returns (Popen, Reaped, base of its log files)."""
        base = os.path.join(self.work, tag)
        out, err = open(base + ".out", "wb"), open(base + ".err", "wb")
        if self.dll:
            args = ["--dll", winpath(self.dll)] + list(args)
        proc = rig.start_host(args, stdout=out, stderr=err)
        out.close()
        err.close()
        return proc, Reaped(proc, sample_memory=True), base

    def host_ready(self, reaped, tty):
        """Waits until serialhost holds the port open (it then sits in the
        transfer at once); returns its CPU seconds at that moment."""
        ok = wait_until(lambda: has_open(reaped.proc.pid, tty) or not reaped.running(), 60)
        cpu = proc_cpu(reaped.proc.pid)
        return cpu if ok and reaped.running() else None

    def host_result(self, base, cpu_at_open):
        """(summary, transfer CPU, trace bytes) of a finished serialhost."""
        err = read_file(base + ".err").decode(errors="replace")
        trace = read_file(base + ".out")
        summary = parse_summary(err)
        cpu = None
        if summary and cpu_at_open is not None:
            cpu = max(0.0, summary[3] - cpu_at_open)
        return summary, cpu, trace

    def start_plugin_sender(self, rig, mode, src, tag):
        """serialhost sending SRC on COM_A in MODE, holding the port."""
        proc, reaped, base = self.start_host(
            rig, ["send", rig.com_a, winpath(src)] + mode.host_args(), tag)
        return proc, reaped, base, self.host_ready(reaped, rig.tty_a)

    def start_plugin_receiver(self, rig, mode, out, tag, com=None, tty=None):
        """serialhost receiving into OUT in MODE (on COM_A, or COM), holding
        the port."""
        proc, reaped, base = self.start_host(
            rig, ["recv", com or rig.com_a, winpath(out)] + mode.host_args(), tag)
        return proc, reaped, base, self.host_ready(reaped, tty or rig.tty_a)

    # -- lrzsz -----------------------------------------------------------------
    def start_peer(self, rig, argv, end, tag, cwd=None):
        """A Linux program on END of the line, its stderr in TAG.err."""
        err = open(self.log(tag, ".err"), "wb")
        proc = rig.start_peer(argv, end, cwd=cwd or self.work, stderr=err)
        err.close()
        return proc, Reaped(proc)

    def start_lrzsz_sender(self, rig, mode, src, end, tag):
        """MODE's lrzsz sender of SRC on END, once it is ready for the
        receiver's first request."""
        proc, reaped = self.start_peer(rig, mode.sender + [os.path.basename(src)], end, tag)
        # sx flushes its input as it starts: the receiver's NAK must come after.
        wait_until(lambda: blocked_reading_stdin(proc.pid) or not reaped.running(), 10)
        return reaped

    def start_lrzsz_receiver(self, rig, mode, end, tag):
        """MODE's lrzsz receiver on END: rx writes out.bin in WORK, rb the
        sender's file name in RB_DIR."""
        _, reaped = self.start_peer(rig, mode.receiver, end, tag,
                                    cwd=self.rb_dir if mode.exact_size else None)
        return reaped

    def end_lrzsz_sender(self, rig, sender, receiver_end, grace=3):
        """rx and rb flush their output as they exit, so their last ACK can
        be lost and the sender would go on resending its EOT (or YMODEM's
        closing block): give it that ACK from the receiver's end.  Ending it
        instead makes sx write CANs, which under load can reach the next run."""
        if sender.wait(0.5):
            return
        fd = rig.open_linux_end(receiver_end)
        try:
            os.write(fd, b"\x06")
            if not sender.wait(grace):
                sender.end_it()
        finally:
            rig.close_fd(fd)

    # -- an instant answerer ----------------------------------------------------
    def start_answerer(self, rig, end):
        """A small Linux process on END that answers every 132 bytes with one
        byte at once, once it is reading."""
        answerer = rig.start_peer([sys.executable, "-c", ECHO_PEER, "132", "\x06"], end)
        wait_until(lambda: blocked_reading_stdin(answerer.pid) or answerer.poll() is not None, 10)
        return answerer

    # -- which modes the plug-in serves -----------------------------------------
    def mode_support(self, rig, mode, send_file):
        """{"send": reason or None, "recv": reason or None}: None where the
        plug-in (through serialhost) serves MODE, else why not.  Cheap: a
        mode the plug-in does not serve fails at once, and one it serves
        shows it in its first byte (a receiver's request, a sender's first
        packet after a C).  SEND_FILE: a small file to send."""
        return {"recv": self._probe_side(rig, mode, "recv", os.path.join(self.work, "support.bin")),
                "send": self._probe_side(rig, mode, "send", send_file)}

    def _probe_side(self, rig, mode, verb, path):
        self.clean_line(rig)
        tag = "support-m%d-%s" % (mode.number, verb)
        fd = rig.open_linux_end("b")
        reaped = None
        try:
            proc, reaped, base = self.start_host(
                rig, [verb, rig.com_a, winpath(path)] + mode.host_args(), tag)
            self.host_ready(reaped, rig.tty_a)
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
                    # A ZMODEM sender starts with rz CR, unasked.
                    if verb == "recv" or answer[:1] in (b"\x01", b"\x02") or b"rz\r" in answer:
                        break
            if reaped.running():
                # Five CANs end a ZMODEM transfer, two an XMODEM one.
                os.write(fd, CAN * 8)
                if not reaped.wait(2):
                    reaped.end_it()
                return None if answer else "no sign of a transfer within 20 s"
            err = read_file(base + ".err").decode(errors="replace")
            if proc.returncode == 2 and "--mode" in err:
                return "serialhost has no --mode"
            return "the plug-in does not serve it"
        finally:
            rig.close_fd(fd)
            if reaped:
                reaped.end_it()


# ---------------------------------------------------------------- command/response exchanges

# Answers every SIZE bytes it reads with ANSWER, at once: a board that
# acknowledges each command.  Stops when the line hangs up or it is ended.
ECHO_PEER = r"""
import os, sys
size, answer = int(sys.argv[1]), sys.argv[2].encode("latin-1")
have = 0
while True:
    chunk = os.read(0, 4096)
    if not chunk:
        break
    have += len(chunk)
    while have >= size:
        have -= size
        os.write(1, answer)
"""


def start_echo_peer(rig, end, size, answer):
    """The echo peer on END (set raw by the rig), once it is reading."""
    peer = rig.start_peer([sys.executable, "-c", ECHO_PEER, str(size), answer.decode("latin-1")], end)
    wait_until(lambda: blocked_reading_stdin(peer.pid) or peer.poll() is not None, 10)
    return peer
