"""Driving a board with the plug-in over the rig's lines: each board style reset into its
boot loader by DTR and RTS, its banner awaited, a speed change, and firmware sent; RTS/CTS
holding the plug-in's writes; a file of every byte value in every mode with XON/XOFF on; a
break seen once; a read that waits for a prompt."""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from rig import RigCase, drain, find_linesim, linesim_line, read_exact, winpath

HERE = os.path.dirname(os.path.abspath(__file__))
HANG = 120
BANNER = {"arduino": "bootloader ready", "esp32": "waiting for download"}
# The scripts a user writes for each board, as serialhost actions.
RESET = {
    # Restarts when DTR falls: the open raised it a moment before.
    "arduino": ["sleep", "100", "dtr", "0", "sleep", "100", "dtr", "1"],
    # EN through RTS, IO0 through DTR: reset held, released with IO0 low, IO0 let go.
    "esp32": ["lines", "0", "1", "sleep", "100", "lines", "1", "0", "sleep", "50", "dtr", "0"],
}


class Boards(RigCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        linesim = find_linesim()
        if linesim is None:
            raise AssertionError("no linesim: build the native tree (make native) or set LINESIM")
        # Handshaking needs linesim as the line.
        cls.rig.plug(linesim_line(linesim, 921600))

    def workdir(self):
        path = tempfile.mkdtemp(prefix="boards-")
        self.addCleanup(shutil.rmtree, path, True)
        return path

    def drain_ends(self):
        for end in ("a", "b"):
            fd = self.rig.open_linux_end(end)
            drain(fd, 0.2)
            self.rig.close_fd(fd)

    def host(self, args, timeout=HANG):
        rc, out, err = self.rig.run_host(args, timeout=timeout)
        return rc, out, err

    def test_each_board_is_reset_into_its_boot_loader_and_takes_its_firmware(self):
        folder = self.workdir()
        firmware = random.Random(22).randbytes(5000)
        src = os.path.join(folder, "fw.bin")
        with open(src, "wb") as f:
            f.write(firmware)
        for board in ("arduino", "esp32"):
            with self.subTest(board=board):
                self.drain_ends()
                out_path = os.path.join(folder, board + ".bin")
                peer = self.rig.start_peer(["/usr/bin/python3", os.path.join(HERE, "boards.py"), board, out_path, "--once"],
                                           "b", cwd=folder, stderr=subprocess.DEVNULL)
                script = RESET[board] + ["until", BANNER[board], "3000", "flush", "in",
                                         "write", "baud 115200\r\n", "until", "ok", "2000",
                                         "speed", "115200", "send", winpath(src)]
                rc, out, err = self.host(["open", self.rig.com_a, "--mode", "2"] + script)
                self.assertEqual(rc, 0, out[-800:] + err[-800:])
                self.assertEqual(self.rig.wait(peer, 30), 0)
                with open(out_path, "rb") as f:
                    got = f.read()
                self.assertEqual(got[:len(firmware)], firmware)
                self.assertTrue(all(b == 0x1A for b in got[len(firmware):]))

    def test_the_far_ends_rts_holds_the_plugins_writes_under_rts_cts(self):
        self.drain_ends()
        lines = self.rig.lines("b")
        self.addCleanup(lines.release)
        lines.set(dtr=True, rts=False)
        data = b"abcdefgh" * 512
        # The port stays open meanwhile: a closed end's handshaking ends with it.
        host = self.rig.start_host(["open", self.rig.com_a, "flow", "rtscts", "lines", "write", data.decode(),
                                    "sleep", "3000"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        fd = self.rig.open_linux_end("b")
        self.addCleanup(self.rig.close_fd, fd)
        held = read_exact(fd, 1, 1.5)
        lines.set(rts=True)
        got = read_exact(fd, len(data), 30)
        out, err = host.communicate(timeout=HANG)
        self.assertEqual(held, b"", "a byte went out while the far end's RTS was low")
        self.assertEqual(got, data)
        self.assertEqual(host.returncode, 0, err)
        self.assertIn("lines 10 DSR DCD", out.decode(), "CTS low; DSR and DCD from the far end's DTR")

    def test_a_file_of_every_byte_value_goes_through_every_mode_with_xon_xoff_on(self):
        folder = self.workdir()
        data = bytes(range(256)) * 5
        src, out_path = os.path.join(folder, "all.bin"), os.path.join(folder, "out.bin")
        with open(src, "wb") as f:
            f.write(data)
        peers = {0: (["sx", "-q"], ["rx", "-q"]), 1: (["sx", "-q"], ["rx", "-c", "-q"]),
                 2: (["sx", "-k", "-q"], ["rx", "-c", "-q"]), 3: (["sb", "-q"], ["rb", "-q", "-y"])}
        for mode, (sender, receiver) in peers.items():
            # "left": another program left XON/XOFF on; the plug-in opens the port raw.
            for direction in ("recv", "send") + (("left",) if mode == 1 else ()):
                with self.subTest(mode=mode, direction=direction):
                    self.drain_ends()
                    for path in (out_path, os.path.join(folder, "all.bin.got")):
                        if os.path.exists(path):
                            os.remove(path)
                    flow = ["flow", "xonxoff"]
                    if direction == "left":
                        self.assertEqual(self.host(["open", self.rig.com_a, "flow", "xonxoff"])[0], 0)
                        flow = []
                    if direction != "send":
                        peer = self.rig.start_peer(sender + ["all.bin"], "b", cwd=folder, stderr=subprocess.DEVNULL)
                        time.sleep(0.5)  # sx and sb flush their input as they start
                        target = out_path
                        action = ["recv", winpath(out_path)]
                    else:
                        got_dir = os.path.join(folder, "got")
                        os.makedirs(got_dir, exist_ok=True)
                        target = os.path.join(got_dir, "all.bin") if mode == 3 else os.path.join(got_dir, "out.bin")
                        if os.path.exists(target):
                            os.remove(target)
                        peer = self.rig.start_peer(receiver + ([] if mode == 3 else ["out.bin"]), "b", cwd=got_dir,
                                                   stderr=subprocess.DEVNULL)
                        action = ["send", winpath(src)]
                    rc, out, err = self.host(["open", self.rig.com_a, "--mode", str(mode)] + flow + action)
                    self.rig.wait(peer, 60)
                    self.assertEqual(rc, 0, out[-600:] + err[-600:])
                    with open(target, "rb") as f:
                        got = f.read()
                    self.assertEqual(got[:len(data)], data)

    def test_a_break_is_seen_once_and_a_read_waits_for_its_prompt(self):
        self.drain_ends()
        lines = self.rig.lines("b")
        breaks = lines.breaks()
        fd = self.rig.open_linux_end("b")
        self.addCleanup(self.rig.close_fd, fd)
        host = self.rig.start_host(["open", self.rig.com_a, "--times", "break", "250", "until", "login: ", "5000",
                                    "read", "5", "until", "never", "300"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(lines.wait_break(since=breaks, timeout=30), breaks + 1)
        time.sleep(0.5)
        os.write(fd, b"board 1.0\r\nlogin: rest")
        out, err = host.communicate(timeout=HANG)
        self.assertEqual(host.returncode, 1, "the last until times out")
        self.assertEqual(out.decode().splitlines()[:3], ["board 1.0", "login: ", "rest"])
        self.assertEqual(lines.breaks(), breaks + 1)
        for line in err.decode().splitlines():
            if "took" in line:
                print("  " + line)


if __name__ == "__main__":
    unittest.main()
