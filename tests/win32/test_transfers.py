"""XMODEM through the real DLL over the rig, against real peers: lrzsz sx/rx,
the Python xmodem package and a receiver that asks only with C on the Linux
end B, and the plug-in itself on COM6. The plug-in runs in serialhost on
COM5 (end A).

Each test is one table: a peer family in one direction, with the modes it
meets and the sizes that matter (around the 128- and 1024-byte block edges).
Every received file is compared byte for byte with what that sender's blocks
must deliver. Mode 0 keeps the sizes it always had. Modes 1 and 2 receive
alike, so a Linux sender meets them by turns; a Linux receiver meets mode 2
(1K blocks) with every size and mode 1 with a few. Mode 3 (YMODEM) meets
sb and rb and itself with every size, and its files must have exactly the
sender's size. The 1 MiB file goes once per peer and direction. Each test
prints how many transfers it made and how long it took."""

import os
import random
import shutil
import tempfile
import threading
import time
import unittest

import rig
from rig import drain, winpath

HERE = os.path.dirname(os.path.abspath(__file__))
C_ONLY_RECEIVER = os.path.join(HERE, "c_only_receiver.py")

PAD = b"\x1a"
SIZES_0 = [0, 1, 127, 128, 129, 256 * 128 + 1]  # mode 0; the last wraps the block number
SIZES = [0, 1, 127, 128, 129, 896, 897, 1023, 1024, 1025, 33000]
SIZES_3 = [0, 1, 127, 128, 129, 1023, 1024, 1025, 33000]  # mode 3: no padding to find
BIG = 1024 * 1024 + 77


def padded(data, block=128):
    return data + PAD * (-len(data) % block)


def random_bytes(size, seed):
    return random.Random(seed).randbytes(size)


MODE_0 = [(0, s) for s in SIZES_0 + [BIG]]


def by_turns(sizes, modes=(1, 2)):
    """(mode, size) for each size, the modes taking turns."""
    return [(modes[i % len(modes)], s) for i, s in enumerate(sizes)]


def each(mode, sizes):
    return [(mode, s) for s in sizes]


class PythonPeer:
    """The xmodem package on a raw pty end, in a thread of this process."""

    def __init__(self, fd, mode="xmodem"):
        import xmodem  # Debian's python3-xmodem
        self.fd = fd
        self.modem = xmodem.XMODEM(self.getc, self.putc, mode=mode)
        self.result = None
        self.stopped = False
        self.first = None  # the first byte it read: what it was asked to start with

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
        if data and self.first is None:
            self.first = data[:1]
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


class Transfers(rig.RigCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="xfer-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self._logs = []
        self.addCleanup(lambda: [f.close() for f in self._logs])
        self.drain_ends()
        self.started = time.monotonic()
        self.count = 0
        self.addCleanup(self.tell_time)

    def tell_time(self):
        print("\n  %d transfers in %.1f s" % (self.count, time.monotonic() - self.started))

    def drain_ends(self):
        # Bytes left on either end (a C-only receiver's Cs, a lost last ACK)
        # would be read by the next transfer as a start or a header.
        for end in ("a", "b"):
            fd = self.rig.open_linux_end(end)
            drain(fd)
            self.rig.close_fd(fd)

    def case(self, mode, size, **more):
        self.count += 1
        return self.subTest(mode=mode, size=size, **more)

    def path(self, name):
        return os.path.join(self.dir, name)

    def source(self, size, seed=1):
        data = random_bytes(size, seed)
        with open(self.path("src.bin"), "wb") as f:
            f.write(data)
        for name in ("out.bin",):
            if os.path.exists(self.path(name)):
                os.remove(self.path(name))
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

    def transfer(self, verb, com, mode, name):
        return self.host([verb, com, winpath(self.path(name)), "--mode", str(mode)])

    def peer(self, argv, cwd=None):
        err = open(self.path("peer%d.err" % len(self._logs)), "w+b")
        self._logs.append(err)
        return self.rig.start_peer(argv, "b", cwd=cwd or self.dir, stderr=err)

    def empty_folder(self, name):
        path = self.path(name)
        shutil.rmtree(path, True)
        os.mkdir(path)
        return path

    def finish_host(self, proc, timeout=300):
        """(exit status, stdout, stderr)."""
        self.rig.wait(proc, timeout)
        texts = []
        for f in proc.logs:
            f.seek(0)
            texts.append(f.read().decode(errors="replace"))
        return proc.returncode, texts[0], texts[1]

    def assertDelivered(self, got, data, block=128, stripped=False, exact=False):
        """GOT is DATA padded to a whole block of the sender's; a receiver
        that strips padding may leave less of it, one told the size none."""
        want = padded(data, block)
        if exact:
            self.assertEqual(len(got), len(data))
            self.assertTrue(got == data, "the file differs from what was sent")
        elif stripped:
            self.assertEqual(got[:len(data)], data)
            self.assertLessEqual(len(got), len(want))
            self.assertEqual(got[len(data):], PAD * (len(got) - len(data)))
        else:
            self.assertEqual(len(got), len(want))
            self.assertTrue(got == want, "the file differs from what was sent")

    # -- the plug-in receives -------------------------------------------------
    def test_receive_from_lrzsz(self):
        rows = [
            {"argv": ["sx"], "cases": MODE_0 + by_turns(SIZES)},  # asked with C, sx sends CRC
            {"argv": ["sx", "-k"], "cases": by_turns(SIZES + [BIG])},  # 1K blocks, 128 at the end
            {"argv": ["sb", "--ymodem"], "cases": each(3, SIZES_3[:5])},  # 128-byte blocks
            {"argv": ["sb", "--ymodem", "-k"], "cases": each(3, SIZES_3[5:] + [BIG])},  # 1K blocks
        ]
        for row in rows:
            for mode, size in row["cases"]:
                with self.case(mode, size, peer=" ".join(row["argv"])):
                    data = self.source(size, seed=size)
                    sx = self.peer(row["argv"] + ["src.bin"])
                    time.sleep(0.5)  # sx flushes its input when it starts
                    rc, out, err = self.finish_host(self.transfer("recv", "COM5", mode, "out.bin"))
                    self.assertEqual(rc, 0, out[-2000:] + err)
                    sx_rc = self.rig.wait(sx, 30)
                    if mode == 3:
                        self.assertEqual(sx_rc, 0, "sb saw its batch through")
                    self.assertDelivered(self.received(), data, exact=mode == 3)
                    self.assertIn("Received ", out)

    def test_receive_a_batch_of_two_from_sb(self):
        # The first file is stored whole; the second is refused with CAN CAN,
        # which ends sb with a failure.
        with self.case(3, 3000):
            data = self.source(3000, seed=21)
            with open(self.path("second.bin"), "wb") as f:
                f.write(random_bytes(500, 22))
            sb = self.peer(["sb", "--ymodem", "src.bin", "second.bin"])
            time.sleep(0.5)  # sb flushes its input when it starts
            rc, out, err = self.finish_host(self.transfer("recv", "COM5", 3, "out.bin"))
            self.assertEqual(rc, 0, out[-2000:] + err)
            self.assertNotEqual(self.rig.wait(sb, 30), 0)
            self.assertTrue(out.endswith("Received 24 blocks\nSecond file in the batch refused\n"), out[-300:])
            self.assertDelivered(self.received(), data, exact=True)

    def test_receive_from_python_xmodem(self):
        rows = [
            {"mode": "xmodem", "cases": MODE_0 + by_turns(SIZES), "block": 128},  # CRC when asked with C
            {"mode": "xmodem1k", "cases": by_turns(SIZES + [BIG]), "block": 1024},  # every block 1K
        ]
        for row in rows:
            for mode, size in row["cases"]:
                with self.case(mode, size, peer=row["mode"]):
                    data = self.source(size, seed=size + 7)
                    fd = self.rig.open_linux_end("b")
                    self.addCleanup(self.rig.close_fd, fd)
                    with open(self.path("src.bin"), "rb") as stream:
                        peer = PythonPeer(fd, row["mode"]).run(lambda m: m.send(stream, retry=16, timeout=20))
                        rc, out, err = self.finish_host(self.transfer("recv", "COM5", mode, "out.bin"))
                        self.assertTrue(peer.join(30))
                    self.rig.close_fd(fd)
                    self.assertEqual(rc, 0, err)
                    self.assertEqual(peer.first, b"C" if mode else b"\x15", "the receiver's start")
                    self.assertDelivered(self.received(), data, row["block"])

    # -- the plug-in sends ----------------------------------------------------
    def test_send_to_lrzsz(self):
        # rb takes no file name: it writes the name in the header, the last
        # part of the plug-in's fileName (a path with folders), in its own
        # empty folder.
        rows = [
            {"argv": ["rx"], "cases": MODE_0},
            {"argv": ["rx", "-c"], "cases": each(2, SIZES + [BIG]) + each(1, [1, 129, 33000])},
            {"argv": ["rb", "--ymodem"], "cases": each(3, SIZES_3 + [BIG])},
        ]
        for row in rows:
            for mode, size in row["cases"]:
                with self.case(mode, size, peer=" ".join(row["argv"])):
                    data = self.source(size, seed=size + 3)
                    host = self.transfer("send", "COM5", mode, "src.bin")
                    if mode == 3:
                        folder = self.empty_folder("rb")
                        rx = self.peer(row["argv"], cwd=folder)
                    else:
                        rx = self.peer(row["argv"] + ["out.bin"])
                    rc, out, err = self.finish_host(host)
                    self.assertEqual(rc, 0, out[-2000:] + err)
                    # rx confirms the end only after a second of silence: wait for it.
                    rx_rc = self.rig.wait(rx, 30)
                    if mode == 3:
                        self.assertEqual(rx_rc, 0, "rb saw the batch end")
                        self.assertEqual(os.listdir(folder), ["src.bin"])
                        self.assertDelivered(self.received("rb/src.bin"), data, exact=True)
                    else:
                        self.assertDelivered(self.received(), data, stripped=True)
                    self.assertIn("Sent ", out)

    def test_send_to_python_xmodem(self):
        # That receiver takes no EOT in answer to its first NAK or C, so it
        # cannot receive an empty file from any sender; size 0 is left out.
        rows = [
            {"crc_mode": 0, "cases": MODE_0},
            {"crc_mode": 1, "cases": each(2, SIZES + [BIG]) + each(1, [1, 129, 33000])},
        ]
        for row in rows:
            for mode, size in row["cases"]:
                if size == 0:
                    continue
                with self.case(mode, size, crc_mode=row["crc_mode"]):
                    data = self.source(size, seed=size + 5)
                    fd = self.rig.open_linux_end("b")
                    self.addCleanup(self.rig.close_fd, fd)
                    host = self.transfer("send", "COM5", mode, "src.bin")
                    with open(self.path("out.bin"), "wb") as stream:
                        peer = PythonPeer(fd).run(
                            lambda m: m.recv(stream, crc_mode=row["crc_mode"], retry=16, timeout=20))
                        rc, out, err = self.finish_host(host)
                        got_bytes = peer.join(30)
                    self.rig.close_fd(fd)
                    self.assertEqual(rc, 0, err)
                    self.assertEqual(got_bytes, len(padded(data)))
                    self.assertDelivered(self.received(), data)

    def test_send_to_a_receiver_that_only_asks_with_c(self):
        # Modes 1 and 2 deliver; mode 0 ignores C and gives up after 8 s.
        for mode, size in [(1, 1), (1, 33000), (2, 0), (2, 1025), (2, 33000), (2, BIG), (0, 1000)]:
            with self.case(mode, size):
                data = self.source(size, seed=size + 13)
                peer = self.peer(["/usr/bin/python3", C_ONLY_RECEIVER, "out.bin", "--timeout",
                                  "20" if mode == 0 else "120"])
                start = time.monotonic()
                rc, out, err = self.finish_host(self.transfer("send", "COM5", mode, "src.bin"))
                took = time.monotonic() - start
                if mode == 0:
                    self.assertEqual(rc, 1)
                    self.assertTrue(out.endswith("Transfer start timed out\n"), out[-300:])
                    self.assertGreater(took, 8.0)
                    rig.end_process(peer)
                    self.drain_ends()
                    continue
                self.assertEqual(rc, 0, out[-2000:] + err)
                self.assertEqual(self.rig.wait(peer, 30), 0)
                self.assertDelivered(self.received(), data)

    # -- plug-in to plug-in -----------------------------------------------------
    def test_plugin_to_plugin(self):
        # Mode 0 to mode 0 with all its sizes; every other pair with a few
        # sizes, so that together they go round the list.
        cases = [(0, 0, s) for s in SIZES_0 + [BIG]]
        pairs = [(s, r) for s in (0, 1, 2) for r in (0, 1, 2) if (s, r) != (0, 0)]
        for i, (send_mode, recv_mode) in enumerate(pairs):
            cases += [(send_mode, recv_mode, SIZES[(i * 3 + k) % len(SIZES)]) for k in range(3)]
        cases.append((2, 1, BIG))
        cases += [(3, 3, s) for s in SIZES_3 + [BIG]]
        for send_mode, recv_mode, size in cases:
            with self.case(send_mode, size, receiver_mode=recv_mode):
                data = self.source(size, seed=size + 11)
                receiver = self.transfer("recv", "COM6", recv_mode, "out.bin")
                sender = self.transfer("send", "COM5", send_mode, "src.bin")
                src_rc, src_out, src_err = self.finish_host(sender)
                dst_rc, dst_out, dst_err = self.finish_host(receiver)
                self.assertEqual((src_rc, dst_rc), (0, 0), src_out[-500:] + src_err + dst_out[-500:] + dst_err)
                self.assertDelivered(self.received(), data, exact=recv_mode == 3)

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
