#!/usr/bin/python3
"""Long runs on the plain null-modem (socat, no pacing):

  1. a 16 MiB transfer each way, plug-in to plug-in (COM5 -> COM6, then
     COM6 -> COM5): 131072 blocks, so the block number wraps 512 times; the
     file must arrive byte for byte;
  2. 1000 close/open cycles of one port in one process: every reopen must
     succeed, and the process's handles (counted by probing every handle
     value) and the Unix descriptors of the process and of the wineserver
     must be as many after the cycles as before.

    /usr/bin/python3 tests/reliability/longrun.py BUILD_DIR [--mib N] [--cycles N]

Prints the figures, writes BUILD_DIR/reliability/longrun.csv, exits 1 when a
check fails.  Times are printed, never judged.
"""

import argparse
import os
import random
import re
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runs  # noqa: E402
from runs import rig, winpath  # noqa: E402


def children_map():
    kids = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        kids.setdefault(ppid, []).append(int(entry))
    return kids


def windows_process(root, name="serialhost.exe"):
    """The PID of the Wine process NAME started under ROOT, or None."""
    kids, todo = children_map(), [root]
    while todo:
        pid = todo.pop()
        try:
            with open("/proc/%d/comm" % pid) as f:
                if f.read().strip() == name:
                    return pid
        except OSError:
            pass
        todo += kids.get(pid, [])
    return None


def fd_count(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except (OSError, TypeError):
        return None


def wait_for_line(path, pattern, count, timeout, proc):
    """Waits until PATH holds COUNT lines matching PATTERN; returns them."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, "rb") as f:
            found = re.findall(pattern, f.read().decode("latin-1"), re.M)
        if len(found) >= count or proc.poll() is not None:
            return found
        time.sleep(0.05)
    return found


def big_transfers(the_rig, work, mib, report):
    ok = True
    data = random.Random(16).randbytes(mib * 1024 * 1024)
    blocks = len(data) // 128
    src = os.path.join(work, "big.bin")
    with open(src, "wb") as f:
        f.write(data)
    hosts = runs.Hosts(the_rig, work)
    for tx, rx in (("COM5", "COM6"), ("COM6", "COM5")):
        out = os.path.join(work, "got-%s.bin" % rx)
        runs.drain_ends(the_rig)
        start = time.monotonic()
        receiver = hosts.start(["--check-closed", "recv", rx, winpath(out)])
        sender = hosts.start(["--check-closed", "send", tx, winpath(src)])
        limit = 60 + blocks * 0.05
        s = hosts.finish(sender, limit)
        r = hosts.finish(receiver, 60)
        wall = time.monotonic() - start
        with open(out, "rb") as f:
            same = f.read() == data
        checks = {
            "results 1/1": (s.result, r.result) == (1, 1),
            "file identical": same,
            "Sent %d blocks" % blocks: "Sent %d blocks\n" % blocks in s.out,
            "Received %d blocks" % blocks: "Received %d blocks\n" % blocks in r.out,
            "files closed": not s.file_left_open() and not r.file_left_open() and " is closed" in s.err,
            "no reports": not s.reports() and not r.reports(),
        }
        failed = [k for k, v in checks.items() if not v]
        ok &= not failed
        cpu = re.findall(r"cpu ([0-9.]+) s", s.err + r.err)
        report.append({"run": "%d MiB %s -> %s" % (mib, tx, rx), "result": "ok" if not failed else
                       "FAILED: " + ", ".join(failed),
                       "figures": "%d blocks (block number wrapped %d times); send call %.1f s, receive call "
                                  "%.1f s (%.0f bytes/s), cpu send %s s / receive %s s, wall %.1f s" % (
                                      blocks, blocks // 256, s.seconds or -1, r.seconds or -1,
                                      len(data) / (r.seconds or 1), cpu[0] if cpu else "?",
                                      cpu[1] if len(cpu) > 1 else "?", wall)})
        print("  %s: %s" % (report[-1]["run"], report[-1]["figures"]), flush=True)
        os.remove(out)
    return ok


def open_close_cycles(the_rig, work, cycles, report):
    out_path, err_path = os.path.join(work, "cycles.out"), os.path.join(work, "cycles.err")
    server = int(the_rig.env["WINESERVER_PID"])
    peer = the_rig.open_linux_end("b")
    rig.drain(peer, 0.2)
    with open(out_path, "w+b") as out, open(err_path, "w+b") as err:
        # One warm-up cycle first: the first close thread sets up what
        # every later one reuses.
        proc = the_rig.start_host(["open", "COM5", "cycle", "1", "sleep", "500", "handles", "sleep", "2000",
                                   "cycle", str(cycles), "sleep", "500", "handles", "sleep", "2000",
                                   "write", "alive"], stdout=out, stderr=err)
        samples = []
        pattern = r"^handles (\d+) \(GetProcessHandleCount (\d+)\)"
        for count in (1, 2):
            found = wait_for_line(out_path, pattern, count, 60 + cycles * 0.1, proc)
            time.sleep(0.5)  # the host sleeps 2 s after each count
            samples.append((found[count - 1] if len(found) >= count else None,
                            fd_count(windows_process(proc.pid)), fd_count(server)))
        the_rig.wait(proc, 120)
        err.seek(0)
        text = err.read().decode("latin-1")
    arrived = rig.read_exact(peer, 5, 5)
    the_rig.close_fd(peer)
    # The last summary line is the long run's (the first, the warm-up's).
    summaries = list(re.finditer(r"(\d+) cycles, (\d+) reopens failed at the first attempt \((\d+) failed "
                                 r"attempts\), longest reopen ([0-9.]+) ms", text))
    summary = summaries[-1] if summaries else None
    (h0, fd0, srv0), (h1, fd1, srv1) = samples
    checks = {
        "exit 0": proc.returncode == 0,
        "all cycles reopened": bool(summary) and int(summary.group(1)) == cycles,
        "port works after": arrived == b"alive",
        "handle count flat": h0 is not None and h1 is not None and h0[0] == h1[0],
        "process descriptors flat": fd0 is not None and fd0 == fd1,
        # The server also serves the prefix's own processes: allow a little.
        "wineserver descriptors flat": srv0 is not None and srv1 is not None and srv1 <= srv0 + 2,
    }
    failed = [k for k, v in checks.items() if not v]
    figures = "%s cycles; reopens failed at the first attempt: %s (%s failed attempts), longest reopen %s ms; " \
              "handles %s -> %s (GetProcessHandleCount says %s); process fds %s -> %s; wineserver fds %s -> %s" % (
                  summary.group(1) if summary else "?", summary.group(2) if summary else "?",
                  summary.group(3) if summary else "?", summary.group(4) if summary else "?",
                  h0[0] if h0 else "?", h1[0] if h1 else "?", h1[1] if h1 else "?", fd0, fd1, srv0, srv1)
    report.append({"run": "%d open/close cycles on COM5" % cycles,
                   "result": "ok" if not failed else "FAILED: " + ", ".join(failed), "figures": figures})
    print("  %s: %s" % (report[-1]["run"], figures), flush=True)
    if failed:
        print(text[-2000:])
    return not failed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build_dir")
    parser.add_argument("--mib", type=int, default=16)
    parser.add_argument("--cycles", type=int, default=1000)
    parser.add_argument("--prefix", help="Wine prefix (default BUILD_DIR/wineprefix)")
    args = parser.parse_args()
    build = os.path.abspath(args.build_dir)
    reason = rig.host_unavailable(build)
    if reason:
        print("longrun: skipped: " + reason)
        return 77
    print("long runs: build %s (serialhost.exe is %s-bit), plain socat null-modem" % (
        build, 32 if rig.is_32bit_program(rig.host_exe(build)) else 64), flush=True)
    report = []
    work = tempfile.mkdtemp(prefix="longrun-")
    try:
        with rig.Rig(build, name="rig-longrun", prefix=args.prefix) as the_rig:
            ok = open_close_cycles(the_rig, work, args.cycles, report)
            ok &= big_transfers(the_rig, work, args.mib, report)
    finally:
        shutil.rmtree(work, True)
    runs.write_csv(os.path.join(build, "reliability", "longrun.csv"), report, ["run", "result", "figures"])
    print()
    print(runs.table(report, ["run", "result", "figures"]))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
