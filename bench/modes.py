"""The transfer modes: the plug-in's `mode` argument, the lrzsz programs that
speak each, its packets, and what the line allows it at best.  A new mode is
one more entry in MODES; its ceiling is `ceiling` below (stop-and-wait, or the
line's raw byte rate for a mode that streams)."""

from lines import block_seconds

BLOCK = 128


class Mode:
    """One transfer mode: the plug-in's `mode` argument, the lrzsz programs
    that speak it, and its packets."""

    def __init__(self, number, name, sender, receiver, receiver_waits, check, big_blocks,
                 exact_size, streams=False):
        self.number = number
        self.name = name
        self.sender = sender              # lrzsz sender argv, the file's name follows
        self.receiver = receiver          # lrzsz receiver argv
        self.receiver_waits = receiver_waits
        self.check = check                # bytes of checksum or CRC
        self.big_blocks = big_blocks      # 1024-byte blocks, 128 for the last 896 bytes or fewer
        self.exact_size = exact_size      # the receiver learns the size (YMODEM, ZMODEM)
        self.streams = streams            # no wait per block (ZMODEM)

    @property
    def receiver_name(self):
        return " ".join(w for w in self.receiver if w not in ("-v", "-b", "-t", "10", "out.bin",
                                                              "--ymodem", "-y"))

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
    # rz keeps the sender's name and, with -y, overwrites the last run's
    # file; it waits for nothing it is not sent.
    4: Mode(4, "ZMODEM", ["sz", "-q", "-b"], ["rz", "-b", "-y"], 0.0, 4, True, True, streams=True),
}


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


def ceiling(mode, size, baud, latency_ms=0):
    """Bytes per second MODE can move on the line at best: SIZE bytes over
    the time of its blocks, each a packet (3 header bytes, the data, the
    check) and a one-byte answer.  The start, the EOT and YMODEM's header
    and closing blocks are left out: under 0.1% of 256 KiB.  A mode that
    streams has the line's raw byte rate (baud / 10) as its ceiling: its
    goals are stated against that, escapes and subpacket ends included."""
    if mode.streams:
        return baud / 10.0
    cost = {}
    total = 0.0
    for block in block_sizes(mode, size):
        if block not in cost:
            cost[block] = block_seconds(3 + block + mode.check, baud, latency_ms)
        total += cost[block]
    return size / total if total else None
