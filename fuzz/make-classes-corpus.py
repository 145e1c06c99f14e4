#!/usr/bin/env python3
"""Writes the seed inputs of classes_fuzzer to fuzz/corpus-classes/.

Every byte string is a valid script for the harness (each choice is read from
the input's end and wraps into its range), so the seeds are pseudo-random
scripts from fixed seeds, reproducible byte for byte. Their lengths run from
a few calls to the harness's 4096-byte limit; in half of them most bytes are
small, which picks the first, ordinary options (a host's sample rates,
capacities and steps forward in time) more often than hostile ones. The last
byte, read first, selects the set-up of one live object of each class, except
in the first seed, which starts from null handles.

    python3 fuzz/make-classes-corpus.py
"""
import os
import random

LENGTHS = [16, 48, 128, 256, 512, 768, 1024, 1536, 2048, 3072, 4000, 4096]


def script(index, length):
    rng = random.Random(20261206 + index)
    small = index % 2 == 1
    data = bytearray()
    for _ in range(length):
        if small and rng.random() < 0.7:
            data.append(rng.randrange(16))
        else:
            data.append(rng.randrange(256))
    # The set-up is skipped when the last byte is a multiple of four.
    data[-1] = 0 if index == 0 else (data[-1] | 1)
    return bytes(data)


def main():
    directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus-classes")
    os.makedirs(directory, exist_ok=True)
    for index, length in enumerate(LENGTHS):
        with open(os.path.join(directory, "seed-%02d" % (index + 1)), "wb") as out:
            out.write(script(index, length))


if __name__ == "__main__":
    main()
