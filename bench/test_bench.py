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
import lines  # noqa: E402
import measures  # noqa: E402
import modes  # noqa: E402
import peers  # noqa: E402
import report  # noqa: E402
import runs  # noqa: E402


def run(row, wall, ok=True, **more):
    r = {"row": row, "ok": ok, "wall": wall if ok else None, "note": "" if ok else "timed out"}
    r.update(more)
    return r


class ReceivedFileCheck(unittest.TestCase):
    DATA = bytes(range(256)) * 3 + b"tail"   # 772 bytes: 7 blocks, the last padded

    def test_the_plugin_keeps_the_whole_last_block_with_its_padding(self):
        self.assertIsNone(runs.check_received(self.DATA, runs.padded(self.DATA), "plugin"))
        self.assertIn("expected 896", runs.check_received(self.DATA, self.DATA, "plugin"))

    def test_rx_may_cut_the_padding_but_nothing_else(self):
        for kept in (0, 1, len(runs.padded(self.DATA)) - len(self.DATA)):
            with self.subTest(kept=kept):
                got = self.DATA + runs.PAD * kept
                self.assertIsNone(runs.check_received(self.DATA, got, "rx"))
        self.assertIsNotNone(runs.check_received(self.DATA, self.DATA[:-1], "rx"))
        self.assertIsNotNone(runs.check_received(self.DATA, self.DATA + b"\x00", "rx"))

    def test_a_changed_byte_is_located(self):
        got = bytearray(runs.padded(self.DATA))
        got[300] ^= 1
        self.assertEqual(runs.check_received(self.DATA, bytes(got), "plugin"), "differs at byte 300")
        self.assertEqual(runs.check_received(self.DATA, bytes(got), "rx"), "differs at byte 300")

    def test_an_empty_or_missing_file_is_wrong(self):
        self.assertIsNotNone(runs.check_received(self.DATA, b"", "rx"))
        self.assertIsNone(runs.check_received(b"", b"", "plugin"))

    def test_with_the_size_known_any_padding_is_wrong(self):
        for receiver in ("rx", "plugin"):
            with self.subTest(receiver=receiver):
                self.assertIsNone(runs.check_received(self.DATA, self.DATA, receiver, exact=True))
                self.assertEqual(runs.check_received(self.DATA, runs.padded(self.DATA), receiver,
                                                      exact=True), "896 bytes, expected 772")


class SerialhostOutput(unittest.TestCase):
    def test_the_summary_line_gives_result_size_time_and_cpu(self):
        err = ("serialport error: something\n"
               "received Z:\\w\\out.bin: 1048576 bytes in 2.125 s (493447 bytes/s), cpu 0.640 s\n")
        self.assertEqual(peers.parse_summary(err), (True, 1048576, 2.125, 0.64))
        failed = "send failed Z:\\w\\src.bin: 0 bytes in 8.010 s (0 bytes/s), cpu 0.050 s\n"
        self.assertEqual(peers.parse_summary(failed), (False, 0, 8.01, 0.05))
        self.assertIsNone(peers.parse_summary("wine: could not load\n"))

    def test_resends_are_the_packets_beyond_one_a_block(self):
        trace = (b"Received: \x15\nSending packet 1\nReceived: \x06\nSending packet 2\n"
                 b"ACK timed out, resending\nSending packet 2\nReceived: \x15\nSending packet 2\n"
                 b"Received: \x06\nSent 2 blocks\n")
        self.assertEqual(peers.count_resends(trace), (2, 1))
        self.assertEqual(peers.count_resends(b"Sending packet 1\n"), (None, 0), "no end: unknown")

    def test_an_lrzsz_receiver_reports_each_retry(self):
        err = ("rx: ready to receive out.bin\nRetry 0: Got 00 sector header\r\n"
               "Retry 0: TIMEOUT\nRetry 1: TIMEOUT\nTransfer complete\n")
        self.assertEqual(peers.count_retries(err), (3, 2))
        self.assertEqual(peers.count_retries("Transfer complete\n"), (0, 0))


class Ceilings(unittest.TestCase):
    def test_each_mode_moves_its_data_over_packet_and_answer(self):
        size = 1 << 20
        for mode, share in ((0, 128 / 133), (1, 128 / 134), (2, 1024 / 1030), (3, 1024 / 1030)):
            with self.subTest(mode=mode):
                self.assertAlmostEqual(modes.ceiling(modes.MODES[mode], size, 115200),
                                       11520 * share, delta=0.01)

    def test_1k_blocks_leave_the_last_896_bytes_or_fewer_to_128_byte_blocks(self):
        big = modes.MODES[2]
        self.assertEqual(modes.block_sizes(big, 1024 + 897), [1024, 1024])
        self.assertEqual(modes.block_sizes(big, 1024 + 896), [1024] + [128] * 7)
        self.assertEqual(modes.block_sizes(modes.MODES[1], 129), [128, 128])
        self.assertEqual(modes.block_sizes(big, 0), [])

    def test_the_adapter_model_is_linesims(self):
        # The batches of linesim's own unit test: 100 us a byte, 10 ms
        # latency; 200 bytes go as 62, 62, 62 and, 10 ms after their first
        # came, 14.
        self.assertEqual(lines.delivery_ns(200, 100000, 10), 28700000)
        self.assertEqual(lines.delivery_ns(2, 100000, 10), 10100000)
        self.assertEqual(lines.delivery_ns(200, 100000, 0), 20000000)
        # A block at 115200 with 16 ms adapters: 62 + 62 bytes as they come,
        # the last 8 and the answer each held 16 ms.
        self.assertAlmostEqual(lines.block_seconds(132, 115200, 16),
                               (125 * 10 / 115200 + 0.016) + (10 / 115200 + 0.016), places=6)


class TableRows(unittest.TestCase):
    SIZE = 1 << 20
    M0 = modes.MODES[0]

    def test_the_best_good_run_gives_the_figures_and_the_ratio_uses_the_reference_best(self):
        runs = [run("p2p", 2.5, sender_cpu=1.0), run("p2p", 2.0, sender_cpu=0.8), run("p2p", 0, ok=False)]
        row = report.summarize("pty", self.M0, "p2p", runs, self.SIZE, ref_best=1.0)
        self.assertEqual((row["runs"], row["ok_runs"]), (3, 2))
        self.assertEqual(row["wall_best"], 2.0)
        self.assertEqual(row["sender_cpu"], 0.8)
        self.assertAlmostEqual(row["throughput"], self.SIZE / 2.0)
        self.assertAlmostEqual(row["vs_ref"], 0.5)
        self.assertEqual(row["wall_spread"], "2.00-2.50")
        self.assertEqual(row["notes"], "timed out")
        self.assertNotIn("efficiency", row, "no ceiling on an unthrottled line")
        row = report.summarize("x", self.M0, "ref", [run("ref", 4.0)], self.SIZE, 4.0, self.SIZE / 2.0)
        self.assertAlmostEqual(row["efficiency"], 0.5)
        self.assertEqual(row["vs_ref"], 1.0)

    def test_rows_the_plugin_cannot_serve_print_as_na_with_the_reason_once(self):
        support = {"send": None, "recv": "serialhost has no --mode"}
        reasons = {row: runs.unserved_reason(support, row) for row in runs.ROW_KEYS}
        self.assertEqual(reasons, {"ref": None, "p2rx": None, "sx2p": "serialhost has no --mode",
                                   "p2p": "serialhost has no --mode"})
        self.assertIsNone(runs.unserved_reason(None, "p2p"), "mode 0 is always served")
        neither = {"send": "no", "recv": "no"}
        self.assertEqual(runs.unserved_reason(neither, "ref"), runs.QUICK_NO_REF)
        self.assertIsNone(runs.unserved_reason(neither, "ref", full=True))
        rows = [report.summarize("pty", modes.MODES[m], row, [] if reasons[row] else [run(row, 1.0)],
                                self.SIZE, None, unserved=reasons[row])
                for m in (1, 2) for row in ("ref", "sx2p", "p2p")]
        rows.append(report.summarize("pty", self.M0, "p2rx", [run("p2rx", 0, ok=False)], self.SIZE, None))
        text = report.format_table(rows, "title")
        self.assertEqual(text.count(" n/a "), 4 * 2, text)
        whole = [report.summarize("pty", modes.MODES[3], row, [], self.SIZE, None, unserved="no")
                 for row in runs.ROW_KEYS]
        self.assertEqual(report.format_table(whole, "t").count(" n/a "), 2, "one line for the mode")
        self.assertEqual(text.count("serialhost has no --mode"), 1, text)
        self.assertIn("n/a: serialhost has no --mode (mode 1, 2)", text)
        self.assertIn("0/1", text)
        self.assertIn("note: mode 0, plug-in -> rx: timed out", text)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "t.csv")
            report.write_csv(path, report.CSV_FIELDS, rows)
            with open(path) as f:
                lines = f.read().splitlines()
        self.assertEqual(lines[0].split(",")[:4], ["line", "mode", "row", "transfer"])
        self.assertEqual(len(lines), 8)

    def test_spread_quantile_and_the_quick_and_full_runs(self):
        self.assertEqual(report.spread([]), "-")
        self.assertEqual(report.spread([112.05]), "112")
        self.assertEqual(report.spread([0.93, 19.02, 1.1]), "0.9-19.0")
        self.assertEqual(report.quantile(list(range(1, 201)), 0.99), 198)
        args = bench.parse_args(["b", "--linesim", "l"])
        self.assertEqual((args.size, args.memory_size), (256 * 1024, 0))
        self.assertEqual({bench.repeats_for(args, b) for b in (0, 921600, 115200)}, {1})
        args = bench.parse_args(["b", "--linesim", "l", "--full"])
        self.assertEqual((args.size, args.memory_size), (1 << 20, 16 << 20))
        self.assertEqual([bench.repeats_for(args, b) for b in (0, 921600, 115200)], [3, 2, 1])
        args = bench.parse_args(["b", "--linesim", "l", "--full", "--repeat", "5", "--size", "9"])
        self.assertEqual({bench.repeats_for(args, b) for b in (0, 921600, 115200)}, {5})
        self.assertEqual(args.size, 9)


class ProbeFigures(unittest.TestCase):
    def test_the_waiting_read_is_the_round_trip_less_the_write(self):
        raw = {"WriteFile_132": (100.0, 35.0, 20.0),
               "WriteFile_132+ReadFile_1_waiting": (180.0, 70.0, 45.0),
               "ClearCommError": (3.8, 0.5, None)}
        costs = report.probe_costs(raw)
        self.assertEqual(costs["ReadFile_1_waiting"], (80.0, 35.0, 25.0))
        text = report.format_probe(raw, 100)
        self.assertIn("ReadFile, 1 byte it has to wait for", text)
        self.assertNotIn("one block", text, "a block's sum needs every call it makes")


class ExchangeFigures(unittest.TestCase):
    def test_the_excess_is_of_timed_exchanges_only_read_past_the_plugins_trace(self):
        out = ("Sending: READ SENSOR 01\r\r\n\r\n"
               "exchange 100.0 200.0\r\nSending: exchange 1 2\r\nexchange 100.0 300.0\r\n"
               "failed 2 6 OK\\x0d\\x0aOK\r\nexchange 100.0 900.0\r\ncost 250.0 -\r\n")
        got = measures.parse_exchange_output(out)
        self.assertEqual((got["failed"], got["cpu_us"], got["server_us"]), (["2 6 OK\\x0d\\x0aOK"], 250.0, None))
        got.update(bare=[0.0002, 0.0001, 0.0003], note="")
        row = report.exchange_row("linesim 115200", 115200, 0, got)
        self.assertEqual((row["exchanges"], row["failed"]), (3, 1))
        self.assertAlmostEqual(row["excess_median_ms"], 0.4 - 0.2)
        self.assertAlmostEqual(row["excess_p99_ms"], 1.0 - 0.3)
        self.assertAlmostEqual(row["model_ms"], 20 * 10 / 115200 * 1e3, places=3)


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
        reaped = peers.Reaped(proc)
        self.assertTrue(reaped.wait(20))
        self.assertEqual(proc.returncode, 3)
        self.assertGreaterEqual(reaped.cpu, 0.15)
        self.assertGreaterEqual(reaped.end - start, 0.2)
        self.assertEqual(proc.poll(), 3, "Popen knows, and waits no more")

    def test_a_child_that_overstays_is_ended_with_its_group(self):
        proc = self.start(["sh", "-c", "sleep 60 & sleep 60"])
        reaped = peers.Reaped(proc, sample_memory=True)
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
                    self.assertTrue(peers.wait_until(lambda: peers.blocked_reading_stdin(proc.pid), 10))
                    self.assertTrue(peers.has_open(proc.pid, path))
                    self.assertFalse(peers.has_open(proc.pid, tmp))
                    self.assertIsNotNone(peers.proc_cpu(proc.pid))
                finally:
                    os.close(wfd)
                proc.wait(10)
        self.assertFalse(peers.blocked_reading_stdin(proc.pid))
        self.assertIsNone(peers.proc_cpu(proc.pid))


def wait_for(test, timeout):
    return peers.wait_until(test, timeout, step=0.02)


if __name__ == "__main__":
    unittest.main()
