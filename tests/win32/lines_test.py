#!/usr/bin/python3
"""The rig's modem lines without Wine: the preload library in a child that
drives end A as Wine would, the helper on end B, linesim's RTS/CTS hold and
the board peers.  Needs $RIGLINES_LIB (the 64-bit riglines.so) and $LINESIM
(the native ctest sets both).

    RIGLINES_LIB=build/native/lib/x86_64-linux-gnu/riglines.so \\
    LINESIM=build/native/bin/linesim /usr/bin/python3 tests/win32/lines_test.py
"""

import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools", "riglines"))
import riglines  # noqa: E402
from riglines import CTS_IN, DSR_IN, DCD_IN  # noqa: E402
from rig import read_exact, read_until, set_raw  # noqa: E402

TIOCM_DTR, TIOCM_RTS, TIOCM_CTS, TIOCM_CD, TIOCM_RI, TIOCM_DSR = 0x2, 0x4, 0x20, 0x40, 0x80, 0x100

# Drives one end through ioctl as Wine does: one command a line on stdin
# ("open", "bis N", "bic N", "set N", "get", "sbrk", "cbrk", "icount",
# "flow 0|1", "close"), one answer a line on stdout.
DRIVER = r"""
import fcntl, os, struct, sys, termios
fds = []
for line in sys.stdin:
    cmd, *arg = line.split()
    try:
        if cmd == "open":
            fds.append(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)); out = len(fds)
        elif cmd == "close":
            os.close(fds.pop()); out = len(fds)
        elif cmd in ("bis", "bic", "set"):
            req = {"bis": 0x5416, "bic": 0x5417, "set": 0x5418}[cmd]
            fcntl.ioctl(fds[-1], req, struct.pack("i", int(arg[0])))
            out = 0
        elif cmd == "get":
            out = struct.unpack("i", fcntl.ioctl(fds[-1], 0x5415, b"\0" * 4))[0]
        elif cmd in ("sbrk", "cbrk"):
            out = fcntl.ioctl(fds[-1], 0x5427 if cmd == "sbrk" else 0x5428)
        elif cmd == "icount":
            out = " ".join(map(str, struct.unpack("20i", fcntl.ioctl(fds[-1], 0x545D, b"\0" * 80))[:10]))
        elif cmd == "flow":
            attrs = termios.tcgetattr(fds[-1])
            attrs[2] = attrs[2] | termios.CRTSCTS if arg[0] == "1" else attrs[2] & ~termios.CRTSCTS
            termios.tcsetattr(fds[-1], termios.TCSANOW, attrs); out = 0
    except OSError as e:
        out = "errno %d" % e.errno
    print(out, flush=True)
"""


def library():
    lib = os.environ.get("RIGLINES_LIB")
    if not lib or not os.path.exists(lib):
        raise unittest.SkipTest("RIGLINES_LIB does not name the built riglines.so")
    return lib


class Line:
    """A line (socat or linesim) between two pty links, with a line state;
    ended by its PID on every path."""

    def __init__(self, tmp, linesim_args=None):
        self.links = [os.path.join(tmp, "ttyA"), os.path.join(tmp, "ttyB")]
        self.state = os.path.join(tmp, "lines")
        riglines.create(self.state)
        if linesim_args is None:
            argv = ["socat"] + ["pty,rawer,link=" + link for link in self.links]
        else:
            argv = [os.environ["LINESIM"], "--link-a", self.links[0], "--link-b", self.links[1],
                    "--lines", self.state] + linesim_args
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not all(os.path.islink(link) for link in self.links):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.close()
                raise RuntimeError("the line made no links")
            time.sleep(0.01)
        self.ttys = [os.path.realpath(link) for link in self.links]
        riglines.create(self.state, self.ttys[0], self.ttys[1], self.proc.pid)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def _out_of_time(signum, frame):
    raise TimeoutError("the test ran over its time limit")


class LineCase(unittest.TestCase):
    linesim_args = None

    def setUp(self):
        # An exception, so that the cleanups end every child by its PID.
        signal.signal(signal.SIGALRM, _out_of_time)
        signal.alarm(60)
        self.addCleanup(signal.alarm, 0)
        self.lib = library()
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        self.line = Line(self.tmp, self.linesim_args)
        self.addCleanup(self.line.close)
        self.b = riglines.Lines(self.line.state, "b")
        self.addCleanup(self.b.close)

    def driver(self, tty=None):
        env = dict(os.environ, LD_PRELOAD=self.lib, RIGLINES_STATE=self.line.state)
        proc = subprocess.Popen([sys.executable, "-c", DRIVER, tty or self.line.ttys[0]],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        self.addCleanup(lambda: (proc.kill(), proc.wait(), proc.stdin.close(), proc.stdout.close()))
        return proc

    @staticmethod
    def ask(proc, command):
        proc.stdin.write(command + "\n")
        proc.stdin.flush()
        return proc.stdout.readline().strip()

    def open_end(self, which):
        fd = os.open(self.line.ttys["ab".index(which)], os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        set_raw(fd)
        return fd


class Wiring(LineCase):
    def test_null_modem_wiring_both_ways(self):
        a = self.driver()
        self.ask(a, "open")
        # (what end A's program does, B's inputs after it)
        for command, inputs in (("bis %d" % TIOCM_DTR, DSR_IN | DCD_IN),
                                ("bis %d" % TIOCM_RTS, DSR_IN | DCD_IN | CTS_IN),
                                ("bic %d" % TIOCM_DTR, CTS_IN),
                                ("set %d" % TIOCM_DTR, DSR_IN | DCD_IN),
                                ("set 0", 0),
                                ("flow 1", CTS_IN),    # handshaking: the UART raises RTS
                                ("flow 0", 0)):
            self.assertEqual(self.ask(a, command), "0")
            self.assertEqual(self.b.inputs(), inputs, command)
        # (what B's peer does, A's TIOCMGET after it)
        for levels, bits in ((dict(dtr=True, rts=True), TIOCM_DSR | TIOCM_CD | TIOCM_CTS),
                             (dict(rts=False), TIOCM_DSR | TIOCM_CD),
                             (dict(ring=True), TIOCM_DSR | TIOCM_CD | TIOCM_RI),
                             (dict(dtr=False, ring=False), 0)):
            self.b.set(**levels)
            self.assertEqual(int(self.ask(a, "get")), bits, levels)
        # cts dsr rng dcd ... brk, as A's UART counted them.
        counts = list(map(int, self.ask(a, "icount").split()))
        self.assertEqual(counts[:4], [2, 2, 1, 2])

    def test_a_break_is_counted_once(self):
        a = self.driver()
        self.ask(a, "open")
        for command in ("sbrk", "sbrk", "cbrk", "cbrk"):
            self.assertEqual(self.ask(a, command), "0")
        self.assertEqual(self.b.breaks(), 1)
        self.b.send_break(0.01)
        self.assertEqual(int(self.ask(a, "icount").split()[9]), 1)

    def test_lines_drop_with_their_owner(self):
        # The last close drops them; a dead owner does; so does the line's end.
        a = self.driver()
        for command in ("open", "open", "bis %d" % TIOCM_DTR, "close"):
            self.ask(a, command)
        self.assertEqual(self.b.inputs(), DSR_IN | DCD_IN, "one descriptor is still open")
        self.ask(a, "close")
        self.assertEqual(self.b.inputs(), 0)
        self.ask(a, "open")
        self.ask(a, "bis %d" % TIOCM_DTR)
        a.kill()
        a.wait()
        self.assertEqual(self.b.inputs(), 0)
        self.assertEqual(self.b.counts()["dsr"], 4)
        a = self.driver()
        self.ask(a, "open")
        self.b.set(rts=True)
        self.assertEqual(int(self.ask(a, "get")), TIOCM_CTS)
        self.line.close()
        self.assertEqual(int(self.ask(a, "get")), 0)

    def test_other_terminals_pass_through(self):
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        other = self.driver(os.ttyname(slave))
        self.ask(other, "open")
        self.assertEqual(self.ask(other, "get"), "errno 25")   # ENOTTY, as without the library
        self.assertEqual(self.ask(other, "bis 2"), "errno 25")


class LinesimHold(LineCase):
    linesim_args = ["--baud", "9600"]

    def test_bytes_wait_for_rts_and_none_is_lost(self):
        a_lines = riglines.Lines(self.line.state, "a")
        self.addCleanup(a_lines.close)
        a, b = self.open_end("a"), self.open_end("b")
        a_lines.set(flow=True)
        self.b.set(rts=True)
        data = bytes(range(256)) * 2          # about 0.53 s of wire at 9600 baud
        os.write(a, data)
        got = bytearray(os.read(b, 4096))
        self.b.set(rts=False)
        # A byte already on the wire may still come in.
        time.sleep(0.05)
        got += read_for(b, 0.3)
        held = len(got)
        self.assertLess(held, len(data) - 100)
        self.assertEqual(read_for(b, 0.3), b"", "bytes went through while RTS was low")
        self.b.set(rts=True)
        started = time.monotonic()
        got += read_exact(b, len(data) - held, 5.0)
        self.assertEqual(bytes(got), data)
        # Paced from the restart, not let out at once: never early, whatever the load.
        self.assertGreaterEqual(time.monotonic() - started, (len(data) - held - 1) * 10 / 9600)


def read_for(fd, seconds):
    """Everything that arrives within SECONDS."""
    data = bytearray()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
            data += os.read(fd, 4096)
    return bytes(data)


class Boards(LineCase):
    """The boards on end B; this test plays the plug-in on end A."""

    def start_board(self, kind, out):
        proc = subprocess.Popen([sys.executable, os.path.join(HERE, "boards.py"), kind, out, "--once",
                                 "--tty", self.line.ttys[1], "--state", self.line.state],
                                stdin=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(lambda: (proc.poll() is None and (proc.kill(), proc.wait()), proc.stderr.close()))
        # It has looked at its pins once it says so.
        self.assertEqual(proc.stderr.readline(), b"board: ready\n")
        return proc

    def test_esp32_samples_io0_when_en_rises(self):
        a = self.open_end("a")
        a_lines = riglines.Lines(self.line.state, "a")
        self.addCleanup(a_lines.close)
        # Two stores in the release, as Wine's two ioctls: both lines are
        # raised for a moment, which must not release EN early.
        for download, release, banner in (
                (True, [dict(dtr=True), dict(rts=False)], b"waiting for download\r\n"),
                (False, [dict(rts=False)], b"app: hello\r\n")):
            out = os.path.join(self.tmp, "fw%d.bin" % download)
            board = self.start_board("esp32", out)
            a_lines.set(dtr=False, rts=True)
            time.sleep(0.1)
            for levels in release:
                a_lines.set(**levels)
            time.sleep(0.05)
            a_lines.set(dtr=False)
            # Only the sequence brings up the boot loader; the upload through
            # the plug-in is test_boards.py's.
            self.assertTrue(read_until(a, b"\r\n", 5).startswith(banner))
            board.kill()
            board.wait()


if __name__ == "__main__":
    unittest.main(verbosity=2)
