#!/usr/bin/python3
"""Transfers through a noisy line: the plug-in (serialhost under Wine) against
itself and against lrzsz, through the line simulator at 115200 baud with bit
errors, lost bytes or spurious bytes.

    /usr/bin/python3 tests/reliability/noisy.py BUILD_DIR [--short] [--transfers N]
        [--levels NAME,...] [--modes 0,1,2] [--seed N] [--strict]

Every level runs in mode 0; the levels in CRC_LEVELS run again in modes 1
(CRC-16), 2 (1K blocks) and 4 (ZMODEM), each mode on a fresh line with the
level's seed, against rx -c, sx (mode 1), sx -k (mode 2), or rz and sz (mode
4), and the plug-in in the same mode.  Mode 4 files must arrive exactly: any
difference is a fault.

For each noise level and pairing it counts the transfers tried, completed
and correct, failed (result 0) and silently corrupted (result 1 but the file
differs from the source beyond the last block's padding), and the longest
export call.  Every failure is given its reason from the trace lines (the
receiver's 11th rejection in a row, "Received too many NAKs", ...), and
every silent corruption is taken apart block by block to see whether the
line made it in a way the 8-bit checksum cannot see.

A fault of ours -- an error report, a crash, a call that did not end, a host
file left open, or a corrupted file the line's damage does not explain --
makes the exit status 1.  --strict also fails on explained corruptions.
Writes BUILD_DIR/reliability/noisy[-short].csv (one row per transfer) and
noisy[-short]-summary.csv, and prints the table.
"""

import argparse
import collections
import itertools
import os
import random
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import runs  # noqa: E402
from runs import rig, winpath, padded  # noqa: E402

BAUD = 115200

# name, linesim fault options, file size, transfers per pairing (full run)
LEVELS = [
    ("BER 1e-5", ["--ber", "1e-5"], 32 * 1024, 6),
    ("BER 1e-4", ["--ber", "1e-4"], 16 * 1024, 8),
    ("BER 1e-3", ["--ber", "1e-3"], 4 * 1024, 8),
    ("drop 1e-4", ["--drop", "1e-4"], 16 * 1024, 8),
    ("insert 1e-4", ["--insert", "1e-4"], 16 * 1024, 8),
]
SHORT_LEVELS = [("BER+drop+insert 1e-4", ["--ber", "1e-4", "--drop", "1e-4", "--insert", "1e-4"], 8 * 1024, 2)]

# Levels that also run in modes 1, 2 and 4, beside mode 0 on the same seeds.
CRC_LEVELS = ["BER 1e-3", "drop 1e-4", "insert 1e-4"]
MODES = [0, 1, 2, 4]
ZMODEM = 4

PAIRS = ["plug-in -> plug-in", "plug-in -> rx", "sx -> plug-in"]

# Generous bounds on one transfer; a call still running then is a fault.
START_WAIT = 10      # the sender's start wait, and some
SILENT_RECEIVE = 150  # a receiver left alone: 11 x 10 s of header silence, and some


CRC_ASKS = 6         # a CRC receiver's three Cs before it asks with NAK


def transfer_timeout(blocks):
    return START_WAIT + CRC_ASKS + SILENT_RECEIVE + 3.0 * blocks


def peer_argv(pair, mode):
    """lrzsz in the mode's own terms: rx asks with C in modes 1 and 2, sx
    sends 1K blocks in mode 2; rz and sz in mode 4 (rz writes the sender's
    file name in its own folder)."""
    if mode == ZMODEM:
        return ["rz", "-y"] if pair == "plug-in -> rx" else ["sz", "src.bin"]
    if pair == "plug-in -> rx":
        return ["rx", "-b"] + (["-c"] if mode else []) + ["out.bin"]
    return ["sx", "-b"] + (["-k"] if mode == 2 else []) + ["src.bin"]


def pair_label(pair, mode):
    """A pairing as the tables show it: in mode 4 the peers are rz and sz."""
    return pair.replace("rx", "rz").replace("sx", "sz") if mode == ZMODEM else pair


def label(level, mode):
    """A level and mode as one name (mode 0: the level's own)."""
    return level if mode == 0 else "%s, mode %d" % (level, mode)


def slug(text):
    return "".join(c if c.isalnum() or c in "-." else "_" for c in text.replace(" -> ", "-to-"))


# -- looking at what arrived --------------------------------------------------------
def explain_block(src, got):
    """How the line could have turned block SRC into GOT with the 8-bit
    checksum still matching, or None."""
    bits = sum(bin(a ^ b).count("1") for a, b in zip(src, got))
    delta = (sum(got) - sum(src)) % 256
    if bits <= 8 and delta == 0:
        return "%d bits flipped, sum unchanged" % bits
    if bits <= 8 and any(delta in (1 << k, 256 - (1 << k)) for k in range(8)):
        return "%d bits flipped, the checksum byte flipped to match" % bits
    for i in range(128):
        if got[:i] == src[:i] and got[i:127] == src[i + 1:]:
            return "byte %d lost, the packet closed by a later byte that matched the sum" % i
        if got[:i] == src[:i] and got[i + 1:] == src[i:127]:
            return "a spurious byte at %d, the sum matched" % i
    return None


def compare(source, got, peer_strips_padding=False, exact=False):
    """None when GOT is SOURCE as it should arrive; else (explained,
    description).  EXACT (mode 4): nothing but SOURCE itself will do, and no
    damage is explained."""
    if exact:
        if got == source:
            return None
        if got is None:
            return (None, "no file")
        first = next((i for i, (a, b) in enumerate(zip(source, got)) if a != b), min(len(source), len(got)))
        return (False, "%d of %d bytes, first difference at %d" % (len(got), len(source), first))
    want = padded(source)
    if got == want:
        return None
    if peer_strips_padding and len(source) <= len(got) <= len(want) and want[:len(got)] == got:
        return None
    if got is None:
        return (None, "no file")
    blocks = min(len(got), len(want)) // 128
    notes, unexplained = [], False
    for b in range(blocks):
        s, g = want[b * 128:(b + 1) * 128], got[b * 128:(b + 1) * 128]
        if s != g:
            why = explain_block(s, g)
            notes.append("block %d: %s" % (b + 1, why or "not explained"))
            unexplained |= why is None
    if len(got) < len(want) and not (peer_strips_padding and len(got) >= len(source)):
        notes.append("%d of %d blocks" % (len(got) // 128, len(want) // 128))
    elif len(got) > len(want):
        notes.append("%d bytes too many" % (len(got) - len(want)))
        unexplained = True
    return (not unexplained, "; ".join(notes))


# A ZMODEM receive that ended with 0, by its last trace lines.
ZMODEM_RECEIVER_ENDINGS = [
    ("No progress at", "no progress"),
    ("No file offered", "no file offered"),
    ("Sender ended", "sender ended early"),
    ("Sender sent more", "more than the size"),
]


def receiver_reason(run):
    """Why a plug-in receive returned 0, from its trace lines and reports."""
    for line in run.out.splitlines():
        if line.startswith("Sender out of sequence"):
            return "out of sequence"
        if line == "Sender cancelled transfer":
            return "cancelled"
        for start, reason in ZMODEM_RECEIVER_ENDINGS:
            if line.startswith(start):
                return reason
    if run.reports():
        return "report: " + run.reports()[0]
    return "11 rejections"


SENDER_ENDINGS = [
    ("No progress at", "no progress"),
    ("File header sent", "file header unanswered"),
    ("Receiver skipped the file", "skipped"),
    ("Receiver ended the transfer", "receiver ended"),
    ("Received too many NAKs", "too many NAKs"),
    ("Receiver stopped answering, giving up", "receiver silent"),
    ("Receiver cancelled transfer", "cancelled"),
    ("Transfer start timed out", "start timed out"),
]


def sender_reason(run):
    for line, reason in SENDER_ENDINGS:
        if "\n" + line in "\n" + run.out:
            return reason
    if run.reports():
        return "report: " + run.reports()[0]
    return "no reason traced"


def host_faults(run, role):
    """Faults of ours visible in one plug-in run."""
    faults = []
    if run.timed_out:
        faults.append("%s call did not end" % role)
    elif run.result is None:
        faults.append("%s host ended without a result (exit %s)" % (role, run.rc))
    if run.reports():
        faults.append("%s reported: %s" % (role, "; ".join(run.reports())))
    if run.file_left_open():
        faults.append("%s left its file open" % role)
    return faults


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


# -- one transfer -----------------------------------------------------------------
class Campaign:
    def __init__(self, build, linesim, out_dir, seed, prefix=None):
        self.build, self.linesim, self.out_dir, self.seed, self.prefix = build, linesim, out_dir, seed, prefix
        self.records = []

    def level(self, name, faults, size, transfers, index, pairs, mode=0):
        stats_path = os.path.join(self.out_dir, "linesim-%s.stats" % slug(label(name, mode)))
        line = runs.linesim_line(self.linesim, faults, self.seed + index, BAUD, stats_path)
        work = tempfile.mkdtemp(prefix="noisy-")
        start = time.monotonic()
        try:
            with rig.Rig(self.build, name="rig-noisy", line=line, prefix=self.prefix) as the_rig:
                hosts = runs.Hosts(the_rig, work)
                for pair in pairs:
                    for n in range(transfers):
                        # Sizes that end the last block at different places.
                        length = size - (n * 53) % 128
                        data = random.Random("%s/%s/%d" % (name, pair, n)).randbytes(length)
                        # Each transfer's logs in a folder of their own; kept
                        # under BUILD_DIR/reliability/logs unless all went well.
                        hosts.dir = os.path.join(work, "logs", "%s-%s-%d" % (
                            slug(label(name, mode)), slug(pair), n + 1))
                        os.makedirs(hosts.dir)
                        record = self.transfer(the_rig, hosts, work, pair, n, data, mode)
                        record.update(level=name, mode=mode, pair=pair, n=n + 1, size=length)
                        self.records.append(record)
                        if record["outcome"] != "ok":
                            kept = os.path.join(self.out_dir, "logs", os.path.basename(hosts.dir))
                            shutil.rmtree(kept, True)
                            shutil.copytree(hosts.dir, kept)
                            record["logs"] = kept
                        shutil.rmtree(hosts.dir, True)
                        print("  %-22s %d %-20s #%-2d %6d B  %-7s %6.1f s  %s" % (
                            name, mode, pair_label(pair, mode), n + 1, length, record["outcome"], record["call_s"],
                            record["reason"]), flush=True)
        finally:
            shutil.rmtree(work, True)
        stats = runs.read_stats(stats_path)
        print("  %s: line stats %s (%.0f s)" % (label(name, mode), {k: v for k, v in stats.items() if k.endswith(
            ("flipped", "dropped", "inserted", "bytes_read"))}, time.monotonic() - start), flush=True)
        return stats

    def transfer(self, the_rig, hosts, work, pair, n, data, mode):
        src, out = os.path.join(work, "src.bin"), os.path.join(work, "out.bin")
        for path in (src, out):
            if os.path.exists(path):
                os.remove(path)
        with open(src, "wb") as f:
            f.write(data)
        runs.drain_ends(the_rig)
        limit = transfer_timeout(len(padded(data)) // 128)
        in_mode = ["--mode", str(mode)]
        if pair == "plug-in -> plug-in":
            # Alternate the direction over the two ports.
            tx, rx_port = ("COM5", "COM6") if n % 2 == 0 else ("COM6", "COM5")
            receiver = hosts.start(["--check-closed", "recv", rx_port, winpath(out)] + in_mode)
            sender = hosts.start(["--check-closed", "send", tx, winpath(src)] + in_mode)
            s = hosts.finish(sender, limit)
            r = hosts.finish(receiver, limit)
            return self.judge(data, read_file(out), sender=s, receiver=r, exact=mode == ZMODEM)
        if pair == "plug-in -> rx":
            folder = work
            if mode == ZMODEM:  # rz writes src.bin where it runs
                folder = os.path.join(work, "rz")
                shutil.rmtree(folder, True)
                os.mkdir(folder)
                out = os.path.join(folder, "src.bin")
            sender = hosts.start(["--check-closed", "send", "COM5", winpath(src)] + in_mode)
            peer = self.peer(the_rig, peer_argv(pair, mode), folder, hosts.dir)
            s = hosts.finish(sender, limit)
            peer_rc = self.finish_peer(the_rig, peer)
            record = self.judge(data, read_file(out), sender=s, peer_rc=peer_rc, strips=True, exact=mode == ZMODEM)
            record["peer_note"] = self.peer_note(hosts.dir)
            return record
        peer = self.peer(the_rig, peer_argv(pair, mode), work, hosts.dir)
        time.sleep(0.5)  # sx flushes its input when it starts
        receiver = hosts.start(["--check-closed", "recv", "COM5", winpath(out)] + in_mode)
        r = hosts.finish(receiver, limit)
        peer_rc = self.finish_peer(the_rig, peer)
        record = self.judge(data, read_file(out), receiver=r, peer_rc=peer_rc, exact=mode == ZMODEM)
        record["peer_note"] = self.peer_note(hosts.dir)
        return record

    @staticmethod
    def peer_note(logs):
        """The last thing lrzsz said, for the record."""
        text = read_file(os.path.join(logs, "peer.err")) or b""
        lines = [l.strip() for l in text.decode("latin-1").replace("\r", "\n").splitlines() if l.strip()]
        return lines[-1][:120] if lines else ""

    def peer(self, the_rig, argv, work, logs):
        err = open(os.path.join(logs, "peer.err"), "wb")
        try:
            return the_rig.start_peer(argv, "b", cwd=work, stderr=err)
        finally:
            err.close()

    @staticmethod
    def finish_peer(the_rig, proc):
        # rx confirms the EOT after a second of silence; a peer still
        # running after that has given up on a plug-in that already ended.
        try:
            return the_rig.wait(proc, 40)
        except TimeoutError:
            return "ended"

    def judge(self, data, got, sender=None, receiver=None, peer_rc=None, strips=False, exact=False):
        faults = []
        calls = []
        for run, role in ((sender, "sender"), (receiver, "receiver")):
            if run is not None:
                faults += host_faults(run, role)
                if run.seconds is not None:
                    calls.append(run.seconds)
        record = {"call_s": max(calls) if calls else 0.0, "peer_rc": "" if peer_rc is None else peer_rc,
                  "send_result": "" if sender is None else sender.result,
                  "recv_result": "" if receiver is None else receiver.result, "detail": ""}
        # The plug-in whose result counts: the receiver when it is ours.
        judged = receiver if receiver is not None else sender
        reasons = []
        if receiver is not None and receiver.result == 0:
            reasons.append("receiver: " + receiver_reason(receiver))
        if sender is not None and sender.result == 0:
            reasons.append("sender: " + sender_reason(sender))
        if judged.result == 1:
            verdict = compare(data, got, peer_strips_padding=strips, exact=exact)
            if verdict is None:
                outcome = "ok"
                if sender is not None and sender.result == 0:
                    faults.append("the receiver completed but the sender failed")
            else:
                explained, what = verdict
                outcome = "silent"
                record["detail"] = what
                if receiver is None and peer_rc != 0:
                    # The sender ends as soon as its EOT is written; rx
                    # removes or truncates its file when that EOT never
                    # arrives whole.
                    reasons.append("rx failed after the EOT (exit %s)" % peer_rc)
                    explained = True if explained is None else explained
                if not explained:
                    faults.append("silent corruption not explained by the line: " + what)
                if not explained:
                    reasons.append("UNEXPLAINED")
                elif "block " in what:
                    reasons.append("damage the 8-bit checksum cannot see")
                else:
                    reasons.append("file cut short")
        else:
            outcome = "failed"
        if faults:
            outcome = "fault"
        record.update(outcome=outcome, reason="; ".join(reasons + faults))
        return record


# -- the tables -------------------------------------------------------------------
def summarize(records, levels, pairs):
    rows = []
    for name, mode, pair in itertools.product(levels, MODES, pairs):
        mine = [r for r in records if r["level"] == name and r["mode"] == mode and r["pair"] == pair]
        if not mine:
            continue
        count = collections.Counter(r["outcome"] for r in mine)
        reasons = collections.Counter()
        for r in mine:
            if r["outcome"] != "ok":
                for part in r["reason"].split("; "):
                    reasons[part] += 1
        rows.append({
            "level": name, "mode": mode, "pair": pair_label(pair, mode), "tried": len(mine), "completed": count["ok"],
            "failed": count["failed"], "silent": count["silent"] + sum(
                1 for r in mine if r["outcome"] == "fault" and "silent corruption" in r["reason"]),
            "faults": count["fault"],
            "longest_call_s": "%.1f" % max(r["call_s"] for r in mine),
            "reasons": ", ".join("%s x%d" % kv for kv in sorted(reasons.items())),
        })
    return rows


SUMMARY_FIELDS = ["level", "mode", "pair", "tried", "completed", "failed", "silent", "faults", "longest_call_s",
                  "reasons"]
RECORD_FIELDS = ["level", "mode", "pair", "n", "size", "outcome", "call_s", "send_result", "recv_result", "peer_rc",
                 "reason", "detail", "peer_note", "logs"]


def run(build, short=False, transfers=None, level_names=None, pairs=None, seed=1, out_dir=None, prefix=None,
        modes=None):
    """Runs the campaign; returns (summary rows, records, line stats by
    label(level, mode))."""
    linesim = runs.find_linesim()
    if not linesim:
        raise RuntimeError("no linesim: build the native tree (make native) or set LINESIM")
    levels = SHORT_LEVELS if short else LEVELS
    if level_names:
        levels = [l for l in LEVELS + SHORT_LEVELS if l[0] in level_names]
    pairs = pairs or PAIRS
    out_dir = out_dir or os.path.join(build, "reliability")
    os.makedirs(out_dir, exist_ok=True)
    campaign = Campaign(build, linesim, out_dir, seed, prefix)
    stats = {}
    for index, (name, faults, size, count) in enumerate(levels):
        for mode in MODES if name in CRC_LEVELS else [0]:
            if modes is None or mode in modes:
                stats[label(name, mode)] = campaign.level(name, faults, size, transfers or count, index, pairs,
                                                          mode)
    rows = summarize(campaign.records, [l[0] for l in levels], pairs)
    stem = "noisy-short" if short else "noisy"
    runs.write_csv(os.path.join(out_dir, stem + ".csv"), campaign.records, RECORD_FIELDS)
    runs.write_csv(os.path.join(out_dir, stem + "-summary.csv"), rows, SUMMARY_FIELDS)
    return rows, campaign.records, stats


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build_dir")
    parser.add_argument("--short", action="store_true", help="one mixed level, a few transfers (make test)")
    parser.add_argument("--transfers", type=int, help="transfers per level and pairing")
    parser.add_argument("--levels", help="comma-separated level names, e.g. 'BER 1e-3,drop 1e-4'")
    parser.add_argument("--pairs", help="comma-separated pairings: " + ", ".join(PAIRS))
    parser.add_argument("--modes", help="comma-separated transfer modes (default: 0 on every level, 1 and 2 on "
                        + ", ".join(CRC_LEVELS) + ")")
    parser.add_argument("--seed", type=int, default=1, help="linesim seed of the first level")
    parser.add_argument("--strict", action="store_true", help="fail on explained silent corruptions too")
    parser.add_argument("--prefix", help="Wine prefix (default BUILD_DIR/wineprefix)")
    args = parser.parse_args()
    build = os.path.abspath(args.build_dir)
    reason = rig.host_unavailable(build)
    if reason:
        print("noisy: skipped: " + reason)
        return 77
    print("noisy lines: build %s (serialhost.exe is %s-bit), linesim at %d baud" % (
        build, 32 if rig.is_32bit_program(rig.host_exe(build)) else 64, BAUD), flush=True)
    rows, records, _ = run(build, short=args.short, transfers=args.transfers,
                           level_names=args.levels.split(",") if args.levels else None,
                           pairs=args.pairs.split(",") if args.pairs else None, seed=args.seed,
                           prefix=args.prefix,
                           modes=[int(m) for m in args.modes.split(",")] if args.modes else None)
    print()
    print(runs.table(rows, SUMMARY_FIELDS[:-1], ["level", "mode", "pair", "tried", "completed", "failed",
                                                 "silently corrupted", "faults", "longest call (s)"]))
    print()
    for r in rows:
        if r["reasons"]:
            print("%s, mode %d, %s: %s" % (r["level"], r["mode"], r["pair"], r["reasons"]))
    faults = [r for r in records if r["outcome"] == "fault"]
    silent = [r for r in records if r["outcome"] == "silent"]
    for r in faults + silent:
        print("%s mode %d %s #%d: %s %s" % (r["level"], r["mode"], r["pair"], r["n"], r["reason"], r["detail"]))
    if faults or (args.strict and silent):
        print("noisy: FAILED: %d faults, %d explained silent corruptions" % (len(faults), len(silent)))
        return 1
    print("noisy: no fault of ours (%d explained silent corruptions)" % len(silent))
    return 0


if __name__ == "__main__":
    sys.exit(main())
