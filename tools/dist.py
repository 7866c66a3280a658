#!/usr/bin/python3
"""Package a release from a finished 32-bit build.

    /usr/bin/python3 tools/dist.py BUILD_DIR OUT_DIR

Writes into OUT_DIR:
    serialport-VERSION-win32.zip          what a script writer downloads
    serialport-VERSION-win32-symbols.zip  the debug symbols of both programs
    SHA256SUMS                            of the two zips

The zip holds one folder, serialport-VERSION-win32/, with the stripped DLL
and serialhost.exe, README.txt (the guide), the reference in docs/, the
examples, CHANGELOG.md and LICENSE.  Entries are sorted and dated from the
last commit, so the same tree gives the same bytes.
"""

import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL_PREFIX = os.environ.get("SERIAL_MINGW_PREFIX", "i686-w64-mingw32-")


def version_of(build):
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1].strip()
    sys.exit("dist: no project version in %s/CMakeCache.txt (configure the build first)" % build)


def commit_time():
    """The last commit's time, for stable dates inside the zips."""
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        out = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%ct"],
                             capture_output=True, text=True, check=True).stdout.strip()
        return int(out)
    except (OSError, subprocess.CalledProcessError, ValueError):
        return int(time.time())


def run(argv):
    subprocess.run(argv, check=True)


def split_symbols(program, stripped, symbols):
    """STRIPPED gets PROGRAM without debug sections and a link to SYMBOLS."""
    run([TOOL_PREFIX + "objcopy", "--only-keep-debug", program, symbols])
    run([TOOL_PREFIX + "strip", "--strip-all", "-o", stripped, program])
    # The link lets a debugger find the symbols beside the zip's programs.
    cwd = os.getcwd()
    os.chdir(os.path.dirname(symbols))
    try:
        run([TOOL_PREFIX + "objcopy", "--add-gnu-debuglink=" + os.path.basename(symbols),
             stripped])
    finally:
        os.chdir(cwd)


def text_for_windows(path):
    """A text file as Notepad shows it best: CRLF line ends."""
    with open(path, "rb") as f:
        data = f.read()
    return re.sub(rb"\r?\n", b"\r\n", data)


def write_zip(path, entries, date):
    """ENTRIES: (name in the zip, bytes).  Sorted, fixed date and modes."""
    stamp = time.gmtime(max(date, 315532800))[:6]   # zip dates start in 1980
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for name, data in sorted(entries):
            info = zipfile.ZipInfo(name, stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            z.writestr(info, data)


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            h.update(block)
    return h.hexdigest()


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    build, out = (os.path.abspath(p) for p in sys.argv[1:])
    version = version_of(build)
    name = "serialport-%s-win32" % version
    bin_dir = os.path.join(build, "bin")
    for program in ("serialport.dll", "serialhost.exe"):
        if not os.path.isfile(os.path.join(bin_dir, program)):
            sys.exit("dist: %s is not built in %s" % (program, bin_dir))
    os.makedirs(out, exist_ok=True)

    entries, symbols = [], []
    with tempfile.TemporaryDirectory(prefix="dist-") as work:
        for program in ("serialport.dll", "serialhost.exe"):
            stripped = os.path.join(work, program)
            debug = os.path.join(work, program + ".debug")
            split_symbols(os.path.join(bin_dir, program), stripped, debug)
            with open(stripped, "rb") as f:
                entries.append((name + "/" + program, f.read()))
            with open(debug, "rb") as f:
                symbols.append((name + "-symbols/" + program + ".debug", f.read()))

    entries.append((name + "/README.txt", text_for_windows(os.path.join(ROOT, "docs", "guide.md"))))
    # All of docs/, so that no page links to one the zip lacks.
    for page in sorted(os.listdir(os.path.join(ROOT, "docs"))):
        if page.endswith(".md"):
            entries.append((name + "/docs/" + page, text_for_windows(os.path.join(ROOT, "docs", page))))
    examples = os.path.join(ROOT, "examples")
    for example in sorted(os.listdir(examples)):
        entries.append((name + "/examples/" + example,
                        text_for_windows(os.path.join(examples, example))))
    for top in ("CHANGELOG.md", "LICENSE"):
        entries.append((name + "/" + top, text_for_windows(os.path.join(ROOT, top))))

    date = commit_time()
    zip_path = os.path.join(out, name + ".zip")
    symbols_path = os.path.join(out, name + "-symbols.zip")
    write_zip(zip_path, entries, date)
    write_zip(symbols_path, symbols, date)
    with open(os.path.join(out, "SHA256SUMS"), "w") as sums:
        for path in (zip_path, symbols_path):
            sums.write("%s  %s\n" % (sha256(path), os.path.basename(path)))
    for path in (zip_path, symbols_path):
        print("dist: %s (%d bytes)" % (os.path.relpath(path), os.path.getsize(path)))
    print("dist: %s" % os.path.relpath(os.path.join(out, "SHA256SUMS")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
