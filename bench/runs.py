"""The runs: the rows (who sends to whom), one timed transfer of a row, and
the check of the file it delivered.  A new row is one more entry in ROWS and
the function that runs it."""

import os
import random
import time

from modes import BLOCK, ceiling
from peers import (Peers, count_resends, count_retries, finish, proc_cpu,
                   read_file)

PAD = b"\x1a"


# ---------------------------------------------------------------- the received file

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


# ---------------------------------------------------------------- the rows
#
# Each row's run function gets the Runner, the rig, the mode, the file to
# send (SRC), where the receiver puts it (OUT), the time limit, the run's tag
# and the result to fill in: "wall" (the receiver's view, in seconds) once
# the transfer went through, else a "note"; the CPU and peak memory of each
# side where known, and the resends.

def lrzsz_wall(mode, receiver, started):
    return receiver.end - started - mode.receiver_waits


def run_ref(runner, rig, mode, src, out, limit, tag, result):
    peers = runner.peers
    sx = peers.start_lrzsz_sender(rig, mode, src, "a", tag + "-sx")
    started = time.monotonic()
    rx = peers.start_lrzsz_receiver(rig, mode, "b", tag + "-rx")
    if not finish(rx, timeout=limit):
        sx.end_it()
        result["note"] = "timed out"
        return
    peers.end_lrzsz_sender(rig, sx, "b")
    result["resends"], result["timeouts"] = count_retries(
        read_file(peers.log(tag + "-rx", ".err")).decode(errors="replace"))
    if rx.proc.returncode != 0:
        result["note"] = "%s failed (status %s)" % (mode.receiver[0], rx.proc.returncode)
        return
    result.update(wall=lrzsz_wall(mode, rx, started), sender_cpu=sx.cpu, receiver_cpu=rx.cpu)


def run_p2rx(runner, rig, mode, src, out, limit, tag, result):
    peers = runner.peers
    host, sender, base, cpu0 = peers.start_plugin_sender(rig, mode, src, tag + "-send")
    started = time.monotonic()
    rx = peers.start_lrzsz_receiver(rig, mode, "b", tag + "-rx")
    finished = finish(rx, timeout=limit)
    if finished:
        peers.end_lrzsz_sender(rig, sender, "b", grace=30)
    else:
        sender.end_it()
    summary, cpu, trace = peers.host_result(base, cpu0)
    result["resends"], result["timeouts"] = count_resends(trace)
    if not finished:
        result["note"] = "timed out"
        return
    if not summary or not summary[0] or rx.proc.returncode != 0:
        result["note"] = "transfer failed (serialhost %s, %s %s)" % (
            host.returncode, mode.receiver[0], rx.proc.returncode)
        return
    result.update(wall=lrzsz_wall(mode, rx, started), sender_cpu=cpu, receiver_cpu=rx.cpu,
                  sender_rss_kib=sender.maxrss_kib)


def run_sx2p(runner, rig, mode, src, out, limit, tag, result):
    peers = runner.peers
    sx = peers.start_lrzsz_sender(rig, mode, src, "b", tag + "-sx")
    host, receiver, base, cpu0 = peers.start_plugin_receiver(rig, mode, out, tag + "-recv")
    finished = finish(receiver, timeout=limit)
    if not finished or not sx.wait(5):
        sx.end_it()
    summary, cpu, _ = peers.host_result(base, cpu0)
    if not finished:
        result["note"] = "timed out"
        return
    if not summary or not summary[0]:
        result["note"] = "transfer failed (serialhost %s)" % host.returncode
        return
    result.update(wall=summary[2], sender_cpu=sx.cpu, receiver_cpu=cpu,
                  receiver_rss_kib=receiver.maxrss_kib)


def run_p2p(runner, rig, mode, src, out, limit, tag, result):
    peers = runner.peers
    _, sender, sbase, scpu0 = peers.start_plugin_sender(rig, mode, src, tag + "-send")
    _, receiver, rbase, rcpu0 = peers.start_plugin_receiver(rig, mode, out, tag + "-recv",
                                                            com=rig.com_b, tty=rig.tty_b)
    finished = finish(receiver, sender, timeout=limit)
    ssum, scpu, trace = peers.host_result(sbase, scpu0)
    rsum, rcpu, _ = peers.host_result(rbase, rcpu0)
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


class Row:
    """One way to move a file: KEY as --rows names it, TITLE(mode) as the
    table shows it, the sides the plug-in takes ("send", "recv"; none for a
    reference), whether an lrzsz program receives (then the file may lose
    its padding, and rb puts it in a folder of its own), and RUN."""

    def __init__(self, key, title, plugin_sides, lrzsz_receives, run):
        self.key = key
        self.title = title
        self.plugin_sides = plugin_sides
        self.lrzsz_receives = lrzsz_receives
        self.run = run


ROWS = {row.key: row for row in (
    Row("ref", lambda m: "%s -> %s (reference)" % (m.sender_name, m.receiver_name), (), True,
        run_ref),
    Row("p2rx", lambda m: "plug-in -> %s" % m.receiver_name, ("send",), True, run_p2rx),
    Row("sx2p", lambda m: "%s -> plug-in" % m.sender_name, ("recv",), False, run_sx2p),
    Row("p2p", lambda m: "plug-in -> plug-in", ("send", "recv"), False, run_p2p),
)}

ROW_KEYS = list(ROWS)


def row_title(mode, row):
    return ROWS[row].title(mode)


QUICK_NO_REF = "quick run: a reference runs only beside a plug-in row (--full runs it)"


def unserved_reason(support, row, full=False):
    """Why ROW of a mode is n/a, or None: the plug-in cannot take part, or,
    in the quick run, a reference would have no plug-in row beside it."""
    if support is None:
        return None
    need = ROWS[row].plugin_sides
    if not need:
        return None if full or not all(support.values()) else QUICK_NO_REF
    reasons = sorted({support[side] for side in need if support[side]})
    return "; ".join(reasons) or None


# ---------------------------------------------------------------- one run

class Runner:
    """Runs the rows, with its files under OUT_DIR/work.  DLL: the plug-in for
    serialhost to load (None: its own)."""

    def __init__(self, out_dir, dll=None):
        self.out_dir = out_dir
        self.work = os.path.join(out_dir, "work")
        self.rb_dir = os.path.join(self.work, "rb")
        os.makedirs(self.rb_dir, exist_ok=True)
        self.peers = Peers(self.work, self.rb_dir, dll)
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

    def out_path(self, mode, row, src):
        """Where the receiver of ROW puts the file: rb names it after the
        sender's file, in its own folder."""
        if mode.exact_size and ROWS[row].lrzsz_receives:
            return os.path.join(self.rb_dir, os.path.basename(src))
        return os.path.join(self.work, "out.bin")

    def run_once(self, rig, mode, row, size, baud, latency_ms, tag):
        """One transfer of ROW in MODE: a dict with "ok", "wall", the CPU of
        each side and of the wineserver, peak memory, resends and a note."""
        src = self.source(size)
        data = self.data[size]
        out = self.out_path(mode, row, src)
        if os.path.exists(out):
            os.remove(out)
        self.peers.clean_line(rig)
        limit = self.time_limit(mode, size, baud, latency_ms)
        ws_pid = int(rig.env.get("WINESERVER_PID") or 0)
        ws0 = proc_cpu(ws_pid) if ws_pid else None
        result = {"ok": False, "note": "", "resends": None, "timeouts": None}
        ROWS[row].run(self, rig, mode, src, out, limit, tag, result)
        ws1 = proc_cpu(ws_pid) if ws_pid else None
        if ws0 is not None and ws1 is not None:
            result["wineserver_cpu"] = ws1 - ws0
        if result.get("wall") is not None and not result["note"]:
            receiver = "rx" if ROWS[row].lrzsz_receives else "plugin"
            problem = check_received(data, read_file(out), receiver, mode.exact_size)
            if problem:
                result["note"] = "received file wrong (%s)" % problem
            else:
                result["ok"] = True
        elif not result["note"]:
            result["note"] = "no result"
        return result
