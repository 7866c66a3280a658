"""What the bench measures beside the transfers: the line's own round trip,
each side's turnaround per block, what Wine's calls cost (the probe), and a
script's command/response exchange through the plug-in."""

import os
import random
import select
import subprocess
import time

from modes import BLOCK, MODES
from peers import read_file, rigmod, start_echo_peer, winpath

read_exact = rigmod.read_exact


def line_round_trip(peers, rig, count=200):
    """Round trips of a 132-byte packet across the line and a one-byte
    answer back, with an instant answerer (a small Linux process) on the
    far end: the least a block can cost on this line.  Returns the list of
    times in seconds."""
    peers.clean_line(rig)
    answerer = peers.start_answerer(rig, "a")
    fd = rig.open_linux_end("b")
    times = []
    try:
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


def probe(peers, rig, probe_exe, count):
    """Runs bench/probe.exe on COM_A against an answerer on end B; returns
    {name: (wall us, cpu us, wineserver cpu us or None)} per call."""
    peers.clean_line(rig)
    answerer = peers.start_answerer(rig, "b")
    argv = [probe_exe, "\\\\.\\" + rig.com_a, str(count), rig.env.get("WINESERVER_PID", "")]
    proc = rig.start_wine(argv, cwd=peers.work, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
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


class Turnaround:
    """Each side's turnaround on the unthrottled line, measured from a Python
    peer on the other end: for a sender, from the moment the peer wrote its
    ACK until the next packet's first byte is readable; for a receiver, from
    the moment the peer wrote a packet until the answer is readable.  Each
    figure includes the line's own transit both ways."""

    def __init__(self, runner, rig, blocks):
        self.runner = runner
        self.peers = runner.peers
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
        self.peers.clean_line(rig)
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
        self.peers.clean_line(rig)
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
        """[(side, turnaround times)] for the plug-in's sender, sx, the
        plug-in's receiver and rx, in mode 0."""
        peers, rig = self.peers, self.rig
        mode = MODES[0]
        src = self.runner.source(self.blocks * BLOCK)
        out = os.path.join(peers.work, "out.bin")

        def plugin_sender(tag):
            return peers.start_plugin_sender(rig, mode, src, tag)[1]

        def plugin_receiver(tag):
            # Not waited for: the NAK it sends once it holds the port starts the run.
            _, reaped, _ = peers.start_host(rig, ["recv", rig.com_a, winpath(out)], tag)
            return reaped

        def sx(tag):
            return peers.start_lrzsz_sender(rig, mode, src, "a", tag)

        def rx(tag):
            return peers.start_lrzsz_receiver(rig, mode, "a", tag)

        return [
            ("plug-in sender", self.as_receiver(plugin_sender, "turn-send")),
            ("sx", self.as_receiver(sx, "turn-sx")),
            ("plug-in receiver", self.as_sender(plugin_receiver, "turn-recv")),
            ("rx", self.as_sender(rx, "turn-rx")),
        ]


# ---------------------------------------------------------------- command/response exchanges

# What bench/exchange.cpp sends and waits for.
COMMAND = b"READ SENSOR 01\r\n"
ANSWER = b"OK\r\n"
# Exchanges before the counted ones, on each side (exchange.cpp makes as many).
EXCHANGE_WARM_UP = 20


def bare_exchanges(rig, count):
    """COUNT exchanges from a Linux process (this one) on end A against the
    echo peer on end B: the line's own round trip for the command and its
    answer.  Times in seconds."""
    fd = rig.open_linux_end("a")
    times = []
    try:
        for i in range(EXCHANGE_WARM_UP + count):
            start = time.perf_counter()
            os.write(fd, COMMAND)
            if read_exact(fd, len(ANSWER), 5) != ANSWER:
                break
            if i >= EXCHANGE_WARM_UP:
                times.append(time.perf_counter() - start)
    finally:
        rig.close_fd(fd)
    return times


def parse_exchange_output(text):
    """exchange.exe's report: {"write": [s], "read": [s], "failed": [line],
    "cpu_us", "server_us"}; the plug-in's trace lines in between are skipped."""
    got = {"write": [], "read": [], "failed": [], "cpu_us": None, "server_us": None}
    for line in text.splitlines():
        parts = line.split()
        try:
            if parts[:1] == ["exchange"] and len(parts) == 3:
                got["write"].append(float(parts[1]) / 1e6)
                got["read"].append(float(parts[2]) / 1e6)
            elif parts[:1] == ["failed"]:
                got["failed"].append(" ".join(parts[1:]))
            elif parts[:1] == ["cost"] and len(parts) == 3:
                got["cpu_us"] = float(parts[1])
                got["server_us"] = None if parts[2] == "-" else float(parts[2])
        except ValueError:
            pass
    return got


def plugin_exchanges(peers, rig, exe, dll, count, tag):
    """exchange.exe on COM_A: COUNT exchanges through the plug-in (DLL).  Its
    output is kept in WORK/TAG.out and .err."""
    base = os.path.join(peers.work, tag)
    with open(base + ".out", "wb") as out, open(base + ".err", "wb") as err:
        argv = [exe, winpath(dll), rig.com_a, str(count), rig.env.get("WINESERVER_PID", "")]
        proc = rig.start_wine(argv, cwd=peers.work, stdout=out, stderr=err)
    try:
        # Room for a fifth of them to wait out their second.
        proc.wait(timeout=60 + 0.2 * count)
        note = "" if proc.returncode == 0 else "exchange.exe exited with status %s" % proc.returncode
    except subprocess.TimeoutExpired:
        rigmod.end_process(proc)
        note = "exchange.exe did not finish"
    got = parse_exchange_output(read_file(base + ".out").decode(errors="replace"))
    if note:
        tail = read_file(base + ".err").decode(errors="replace").strip()[-300:]
        got["note"] = note + (": " + tail if tail else "")
    return got


def exchanges(peers, rig, exe, dll, count, tag):
    """The command/response exchange, bare and through the plug-in, against
    one echo peer on end B.  The bare runs come in two halves, before and
    after the plug-in's, so that a busy moment of the machine is less likely
    to fall on one side only.  Returns parse_exchange_output's dict with
    "bare" (seconds) and "note" added."""
    peers.clean_line(rig)
    peer = start_echo_peer(rig, "b", len(COMMAND), ANSWER)
    try:
        bare = bare_exchanges(rig, count // 2)
        got = plugin_exchanges(peers, rig, exe, dll, count, tag)
        bare += bare_exchanges(rig, count - count // 2)
    finally:
        rigmod.end_process(peer)
    got["bare"] = bare
    got.setdefault("note", "")
    # Beside the program's own output: each bare exchange in order, in us.
    with open(os.path.join(peers.work, tag + "-bare.txt"), "w") as f:
        f.write("".join("%.1f\n" % (t * 1e6) for t in bare))
    return got
