#!/usr/bin/python3
"""An XMODEM receiver that asks only with C and never sends NAK, as the UART
boot ROMs and boot loaders of many boards do: it takes CRC-16 packets of 128
and 1024 bytes and nothing else.

    /usr/bin/python3 c_only_receiver.py OUT_FILE [--timeout SECONDS]

Runs on stdin/stdout (a pty end, as rig.start_peer sets it up). It sends C
once a second until a packet starts, acknowledges each good packet, and lets
a bad one go unanswered (the sender's own time-out resends it). Exits 0 after
the EOT, 1 when TIMEOUT seconds (default 60) pass without one, 2 on a packet
out of sequence, 3 on a cancel. The file holds the data of every block taken,
padding included.
"""

import argparse
import binascii
import os
import select
import sys
import time

SOH, STX, EOT, ACK, CAN = 0x01, 0x02, 0x04, 0x06, 0x18
ASK = b"C"


def crc16(data):
    """CRC-16/XMODEM: binascii's CRC-CCITT from 0."""
    return binascii.crc_hqx(data, 0)


class Line:
    def __init__(self, fd_in, fd_out, deadline):
        self.fd_in, self.fd_out, self.deadline = fd_in, fd_out, deadline
        self.buffer = bytearray()

    def read(self, count, timeout):
        """Up to COUNT bytes, waiting at most TIMEOUT s for each."""
        while len(self.buffer) < count:
            left = min(timeout, self.deadline - time.monotonic())
            if left <= 0 or not select.select([self.fd_in], [], [], left)[0]:
                break
            chunk = os.read(self.fd_in, 4096)
            if not chunk:
                break
            self.buffer += chunk
        data, self.buffer = bytes(self.buffer[:count]), self.buffer[count:]
        return data

    def write(self, data):
        os.write(self.fd_out, data)


def receive(line, out):
    expected, started = 1, False
    while time.monotonic() < line.deadline:
        if not started:
            line.write(ASK)
        head = line.read(1, 1.0)
        if not head:
            continue
        kind = head[0]
        if kind == EOT:
            line.write(bytes([ACK]))
            return 0
        if kind == CAN:
            return 3
        if kind not in (SOH, STX):
            continue
        started = True
        size = 1024 if kind == STX else 128
        rest = line.read(size + 4, 1.0)
        if len(rest) < size + 4:
            continue
        block, complement, data = rest[0], rest[1], rest[2:2 + size]
        if block != 255 - complement or crc16(data) != int.from_bytes(rest[2 + size:], "big"):
            continue
        if block == expected & 0xFF:
            out.write(data)
            expected += 1
        elif block != (expected - 1) & 0xFF:
            return 2
        line.write(bytes([ACK]))
    return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out_file")
    parser.add_argument("--timeout", type=float, default=60.0)
    args = parser.parse_args()
    line = Line(sys.stdin.fileno(), sys.stdout.fileno(), time.monotonic() + args.timeout)
    with open(args.out_file, "wb") as out:
        return receive(line, out)


if __name__ == "__main__":
    sys.exit(main())
