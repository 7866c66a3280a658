#!/usr/bin/python3
"""Run the Wine-level rig tests: tests/win32/test_*.py against BUILD_DIR.

    /usr/bin/python3 tests/win32/run_rig_tests.py BUILD_DIR [-k PATTERN] [-v]
        [--test-timeout SECONDS]

Ends with a line "N passed, N failed" (", N skipped" when any) and exits
non-zero when any test failed or raised.  Every test runs under an alarm
(default 300 s): a test that hangs fails with TimeoutError, and its cleanup
(rig down, children ended by PID) still runs.

Exit 77 (a skip for CTest) means one thing only: BUILD_DIR holds 32-bit
programs and this machine cannot execute 32-bit code.  A serialhost.exe that
was not built, or a missing or broken wine32, fails (exit 1).
"""

import argparse
import os
import subprocess
import signal
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


class TestTimeout(Exception):
    pass


def _on_alarm(signum, frame):
    raise TestTimeout("test ran over its time limit")


class TimedResult(unittest.TextTestResult):
    """Puts an alarm on each test and counts the outcomes."""

    test_timeout = 300

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.passed = 0
        self._started = 0.0

    def startTest(self, test):
        self._started = time.monotonic()
        signal.alarm(self.test_timeout)
        super().startTest(test)

    def stopTest(self, test):
        signal.alarm(0)
        super().stopTest(test)

    def addSuccess(self, test):
        self.passed += 1
        super().addSuccess(test)


SKIP_RC = 77


def cannot_run_here(build):
    """None when the rig tests can run on BUILD's programs; else (exit code,
    line to print)."""
    exe = os.path.join(build, "bin", "serialhost.exe")
    if not os.path.exists(exe):
        return 1, "rig tests: FAILED: %s is not built" % exe
    import rig
    if not rig.is_32bit_program(exe):
        return None
    check = subprocess.run([rig.WINE_RUN, "--check-32bit"], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, timeout=60)
    if check.returncode == SKIP_RC:
        return SKIP_RC, "rig tests: skipped: %s; Wine cannot run %s" % (
            check.stdout.strip().replace("wine-run: ", "", 1), exe)
    if check.returncode != 0:
        return 1, "rig tests: FAILED: %s" % check.stdout.strip()
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build_dir")
    parser.add_argument("-k", dest="patterns", action="append", default=[],
                        help="only tests whose name contains PATTERN")
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("--test-timeout", type=int, default=300)
    args = parser.parse_args()

    os.environ["SERIAL_BUILD_DIR"] = os.path.abspath(args.build_dir)
    sys.path.insert(0, HERE)
    signal.signal(signal.SIGALRM, _on_alarm)
    # SIGTERM (e.g. from ctest's timeout) unwinds the tests so rigs go down.
    signal.signal(signal.SIGTERM, lambda s, f: (_ for _ in ()).throw(SystemExit("SIGTERM")))
    TimedResult.test_timeout = args.test_timeout
    refused = cannot_run_here(os.environ["SERIAL_BUILD_DIR"])
    if refused:
        print(refused[1])
        return refused[0]

    loader = unittest.TestLoader()
    if args.patterns:
        loader.testNamePatterns = ["*%s*" % p for p in args.patterns]
    suite = loader.discover(HERE, pattern="test_*.py", top_level_dir=HERE)

    runner = unittest.TextTestRunner(stream=sys.stdout, verbosity=2 if args.verbose else 1,
                                     resultclass=TimedResult)
    result = runner.run(suite)

    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    line = "%d passed, %d failed" % (result.passed + len(result.expectedFailures), failed)
    if skipped:
        line += ", %d skipped" % skipped
    print(line)
    sys.stdout.flush()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
