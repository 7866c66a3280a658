#!/usr/bin/python3
"""What the line's bit errors do to a 132-byte XMODEM packet with its 8-bit
checksum, worked out by sampling: how often a packet is refused, how often
it is damaged yet passes all three tests (SOH, complement, checksum), and
what that means for a file of N blocks.

    /usr/bin/python3 tests/reliability/checksum_odds.py [--packets N] [--blocks 32]

The noisy-line campaign compares its counts with these figures: a damaged
block that the receiver stores is the protocol's limit, not a fault of the
receiver, when it arrives at about this rate.
"""

import argparse
import math
import random

BITS = 132 * 8


def damaged_packet_passes(rng, flips):
    """Random data, FLIPS distinct bits inverted: do the receiver's three
    tests still pass (with the block number unchanged)?"""
    data = [rng.randrange(256) for _ in range(128)]
    block = rng.randrange(256)
    packet = [1, block, 255 - block] + data + [sum(data) % 256]
    for bit in rng.sample(range(BITS), flips):
        packet[bit // 8] ^= 1 << (bit % 8)
    return (packet[0] == 1 and packet[2] == 255 - packet[1] and packet[1] == block
            and sum(packet[:131]) % 256 == packet[131])


def binomial(rng, n, p):
    # Flips are rare: count them by geometric skips.
    count, position = 0, -1
    if p <= 0:
        return 0
    log_q = math.log(1 - p)
    while True:
        position += int(math.log(1 - rng.random()) / log_q) + 1
        if position >= n:
            return count
        count += 1


def odds(ber, packets, rng):
    refused = passed_damaged = 0
    for _ in range(packets):
        flips = binomial(rng, BITS, ber)
        if flips == 0:
            continue
        if damaged_packet_passes(rng, flips):
            passed_damaged += 1
        else:
            refused += 1
    return refused / packets, passed_damaged / packets


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--packets", type=int, default=2000000)
    parser.add_argument("--blocks", type=int, default=32, help="blocks in a file (4 KiB = 32)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    print("| BER | packet refused | damaged packet accepted | %d-block file: P(11 refusals in a row "
          "somewhere) | damaged blocks stored per file |" % args.blocks)
    print("|---|---|---|---|---|")
    for ber in (1e-5, 1e-4, 1e-3):
        refused, passed = odds(ber, args.packets, rng)
        # Sends per block: 1 / (1 - refused), the last one accepted.
        per_block_fail = refused ** 11
        file_fail = 1 - (1 - per_block_fail) ** args.blocks
        sends = args.blocks / (1 - refused)
        print("| %g | %.4g | %.3g | %.3g | %.3g |" % (ber, refused, passed, file_fail, sends * passed))


if __name__ == "__main__":
    main()
