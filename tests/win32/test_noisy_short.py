"""The short noisy-line run (tests/reliability/noisy.py --short) inside the
rig tests: a few transfers through the line simulator with bit errors, lost
and spurious bytes at 1e-4, plug-in to plug-in and against lrzsz.  Fails on
any fault of ours: an error report, a crash, a call that does not end, a
host file left open, or a corrupted file the line's damage cannot explain,
and when no transfer of a pairing got its file through."""

import os
import sys
import unittest

import rig

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "reliability"))

import noisy  # noqa: E402
import runs  # noqa: E402


class NoisyLineShort(unittest.TestCase):
    def test_transfers_through_a_noisy_line(self):
        reason = rig.host_unavailable()
        if reason:
            self.skipTest(reason)
        self.assertTrue(runs.find_linesim(), "no linesim: build the native tree (make native), or set LINESIM")
        rows, records, stats = noisy.run(rig.build_dir(), short=True)
        print()
        print(runs.table(rows, noisy.SUMMARY_FIELDS))
        faults = [r for r in records if r["outcome"] == "fault"]
        self.assertEqual(faults, [], "\n".join("%(pair)s #%(n)d: %(reason)s %(detail)s" % r for r in faults))
        # The line's damage was repaired: each pairing moved a file intact.
        self.assertEqual([r["pair"] for r in rows if r["completed"] == 0], [])
        # The line did damage the bytes: the run tested something.
        damage = sum(v for k, v in stats[noisy.SHORT_LEVELS[0][0]].items()
                     if k.endswith(("flipped", "dropped", "inserted")))
        self.assertGreater(damage, 0)


if __name__ == "__main__":
    unittest.main()
