#!/usr/bin/python3
"""The release zip as a script writer gets it.

    /usr/bin/python3 tests/win32/check_package.py BUILD_DIR   (a 32-bit build)

Builds the zip from BUILD_DIR, unpacks it into an empty folder and checks:
every file the guide names is there, the DLL is stripped and its tables are
the pinned ones.  Where this machine runs 32-bit code, serialhost.exe is then
run from the unpacked folder on the rig: it lists the ports and sends a file
to rx, which must arrive whole.  Elsewhere it says that only the contents and
tables were checked.
"""

import os
import re
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

import rig  # noqa: E402


def fail(text):
    print("package: FAILED: " + text)
    sys.exit(1)


def named_in_guide(guide):
    """Files of the zip that the guide names: README.txt, the programs, and
    paths under docs/ and examples/."""
    names = set(re.findall(r"\b(?:docs|examples)/[\w.-]+\.\w+", guide))
    for top in ("serialport.dll", "serialhost.exe", "README.txt", "CHANGELOG.md", "LICENSE"):
        if top in guide:
            names.add(top)
    return names


def main():
    build = os.path.abspath(sys.argv[1])
    out = os.path.join(build, "dist-check")
    proc = subprocess.run(["/usr/bin/python3", os.path.join(REPO, "tools", "dist.py"), build, out],
                          capture_output=True, text=True, timeout=300)
    if proc.returncode != 0:
        fail("tools/dist.py: " + proc.stdout + proc.stderr)
    zips = [n for n in os.listdir(out) if n.endswith("-win32.zip")]
    if len(zips) != 1:
        fail("expected one release zip in %s, found %s" % (out, zips))
    top = zips[0][:-len(".zip")]

    with tempfile.TemporaryDirectory(prefix="package-") as folder:
        with zipfile.ZipFile(os.path.join(out, zips[0])) as z:
            z.extractall(folder)
        unpacked = os.path.join(folder, top)
        with open(os.path.join(REPO, "docs", "guide.md"), encoding="utf-8") as f:
            guide = f.read()
        missing = sorted(n for n in named_in_guide(guide)
                         if not os.path.isfile(os.path.join(unpacked, n)))
        if missing:
            fail("the guide names files the zip lacks: %s" % ", ".join(missing))

        dll = os.path.join(unpacked, "serialport.dll")
        sections = subprocess.run(["i686-w64-mingw32-objdump", "-h", dll], capture_output=True,
                                  text=True, check=True).stdout
        if ".debug_" in sections:
            fail("the zip's DLL still has debug sections")
        tables = subprocess.run([os.path.join(HERE, "check_dll_table.sh"), dll],
                                capture_output=True, text=True)
        if tables.returncode != 0:
            fail("the zip's DLL tables: " + tables.stdout + tables.stderr)
        print("package: %s holds every file the guide names; its DLL is stripped (%d bytes); %s"
              % (zips[0], os.path.getsize(dll), tables.stdout.strip()))

        if not rig.can_run_32bit():
            print("package: its programs were not run: this machine cannot execute 32-bit code, "
                  "so only the zip's contents and the DLL's tables were checked")
            return 0
        run_from_folder(build, unpacked)
    return 0


def run_from_folder(build, unpacked):
    host = os.path.join(unpacked, "serialhost.exe")
    with rig.Rig(build, name="package-rig") as line, \
            tempfile.TemporaryDirectory(prefix="package-rx-") as work:
        rc, out, err = line.run_wine([host, "ports"], timeout=60)
        listed = out.decode(errors="replace")
        if rc != 0 or line.com_a not in listed or line.com_b not in listed:
            fail("serialhost ports from the zip (rc %d): %s%s" % (rc, listed, err.decode(errors="replace")))
        payload = bytes((i * 31 + 7) % 256 for i in range(3000))
        source = os.path.join(work, "firmware.bin")
        with open(source, "wb") as f:
            f.write(payload)
        rx = line.start_peer(["rx", "-t", "10", "got.bin"], "b", cwd=work)
        rc, out, err = line.run_wine([host, "send", line.com_a, "Z:" + source.replace("/", "\\")],
                                     timeout=120)
        if rc != 0:
            fail("serialhost send from the zip (rc %d): %s" % (rc, err.decode(errors="replace")))
        line.wait(rx, 30)
        with open(os.path.join(work, "got.bin"), "rb") as f:
            got = f.read()
        if got[:len(payload)] != payload or got[len(payload):].strip(b"\x1a"):
            fail("rx got %d bytes that are not the file sent" % len(got))
        print("package: run from the unpacked folder: serialhost ports listed %s and %s; "
              "a 3000-byte file sent to rx arrived whole" % (line.com_a, line.com_b))


if __name__ == "__main__":
    sys.exit(main())
