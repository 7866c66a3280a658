#!/usr/bin/python3
"""Board peers for the rig's Linux end: boards whose reset circuit hangs on
the plug-in's modem lines, as on the real boards' USB adapters.

    python3 boards.py arduino OUT [--once]   # stdin and stdout on the end (rig.start_peer)
    python3 boards.py esp32 OUT [--once] [--tty PATH] [--end b] [--state PATH]

With the null-modem wiring the plug-in's DTR arrives as DSR (and DCD), its
RTS as CTS.

arduino  restarts when DTR falls (raised, then lowered): throws away what it
         had received and prints "arduino-like bootloader ready\\r\\n".
esp32    EN is held low exactly while RTS is raised and DTR lowered, IO0
         exactly while DTR is raised and RTS lowered.  When EN rises the board
         samples IO0: low prints "waiting for download\\r\\n", high boots the
         application, which prints "app: hello\\r\\n" and takes no input.

After the banner both boards take "baud N\\r\\n", answered "ok\\r\\n" at the
old rate, after which their end of the line is set to N (linesim keeps its
own rate), and an XMODEM upload (CRC, 128- or 1024-byte blocks; the board
asks with 'C' every second) into OUT.  --once exits with status 0 after the
first upload; otherwise the board runs its new program until the next reset.
Events go to stderr, one a line ("board: restart", "board: upload 3072 bytes").

Timing: the lines are polled every millisecond or so, also during an
upload; a level must last a few milliseconds to be seen (a machine under
load can stall the poller for longer: hold resets for 50 ms or more).  EN
rises once its release has lasted EN_RISE (5 ms, the RC on a real board's EN
pin), so that DTR and RTS changed by two ioctls in a row do not release it in
between; IO0 is sampled then and must stay low for 10 ms or more after the
release (flashing tools hold it for about 50 ms).
"""

import argparse
import os
import select
import sys
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools", "riglines"))
import riglines  # noqa: E402
from xmodem import XMODEM  # noqa: E402

POLL = 0.001
EN_RISE = 0.005
# What may open an upload; anything else before the first block is a command.
UPLOAD_START = b"\x01\x02\x04\x18"   # SOH, STX, EOT, CAN


class Restart(Exception):
    """The board's reset went off; it starts again from its reset vector."""


class Board:
    def __init__(self, rfd, wfd, lines, out_path, once):
        self.rfd, self.wfd = rfd, wfd
        self.lines = lines
        self.out_path = out_path
        self.once = once
        self.pending = bytearray()
        self.uploading = False
        self.start_pins(lines.inputs())

    def log(self, text):
        sys.stderr.write("board: %s\n" % text)
        sys.stderr.flush()

    def say(self, text):
        os.write(self.wfd, text)

    # -- input, watching the lines all along ---------------------------------
    def wait_input(self, timeout):
        """Read what arrives within TIMEOUT s into pending; the lines are
        looked at every POLL, and a reset raises Restart."""
        deadline = time.monotonic() + timeout
        while True:
            self.watch_pins(self.lines.inputs())
            left = deadline - time.monotonic()
            if select.select([self.rfd], [], [], max(0.0, min(POLL, left)))[0]:
                data = os.read(self.rfd, 4096)
                if data:
                    self.pending += data
                    return
            if left <= 0:
                return

    def getc(self, size, timeout=1):
        """xmodem's getc: SIZE bytes, or None once TIMEOUT s pass without any.
        Until a block opens the upload, command lines are run instead."""
        while True:
            if not self.uploading:
                self.take_commands()
                self.uploading = bool(self.pending) and self.pending[0] in UPLOAD_START
            if self.uploading and len(self.pending) >= size:
                data = bytes(self.pending[:size])
                del self.pending[:size]
                return data
            before = len(self.pending)
            self.wait_input(timeout)
            if len(self.pending) == before:
                return None

    def putc(self, data, timeout=1):
        self.say(data)
        return len(data)

    def take_commands(self):
        """Runs the complete command lines at the head of pending, and drops
        noise before a block."""
        while self.pending and self.pending[0] not in UPLOAD_START:
            end = self.pending.find(b"\n")
            start = min((i for i in (self.pending.find(bytes([b])) for b in UPLOAD_START) if i >= 0),
                        default=-1)
            if start >= 0 and (end < 0 or start < end):
                del self.pending[:start]
            elif end < 0:
                return
            else:
                line = bytes(self.pending[:end + 1]).decode("ascii", "replace")
                del self.pending[:end + 1]
                self.command(line)

    def command(self, line):
        words = line.split()
        if len(words) == 2 and words[0] == "baud" and hasattr(termios, "B" + words[1]):
            self.say(b"ok\r\n")
            termios.tcdrain(self.wfd)
            attrs = termios.tcgetattr(self.wfd)
            attrs[4] = attrs[5] = getattr(termios, "B" + words[1])
            termios.tcsetattr(self.wfd, termios.TCSANOW, attrs)
            self.log("baud " + words[1])
        elif words:
            self.say(b"error\r\n")

    # -- what the board runs -------------------------------------------------
    def restart(self):
        """Throws away what was received; the program that runs next."""
        termios.tcflush(self.rfd, termios.TCIFLUSH)
        self.pending.clear()
        self.uploading = False
        self.log("restart")
        return self.reset_vector()

    def bootloader(self):
        while True:
            self.uploading = False
            tmp = self.out_path + ".part"
            with open(tmp, "wb") as stream:
                size = XMODEM(self.getc, self.putc).recv(stream, crc_mode=1, timeout=1, delay=0)
            if size is not None:
                os.replace(tmp, self.out_path)
                self.log("upload %d bytes" % size)
                if self.once:
                    raise SystemExit(0)
                return self.running
            self.log("upload failed")

    def running(self):
        """The board's program: takes no input, until the next reset."""
        while True:
            self.wait_input(1.0)
            self.pending.clear()

    def run(self):
        program = self.running
        while True:
            try:
                program = program()
            except Restart:
                program = self.restart()


class ArduinoLike(Board):
    BANNER = b"arduino-like bootloader ready\r\n"

    def start_pins(self, inputs):
        self.dtr = bool(inputs & riglines.DSR_IN)

    def watch_pins(self, inputs):
        dtr = bool(inputs & riglines.DSR_IN)
        fell = self.dtr and not dtr
        self.dtr = dtr
        if fell:
            raise Restart

    def reset_vector(self):
        self.say(self.BANNER)
        return self.bootloader


class Esp32Like(Board):
    def start_pins(self, inputs):
        self.en = not self.en_low(inputs)
        self.released_at = None
        self.download = False

    @staticmethod
    def en_low(inputs):
        return bool(inputs & riglines.CTS_IN) and not inputs & riglines.DSR_IN

    @staticmethod
    def io0_low(inputs):
        return bool(inputs & riglines.DSR_IN) and not inputs & riglines.CTS_IN

    def watch_pins(self, inputs):
        if self.en_low(inputs):
            self.en, self.released_at = False, None
        elif not self.en:
            now = time.monotonic()
            self.released_at = self.released_at or now
            if now - self.released_at >= EN_RISE:
                self.en = True
                self.download = self.io0_low(inputs)
                raise Restart

    def reset_vector(self):
        if self.download:
            self.log("download mode")
            self.say(b"waiting for download\r\n")
            return self.bootloader
        self.log("app")
        self.say(b"app: hello\r\n")
        return self.running


BOARDS = {"arduino": ArduinoLike, "esp32": Esp32Like}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("board", choices=sorted(BOARDS))
    parser.add_argument("out", help="where an upload goes")
    parser.add_argument("--once", action="store_true", help="exit after the first upload")
    parser.add_argument("--tty", help="the board's end (default: stdin and stdout)")
    parser.add_argument("--end", default="b", choices=("a", "b"))
    parser.add_argument("--state", default=os.environ.get("RIGLINES_STATE"),
                        help="the rig's line state (default $RIGLINES_STATE)")
    opts = parser.parse_args(argv)
    if not opts.state:
        parser.error("no --state and no $RIGLINES_STATE")
    rfd, wfd = 0, 1
    if opts.tty:
        rfd = wfd = os.open(opts.tty, os.O_RDWR | os.O_NOCTTY)
    with riglines.Lines(opts.state, opts.end) as lines:
        board = BOARDS[opts.board](rfd, wfd, lines, opts.out, opts.once)
        board.log("ready")
        try:
            board.run()
        except KeyboardInterrupt:
            return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
