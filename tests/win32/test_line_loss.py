"""Lines that go away and lines that are slow, through the real DLL over the rig:
the plug-in unloaded right after a close, 200 times in one process; raw calls
while the line is unplugged (its far end ended by PID) and after it is back;
a 64-byte reply read whole on linesim lines of 300, 1200 and 2400 baud."""

import os
import re
import select
import shutil
import subprocess
import time
import unittest

import rig
from rig import Rig, drain, read_until

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GTEST_TIMEOUT = 240


def find_linesim():
    for path in (os.environ.get("LINESIM"), os.path.join(REPO, "build", "native", "bin", "linesim")):
        if path and os.access(path, os.X_OK):
            return path
    return None


class LineLoss(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reason = rig.host_unavailable()
        if reason:
            raise unittest.SkipTest(reason)
        cls.rig = Rig()
        cls.rig.__enter__()
        cls.addClassCleanup(cls.rig.close)

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

    def figures(self, text, *starts):
        print()
        for line in text.splitlines():
            if line.startswith(starts):
                print("  " + line)

    def test_the_plugin_unloads_right_after_a_close(self):
        text = self.run_gtest("RigPort.FreeLibraryRightAfterClose*")
        self.figures(text, "unload right after close")

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
            self.rig.plug('%s --link-a "$RIG_LINK_A" --link-b "$RIG_LINK_B" --baud %d' % (linesim, baud))
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
            took = re.findall(r"action took ([0-9.]+) ms", err)
            print("  %d baud: 64-byte reply read whole, the read took %s ms (wire time %d ms)"
                  % (baud, took[-1] if took else "?", 64 * 10000 // baud))


if __name__ == "__main__":
    unittest.main()
