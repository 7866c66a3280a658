#!/usr/bin/python3
"""Tests of the bench's own arithmetic and process handling (no Wine, no rig):

    /usr/bin/python3 -m unittest discover -s bench -p 'test_*.py'

Each test is bounded in time; every process started here is ended by its PID.
"""

import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench  # noqa: E402


def run(row, wall, ok=True, **more):
    r = {"row": row, "ok": ok, "wall": wall if ok else None, "note": "" if ok else "timed out"}
    r.update(more)
    return r


class ReceivedFileCheck(unittest.TestCase):
    DATA = bytes(range(256)) * 3 + b"tail"   # 772 bytes: 7 blocks, the last padded

    def test_the_plugin_keeps_the_whole_last_block_with_its_padding(self):
        self.assertIsNone(bench.check_received(self.DATA, bench.padded(self.DATA), "plugin"))
        self.assertIn("expected 896", bench.check_received(self.DATA, self.DATA, "plugin"))

    def test_rx_may_cut_the_padding_but_nothing_else(self):
        for kept in (0, 1, len(bench.padded(self.DATA)) - len(self.DATA)):
            with self.subTest(kept=kept):
                got = self.DATA + bench.PAD * kept
                self.assertIsNone(bench.check_received(self.DATA, got, "rx"))
        self.assertIsNotNone(bench.check_received(self.DATA, self.DATA[:-1], "rx"))
        self.assertIsNotNone(bench.check_received(self.DATA, self.DATA + b"\x00", "rx"))

    def test_a_changed_byte_is_located(self):
        got = bytearray(bench.padded(self.DATA))
        got[300] ^= 1
        self.assertEqual(bench.check_received(self.DATA, bytes(got), "plugin"), "differs at byte 300")
        self.assertEqual(bench.check_received(self.DATA, bytes(got), "rx"), "differs at byte 300")

    def test_an_empty_or_missing_file_is_wrong(self):
        self.assertIsNotNone(bench.check_received(self.DATA, b"", "rx"))
        self.assertIsNone(bench.check_received(b"", b"", "plugin"))


class SerialhostOutput(unittest.TestCase):
    def test_the_summary_line_gives_result_size_time_and_cpu(self):
        err = ("serialport error: something\n"
               "received Z:\\w\\out.bin: 1048576 bytes in 2.125 s (493447 bytes/s), cpu 0.640 s\n")
        self.assertEqual(bench.parse_summary(err), (True, 1048576, 2.125, 0.64))
        failed = "send failed Z:\\w\\src.bin: 0 bytes in 8.010 s (0 bytes/s), cpu 0.050 s\n"
        self.assertEqual(bench.parse_summary(failed), (False, 0, 8.01, 0.05))
        self.assertIsNone(bench.parse_summary("wine: could not load\n"))

    def test_resends_are_the_packets_beyond_one_a_block(self):
        trace = (b"Received: \x15\nSending packet 1\nReceived: \x06\nSending packet 2\n"
                 b"ACK timed out, resending\nSending packet 2\nReceived: \x15\nSending packet 2\n"
                 b"Received: \x06\nSent 2 blocks\n")
        self.assertEqual(bench.count_resends(trace), (2, 1))
        self.assertEqual(bench.count_resends(b"Sending packet 1\n"), (None, 0), "no end: unknown")


class TableRows(unittest.TestCase):
    SIZE = 1 << 20

    def test_the_best_good_run_gives_the_figures_and_the_ratio_uses_the_reference_best(self):
        runs = [run("p2p", 2.5, sender_cpu=1.0), run("p2p", 2.0, sender_cpu=0.8), run("p2p", 0, ok=False)]
        row = bench.summarize("pty", "p2p", runs, self.SIZE, 0, ref_best=1.0)
        self.assertEqual((row["runs"], row["ok_runs"]), (3, 2))
        self.assertEqual(row["wall_best"], 2.0)
        self.assertEqual(row["sender_cpu"], 0.8)
        self.assertAlmostEqual(row["throughput"], self.SIZE / 2.0)
        self.assertAlmostEqual(row["vs_ref"], 0.5)
        self.assertEqual(row["wall_spread"], "2.00-2.50")
        self.assertEqual(row["notes"], "timed out")
        self.assertNotIn("efficiency", row, "no ceiling on an unthrottled line")

    def test_efficiency_is_throughput_over_the_xmodem_ceiling(self):
        self.assertAlmostEqual(bench.ceiling(115200), 11520 * 128 / 133)
        wall = self.SIZE / bench.ceiling(115200) / 0.9
        row = bench.summarize("linesim 115200", "ref", [run("ref", wall)], self.SIZE, 115200, wall)
        self.assertAlmostEqual(row["efficiency"], 0.9)
        self.assertEqual(row["vs_ref"], 1.0)

    def test_a_row_without_a_good_run_and_a_line_without_a_reference_still_print(self):
        rows = [bench.summarize("pty", "p2rx", [run("p2rx", 0, ok=False)], self.SIZE, 0, None),
                bench.summarize("pty", "sx2p", [run("sx2p", 1.5)], self.SIZE, 0, None)]
        self.assertNotIn("vs_ref", rows[1])
        text = bench.format_table(rows, "title")
        self.assertIn("0/1", text)
        self.assertIn("note: pty, plug-in -> rx: timed out", text)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "t.csv")
            bench.write_csv(path, bench.CSV_FIELDS, rows)
            with open(path) as f:
                lines = f.read().splitlines()
        self.assertEqual(lines[0].split(",")[:3], ["line", "row", "transfer"])
        self.assertEqual(len(lines), 3)

    def test_spread_and_repeats(self):
        self.assertEqual(bench.spread([]), "-")
        self.assertEqual(bench.spread([112.05]), "112")
        self.assertEqual(bench.spread([0.93, 19.02, 1.1]), "0.9-19.0")
        args = bench.parse_args(["b", "--linesim", "l"])
        self.assertEqual([bench.repeats_for(args, b) for b in (0, 921600, 115200)], [3, 2, 1])
        args = bench.parse_args(["b", "--linesim", "l", "--repeat", "5"])
        self.assertEqual({bench.repeats_for(args, b) for b in (0, 921600, 115200)}, {5})


class ProbeFigures(unittest.TestCase):
    def test_the_waiting_read_is_the_round_trip_less_the_write(self):
        raw = {"WriteFile_132": (100.0, 35.0, 20.0),
               "WriteFile_132+ReadFile_1_waiting": (180.0, 70.0, 45.0),
               "ClearCommError": (3.8, 0.5, None)}
        costs = bench.probe_costs(raw)
        self.assertEqual(costs["ReadFile_1_waiting"], (80.0, 35.0, 25.0))
        text = bench.format_probe(raw, 100)
        self.assertIn("ReadFile, 1 byte it has to wait for", text)
        self.assertNotIn("one block", text, "a block's sum needs every call it makes")


class Processes(unittest.TestCase):
    def start(self, argv, **kwargs):
        proc = subprocess.Popen(argv, start_new_session=True, **kwargs)
        self.addCleanup(self.end, proc)
        return proc

    def end(self, proc):
        if proc.returncode is None:
            try:
                os.killpg(proc.pid, 9)
            except ProcessLookupError:
                pass
            try:
                proc.wait(5)
            except (subprocess.TimeoutExpired, ChildProcessError):
                pass

    def test_a_reaped_child_gives_its_exit_time_status_and_cpu(self):
        start = time.monotonic()
        proc = self.start([sys.executable, "-c", "import time\nt=time.process_time()\n"
                           "while time.process_time() - t < 0.2: pass\nraise SystemExit(3)"])
        reaped = bench.Reaped(proc)
        self.assertTrue(reaped.wait(20))
        self.assertEqual(proc.returncode, 3)
        self.assertGreaterEqual(reaped.cpu, 0.15)
        self.assertGreaterEqual(reaped.end - start, 0.2)
        self.assertEqual(proc.poll(), 3, "Popen knows, and waits no more")

    def test_a_child_that_overstays_is_ended_with_its_group(self):
        proc = self.start(["sh", "-c", "sleep 60 & sleep 60"])
        reaped = bench.Reaped(proc, sample_memory=True)
        self.assertFalse(reaped.wait(0.3))
        self.assertTrue(wait_for(lambda: reaped.maxrss_kib, 5), "memory is sampled while it runs")
        reaped.end_it()
        self.assertFalse(reaped.running())
        self.assertLess(proc.returncode, 0)

    def test_a_reader_is_seen_blocked_on_its_input_and_its_descriptors_are_seen(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "f")
            open(path, "w").close()
            rfd, wfd = os.pipe()
            with open(path) as held:
                proc = self.start(["cat"], stdin=rfd, stdout=held)
                os.close(rfd)
                try:
                    self.assertTrue(bench.wait_until(lambda: bench.blocked_reading_stdin(proc.pid), 10))
                    self.assertTrue(bench.has_open(proc.pid, path))
                    self.assertFalse(bench.has_open(proc.pid, tmp))
                    self.assertIsNotNone(bench.proc_cpu(proc.pid))
                finally:
                    os.close(wfd)
                proc.wait(10)
        self.assertFalse(bench.blocked_reading_stdin(proc.pid))
        self.assertIsNone(bench.proc_cpu(proc.pid))


def wait_for(test, timeout):
    return bench.wait_until(test, timeout, step=0.02)


if __name__ == "__main__":
    unittest.main()
