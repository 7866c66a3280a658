"""The virtual null-modem for Wine-level tests (run with /usr/bin/python3).

    with Rig(build_dir) as rig:
        rc, out, err = rig.run_host(["ports"], timeout=30)
        peer = rig.start_peer(["sx", "-q", path], "b")
        host = rig.start_host(["recv", rig.com_a, target])
        ...

A Rig brings tools/rig up in <build>/rig (prefix <build>/wineprefix) and takes
it down on every path: normal exit, an exception, or SIGTERM.  Every child it
starts (hosts, peers) and every pty end it opens is ended or closed in cleanup,
each by its own PID or descriptor.

    rig.unplug()                 # the line ends: both COM ports lose their far end
    rig.plug()                   # a new line; programs open the ports again to use it
    rig.plug(line="... linesim ... --baud 300")   # or another line in its place

    lines = rig.lines("b")       # end B's modem lines (tools/riglines/riglines.py)
    lines.set(rts=True)          # the program on COM5 sees CTS
"""

import contextlib
import os
import struct
import select
import shlex
import signal
import subprocess
import sys
import termios
import time
import tty
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLS = os.path.join(REPO, "tools")
RIG_TOOL = os.path.join(TOOLS, "rig")
WINE_RUN = os.path.join(TOOLS, "wine-run")

sys.path.insert(0, os.path.join(TOOLS, "riglines"))
import riglines  # noqa: E402

# tools/wine-run exits with this when a 32-bit program cannot run here.
SKIP_RC = 77

UP_TIMEOUT = 240    # a first up creates the prefix (about 15 s; more on a busy machine)
DOWN_TIMEOUT = 60


def build_dir(default=None):
    """The build folder under test: $SERIAL_BUILD_DIR (set by run_rig_tests.py)."""
    path = os.environ.get("SERIAL_BUILD_DIR") or default
    if not path:
        raise RuntimeError("SERIAL_BUILD_DIR is not set; run through run_rig_tests.py BUILD_DIR")
    return os.path.abspath(path)


def host_exe(build):
    return os.path.join(build, "bin", "serialhost.exe")


def winpath(path):
    """PATH as a Windows program under Wine names it (drive Z: is /)."""
    return "Z:" + path.replace("/", "\\")


def find_linesim():
    """The line simulator: $LINESIM, else the native build's; None when neither."""
    for path in (os.environ.get("LINESIM"), os.path.join(REPO, "build", "native", "bin", "linesim")):
        if path and os.access(path, os.X_OK):
            return path
    return None


def peer_flush_library():
    """tools/riglines/peerflush.c as the native build made it, or None."""
    path = os.environ.get("PEERFLUSH") or os.path.join(REPO, "build", "native", "lib", "x86_64-linux-gnu",
                                                       "peerflush.so")
    return path if os.path.exists(path) else None


def linesim_line(linesim, baud):
    """A line for Rig.plug: linesim at BAUD between the rig's two links, with
    RTS/CTS handshaking from the rig's line state."""
    return ('%s --link-a "$RIG_LINK_A" --link-b "$RIG_LINK_B" --baud %d --lines "$RIG_LINES"'
            % (linesim, baud))


_can_run_32bit = None


def host_unavailable(build=None):
    """Why serialhost.exe cannot run here, or None.  The one reason to skip is
    a machine that cannot execute 32-bit code; a program that was not built
    raises FileNotFoundError, and a broken Wine RuntimeError (can_run_32bit)."""
    exe = host_exe(build_dir(build))
    if not os.path.exists(exe):
        raise FileNotFoundError("%s is not built" % exe)
    if is_32bit_program(exe) and not can_run_32bit():
        return "this machine cannot execute 32-bit code, so Wine cannot run serialhost.exe"
    return None


def is_32bit_program(path):
    """True for a PE file built for i386 (the win32 build), False for x86-64."""
    with open(path, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    return struct.unpack_from("<H", head, pe + 4)[0] == 0x14C


def can_run_32bit():
    """True when this machine can run 32-bit Windows programs under Wine, False
    when its kernel refuses 32-bit code.  A missing or broken wine32 is an
    install fault, not an answer: RuntimeError."""
    global _can_run_32bit
    if _can_run_32bit is None:
        proc = subprocess.run([WINE_RUN, "--check-32bit"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=30)
        if proc.returncode not in (0, SKIP_RC):
            raise RuntimeError(proc.stdout.strip())
        _can_run_32bit = proc.returncode == 0
    return _can_run_32bit


def read_env_file(path):
    """KEY=value lines of rig.env (values shell-quoted) as a dict."""
    env = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#") or "=" not in line:
                continue
            key, _, value = line.partition("=")
            words = shlex.split(value)
            env[key] = words[0] if words else ""
    return env


def end_process(proc, grace=2.0):
    """End a Popen child by its PID (and the process group it leads, if it
    was started in a new session): TERM, wait up to GRACE s, then KILL."""
    if proc.poll() is not None:
        return proc.returncode
    leader = getattr(proc, "_rig_own_group", False)
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            if leader:
                os.killpg(proc.pid, sig)
            else:
                os.kill(proc.pid, sig)
        except ProcessLookupError:
            pass
        try:
            return proc.wait(timeout=grace if sig == signal.SIGTERM else 5)
        except subprocess.TimeoutExpired:
            continue
    return proc.poll()


def set_raw(fd):
    """Raw 8-bit line without echo, flow control or CR/LF translation."""
    tty.setraw(fd)
    attrs = termios.tcgetattr(fd)
    attrs[0] &= ~(termios.IXON | termios.IXOFF | termios.IXANY | termios.ICRNL | termios.INLCR)
    attrs[3] &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
    attrs[6][termios.VMIN] = 1
    attrs[6][termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def read_exact(fd, count, timeout):
    """Read COUNT bytes from FD; returns what arrived before TIMEOUT s."""
    data = bytearray()
    deadline = time.monotonic() + timeout
    while len(data) < count:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            chunk = os.read(fd, count - len(data))
            if not chunk:
                break
            data += chunk
    return bytes(data)


def read_until(fd, marker, timeout):
    """Read from FD until MARKER has arrived or TIMEOUT s have passed."""
    data = bytearray()
    deadline = time.monotonic() + timeout
    while marker not in data:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            data += chunk
    return bytes(data)


def drain(fd, quiet=0.1):
    """Discard whatever FD holds until it stays quiet for QUIET s."""
    while select.select([fd], [], [], quiet)[0]:
        if not os.read(fd, 4096):
            break


def pid_start(pid):
    """Start time of a live process (field 22 of /proc/PID/stat), or None
    when it is gone or a zombie."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return None if fields[0] in ("Z", "X") else fields[19]


def end_pid(pid, start=None, grace=2.0):
    """End a process that is not our child by PID (TERM, then KILL), unless it
    is gone or START says that the PID now names another process."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        now = pid_start(pid)
        if now is None or (start and now != start):
            return
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + grace
        while time.monotonic() < deadline and pid_start(pid) == now:
            time.sleep(0.02)
    if pid_start(pid) is not None:
        raise RuntimeError("process %d did not end" % pid)


def _quote(value):
    return "'%s'" % value.replace("'", "'\\''")


class _Line:
    """Unplugging and plugging the rig's line (mixed into Rig)."""

    LINK_TIMEOUT = 10

    def unplug(self):
        """End the line (socat or linesim) by its PID, as if a USB adapter were
        pulled out: the pty ends that COM_A and COM_B lead to hang up.  The
        holder and open COM ports keep their descriptors on the dead ends."""
        end_pid(int(self.env["LINE_PID"]), self.env.get("LINE_START"))

    def plug(self, line=None):
        """Start a new line, LINE (a tools/rig --line command; default the
        rig's own), and lead COM_A and COM_B to its ends: a program that
        opens them now gets the new line.  A new holder keeps the new ends
        open; the old line (unless unplugged) and holder are ended.  rig.env
        is updated, so tools/rig down ends the new processes."""
        line = line or self.env["LINE"]
        if pid_start(int(self.env["LINE_PID"])) is not None:
            self.unplug()
        links = (self.env["LINK_A"], self.env["LINK_B"])
        for link in links:
            if os.path.islink(link):
                os.unlink(link)
        if line == "socat":
            argv = ["socat", "-d", "-d", "pty,rawer,link=" + links[0], "pty,rawer,link=" + links[1]]
        else:
            argv = ["bash", "-c", "exec " + line]
        env = dict(os.environ, RIG_LINK_A=links[0], RIG_LINK_B=links[1],
                   RIG_LINES=self.env.get("LINES", ""))
        with open(os.path.join(self.state, "line.log"), "ab") as log:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env,
                                    start_new_session=True)
        self._lines.append(proc)
        deadline = time.monotonic() + self.LINK_TIMEOUT
        while not all(os.path.islink(link) for link in links):
            if proc.poll() is not None or time.monotonic() > deadline:
                end_process(proc)
                raise RuntimeError("the new line made no links (see %s/line.log)" % self.state)
            time.sleep(0.02)
        ttys = [os.path.realpath(link) for link in links]
        holder = subprocess.Popen(["bash", "-c", 'exec sleep infinity 3<>"$1" 4<>"$2"', "holder"] + ttys,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        self._lines.append(holder)
        while os.path.realpath("/proc/%d/fd/4" % holder.pid) != ttys[1]:
            if holder.poll() is not None or time.monotonic() > deadline:
                end_process(proc)
                end_process(holder)
                raise RuntimeError("the new holder could not open %s" % " ".join(ttys))
            time.sleep(0.02)
        # Wine opens COMn through dosdevices/comn each time.
        for com, tty in zip((self.com_a, self.com_b), ttys):
            path = os.path.join(self.wineprefix, "dosdevices", com.lower())
            if os.path.lexists(path + ".new"):
                os.unlink(path + ".new")
            os.symlink(tty, path + ".new")
            os.replace(path + ".new", path)
        end_pid(int(self.env["HOLDER_PID"]), self.env.get("HOLDER_START"))
        if self.env.get("LINES"):
            riglines.create(self.env["LINES"], ttys[0], ttys[1], proc.pid)
        self._update_env(TTY_A=ttys[0], TTY_B=ttys[1], LINE=line,
                         LINE_PID=proc.pid, LINE_START=pid_start(proc.pid),
                         HOLDER_PID=holder.pid, HOLDER_START=pid_start(holder.pid))

    def _update_env(self, **values):
        path = os.path.join(self.state, "rig.env")
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        for i, text in enumerate(lines):
            key = text.partition("=")[0]
            if key in values:
                lines[i] = "%s=%s" % (key, _quote(str(values[key])))
        with open(path + ".tmp", "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        os.replace(path + ".tmp", path)
        self.env = read_env_file(path)

    def _reap_lines(self):
        # Lines and holders started here are ended by tools/rig down.
        for proc in self._lines:
            end_process(proc)
        self._lines.clear()


class Rig(_Line):
    """tools/rig for one state directory under a build folder."""

    def __init__(self, build=None, name="rig", com_a="COM5", com_b="COM6", line=None,
                 prefix=None):
        self.build = build_dir(build)
        self.state = os.path.join(self.build, name)
        self.prefix = prefix or os.path.join(self.build, "wineprefix")
        self.com_a, self.com_b = com_a, com_b
        self.line = line
        self.env = {}
        self._children = []
        self._fds = []
        self._lines_open = []
        self._lines = []
        self._up = False
        self._old_sigterm = None

    # -- life cycle ---------------------------------------------------------
    def __enter__(self):
        self._catch_sigterm()
        try:
            self.up()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def up(self):
        argv = [RIG_TOOL, "up", self.state, "--prefix", self.prefix,
                "--com-a", self.com_a, "--com-b", self.com_b]
        if self.line:
            argv += ["--line", self.line]
        self._up = True   # from here on, down is owed even if up fails half-way
        rc, out, err = self._run_tool(argv, UP_TIMEOUT)
        if rc != 0:
            raise RuntimeError("tools/rig up failed (rc %s):\n%s%s" % (rc, out, err))
        self.env = read_env_file(os.path.join(self.state, "rig.env"))
        return self

    def down(self):
        self._up = False
        rc, out, err = self._run_tool([RIG_TOOL, "down", self.state], DOWN_TIMEOUT)
        if rc != 0:
            raise RuntimeError("tools/rig down failed (rc %s):\n%s%s" % (rc, out, err))

    def close(self):
        """End every child, close every pty end, take the rig down."""
        try:
            for proc in reversed(self._children):
                end_process(proc)
                for stream in (proc.stdin, proc.stdout, proc.stderr):
                    if stream:
                        stream.close()
            self._children.clear()
            for fd in self._fds:
                try:
                    os.close(fd)
                except OSError:
                    pass
            self._fds.clear()
            for lines in self._lines_open:
                lines.close()
            self._lines_open.clear()
            self._reap_lines()
            if self._up:
                self.down()
        finally:
            self._restore_sigterm()

    def _catch_sigterm(self):
        # Turn SIGTERM into an exception so that "with" blocks unwind and the
        # rig goes down.  Only the main thread may set handlers.
        try:
            self._old_sigterm = signal.signal(signal.SIGTERM, _raise_on_sigterm)
        except ValueError:
            self._old_sigterm = None

    def _restore_sigterm(self):
        if self._old_sigterm is not None:
            signal.signal(signal.SIGTERM, self._old_sigterm)
            self._old_sigterm = None

    def _run_tool(self, argv, timeout):
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, start_new_session=True)
        proc._rig_own_group = True
        try:
            out, err = proc.communicate(timeout=timeout)
        except BaseException:
            # tools/rig cleans up after itself on SIGTERM.
            end_process(proc, grace=10)
            proc.communicate()
            raise
        return proc.returncode, out, err

    # -- what the rig is ---------------------------------------------------
    @property
    def tty_a(self):
        return self.env["TTY_A"]

    @property
    def tty_b(self):
        return self.env["TTY_B"]

    @property
    def wineprefix(self):
        return self.env["WINEPREFIX"]

    def lines(self, which):
        """The modem lines of end "a" or "b" as a Linux peer there drives and
        reads them (a riglines.Lines, closed in cleanup)."""
        if not self.env.get("LINES"):
            raise RuntimeError("this rig has no modem lines (see %s/wine.log)" % self.state)
        lines = riglines.Lines(self.env["LINES"], which)
        self._lines_open.append(lines)
        return lines

    def tty(self, which):
        return {"a": self.tty_a, "b": self.tty_b}[which.lower()]

    def com(self, which):
        return {"a": self.com_a, "b": self.com_b}[which.lower()]

    def wine_env(self):
        env = dict(os.environ)
        env["SERIAL_WINEPREFIX"] = self.prefix
        env["WINEPREFIX"] = self.prefix
        return env

    # -- children ------------------------------------------------------------
    def _spawn(self, argv, **kwargs):
        kwargs.setdefault("env", self.wine_env())
        proc = subprocess.Popen(argv, start_new_session=True, **kwargs)
        proc._rig_own_group = True
        self._children.append(proc)
        return proc

    def _forget(self, proc):
        if proc in self._children:
            self._children.remove(proc)

    def run_wine(self, argv, timeout, stdin=subprocess.DEVNULL):
        """Run PROGRAM ARGS... through tools/wine-run; returns (rc, stdout, stderr)
        as bytes.  On TIMEOUT the program is ended and TimeoutError raised."""
        proc = self._spawn([WINE_RUN] + list(argv), stdin=stdin,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            end_process(proc)
            out, err = proc.communicate()
            self._forget(proc)
            raise TimeoutError("%s did not finish within %s s; output so far:\n%s\n%s"
                               % (" ".join(argv), timeout, out.decode(errors="replace"),
                                  err.decode(errors="replace")))
        self._forget(proc)
        return proc.returncode, out, err

    def run_host(self, args, timeout=60):
        """serialhost.exe ARGS under Wine; returns (rc, stdout, stderr) as text."""
        rc, out, err = self.run_wine([host_exe(self.build)] + list(args), timeout)
        return rc, out.decode(errors="replace"), err.decode(errors="replace")

    def start_host(self, args, **kwargs):
        """serialhost.exe ARGS under Wine, running on; a Popen to wait on.
        Ended by PID in cleanup if still running."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        return self._spawn([WINE_RUN, host_exe(self.build)] + list(args), **kwargs)

    def start_wine(self, argv, **kwargs):
        """A Windows program (PROGRAM ARGS...) under Wine, running on; a Popen
        to wait on.  Ended by PID in cleanup if still running."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        return self._spawn([WINE_RUN] + list(argv), **kwargs)

    def open_linux_end(self, which):
        """A raw descriptor on the Linux end of side "a" or "b" (closed in cleanup)."""
        fd = os.open(self.tty(which), os.O_RDWR | os.O_NOCTTY)
        self._fds.append(fd)
        set_raw(fd)
        return fd

    def close_fd(self, fd):
        """Close a descriptor from open_linux_end (a no-op when already closed)."""
        if fd in self._fds:
            self._fds.remove(fd)
            os.close(fd)

    def start_peer(self, argv, end, cwd=None, stderr=None):
        """Start a Linux peer (e.g. ["sx", "file"]) with stdin and stdout on the
        pty end "a" or "b", and the rig's line state in $RIGLINES_STATE.  Its
        stderr goes to STDERR (default: a pipe).  Its output flush as it exits
        keeps what it wrote, as on a UART (peerflush.c)."""
        fd = os.open(self.tty(end), os.O_RDWR | os.O_NOCTTY)
        env = dict(os.environ, RIGLINES_STATE=self.env.get("LINES", ""))
        if peer_flush_library():
            env["LD_PRELOAD"] = peer_flush_library()
        try:
            set_raw(fd)
            proc = self._spawn(list(argv), stdin=fd, stdout=fd,
                               stderr=stderr if stderr is not None else subprocess.PIPE,
                               cwd=cwd, env=env)
        finally:
            os.close(fd)
        return proc

    def wait(self, proc, timeout):
        """Wait for a child started here; on TIMEOUT end it and raise TimeoutError."""
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            end_process(proc)
            raise TimeoutError("%s did not finish within %s s" % (proc.args, timeout))
        return proc.returncode


class RigCase(unittest.TestCase):
    """Tests that share one rig for the whole class, brought up once and taken
    down after its last test; skipped only where serialhost cannot run."""

    @classmethod
    def setUpClass(cls):
        reason = host_unavailable()
        if reason:
            raise unittest.SkipTest(reason)
        cls.rig = Rig()
        cls.rig.__enter__()
        cls.addClassCleanup(cls.rig.close)


# -- device-registry fixtures --------------------------------------------------

ENUM_KEY = r"HKLM\System\CurrentControlSet\Enum"
PORTS_CLASS_GUID = "{4d36e978-e325-11ce-bfc1-08002be10318}"


@contextlib.contextmanager
def device_fixtures(rig, devices, timeout=60):
    """Describe serial devices in the rig prefix's device registry while the
    block runs, as Windows describes a plugged-in adapter, so that SetupAPI
    lists them in the Ports class:

        with device_fixtures(rig, [dict(
                instance=r"FTDIBUS\VID_0403+PID_6001+RIG5\0000", port="COM5",
                friendly="USB Serial Port (COM5)",
                hardware_ids=[r"FTDIBUS\COMPORT&VID_0403&PID_6001"])]):
            ...

    Every key under Enum that was not there before is removed again on every
    path, with all below it; keys that were there already are left alone."""
    created = []

    def reg_text(text):
        return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')

    def multi_sz(strings):
        data = "".join(s + "\0" for s in strings).encode("utf-16-le") + b"\0\0"
        return "hex(7):" + ",".join("%02x" % b for b in data)

    try:
        lines = ["Windows Registry Editor Version 5.00", ""]
        for dev in devices:
            parts = dev["instance"].split("\\")
            for depth in range(1, len(parts) + 1):
                key = "\\".join([ENUM_KEY] + parts[:depth])
                if key in created:
                    break
                if rig.run_wine(["reg", "query", key], timeout)[0] != 0:
                    created.append(key)
                    break
            key = "[HKEY_LOCAL_MACHINE" + ENUM_KEY[4:] + "\\" + dev["instance"]
            lines += [key + "]",
                      '"ClassGUID"=' + reg_text(PORTS_CLASS_GUID),
                      '"Class"="Ports"',
                      '"FriendlyName"=' + reg_text(dev["friendly"]),
                      '"HardwareID"=' + multi_sz(dev["hardware_ids"]),
                      "",
                      key + "\\Device Parameters]",
                      '"PortName"=' + reg_text(dev["port"]),
                      ""]
        path = os.path.join(rig.state, "device-fixtures.reg")
        with open(path, "w", encoding="utf-16", newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        rc, out, err = rig.run_wine(["reg", "import", "Z:" + path.replace("/", "\\")], timeout)
        if rc != 0:
            raise RuntimeError("reg import of %s failed (rc %s): %s%s"
                               % (path, rc, out.decode(errors="replace"), err.decode(errors="replace")))
        yield
    finally:
        for key in reversed(created):
            try:
                rig.run_wine(["reg", "delete", key, "/f"], timeout)
            except TimeoutError as e:
                print("device_fixtures: %s stays: %s" % (key, e))


def _raise_on_sigterm(signum, frame):
    raise SystemExit("terminated by SIGTERM")
