"""The modem lines on the rig itself: tools/rig writes the line state for its
ptys, Wine programs (and never the wineserver) get the library, and unplug
and plug keep the state true to the line.  The library and the boards are
tested without Wine in lines_test.py."""

import os
import subprocess
import sys
import time
import unittest

from rig import RigCase
from riglines import CTS_IN, DSR_IN, DCD_IN
from lines_test import DRIVER


def mapped_files(pid):
    with open("/proc/%d/maps" % pid) as f:
        return f.read()


class RigLines(RigCase):
    def test_wine_programs_get_the_library_and_the_server_does_not(self):
        proc = self.rig.start_wine(["cmd", "/c", "pause"], stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 30
            while "riglines.so" not in mapped_files(proc.pid):
                self.assertLess(time.monotonic(), deadline, "no riglines.so in the Wine program")
                time.sleep(0.05)
            with open("/proc/%d/environ" % proc.pid, "rb") as f:
                self.assertIn(b"RIGLINES_STATE=" + self.rig.env["LINES"].encode() + b"\0", f.read())
        finally:
            proc.stdin.close()
            self.rig.wait(proc, timeout=30)
        self.assertNotIn("riglines.so", mapped_files(int(self.rig.env["WINESERVER_PID"])))

    def test_unplug_drops_every_line_and_plug_gives_a_state_for_the_new_ends(self):
        a, b = self.rig.lines("a"), self.rig.lines("b")
        a.set(dtr=True)
        b.set(rts=True)
        self.assertEqual((a.inputs(), b.inputs()), (CTS_IN, DSR_IN | DCD_IN))
        self.rig.unplug()
        self.assertEqual((a.inputs(), b.inputs()), (0, 0))
        self.rig.plug()
        b.set(rts=True)
        # A program on the new end A is answered from the new state.
        env = dict(os.environ, LD_PRELOAD=self.rig.env["LINES_PRELOAD"],
                   RIGLINES_STATE=self.rig.env["LINES"])
        driver = subprocess.Popen([sys.executable, "-c", DRIVER, self.rig.tty_a], env=env,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            out, _ = driver.communicate("open\nbis 2\nget\n", timeout=30)
        finally:
            if driver.poll() is None:
                driver.kill()
                driver.wait()
        self.assertEqual(out.split()[-1], str(0x2 | 0x20))   # its own DTR, and CTS from B
        self.assertEqual(b.counts()["dsr"], 2, "the driver's DTR rose and fell with its exit")


if __name__ == "__main__":
    unittest.main()
