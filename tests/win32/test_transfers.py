"""XMODEM through the real DLL over the rig, against real peers: lrzsz sx/rx
and the Python xmodem package on the Linux end B, and the plug-in itself on
COM6. The plug-in runs in serialhost on COM5 (end A)."""

import os
import random
import re
import shutil
import tempfile
import threading
import time
import unittest

import rig
from rig import Rig, drain

PAD = b"\x1a"
SIZES = [0, 1, 127, 128, 129, 256 * 128 + 1]  # the last wraps the block number
BIG = 1024 * 1024 + 77


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def padded(data):
    return data + PAD * (-len(data) % 128)


def random_bytes(size, seed):
    return random.Random(seed).randbytes(size)


class PythonPeer:
    """The xmodem package on a raw pty end, in a thread of this process."""

    def __init__(self, fd):
        import xmodem  # Debian's python3-xmodem
        self.fd = fd
        self.modem = xmodem.XMODEM(self.getc, self.putc, mode="xmodem")
        self.result = None
        self.stopped = False

    def getc(self, size, timeout=1):
        if self.stopped:
            return None
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < size:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            r = rig.select.select([self.fd], [], [], left)[0]
            if not r:
                break
            data += os.read(self.fd, size - len(data))
        return data or None

    def putc(self, data, timeout=1):
        if self.stopped:
            return 0
        return os.write(self.fd, data)

    def run(self, work):
        def body():
            self.result = work(self.modem)
        self.thread = threading.Thread(target=body, daemon=True)
        self.thread.start()
        return self

    def join(self, timeout):
        self.thread.join(timeout)
        if self.thread.is_alive():
            self.stopped = True  # so that it reads nothing of the next transfer
            self.thread.join(10)
            raise TimeoutError("python xmodem peer did not finish")
        return self.result


class Transfers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reason = rig.host_unavailable()
        if reason:
            raise unittest.SkipTest(reason)
        cls.rig = Rig()
        cls.rig.__enter__()
        cls.addClassCleanup(cls.rig.close)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="xfer-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self._logs = []
        self.addCleanup(lambda: [f.close() for f in self._logs])
        fd = self.rig.open_linux_end("b")
        drain(fd)
        self.rig.close_fd(fd)

    def path(self, name):
        return os.path.join(self.dir, name)

    def source(self, size, seed=1):
        data = random_bytes(size, seed)
        with open(self.path("src.bin"), "wb") as f:
            f.write(data)
        return data

    def received(self, name="out.bin"):
        with open(self.path(name), "rb") as f:
            return f.read()

    def host(self, args):
        """serialhost running on; its output goes to files, since a pipe
        nobody reads during a long transfer would fill up and stall it."""
        n = len(self._logs)
        out = open(self.path("host%d.out" % n), "w+b")
        err = open(self.path("host%d.err" % n), "w+b")
        self._logs += [out, err]
        proc = self.rig.start_host(args, stdout=out, stderr=err)
        proc.logs = (out, err)
        return proc

    def peer(self, argv):
        err = open(self.path("peer%d.err" % len(self._logs)), "w+b")
        self._logs.append(err)
        return self.rig.start_peer(argv, "b", cwd=self.dir, stderr=err)

    def finish_host(self, proc, timeout=300):
        self.rig.wait(proc, timeout)
        texts = []
        for f in proc.logs:
            f.seek(0)
            texts.append(f.read().decode(errors="replace"))
        return proc.returncode, texts[0], texts[1]

    # -- the plug-in receives -------------------------------------------------
    def test_receive_from_sx(self):
        for size in SIZES + [BIG]:
            with self.subTest(size=size):
                data = self.source(size, seed=size)
                sx = self.peer(["sx", "src.bin"])
                time.sleep(0.5)  # sx flushes its input when it starts
                rc, out, err = self.finish_host(
                    self.host(["recv", "COM5", winpath(self.path("out.bin"))]))
                self.assertEqual(rc, 0, out[-2000:] + err)
                self.rig.wait(sx, 30)
                self.assertEqual(self.received(), padded(data))
                self.assertIn("Received %d blocks\n" % (len(padded(data)) // 128), out)

    def test_receive_from_python_xmodem(self):
        for size in SIZES + [BIG]:
            with self.subTest(size=size):
                data = self.source(size, seed=size + 7)
                fd = self.rig.open_linux_end("b")
                self.addCleanup(self.rig.close_fd, fd)
                with open(self.path("src.bin"), "rb") as stream:
                    peer = PythonPeer(fd).run(lambda m: m.send(stream, retry=16, timeout=20))
                    rc, out, err = self.finish_host(
                        self.host(["recv", "COM5", winpath(self.path("out.bin"))]))
                    self.assertTrue(peer.join(30))
                self.rig.close_fd(fd)
                self.assertEqual(rc, 0, err)
                self.assertEqual(self.received(), padded(data))

    # -- the plug-in sends ----------------------------------------------------
    def test_send_to_rx(self):
        for size in SIZES + [BIG]:
            with self.subTest(size=size):
                data = self.source(size, seed=size + 3)
                host = self.host(["send", "COM5", winpath(self.path("src.bin"))])
                rx = self.peer(["rx", "out.bin"])
                rc, out, err = self.finish_host(host)
                self.assertEqual(rc, 0, out[-2000:] + err)
                # rx confirms the end only after a second of silence: wait for it.
                self.rig.wait(rx, 30)
                got = self.received()
                self.assertEqual(got[:len(data)], data)
                self.assertLessEqual(len(got), len(padded(data)))
                self.assertEqual(got[len(data):], PAD * (len(got) - len(data)))
                self.assertIn("Sent %d blocks\n" % (len(padded(data)) // 128), out)

    def test_send_to_python_xmodem(self):
        # That receiver takes no EOT in answer to its first NAK, so it cannot
        # receive an empty file from any sender; size 0 is left out.
        for size in [s for s in SIZES if s] + [BIG]:
            with self.subTest(size=size):
                data = self.source(size, seed=size + 5)
                fd = self.rig.open_linux_end("b")
                self.addCleanup(self.rig.close_fd, fd)
                host = self.host(["send", "COM5", winpath(self.path("src.bin"))])
                with open(self.path("out.bin"), "wb") as stream:
                    peer = PythonPeer(fd).run(lambda m: m.recv(stream, crc_mode=0, retry=16, timeout=20))
                    rc, out, err = self.finish_host(host)
                    got_bytes = peer.join(30)
                self.rig.close_fd(fd)
                self.assertEqual(rc, 0, err)
                self.assertEqual(got_bytes, len(padded(data)))
                self.assertEqual(self.received(), padded(data))

    # -- plug-in to plug-in -----------------------------------------------------
    def test_plugin_to_plugin(self):
        for size in SIZES + [BIG]:
            with self.subTest(size=size):
                data = self.source(size, seed=size + 11)
                receiver = self.host(["recv", "COM6", winpath(self.path("out.bin"))])
                sender = self.host(["send", "COM5", winpath(self.path("src.bin"))])
                src_rc, src_out, src_err = self.finish_host(sender)
                dst_rc, dst_out, dst_err = self.finish_host(receiver)
                self.assertEqual((src_rc, dst_rc), (0, 0), src_err + dst_err)
                self.assertEqual(self.received(), padded(data))

    def test_a_silent_receiver_ends_the_send(self):
        self.source(1000)
        start = time.monotonic()
        rc, out, err = self.rig.run_host(["send", "COM5", winpath(self.path("src.bin"))], timeout=60)
        took = time.monotonic() - start
        self.assertEqual(rc, 1)
        self.assertIn("Transfer start timed out\n", out)
        self.assertGreater(took, 8.0)
        self.assertLess(took, 30.0)


if __name__ == "__main__":
    unittest.main()
