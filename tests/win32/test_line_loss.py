"""Lines that go away and lines that are slow, through the real DLL over the rig:
the plug-in unloaded right after a close, 200 times in one process; raw calls
and transfers while the line is unplugged (its far end ended by PID) and after
it is back; a 64-byte reply read whole, and transfers of a few blocks, on
linesim lines of 300, 1200 and 2400 baud."""

import os
import random
import re
import select
import shutil
import subprocess
import tempfile
import time
import unittest

import rig
from rig import drain, find_linesim, linesim_line, read_until, winpath

GTEST_TIMEOUT = 240
HANG = 120  # a transfer still running after this is hung
REPORT = "serialport error: "


class LineLoss(rig.RigCase):
    def run_gtest(self, pattern):
        """win32_tests.exe on the rig's ports, acting on its line requests.
        Returns its output."""
        exe = os.path.join(self.rig.build, "bin", "win32_tests.exe")
        self.assertTrue(os.path.exists(exe), "%s is not built" % exe)
        signals = os.path.join(self.rig.build, "line_loss_signals")
        shutil.rmtree(signals, ignore_errors=True)
        os.makedirs(signals)
        self.addCleanup(shutil.rmtree, signals, True)
        env = dict(self.rig.wine_env(), SERIAL_RIG_PORT=self.rig.com_a, SERIAL_RIG_PEER_PORT=self.rig.com_b,
                   SERIAL_RIG_SIGNALS="Z:" + signals.replace("/", "\\"))
        proc = self.rig.start_wine([exe, "--gtest_filter=" + pattern], env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
        out = bytearray()
        pending = b""
        deadline = time.monotonic() + GTEST_TIMEOUT
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                rig.end_process(proc)
                self.fail("win32_tests did not finish within %d s:\n%s" % (GTEST_TIMEOUT, out.decode("latin-1")))
            if not select.select([proc.stdout], [], [], left)[0]:
                continue
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                break
            out += chunk
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for line in lines:
                if line.strip() == b"@unplug":
                    time.sleep(0.3)  # well inside the call that waits for it
                    self.rig.unplug()
                    open(os.path.join(signals, "unplugged"), "w").close()
                elif line.strip() == b"@plug":
                    self.rig.plug()
                    open(os.path.join(signals, "plugged"), "w").close()
        self.rig.wait(proc, 30)
        text = out.decode("latin-1")
        self.assertEqual(proc.returncode, 0, text[-4000:])
        self.assertIn("[  PASSED  ]", text)
        self.assertNotIn("SKIPPED", text.split("[==========]")[-1], text[-2000:])
        return text

    def workdir(self):
        path = tempfile.mkdtemp(prefix="line-")
        self.addCleanup(shutil.rmtree, path, True)
        return path

    def host_to_files(self, folder, name, args):
        """serialhost ARGS with its output in files (a long transfer would fill
        a pipe nobody reads). Returns the Popen; .texts() gives (out, err)."""
        out = open(os.path.join(folder, name + ".out"), "w+b")
        err = open(os.path.join(folder, name + ".err"), "w+b")
        self.addCleanup(out.close)
        self.addCleanup(err.close)
        proc = self.rig.start_host(args, stdout=out, stderr=err)

        def texts():
            for f in (out, err):
                f.seek(0)
            return out.read().decode("latin-1"), err.read().decode("latin-1")
        proc.texts = texts
        return proc

    def drain_ends(self):
        for end in ("a", "b"):
            fd = self.rig.open_linux_end(end)
            drain(fd, 0.3)
            self.rig.close_fd(fd)

    def figures(self, text, *starts):
        print()
        for line in text.splitlines():
            if line.startswith(starts):
                print("  " + line)

    def test_the_plugin_unloads_right_after_a_close(self):
        text = self.run_gtest("RigPort.FreeLibraryRightAfterClose*")
        self.figures(text, "unload right after close", "unload with the port open")

    def test_raw_calls_on_an_unplugged_line_return_and_report_once(self):
        text = self.run_gtest("RigPort.ReadSerialDataOnAVanishingLine:RigPort.PollingAVanishingLine")
        self.figures(text, "ReadSerialData", "GetSerialBytesAvailable")

    def test_a_64_byte_reply_is_read_whole_on_slow_lines(self):
        linesim = find_linesim()
        self.assertIsNotNone(linesim, "no linesim: build the native tree (make native) or set LINESIM")
        self.addCleanup(self.rig.plug, "socat")
        reply = bytes(range(0x40, 0x80))
        print()
        for baud in (300, 1200, 2400):
            self.rig.plug(linesim_line(linesim, baud))
            peer = self.rig.open_linux_end("b")
            drain(peer)
            host = self.rig.start_host(["--times", "open", self.rig.com_a, "--baud", str(baud),
                                        "write", "go", "read", "64"])
            self.assertEqual(read_until(peer, b"go", 30)[-2:], b"go")
            os.write(peer, reply)
            self.rig.wait(host, 60)
            out, err = host.stdout.read().decode("latin-1"), host.stderr.read().decode("latin-1")
            self.rig.close_fd(peer)
            self.assertEqual(host.returncode, 0, err)
            self.assertEqual(out.splitlines(), ["Sending: go", reply.decode()], "%d baud" % baud)
            took = re.findall(r"read \d+ took ([0-9.]+) ms", err)
            print("  %d baud: 64-byte reply read whole, the read took %s ms (wire time %d ms)"
                  % (baud, took[-1] if took else "?", 64 * 10000 // baud))


    def test_a_transfer_ends_at_once_when_its_line_is_unplugged(self):
        # Plug-in to plug-in, so that one unplug meets a send and a receive.
        # linesim at 19200 baud makes a 40 kB file last about 20 s.
        linesim = find_linesim()
        self.assertIsNotNone(linesim, "no linesim: build the native tree (make native) or set LINESIM")
        self.addCleanup(self.rig.plug, "socat")
        folder = self.workdir()
        with open(os.path.join(folder, "src.bin"), "wb") as f:
            f.write(random.Random(1).randbytes(40000))
        print()
        for mode in (0, 1, 2):
            self.rig.plug(linesim_line(linesim, 19200))
            if os.path.exists(os.path.join(folder, "out.bin")):
                os.remove(os.path.join(folder, "out.bin"))
            recv = self.host_to_files(folder, "recv%d" % mode,
                                      ["recv", self.rig.com_b, winpath(os.path.join(folder, "out.bin")),
                                       "--mode", str(mode)])
            send = self.host_to_files(folder, "send%d" % mode,
                                      ["send", self.rig.com_a, winpath(os.path.join(folder, "src.bin")),
                                       "--mode", str(mode)])
            # Under way once the receiver's host has written its first 4 KiB
            # (the C runtime buffers the file), a tenth of the file.
            received = os.path.join(folder, "out.bin")
            deadline = time.monotonic() + HANG
            while not (os.path.exists(received) and os.path.getsize(received) > 0):
                self.assertIsNone(send.poll(), "the send ended before the unplug: %s" % (send.texts(),))
                self.assertLess(time.monotonic(), deadline, "the transfer did not get going")
                time.sleep(0.05)
            unplugged = time.monotonic()
            self.rig.unplug()
            for side, proc, com in (("send", send, self.rig.com_a), ("receive", recv, self.rig.com_b)):
                self.rig.wait(proc, HANG)
                took = time.monotonic() - unplugged
                out, err = proc.texts()
                reports = [line[len(REPORT):] for line in err.splitlines() if line.startswith(REPORT)]
                self.assertEqual(proc.returncode, 1, "mode %d %s: %s" % (mode, side, err))
                self.assertEqual(len(reports), 1, "mode %d %s: %s" % (mode, side, err))
                self.assertIn('"%s"' % com, reports[0])
                self.assertLess(took, 10, "mode %d %s: %.1f s after the unplug" % (mode, side, took))
                print("  mode %d %s: ended %.2f s after the unplug, result 0, 1 report: %s"
                      % (mode, side, took, reports[0]))
            # The ports were closed; once a line is back they open and carry bytes.
            self.rig.plug()
            for com, end in ((self.rig.com_a, "b"), (self.rig.com_b, "a")):
                peer = self.rig.open_linux_end(end)
                drain(peer)
                rc, out, err = self.rig.run_host(["open", com, "write", "back"], timeout=60)
                self.assertEqual(rc, 0, err)
                self.assertEqual(read_until(peer, b"back", 10)[-4:], b"back", com)
                self.rig.close_fd(peer)

    def test_transfers_of_a_few_blocks_on_slow_lines_need_no_resends(self):
        # A write returns before its packet has crossed the line under Wine;
        # the sender's answer wait allows for the packet's time on the wire.
        linesim = find_linesim()
        self.assertIsNotNone(linesim, "no linesim: build the native tree (make native) or set LINESIM")
        self.addCleanup(self.rig.plug, "socat")
        folder = self.workdir()
        data = random.Random(2).randbytes(300)  # three blocks
        with open(os.path.join(folder, "src.bin"), "wb") as f:
            f.write(data)
        src, out_path = os.path.join(folder, "src.bin"), os.path.join(folder, "out.bin")
        print()
        for baud in (300, 1200, 2400):
            self.rig.plug(linesim_line(linesim, baud))
            for mode, peer in ((0, ["rx"]), (1, ["rx", "-c"]), (0, "plug-in"), (1, "plug-in")):
                with self.subTest(baud=baud, mode=mode, peer=" ".join(peer) if isinstance(peer, list) else peer):
                    self.drain_ends()
                    if os.path.exists(out_path):
                        os.remove(out_path)
                    start = time.monotonic()
                    line = ["--baud", str(baud), "--mode", str(mode)]
                    if peer == "plug-in":
                        recv = self.host_to_files(folder, "recv", ["recv", self.rig.com_b, winpath(out_path)] + line)
                    send = self.host_to_files(folder, "send", ["send", self.rig.com_a, winpath(src)] + line)
                    if peer != "plug-in":
                        recv = self.rig.start_peer(peer + ["-q", "out.bin"], "b", cwd=folder,
                                                   stderr=subprocess.DEVNULL)
                    self.rig.wait(send, HANG)
                    self.rig.wait(recv, HANG)
                    took = time.monotonic() - start
                    out, err = send.texts()
                    self.assertEqual(send.returncode, 0, out[-1000:] + err)
                    self.assertEqual(recv.returncode, 0)
                    with open(out_path, "rb") as f:
                        got = f.read()
                    self.assertEqual(got[:len(data)], data)
                    sends = re.findall(r"^Sending packet (\d+)$", out, re.M)
                    resends = len(sends) - len(set(sends))
                    self.assertEqual((len(set(sends)), resends), (3, 0), out)
                    print("  %4d baud, mode %d to %-7s: 3 blocks in %.1f s, %d resends"
                          % (baud, mode, peer if peer == "plug-in" else " ".join(peer), took, resends))


if __name__ == "__main__":
    unittest.main()
