"""What the reliability scripts share: serialhost runs with their output in
files, the summary line it prints, the line simulator's whereabouts, and
tables.  Run everything here with /usr/bin/python3."""

import csv
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "win32"))

import rig  # noqa: E402  (the rig harness of the Wine tests)

PAD = b"\x1a"
SUMMARY = re.compile(r"^(sent|received|send failed|receive failed) .*: (\d+) bytes in ([0-9.]+) s", re.M)


winpath = rig.winpath


def padded(data):
    return data + PAD * (-len(data) % 128)


find_linesim = rig.find_linesim


def linesim_line(linesim, faults, seed, baud=115200, stats=None):
    """A --line command for tools/rig: linesim between the two links."""
    words = [linesim, "--link-a", '"$RIG_LINK_A"', "--link-b", '"$RIG_LINK_B"', "--baud", str(baud),
             "--seed", str(seed)] + list(faults)
    if stats:
        words += ["--stats", stats]
    return " ".join(words)


def read_stats(path):
    """linesim's key=value report, or {} when it left none."""
    stats = {}
    try:
        with open(path) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                if value:
                    stats[key] = float(value) if "." in value else int(value)
    except OSError:
        pass
    return stats


class HostRun:
    """One serialhost send/recv: exit code, stdout (trace lines), stderr
    (reports, summary), the export's own time and result."""

    def __init__(self, rc, out, err, timed_out=False):
        self.rc, self.out, self.err, self.timed_out = rc, out, err, timed_out
        m = SUMMARY.search(err)
        self.verb = m.group(1) if m else None
        self.seconds = float(m.group(3)) if m else None

    @property
    def result(self):
        """1 or 0 as the export returned it; None when the host never got
        that far (it did not start, crashed or was ended)."""
        return {"sent": 1, "received": 1, "send failed": 0, "receive failed": 0}.get(self.verb)

    def reports(self):
        return [l[len("serialport error: "):] for l in self.err.splitlines() if l.startswith("serialport error: ")]

    def file_left_open(self):
        return " is still open" in self.err


class Hosts:
    """Starts serialhost on a rig with its output in files under DIR and
    collects HostRuns; every host is ended by its PID if still running."""

    def __init__(self, the_rig, directory):
        self.rig, self.dir, self.count = the_rig, directory, 0

    def start(self, args):
        self.count += 1
        out = open(os.path.join(self.dir, "host%d.out" % self.count), "w+b")
        err = open(os.path.join(self.dir, "host%d.err" % self.count), "w+b")
        proc = self.rig.start_host(list(args), stdout=out, stderr=err)
        proc.logs = (out, err)
        return proc

    def finish(self, proc, timeout):
        timed_out = False
        try:
            self.rig.wait(proc, timeout)
        except TimeoutError:
            timed_out = True
        texts = []
        for f in proc.logs:
            f.seek(0)
            texts.append(f.read().decode("latin-1"))
            f.close()
        return HostRun(proc.returncode, texts[0], texts[1], timed_out)


def drain_ends(the_rig, quiet=0.3):
    """Empty both pty ends' queues: bytes left by an earlier transfer would be
    read as a header or an answer by the next one."""
    for end in ("a", "b"):
        fd = the_rig.open_linux_end(end)
        try:
            rig.drain(fd, quiet)
        finally:
            the_rig.close_fd(fd)


def write_csv(path, rows, fields):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=fields, extrasaction="ignore")
        w.writeheader()
        for row in rows:
            w.writerow(row)


def table(rows, fields, headers=None):
    """A Markdown table of ROWS (dicts) with the columns FIELDS."""
    headers = headers or fields
    cells = [[str(r.get(f, "")) for f in fields] for r in rows]
    widths = [max([len(h)] + [len(c[i]) for c in cells]) for i, h in enumerate(headers)]
    line = lambda items: "| " + " | ".join(s.ljust(w) for s, w in zip(items, widths)) + " |"
    out = [line(headers), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    out += [line(c) for c in cells]
    return "\n".join(out)
