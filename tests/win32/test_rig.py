"""The virtual null-modem itself, without the plug-in: Wine lists the ports,
bytes cross the pty pair unchanged in both directions, Wine's COM ports lead
to the right ends, and tools/rig cleans up after itself.  Also tools/wine-run
without a rig: exit codes, a server of its own that ends with its last
caller, and the answer for 32-bit programs where they cannot run."""

import os
import struct
import subprocess
import tempfile
import threading
import time
import unittest

import rig
from rig import Rig, read_exact, read_until, drain

SERIALCOMM = r"HKLM\Hardware\Devicemap\Serialcomm"


def reg_values(text):
    """{name: data} of the REG_SZ lines that "reg query" prints."""
    values = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) >= 3 and parts[1] == "REG_SZ":
            values[parts[0]] = " ".join(parts[2:])
    return values


class RigWorks(unittest.TestCase):
    """One rig for all the checks on a running line."""

    @classmethod
    def setUpClass(cls):
        cls.rig = Rig()
        cls.rig.__enter__()
        cls.addClassCleanup(cls.rig.close)

    def setUp(self):
        self.a = self.rig.open_linux_end("a")
        self.b = self.rig.open_linux_end("b")
        self.addCleanup(self.rig.close_fd, self.a)
        self.addCleanup(self.rig.close_fd, self.b)
        drain(self.a)
        drain(self.b)

    def reg_query(self, key):
        rc, out, err = self.rig.run_wine(["reg", "query", key], timeout=60)
        self.assertEqual(rc, 0, err.decode(errors="replace"))
        return reg_values(out.decode(errors="replace"))

    def test_wine_lists_exactly_the_rig_ports(self):
        listed = set(self.reg_query(SERIALCOMM).values())
        self.assertIn(self.rig.com_a, listed)
        self.assertIn(self.rig.com_b, listed)
        # A mapping left by an earlier rig would list a port that leads nowhere.
        self.assertEqual(self.reg_query(r"HKLM\Software\Wine\Ports"),
                         {self.rig.com_a: self.rig.tty_a, self.rig.com_b: self.rig.tty_b})
        for com, tty in ((self.rig.com_a, self.rig.tty_a), (self.rig.com_b, self.rig.tty_b)):
            link = os.path.join(self.rig.wineprefix, "dosdevices", com.lower())
            self.assertEqual(os.readlink(link), tty)

    def test_every_byte_value_crosses_unchanged_both_ways(self):
        # 0x00, XON/XOFF, ^C, CR and 0xFF included: the line must be raw.
        data = bytes(range(256)) * 2
        for src, dst in ((self.a, self.b), (self.b, self.a)):
            os.write(src, data)
            self.assertEqual(read_exact(dst, len(data), timeout=10), data)

    def test_a_stream_larger_than_the_pty_buffers_arrives_whole(self):
        data = os.urandom(256 * 1024)
        writer = threading.Thread(target=_write_all, args=(self.a, data))
        writer.start()
        try:
            got = read_exact(self.b, len(data), timeout=60)
        finally:
            writer.join(timeout=60)
        self.assertEqual(len(got), len(data))
        self.assertTrue(got == data, "the stream arrived changed")

    def test_wine_com_ports_lead_to_the_matching_ends(self):
        for com, far in ((self.rig.com_a, self.b), (self.rig.com_b, self.a)):
            marker = ("PING-%s" % com).encode()
            rc, _, err = self.rig.run_wine(
                ["cmd", "/c", "echo %s> %s" % (marker.decode(), com)], timeout=60)
            self.assertEqual(rc, 0, err.decode(errors="replace"))
            self.assertIn(marker + b"\r\n", read_until(far, marker + b"\r\n", timeout=10))

    def test_a_peer_talks_over_the_line_and_the_line_outlives_it(self):
        # Only the peer has end A open besides the holder; its exit must not
        # hang up the line for whoever comes next.  "rig status" also checks
        # that the holder keeps both ends open.
        self.rig.close_fd(self.a)
        peer = self.rig.start_peer(["printf", "PEER-DONE"], "a")
        self.assertEqual(self.rig.wait(peer, timeout=10), 0)
        self.assertEqual(read_exact(self.b, 9, timeout=10), b"PEER-DONE")
        status = subprocess.run([rig.RIG_TOOL, "status", self.rig.state],
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(status.returncode, 0, status.stdout + status.stderr)
        self.a = self.rig.open_linux_end("a")
        self.addCleanup(self.rig.close_fd, self.a)
        os.write(self.a, b"again")
        self.assertEqual(read_exact(self.b, 5, timeout=10), b"again")

    def test_host_lists_the_rig_ports(self):
        reason = rig.host_unavailable()
        if reason:
            self.skipTest(reason)
        rc, out, err = self.rig.run_host(["ports"], timeout=60)
        self.assertEqual(rc, 0, err)
        self.assertIn(self.rig.com_a, out)
        self.assertIn(self.rig.com_b, out)


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view[:4096]):]


def _alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except (FileNotFoundError, ProcessLookupError):
        return False


def _start_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[19]


def _tool(*args, env=None, timeout=120):
    return subprocess.run([rig.RIG_TOOL] + list(args), capture_output=True, text=True,
                          timeout=timeout, env=env)


class RigLifeCycle(unittest.TestCase):
    """tools/rig up/down/status on state folders of their own."""

    def state(self, name):
        path = os.path.join(rig.build_dir(), name)
        self.addCleanup(_tool, "down", path)
        return path

    def test_down_ends_everything_and_can_repeat(self):
        with Rig(name="rig-life", com_a="COM7", com_b="COM8") as r:
            env = r.env
            pids = [int(env[k]) for k in ("LINE_PID", "HOLDER_PID", "WINESERVER_PID")]
            again = _tool("up", r.state, "--prefix", r.prefix, "--com-a", "COM7", "--com-b", "COM8")
            self.assertEqual(again.returncode, 0, again.stderr)
            self.assertIn("already up", again.stdout)
            self.assertEqual(rig.read_env_file(os.path.join(r.state, "rig.env"))["HOLDER_PID"],
                             env["HOLDER_PID"])
            # Wine's helper processes (services.exe, winedevice.exe...) count too.
            helpers = [int(p) for p in os.listdir("/proc") if p.isdigit()
                       and _environ_has(int(p), "WINEPREFIX=" + r.prefix)
                       and _comm(int(p)).endswith(".exe")]
            self.assertTrue(helpers, "no Wine helper processes found for the rig's prefix")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and any(_alive(p) for p in pids + helpers):
            time.sleep(0.1)
        self.assertEqual([p for p in pids + helpers if _alive(p)], [])
        self.assertFalse(os.path.exists(os.path.join(r.state, "rig.env")))
        self.assertFalse(os.path.lexists(os.path.join(r.state, "ttyA")))
        # The pty numbers go to the next terminal opened: no mapping may
        # lead there any more.
        self.assertEqual(_ports_key(r.prefix), [])
        for com in ("com7", "com8"):
            self.assertFalse(os.path.lexists(os.path.join(r.prefix, "dosdevices", com)))
        self.assertEqual(_tool("down", r.state).returncode, 0)
        self.assertEqual(_tool("status", r.state).returncode, 3)

    def test_failed_up_ends_what_it_started(self):
        state = self.state("rig-fail")
        pidfile = os.path.join(state, "line.pid")
        os.makedirs(state, exist_ok=True)
        # A line that never makes its links.
        line = "sh -c 'echo $$ > %s; exec sleep 600'" % pidfile
        env = dict(os.environ, RIG_LINE_TIMEOUT="2")
        up = _tool("up", state, "--line", line, env=env)
        self.assertNotEqual(up.returncode, 0)
        self.assertIn("made no links", up.stderr)
        with open(pidfile) as f:
            line_pid = int(f.read())
        self.assertFalse(_alive(line_pid), "the line process outlived the failed up")
        self.assertFalse(os.path.exists(os.path.join(state, "rig.env")))

    def test_down_ends_only_the_processes_it_recorded(self):
        state = self.state("rig-stale")
        os.makedirs(state, exist_ok=True)
        victim = subprocess.Popen(["sleep", "120"])
        self.addCleanup(rig.end_process, victim)
        env_file = os.path.join(state, "rig.env")

        # The PID was reused by another process since: leave that one alone.
        with open(env_file, "w") as f:
            f.write("HOLDER_PID='%d'\nHOLDER_START='1'\n" % victim.pid)
        self.assertEqual(_tool("down", state).returncode, 0)
        self.assertTrue(_alive(victim.pid))

        with open(env_file, "w") as f:
            f.write("HOLDER_PID='%d'\nHOLDER_START='%s'\n" % (victim.pid, _start_ticks(victim.pid)))
        self.assertEqual(_tool("down", state).returncode, 0)
        self.assertTrue(_wait(victim, 5), "rig down left the recorded holder running")


def _ports_key(prefix):
    """The values of HKLM\\Software\\Wine\\Ports as the prefix stores them."""
    with open(os.path.join(prefix, "system.reg"), encoding="utf-8", errors="replace") as f:
        section = f.read().partition("\n[Software\\\\Wine\\\\Ports] ")[2]
    return [line for line in section.split("\n\n")[0].splitlines()[1:] if line.startswith('"')]


def _wait(proc, timeout):
    try:
        proc.wait(timeout=timeout)
        return True
    except subprocess.TimeoutExpired:
        return False


def _comm(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return ""


def _environ_has(pid, entry):
    try:
        with open("/proc/%d/environ" % pid, "rb") as f:
            return entry.encode() in f.read().split(b"\0")
    except OSError:
        return False


def wine_run(argv, env_extra=None, cwd=None, stdin=subprocess.DEVNULL, timeout=120):
    env = dict(os.environ, SERIAL_WINEPREFIX=os.path.join(rig.build_dir(), "wineprefix"))
    env.update(env_extra or {})
    return subprocess.run([rig.WINE_RUN] + argv, env=env, cwd=cwd, stdin=stdin,
                          capture_output=True, timeout=timeout)


def prefix_processes(prefix):
    entry = ("WINEPREFIX=" + prefix).encode()
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if entry in f.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            pass
    return found


class WineRun(unittest.TestCase):

    def setUp(self):
        self.prefix = os.path.join(rig.build_dir(), "wineprefix")

    def wait_prefix_idle(self, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and prefix_processes(self.prefix):
            time.sleep(0.2)
        return prefix_processes(self.prefix)

    def test_exit_code_passes_through_and_its_server_goes(self):
        with tempfile.TemporaryDirectory() as cwd:
            done = wine_run(["cmd", "/c", "exit 37"], cwd=cwd)
            self.assertEqual(done.returncode, 37, done.stderr)
            # "cmd" names a builtin here, not a prefix to create.
            self.assertEqual(os.listdir(cwd), [])
        self.assertEqual(self.wait_prefix_idle(), [])

    def wait_for(self, condition, what, timeout=60):
        deadline = time.monotonic() + timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline, "timed out waiting for " + what)
            time.sleep(0.05)

    def test_concurrent_callers_share_one_server(self):
        # The first caller starts the server; the second joins it.  When the
        # first program ends, the second, still running, must not be cut off.
        def cmds():
            return [p for p in prefix_processes(self.prefix) if _comm(p) == "cmd.exe"]

        def caller(code):
            proc = subprocess.Popen([rig.WINE_RUN, self.prefix, "cmd", "/c", "pause >nul & exit %d" % code],
                                    stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            self.addCleanup(rig.end_process, proc)
            self.addCleanup(proc.stdin.close)
            return proc

        first = caller(11)
        self.wait_for(lambda: len(cmds()) == 1, "the first program")
        second = caller(12)
        self.wait_for(lambda: len(cmds()) == 2, "the second program")
        servers = [p for p in prefix_processes(self.prefix) if _comm(p).startswith("wineserver")]
        self.assertEqual(len(servers), 1, "each caller has a server of its own")
        first.stdin.write(b"\n")
        first.stdin.close()
        self.wait_for(lambda: len(cmds()) < 2, "the first program to end")
        self.assertEqual(len(cmds()), 1, "the second program was cut off")
        self.assertIsNone(second.poll(), "the second program was cut off")
        second.stdin.write(b"\n")
        second.stdin.close()
        self.assertEqual(second.wait(timeout=60), 12)
        self.assertEqual(first.wait(timeout=60), 11)
        self.assertEqual(self.wait_prefix_idle(), [])

    def test_a_32bit_program_is_skipped_only_where_the_kernel_refuses_it(self):
        with tempfile.TemporaryDirectory() as tmp:
            exe = os.path.join(tmp, "tiny32.exe")
            # DOS stub pointing at a PE header for machine i386 (0x14c).
            header = bytearray(64)
            header[0:2] = b"MZ"
            header[60:64] = struct.pack("<I", 64)
            with open(exe, "wb") as f:
                f.write(bytes(header) + b"PE\0\0" + struct.pack("<H", 0x14C) + bytes(64))
            # A loader the kernel cannot execute fails as the real one does on
            # a kernel without 32-bit support: execve gives ENOEXEC.
            refused = os.path.join(tmp, "wine32-refused")
            with open(refused, "wb") as f:
                f.write(b"\x7fELF\x01\x01\x01" + bytes(57))
            os.chmod(refused, 0o755)
            skipped = wine_run([exe], env_extra={"SERIAL_WINE32": refused})
            missing = wine_run([exe], env_extra={"SERIAL_WINE32": os.path.join(tmp, "no-wine32")})
        self.assertEqual(skipped.returncode, rig.SKIP_RC, skipped.stderr)
        self.assertIn(b"cannot execute 32-bit code", skipped.stderr)
        # A missing wine32 is an install fault, not a machine without 32-bit code.
        self.assertEqual(missing.returncode, 1, missing.stderr)
        self.assertIn(b"missing", missing.stderr)

if __name__ == "__main__":
    unittest.main()
