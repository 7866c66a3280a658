#!/usr/bin/python3
"""Writes the seed corpus of the two fuzz targets.

The bytes follow the input layouts decoded by receiver_fuzz.cpp and
sender_fuzz.cpp. Run with /usr/bin/python3 from anywhere; it rewrites
tests/fuzz/corpus/{receiver,sender}/ next to this file.
"""
import base64
import os

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
    print("seeds: %d receiver, %d sender" % (len(RECEIVER), len(SENDER)))
