#!/usr/bin/python3
"""The demo: the plug-in on the rig's virtual null-modem.

    /usr/bin/python3 tools/demo.py BUILD_DIR [--size BYTES]

Lists the ports through the plug-in, then moves one sample file three ways:
plug-in -> lrzsz rx, lrzsz sx -> plug-in, and plug-in -> plug-in (two host
processes, one per COM port). Every received file is checked against its
source; a table shows what moved, how long it took, the throughput and the
packets the plug-in had to send again."""

import argparse
import os
import random
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "win32"))
import rig  # noqa: E402

PAD = b"\x1a"

# rx empties its input right after each ACK, so a packet already on its way
# is lost; rx then waits its time-out before it asks again.  As in the bench,
# that time-out is 1 s (-t 10, in tenths) rather than 10 s.
RX = ["rx", "-b", "-t", "10"]


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def matches(source, received):
    """The received file is the source followed by the last block's padding."""
    padded_len = len(source) + (-len(source) % 128)
    rest = received[len(source):]
    return (received[:len(source)] == source and len(received) <= padded_len
            and rest == PAD * len(rest))


class Demo:
    def __init__(self, build, size):
        self.build = build
        self.dir = os.path.join(build, "demo")
        os.makedirs(self.dir, exist_ok=True)
        self.source = os.path.join(self.dir, "sample.bin")
        with open(self.source, "wb") as f:
            f.write(random.Random(2026).randbytes(size))
        self.rows = []
        self.rx_resent = "0"

    def host(self, r, args, name):
        out = open(os.path.join(self.dir, name + ".out"), "w+b")
        err = open(os.path.join(self.dir, name + ".err"), "w+b")
        proc = r.start_host(args, stdout=out, stderr=err)
        proc.files = (out, err)
        return proc

    @staticmethod
    def finish(r, proc, timeout=600):
        r.wait(proc, timeout)
        texts = []
        for f in proc.files:
            f.seek(0)
            texts.append(f.read().decode(errors="replace"))
            f.close()
        return proc.returncode, texts[0], texts[1]

    @staticmethod
    def cpu(err):
        m = re.search(r"cpu ([0-9.]+) s", err)
        return float(m.group(1)) if m else float("nan")

    @staticmethod
    def resent(out):
        """Packets the plug-in's sender wrote beyond one a block."""
        blocks = re.findall(r"^Sent (\d+) blocks$", out, re.M)
        return str(out.count("Sending packet ") - int(blocks[-1])) if blocks else "?"

    def record(self, what, seconds, cpu_text, received_path, ok, resent="-"):
        received = open(received_path, "rb").read() if os.path.exists(received_path) else b""
        source = open(self.source, "rb").read()
        verified = ok and matches(source, received)
        self.rows.append((what, len(source), seconds, len(source) / seconds if seconds else 0, cpu_text,
                          resent, "yes" if verified else "NO"))
        return verified

    def plugin_to_rx(self, r):
        out = os.path.join(self.dir, "to_rx.bin")
        if os.path.exists(out):
            os.remove(out)
        start = time.monotonic()
        sender = self.host(r, ["send", "COM5", winpath(self.source)], "send_rx")
        rx = r.start_peer(RX + [os.path.basename(out)], "b", cwd=self.dir, stderr=open(os.devnull, "wb"))
        rc, trace, err = self.finish(r, sender)
        seconds = time.monotonic() - start
        r.wait(rx, 30)  # rx confirms the end after a second of silence
        self.rx_resent = self.resent(trace)
        return self.record("plug-in -> lrzsz rx", seconds, "%.2f s (plug-in)" % self.cpu(err), out, rc == 0,
                           self.rx_resent)

    def sx_to_plugin(self, r):
        out = os.path.join(self.dir, "from_sx.bin")
        sx = r.start_peer(["sx", os.path.basename(self.source)], "b", cwd=self.dir,
                          stderr=open(os.devnull, "wb"))
        time.sleep(0.5)  # sx throws away what arrives before it is ready
        start = time.monotonic()
        receiver = self.host(r, ["recv", "COM5", winpath(out)], "recv_sx")
        rc, _, err = self.finish(r, receiver)
        seconds = time.monotonic() - start
        r.wait(sx, 30)
        return self.record("lrzsz sx -> plug-in", seconds, "%.2f s (plug-in)" % self.cpu(err), out, rc == 0)

    def plugin_to_plugin(self, r):
        out = os.path.join(self.dir, "plugin.bin")
        receiver = self.host(r, ["recv", "COM6", winpath(out)], "recv_plugin")
        start = time.monotonic()
        sender = self.host(r, ["send", "COM5", winpath(self.source)], "send_plugin")
        src_rc, trace, src_err = self.finish(r, sender)
        dst_rc, _, dst_err = self.finish(r, receiver)
        seconds = time.monotonic() - start
        cpu = "%.2f s + %.2f s" % (self.cpu(src_err), self.cpu(dst_err))
        return self.record("plug-in -> plug-in", seconds, cpu, out, src_rc == 0 and dst_rc == 0,
                           self.resent(trace))

    def table(self):
        head = ("transfer", "bytes", "seconds", "bytes/s", "host CPU", "resent", "verified")
        rows = [head] + [(w, str(n), "%.2f" % s, "%.0f" % t, c, x, v) for w, n, s, t, c, x, v in self.rows]
        widths = [max(len(row[i]) for row in rows) for i in range(len(head))]
        for i, row in enumerate(rows):
            print("  ".join(cell.ljust(widths[j]) for j, cell in enumerate(row)))
            if i == 0:
                print("  ".join("-" * w for w in widths))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--size", type=int, default=256 * 1024 + 100)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    os.environ["SERIAL_BUILD_DIR"] = build
    reason = rig.host_unavailable(build)
    if reason:
        print("demo: cannot run: %s" % reason)
        return 1
    demo = Demo(build, args.size)
    print("Setting up the virtual null-modem (Wine prefix, socat pty pair, COM5 <-> COM6) ...")
    with rig.Rig(build, name="demo-rig") as r:
        print("Linux ends: COM5 = %s, COM6 = %s\n" % (r.tty_a, r.tty_b))
        rc, out, err = r.run_host(["ports"])
        print("Ports the plug-in lists (serialhost ports):")
        print("".join("  " + line + "\n" for line in out.splitlines()) or "  none\n" + err)
        ok = all([demo.plugin_to_rx(r), demo.sx_to_plugin(r), demo.plugin_to_plugin(r)])
    print("Sample: %s (%d bytes); the plug-in runs in serialhost.exe under Wine (%s)\n"
          % (demo.source, args.size, "32-bit" if rig.is_32bit_program(rig.host_exe(build)) else
             "64-bit build: this machine cannot run 32-bit code"))
    demo.table()
    if demo.rx_resent not in ("0", "?"):
        print("\nresent to rx: rx empties its input after each ACK, losing a packet already on its way, and asks"
              " again after its time-out (1 s with -t 10); the row also holds the second rx waits before it"
              " confirms the end.")
    print("\nall transfers verified" if ok else "\nSOME TRANSFER FAILED (logs in %s)" % demo.dir)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
