#!/usr/bin/python3
"""Writes the seed corpus of the fuzz targets.

The bytes follow the input layouts decoded by receiver_fuzz.cpp,
sender_fuzz.cpp, zframe_fuzz.cpp, zsender_fuzz.cpp and zreceiver_fuzz.cpp.
Run with /usr/bin/python3 from anywhere; it rewrites
tests/fuzz/corpus/{receiver,sender,zframe,zsender,zreceiver}/ next to this file.
"""
import base64
import binascii
import os
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

ACK, NAK, CAN, EOT = 0x06, 0x15, 0x18, 0x04


def delay(ms):
    """The fuzzer byte whose arrival delay is closest to `ms`."""
    if ms <= 2000:
        return ms // 10
    return min(255, 200 + (ms - 2000) // 200)


# Receiver segments: kind byte, delay byte, then what the kind needs.
def raw(ms, data):
    return bytes([0, delay(ms), len(data)]) + bytes(data)


def packet(ms, select=0, seed=1, block=0):
    """select 0: next block, 1: repeat, 2: skip one, 3: the given block."""
    out = bytes([1, delay(ms), select, seed])
    return out + (bytes([block]) if select == 3 else b"")


def corrupted(ms, seed, at, flip):
    return bytes([2, delay(ms), seed, at, flip])


def split(ms, cut, gap_ms, seed):
    return bytes([3, delay(ms), cut - 1, delay(gap_ms), seed])


def eot(ms=0):
    return bytes([4, delay(ms)])


def run(ms, count, gap_ms=0, seed=3):
    return bytes([5, delay(ms), count - 1, gap_ms, seed])


def stalled(ms, seed, length):
    return bytes([6, delay(ms), seed, length - 1])


def literal(ms, block, data):
    return bytes([7, delay(ms), block]) + bytes(data[:128]).ljust(128, b"\0")


RECEIVER = {
    "clean_three_blocks": run(0, 3) + eot(),
    "empty_file": eot(),
    "silent_line": b"",
    "wrap_past_255": run(0, 256, 1) + run(5, 44, 1, seed=9) + eot(),
    "noisy": packet(0) + corrupted(20, 5, 70, 0x10) + packet(1500, seed=5)
    + raw(30, [0x43, 0x02, 0x00, 0xFF]) + split(1500, 40, 300, 6)
    + stalled(200, 7, 90) + packet(1600, seed=7) + packet(10, select=1, seed=7)
    + literal(100, 4, b"abc") + eot(50),
    "out_of_sequence": packet(0) + packet(0, select=2) + eot(),
    "repeat_then_go_on": packet(0) + packet(0, select=1) + packet(0) + eot(),
    "header_silence_then_data": packet(10400) + packet(10600) + eot(9000),
    "eleven_garbled": b"".join(corrupted(100, i, 131, 1) for i in range(11)) + eot(),
    # A pause of 1.7 s inside a packet that is still taken whole (the stall
    # test runs only after a read that took nothing, and such a read lasts up
    # to 10 ms per missing byte plus 50 ms), then one of 1.2 s that is not.
    "pause_within_one_read": split(0, 40, 1700, 1) + split(2500, 120, 1200, 2)
    + packet(1500, select=1, seed=2) + eot(100),
    "slow_pieces": split(0, 100, 980, 1) + split(5, 1, 1020, 2) + split(5, 131, 500, 3) + eot(),
    "cancelled": packet(0) + raw(10, [0x18, 0x18, 0x18, 0x08, 0x08]),
    # For the mode 3 pass: headers with the 8-bit sum, after the 6 s in which
    # the receiver asks with C.
    "ymodem_trimmed": raw(6400, []) + literal(0, 0, b"f.bin\0 200 0") + run(0, 2) + eot()
    + literal(0, 0, b""),
    "ymodem_size_too_big": raw(6400, []) + literal(0, 0, b"f.bin\0" + b"9" * 21) + run(10, 1) + eot(),
    "ymodem_second_file": raw(6400, []) + literal(0, 0, b"f\0 100") + run(0, 1) + eot()
    + literal(10, 0, b"g\0 1") + run(0, 1) + eot(),
    "ymodem_no_size": raw(6400, []) + literal(0, 0, b"f.bin\0") + run(0, 2) + eot() + literal(0, 0, b""),
    # Repeats of the stored block with bad packets between, without end.
    "repeats_without_end": packet(0)
    + b"".join(packet(500, select=1) + corrupted(500, i, 131, 1) for i in range(15)) + eot(),
    # Findings of libFuzzer, byte for byte: an EOT that came 10 s after the
    # last answer was read while dropping the line before a NAK, and thrown
    # away; the call then waited out its bounds and gave 0 for a whole file.
    "finding_eot_after_header_silence": base64.b64decode(
        "BgoAgwECCgEwAQIKAoMBAgoDBPYB9YMHhwECCi+DAf//YGAABZN9gwEEAA=="),
    "finding_eot_after_header_silence_2": bytes.fromhex(
        "010000010100f9f9f9f9f9f9f9f9f9f9f9f9f9f9f9f9f9f9f9f9f9f9020a0083"
        "01020a018301020a020a068301020a06830102f6c000000004f6c0000000"
        "040000830102830a0102"),
}

# Sender input: flags (1: ACK whatever comes once the script ends, 2: long
# files), fill byte, file length (little-endian), content seed (2 bytes),
# then one answer segment for the start and one per write.
def sender(flags, pad, length, seed, answers):
    return bytes([flags, pad, length & 0xFF, length >> 8, seed & 0xFF, seed >> 8]) + b"".join(answers)


def ack(ms=0):
    return bytes([0, delay(ms)])


def nak(ms=0):
    return bytes([1, delay(ms)])


def can(ms=0):
    return bytes([2, delay(ms)])


def silence():
    return bytes([3, 0])


def noise(ms, data):
    return bytes([4, delay(ms), len(data)]) + bytes(data)


def two_bytes(ms, first, second, gap_ms):
    return bytes([5, delay(ms), first, second, delay(gap_ms)])


def burst_then_ack(ms, seed, length):
    return bytes([6, delay(ms), seed, length])


SENDER = {
    "clean_300_bytes": sender(0, 0x1A, 300, 1, [nak(), ack(10), ack(10), ack(10)]),
    "empty_file": sender(0, 0x1A, 0, 1, [nak()]),
    "no_receiver": sender(0, 0x1A, 50, 1, []),
    "only_letter_c": sender(0, 0x1A, 50, 1, [noise(0, b"CCC")]),
    "wrap_past_255": sender(3, 0xFF, 33000, 7, [nak()]),
    "noisy": sender(1, 0x00, 400, 3, [
        noise(0, b"C\x00" + bytes([NAK])), nak(50), silence(), two_bytes(10, NAK, ACK, 30),
        burst_then_ack(5, 4, 200), ack(2100), two_bytes(0, ACK, NAK, 100), noise(20, b"xx\x06"),
    ]),
    "cancelled": sender(0, 0x1A, 200, 2, [nak(), ack(), can(100)]),
    "eleven_naks": sender(0, 0x1A, 200, 2, [nak()] + [nak(20)] * 11),
    "receiver_falls_silent": sender(0, 0x1A, 200, 2, [nak(), ack()]),
    "late_start": sender(1, 0x1A, 129, 5, [nak(7990)]),
    # Flags 4: mode 1, 8: mode 2.
    "mode1_crc": sender(4, 0x55, 300, 1, [noise(0, b"C"), ack(), ack(), ack()]),
    "mode1_c_asks_again": sender(4, 0x55, 200, 3, [nak(), noise(0, b"C"), ack(), noise(0, b"C"), ack()]),
    "mode2_long_blocks": sender(10, 0x55, 5000, 4, [noise(0, b"xC")] + [ack()] * 6),
    "mode2_checksum": sender(10, 0x55, 2000, 5, [nak(), ack(), ack(), ack()]),
    "mode2_falls_back": sender(10, 0x55, 3000, 6, [noise(0, b"C"), ack(), nak(), silence(), nak(), ack(), nak()]),
    # Flags 12: mode 3 (an ACK to its header or EOT comes with a C); 16: the
    # host gives the size as -1.
    "mode3_clean": sender(13, 0x55, 3000, 8, [noise(0, b"C")]),
    "mode3_eot_naked": sender(12, 0x55, 200, 9, [noise(0, b"C"), ack(), ack(), ack(), nak(), ack(), ack()]),
    "mode3_header_again": sender(12, 0x55, 10, 3, [noise(0, b"C"), nak(), two_bytes(0, ACK, 0x41, 10),
                                                   ack(), ack(), ack()]),
    "mode3_end_unanswered": sender(12, 0x55, 10, 2, [noise(0, b"C"), ack(), ack(), ack(), silence()]),
    "mode3_negative_size": sender(28, 0x55, 100, 1, [noise(0, b"C")]),
    # Nine silences, then a NAK, again and again: neither count ends it soon.
    "silences_and_naks": sender(0, 0x1A, 200, 2, [nak()] + ([silence()] * 9 + [nak(20)]) * 3),
}


# ZMODEM frames for zframe_fuzz.cpp, put together here on their own (zlib's
# and binascii's CRCs), the way lrzsz's sz sends them.
ZDLE = 0x18


def zescape(data, escape_all=False):
    out = bytearray()
    for b in data:
        low = b & 0x7F
        if b == ZDLE or low in (0x10, 0x11, 0x13) or (escape_all and low < 0x20):
            out += bytes([ZDLE, b ^ 0x40])
        else:
            out.append(b)
    return bytes(out)


def zhex(kind, p=(0, 0, 0, 0)):
    raw = bytes([kind, *p])
    raw += binascii.crc_hqx(raw, 0).to_bytes(2, "big")
    return b"**\x18B" + raw.hex().encode() + b"\r\x8a" + (b"" if kind in (3, 8) else b"\x11")


def zbin(kind, p=(0, 0, 0, 0), crc32=True, escape_all=False):
    raw = bytes([kind, *p])
    raw += zlib.crc32(raw).to_bytes(4, "little") if crc32 else binascii.crc_hqx(raw, 0).to_bytes(2, "big")
    return b"*\x18" + (b"C" if crc32 else b"A") + zescape(raw, escape_all)


def zdata(data, end, crc32=True, escape_all=False):
    body = bytes(data) + bytes([end])
    crc = zlib.crc32(body).to_bytes(4, "little") if crc32 else binascii.crc_hqx(body, 0).to_bytes(2, "big")
    return zescape(data, escape_all) + bytes([ZDLE, end]) + zescape(crc, escape_all) + (b"\x11" if end == 0x6B else b"")


def zpos(n):
    return tuple(n.to_bytes(4, "little"))


def sz_session(escape_all=False, crc32=True):
    content = bytes((i * 37 + (i >> 7)) & 0xFF for i in range(2500))
    out = b"rz\r" + zhex(0)
    out += zbin(4, (0, 0, 0, 1), crc32, escape_all) + zdata(b"f.bin\0" b"2500 0 100644\0", 0x6B, crc32, escape_all)
    out += zbin(10, zpos(0), crc32, escape_all)
    for at in range(0, len(content), 1024):
        end = 0x68 if at + 1024 >= len(content) else 0x69
        out += zdata(content[at:at + 1024], end, crc32, escape_all)
    return out + zbin(11, zpos(len(content)), crc32, escape_all) + zhex(8) + b"OO"


# Raw input: mode byte (0: subpackets as the engine asks, 2: after any
# header), a cutting plan (count, sizes), then the line.
def zraw(line, mode=0, plan=()):
    return bytes([mode, len(plan), *plan]) + line


# Frames input: mode 1, flags (1: ESCCTL), last byte sent, cutting plan, then
# per frame: op (form = (op & 3) % 3, bit 2: one more subpacket, bit 7: junk of
# (op >> 3) & 15 bytes first), the junk, type, four bytes, noise (bit 7: an
# XON or XOFF within the header), and for ZSINIT, ZFILE, ZDATA, ZCOMMAND a
# count byte and per subpacket: length below 0xF0 then the data, or 0xF0 +
# n and a seed for min(8192, n * 600) filler bytes; then the end choice.
def zframes(frames, escape_all=False, last=0, plan=()):
    return bytes([1, int(escape_all), last, len(plan), *plan]) + b"".join(frames)


def zframe(op, kind, p, noise=0, junk=b"", subpackets=(), count=0):
    out = bytes([op | (0x80 | len(junk) << 3 if junk else 0)]) + junk + bytes([kind, *p, noise])
    if kind in (2, 4, 10, 18):
        out += bytes([count])
        for data, end_choice in subpackets:
            out += (bytes([len(data)]) + data if isinstance(data, bytes) else bytes(data)) + bytes([end_choice])
    return out


SESSION_FRAMES = [
    zframe(0, 0, (0, 0, 0, 0), junk=b"rz!"),
    zframe(2, 4, (0, 0, 0, 1), noise=0x81, subpackets=[(b"f.bin\0" b"10 0\0", 1)]),
    zframe(2 | 4, 10, zpos(0), count=1, subpackets=[(b"@\r@\x8d\x18", 0), ([0xF2, 7], 1), (b"abc", 0)]),
    zframe(1, 11, zpos(1213), noise=0x93),
    zframe(0, 8, (0, 0, 0, 0)),
]

ZFRAME = {
    "sz_session": zraw(sz_session()),
    "sz_session_escctl_crc16": zraw(sz_session(escape_all=True, crc32=False), plan=(0, 6, 200)),
    # Taken from rz -e, and the start of sz's answer to it, on a pty pair.
    "rz_answers": zraw(bytes.fromhex(
        "2a2a184230313030303030303633663639340d8a112a2a184230313030303030303633663639340d8a11"
        "2a2a184230393030303030303030613837630d8a112a2a184230313030303030303633663639340d8a11"
        "2a2a184230383030303030303030303232640d8a"), plan=(2,)),
    "sz_escctl_start": zraw(bytes.fromhex(
        "727a0d2a2a184230303030303030303030303030300d8a112a184318441840184018401840dd51a233662e"
        "62696e184033303030203135333036313731303736203130303634342030203120333030301840186b1851"
        "185a60bf112a1843184a1840184018401840bcef18d218cc1843ce5b531850ed4e55bc5872d8ae6c1844")),
    "cans_in_subpacket": zraw(zbin(10, zpos(0)) + b"data" + b"\x18" * 8 + b"\x08" * 8 + zhex(1), mode=2),
    "noise_after_any_header": zraw(b"*\x18A\x01\x02\x03\x04\x05\x06\x07abc\x18h\x01\x02*\x18C\x18\x18xy"
                                   b"**\x18B0123456789abcdefABCDEF\r\n\x91\x13", mode=2, plan=(1, 3)),
    "too_long": zraw(zbin(10, zpos(0), crc32=False) + b"z" * 8200 + bytes([ZDLE, 0x69]) + zhex(9)),
    "frames": zframes(SESSION_FRAMES, last=0x40, plan=(0, 16)),
    "frames_escctl": zframes(SESSION_FRAMES, escape_all=True, plan=(4,)),
    "frames_longest": zframes([zframe(1, 10, zpos(0), subpackets=[([0xFF, 3], 1)])]),
}


# zsender: flags (1 mode 5, 4 the host's size given, 0x10
# without 8: the receiver falls silent once the input ends), the length (two bytes), the
# fill seed, [the host's size], the failing call (7: none), [its number],
# the receiver's capabilities (1 CRC-32, 2 ESCCTL, 4 a buffer, 8 resume),
# [where mode 5 resumes]; then per write an answer kind and what it needs,
# and a delay byte.
def zsender(flags, length, fault=(7,), caps=1, more=b"", answers=b""):
    return bytes([flags, length & 0xFF, length >> 8, 5]) + bytes(fault) + bytes([caps]) + more + answers


GOOD, SILENT = bytes([0, 0]), bytes([3, 0])


def rpos(pick, ms=0):
    return bytes([5, pick, 0, delay(ms)])


ZSENDER = {
    "clean": zsender(8, 1025),
    "clean_long_escctl": zsender(0x0A, 5000, caps=3),
    "clean_short": zsender(8, 1000),
    "crc16_buffer": zsender(8, 3000, caps=4 | 0x80),
    "resume": zsender(9, 3000, caps=9, more=bytes([20])),
    "host_size_wrong": zsender(12, 3000, more=bytes([9])),
    "back_to_zero": zsender(8, 3000, answers=GOOD * 3 + rpos(0) + GOOD + rpos(4) + GOOD),
    "cans": zsender(8, 3000, answers=GOOD * 3 + bytes([7, 7, 1, 0])),
    "silent_after_offer": zsender(0x10, 2000, answers=GOOD * 2),
    "write_fails": zsender(8, 3000, fault=(0, 2)),
    "queue_fails": zsender(8, 3000, fault=(2 | 8, 9)),
}

# zreceiver: flags (0xE2 long file, 4 size not announced, 8 CRC-16, 0x10
# without 1: the sender falls silent once the input ends), the length (two bytes), the fill
# seed, the failing call (7: none), [its number], the subpacket length
# (32 << n), how many answers come before the first write and those; then per
# write an answer kind and what it needs, and a delay byte.
def zreceiver(flags, length, fault=(7,), sub=5, first=b"", answers=b""):
    return bytes([flags, length & 0xFF, length >> 8, 9]) + bytes(fault) + bytes([sub]) + first + answers


ZRECEIVER = {
    "clean": zreceiver(1, 2000, first=bytes([0])),
    "unannounced": zreceiver(5, 2000, first=bytes([0])),
    "crc16_8k": zreceiver(0xEB, 12000, sub=8, first=bytes([0])),
    "damaged": zreceiver(1, 2000, first=bytes([0]), answers=bytes([0, 0, 11, 200, 3, 0])),
    "frames_overlapping": zreceiver(1, 2000, first=bytes([0]),
                                    answers=bytes([0, 0, 5, 1, 0, 0, 0, 31, 0, 5, 2, 40, 0, 0, 2, 0])),
    "cans": zreceiver(1, 2000, first=bytes([1, 10, 7, 0])),
    "silence": zreceiver(0x10, 2000, first=bytes([0])),
    "read_fails": zreceiver(1, 2000, fault=(1, 1), first=bytes([0])),
    # A ZFIN and the sender's five CANs in one read, while waiting for OO:
    # the ZFIN was answered after the abort had been read.
    "finding_zfin_with_abort": bytes.fromhex("180000da038b9618bfe7ffffa0fc8000691800250000000000001800003a2403"),
}


def write(folder, seeds):
    path = os.path.join(HERE, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    for name in os.listdir(path):
        os.remove(os.path.join(path, name))
    for name, data in seeds.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("receiver", RECEIVER)
    write("sender", SENDER)
    write("zframe", ZFRAME)
    write("zsender", ZSENDER)
    write("zreceiver", ZRECEIVER)
    print("seeds: %d receiver, %d sender, %d zframe, %d zsender, %d zreceiver"
          % (len(RECEIVER), len(SENDER), len(ZFRAME), len(ZSENDER), len(ZRECEIVER)))
