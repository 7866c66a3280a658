#!/usr/bin/python3
"""The rig's modem lines for Linux-side peers (docs/rig.md, "Lines").

A peer on one end of the rig reads that end's inputs and drives its outputs
through the state file that the preload library (riglines.c) answers Wine's
requests from.  The wiring is a null-modem cable: this end's DTR shows at the
far end as DSR and DCD, RTS as CTS; RI at the far end is raised on request.

    lines = Lines(state_path, "b")       # or Lines.from_env("b"): $RIGLINES_STATE
    lines.inputs()                       # 1 CTS + 2 DSR + 4 RI + 8 DCD
    lines.dsr, lines.cts                 # booleans
    lines.set(dtr=True, rts=False)       # one store; this process owns end B's outputs
    lines.breaks()                       # breaks the far end has sent
    lines.wait_break(since=n, timeout=5)
    lines.ring(True)                     # RI at the far end

The outputs drop when their owner (the process that set them last) ends.

Command line (the outputs last as long as the command runs):

    riglines.py [--state PATH] [--end a|b] show
    riglines.py ... set [dtr=0|1] [rts=0|1] [flow=0|1] [--for SECONDS]
    riglines.py ... ring [--for SECONDS]
    riglines.py ... break [--for SECONDS]
    riglines.py ... breaks
    riglines.py ... wait-break [--since N] [--timeout SECONDS]
    riglines.py init PATH [TTY_A TTY_B [LINE_PID]]
"""

import argparse
import contextlib
import fcntl
import mmap
import os
import signal
import struct
import sys
import threading
import time

# Mirrors tools/riglines/line_state.h.
MAGIC = 0x4E4C4752
VERSION = 1
SIZE, GENERATION, LINE_PID, LINE_START = 2, 3, 4, 5
END_A, END_WORDS = 8, 16
WORDS = END_A + 2 * END_WORDS
MAJOR, MINOR, OUTPUTS, OWNER_PID, OWNER_START = 0, 1, 2, 3, 4
DTR_CHANGES, RTS_CHANGES, RING_FALLS, BREAKS = 5, 6, 7, 8
DTR, RTS, RING, BREAK, RTSCTS = 0x002, 0x004, 0x080, 0x10000, 0x20000

# inputs() as a sum.
CTS_IN, DSR_IN, RI_IN, DCD_IN = 1, 2, 4, 8

POLL = 0.001


def process_start(pid):
    """Start time of a live process, as the state records it; 0 when the
    process is gone or a zombie."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
    except (OSError, IndexError):
        return 0
    if fields[0] in (b"Z", b"X"):
        return 0
    return (int(fields[19]) & 0xFFFFFFFF) or 1


def _alive(pid, start):
    return pid != 0 and process_start(pid) == start


def _shown(outputs):
    # With RTS/CTS handshaking the UART drives RTS, raised while it has room.
    return outputs | RTS if outputs & RTSCTS else outputs


class State:
    """The mapped state file; writers hold its flock (and, within this
    process, a thread lock: flock does not exclude threads)."""

    def __init__(self, path):
        self.path = path
        self.fd = os.open(path, os.O_RDWR | os.O_CLOEXEC)
        try:
            self.map = mmap.mmap(self.fd, WORDS * 4)
        except BaseException:
            os.close(self.fd)
            raise
        if self.word(0) != MAGIC or self.word(1) != VERSION:
            self.close()
            raise ValueError("%s is not a rig line state (version %d)" % (path, VERSION))
        self._thread_lock = threading.Lock()

    def close(self):
        if self.map is not None:
            self.map.close()
            self.map = None
            os.close(self.fd)

    def word(self, index):
        return struct.unpack_from("=I", self.map, index * 4)[0]

    def put(self, index, value):
        struct.pack_into("=I", self.map, index * 4, value & 0xFFFFFFFF)

    @contextlib.contextmanager
    def locked(self):
        with self._thread_lock:
            fcntl.flock(self.fd, fcntl.LOCK_EX)
            try:
                yield
            finally:
                fcntl.flock(self.fd, fcntl.LOCK_UN)

    def line_up(self):
        pid = self.word(LINE_PID)
        return pid == 0 or _alive(pid, self.word(LINE_START))

    def view(self, end):
        """(outputs, dtr changes, rts changes, ring falls, breaks) of END as the
        far end sees them: a dead owner or line drops the outputs, and the
        drop counts as edges before a writer has stored it.  Under the lock,
        so that no writer is half-way."""
        base = END_A + end * END_WORDS
        outputs, owner, start, dtr_n, rts_n, ring_n, breaks = (
            self.word(base + i) for i in (OUTPUTS, OWNER_PID, OWNER_START, DTR_CHANGES,
                                          RTS_CHANGES, RING_FALLS, BREAKS))
        outputs = _shown(outputs)
        if not (self.line_up() and _alive(owner, start)):
            dtr_n += bool(outputs & DTR)
            rts_n += bool(outputs & RTS)
            ring_n += bool(outputs & RING)
            outputs = 0
        return outputs, dtr_n, rts_n, ring_n, breaks

    def store_outputs(self, end, outputs):
        base = END_A + end * END_WORDS
        old = self.word(base + OUTPUTS)
        changed = _shown(old) ^ _shown(outputs)
        for bit, counter in ((DTR, DTR_CHANGES), (RTS, RTS_CHANGES)):
            if changed & bit:
                self.put(base + counter, self.word(base + counter) + 1)
        if old & RING and not outputs & RING:
            self.put(base + RING_FALLS, self.word(base + RING_FALLS) + 1)
        if outputs & BREAK and not old & BREAK:
            self.put(base + BREAKS, self.word(base + BREAKS) + 1)
        self.put(base + OUTPUTS, outputs)

    def current_outputs(self, end):
        """Under the lock: END's outputs, after storing a dead owner's drop."""
        base = END_A + end * END_WORDS
        owner = self.word(base + OWNER_PID)
        if owner and not _alive(owner, self.word(base + OWNER_START)):
            self.store_outputs(end, 0)
            self.put(base + OWNER_PID, 0)
        return self.word(base + OUTPUTS)


def create(path, tty_a=None, tty_b=None, line_pid=0):
    """Make PATH a fresh state for the ends TTY_A and TTY_B (pty paths) and the
    line LINE_PID, with every line low.  An existing state is rewritten in
    place, so that programs that mapped it see the new line."""
    words = [0] * WORDS
    words[0], words[1], words[SIZE] = MAGIC, VERSION, WORDS * 4
    if line_pid:
        words[LINE_PID], words[LINE_START] = line_pid, process_start(line_pid)
    for end, tty in enumerate((tty_a, tty_b)):
        if tty:
            rdev = os.stat(tty).st_rdev
            words[END_A + end * END_WORDS + MAJOR] = os.major(rdev)
            words[END_A + end * END_WORDS + MINOR] = os.minor(rdev)
    data = struct.pack("=%dI" % WORDS, *words)
    try:
        state = State(path)
    except (OSError, ValueError):
        state = None
    if state is None:
        tmp = "%s.%d.tmp" % (path, os.getpid())
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
        return
    try:
        with state.locked():
            generation = state.word(GENERATION) + 1
            state.map[4 * END_A:] = data[4 * END_A:]
            state.map[:4 * END_A] = data[:4 * END_A]
            state.put(GENERATION, generation)
    finally:
        state.close()


class Lines:
    """One end ("a" or "b") of the rig, as a peer on that end sees it."""

    def __init__(self, state_path, end):
        self.end = {"a": 0, "b": 1}[end.lower()]
        self.state = State(state_path)

    @classmethod
    def from_env(cls, end):
        path = os.environ.get("RIGLINES_STATE")
        if not path:
            raise RuntimeError("RIGLINES_STATE is not set (the rig's folder holds the file 'lines')")
        return cls(path, end)

    def close(self):
        self.state.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # -- this end's inputs ---------------------------------------------------
    def _far(self):
        with self.state.locked():
            return self.state.view(1 - self.end)

    def inputs(self):
        """1 CTS + 2 DSR + 4 RI + 8 DCD."""
        far = self._far()[0]
        return ((CTS_IN if far & RTS else 0) | (DSR_IN | DCD_IN if far & DTR else 0)
                | (RI_IN if far & RING else 0))

    cts = property(lambda self: bool(self.inputs() & CTS_IN))
    dsr = property(lambda self: bool(self.inputs() & DSR_IN))
    ri = property(lambda self: bool(self.inputs() & RI_IN))
    dcd = property(lambda self: bool(self.inputs() & DCD_IN))

    def counts(self):
        """The edges this end's UART counted (TIOCGICOUNT's cts, dsr, dcd, rng, brk)."""
        _, dtr_n, rts_n, ring_n, breaks = self._far()
        return dict(cts=rts_n, dsr=dtr_n, dcd=dtr_n, rng=ring_n, brk=breaks)

    def breaks(self):
        """Breaks the far end has sent since the line came up."""
        return self._far()[4]

    def far_flow(self):
        """Whether the far end asked for RTS/CTS handshaking."""
        return bool(self._far()[0] & RTSCTS)

    def wait_inputs(self, test, timeout):
        """Poll until TEST(inputs()) holds; returns the last inputs, or None
        after TIMEOUT s."""
        deadline = time.monotonic() + timeout
        while True:
            now = self.inputs()
            if test(now):
                return now
            if time.monotonic() > deadline:
                return None
            time.sleep(POLL)

    def wait_break(self, since, timeout):
        """Wait until more than SINCE breaks have arrived; the count, or None."""
        deadline = time.monotonic() + timeout
        while True:
            count = self.breaks()
            if count > since:
                return count
            if time.monotonic() > deadline:
                return None
            time.sleep(POLL)

    # -- this end's outputs --------------------------------------------------
    def outputs(self):
        """(dtr, rts) of this end, as the far end sees them."""
        with self.state.locked():
            mine = self.state.view(self.end)[0]
        return bool(mine & DTR), bool(mine & RTS)

    def _change(self, keep, set_bits):
        base = END_A + self.end * END_WORDS
        with self.state.locked():
            old = self.state.current_outputs(self.end)
            self.state.store_outputs(self.end, (old & keep) | set_bits)
            self.state.put(base + OWNER_START, process_start(os.getpid()))
            self.state.put(base + OWNER_PID, os.getpid())

    @staticmethod
    def _bits(**levels):
        keep, set_bits = ~0, 0
        for name, bit in (("dtr", DTR), ("rts", RTS), ("ring", RING), ("brk", BREAK),
                          ("flow", RTSCTS)):
            level = levels.get(name)
            if level is not None:
                keep &= ~bit
                set_bits |= bit if level else 0
        return keep, set_bits

    def set(self, dtr=None, rts=None, flow=None, ring=None):
        """Raise (True) or lower (False) DTR, RTS, RI at the far end, and
        RTS/CTS handshaking for linesim; None leaves one as it is.  One store
        for all."""
        self._change(*self._bits(dtr=dtr, rts=rts, flow=flow, ring=ring))

    def ring(self, on):
        """Raise or lower RI at the far end."""
        self._change(*self._bits(ring=on))

    def send_break(self, seconds=0.25):
        self._change(*self._bits(brk=True))
        time.sleep(seconds)
        self._change(*self._bits(brk=False))

    def release(self):
        """Drop this end's outputs and give up owning them."""
        base = END_A + self.end * END_WORDS
        with self.state.locked():
            if self.state.word(base + OWNER_PID) == os.getpid():
                self.state.store_outputs(self.end, 0)
                self.state.put(base + OWNER_PID, 0)


def describe(lines):
    inputs = lines.inputs()
    names = ("CTS", CTS_IN), ("DSR", DSR_IN), ("RI", RI_IN), ("DCD", DCD_IN)
    dtr, rts = lines.outputs()
    return "%s inputs=%d DTR=%d RTS=%d breaks=%d" % (
        " ".join("%s=%d" % (name, bool(inputs & bit)) for name, bit in names),
        inputs, dtr, rts, lines.breaks())


def _hold(seconds):
    """Keep this process (the owner) alive for SECONDS, or until a signal."""
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda *_: stop.set())
    stop.wait(seconds)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--state", default=os.environ.get("RIGLINES_STATE"),
                        help="the state file (default $RIGLINES_STATE)")
    parser.add_argument("--end", default="b", choices=("a", "b"))
    parser.add_argument("--for", dest="seconds", type=float, default=None,
                        help="how long set, ring and break hold (default: until a signal)")
    parser.add_argument("--since", type=int, default=None)
    parser.add_argument("--timeout", type=float, default=10.0)
    parser.add_argument("command", choices=("show", "set", "ring", "break", "breaks",
                                            "wait-break", "init"))
    parser.add_argument("args", nargs="*")
    opts = parser.parse_args(argv)
    if opts.command == "init":
        if len(opts.args) not in (1, 3, 4):
            parser.error("init PATH [TTY_A TTY_B [LINE_PID]]")
        create(opts.args[0], *opts.args[1:3], int(opts.args[3]) if len(opts.args) == 4 else 0)
        return 0
    if not opts.state:
        parser.error("no --state and no $RIGLINES_STATE")
    with Lines(opts.state, opts.end) as lines:
        if opts.command == "show":
            print(describe(lines))
        elif opts.command == "breaks":
            print(lines.breaks())
        elif opts.command == "wait-break":
            since = lines.breaks() if opts.since is None else opts.since
            count = lines.wait_break(since, opts.timeout)
            print(count if count is not None else "no break")
            return 0 if count is not None else 1
        else:
            if opts.command == "set":
                levels = dict(arg.split("=", 1) for arg in opts.args)
                if not levels or set(levels) - {"dtr", "rts", "flow"}:
                    parser.error("set takes dtr=0|1, rts=0|1, flow=0|1")
                lines.set(**{k: v == "1" for k, v in levels.items()})
            elif opts.command == "ring":
                lines.ring(True)
            else:
                lines._change(*lines._bits(brk=True))
            print(describe(lines), flush=True)
            _hold(opts.seconds)
            if opts.command in ("ring", "break"):
                lines._change(*lines._bits(ring=False if opts.command == "ring" else None,
                                           brk=False if opts.command == "break" else None))
    return 0


if __name__ == "__main__":
    sys.exit(main())
