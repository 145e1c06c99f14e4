#!/usr/bin/env python3
"""Writes seed inputs that play given call sequences through the harnesses.

The harnesses read every choice from the input's end (FuzzedDataProvider):
an integer in [lo, hi] takes as many bytes as hi - lo needs, most
significant first; a bool one byte; a double in a range eight bytes of
fraction. The scripts below list the choices in the order a harness reads
them; the bytes are written back to front. Each seed opens a path that plain
mutation finds rarely:

  fuzz/corpus/seed-stray-endupdate     endUpdate without beginUpdate, then a
                                       new buffer length, ring accesses,
                                       segments and fetches while the rings no
                                       longer match, and the count balanced
  fuzz/corpus/seed-unfetched-queue     48000 positions scheduled through a
                                       ring of 256 without fetching, then
                                       fetches (the loss reported) and the end
  fuzz/corpus/seed-unfetched-destroy   the same queue left to the destructor
  fuzz/corpus/seed-refused-settings    refused sample rates and frequencies
                                       between ring writes, a huge period count
  fuzz/corpus-classes/seed-far-times   voltage events at times near +-1.5e308
  fuzz/corpus-classes/seed-rvc-step    rapid voltage changes: a steady run,
                                       a 6 % step down and back up, taken
  fuzz/corpus-classes/seed-flicker-tick  a flickermeter whose clock puts a
                                       10-minute and a 2-hour tick 10 s after
                                       sample 0: Pst and Plt handed out

    python3 fuzz/make-sequence-seeds.py
"""
import os


class Script:
    def __init__(self):
        self.stream = bytearray()  # in the order the harness reads

    def int(self, value, lo, hi, bits=32):
        span = hi - lo
        assert 0 <= value - lo <= span
        n = 0
        while n * 8 < bits and (span >> (8 * n)) > 0:
            n += 1
        self.stream += (value - lo).to_bytes(n, "big") if n else b""
        return self

    def bool(self, value):
        return self.int(1 if value else 0, 0, 255, 8)

    def pick(self, index, size):
        return self.int(index, 0, size - 1, 64)

    def fraction(self, p):
        return self.int(round(p * (2**64 - 1)), 0, 2**64 - 1, 64)

    def data(self):
        return bytes(reversed(self.stream))


# ---- flat_fuzzer ----

def configured():
    s = Script().int(1, 0, 3)   # set up slot 0 as a host would
    s.pick(0, 4)                # buffer length 256
    s.pick(1, 3)                # 10240 Hz
    s.pick(0, 2)                # 50 Hz
    s.int(1, 0, 7)              # ThreePhaseStar
    s.pick(0, 4)                # divisor 1
    s.bool(True)                # static frequency
    s.bool(True).bool(False).bool(False).bool(False)  # currents only
    s.pick(1, 4).pick(0, 3).pick(2, 4).pick(2, 4)     # 2 half periods, no overlap, RVC window 8, 2 %
    return s


def step(s, op, slot=0):
    return s.int(slot, 0, 2).int(op, 0, 23)


def buffer_length(s, table_index):
    return step(s, 5).int(3, 0, 7).pick(table_index, 12)


def ring_access(s, accessor, channel=0, write=0):
    step(s, 12).int(channel, 0, 9, 8).int(accessor, 0, 3)
    if write:  # only read when the access succeeded: next position, count, a sine
        s.int(1, 0, 3).int(0, 0, 4096, 64).int(write, 0, 2048, 64).bool(True).fraction(0.8).fraction(0.3)
    return s


def segment(s, length, frequency=50.0, long=False):
    step(s, 14).int(1, -1, 6).int(2, 0, 7)
    if long:
        s.int(1, 0, 7).int(length, 1, 1 << 14)
    else:
        s.int(2, 0, 7).int(length, 1, 1024)
    s.bool(True).fraction((frequency - 42.0) / 27.0).bool(True)
    return s.int(1, 0, 31)


def stray_endupdate():
    s = configured()
    step(s, 2)                  # endUpdate without beginUpdate
    buffer_length(s, 8)         # 4096: stored, not laid out
    ring_access(s, 0)           # refused: the ring holds 256
    segment(s, 200)             # refused
    step(s, 16)                 # fetch refused
    step(s, 1)                  # beginUpdate: the count is back at 0
    buffer_length(s, 8)         # laid out now
    ring_access(s, 0, write=1000)
    segment(s, 1000)
    step(s, 16)
    step(s, 2)                  # two stray endUpdates
    step(s, 2)
    step(s, 3).int(4, -1, 9)    # ThreePhaseDelta, held back
    ring_access(s, 2, channel=1)
    step(s, 1)
    step(s, 1)
    step(s, 7).bool(True).int(4, 0, 11)  # line-to-line results: initialises
    ring_access(s, 0, write=500)
    return s.data()


def unfetched(fetch):
    s = configured()
    for _ in range(12):
        segment(s, 4000, 50.0 + _ * 0.01, long=True)
    if fetch:
        step(s, 16)             # the loss is reported
        step(s, 16).bool(True)  # the values after it
        step(s, 0)              # the module goes
    return s.data()


def refused_settings():
    s = configured()
    ring_access(s, 0, write=200)
    step(s, 4).int(0, 0, 3).pick(3, 20).pick(0, 9)          # setSampleRate(-1, 1)
    ring_access(s, 0)
    step(s, 4).int(0, 0, 3).pick(19, 20).pick(6, 9)         # NaN, divisor 0
    step(s, 6).int(1, 0, 3).fraction((16.7 - 1.0) / 19999.0).int(0, 0, 3).pick(16, 20).bool(False)
    step(s, 6).int(0, 0, 3).pick(16, 20).int(0, 0, 3).pick(9, 20).bool(True)  # static 1.8e308
    buffer_length(s, 9)                                     # 10240
    ring_access(s, 1, channel=2, write=300)
    step(s, 7).bool(True).int(11, 0, 11).int(34549, 0, 65535, 16)  # setPeriodCount(34549)
    step(s, 8).bool(True).pick(0, 7)                        # no half periods: refused
    step(s, 8).bool(False).pick(5, 8)                       # overlap 100 %: refused
    step(s, 4).int(0, 0, 3).pick(10, 20).pick(0, 9)         # 4000 Hz
    ring_access(s, 0, write=400)
    segment(s, 400)
    step(s, 16)
    return s.data()


# ---- classes_fuzzer ----

def far_times():
    s = Script().int(0, 0, 3)   # no set-up
    s.int(0, 0, 2).int(1, 0, 2).int(0, 0, 11)  # slot 0, detector, create
    s.int(1, 0, 4).pick(0, 4)   # 230 V
    s.int(1, 0, 5).int(1, 1, 4)  # one phase

    def rms(time_index, level_index):
        s.int(0, 0, 2).int(1, 0, 2).int(2, 0, 11)  # addRmsValues
        s.bool(False).int(2, 0, 15).pick(level_index, 12)
        for _ in range(31):
            s.bool(True)
        s.int(0, 0, 15).int(0, 0, 3).pick(time_index, 28)
        s.int(1, 0, 15)

    rms(26, 5)   # -1.5e308: refused
    rms(20, 5)   # -1e300 at 50 %: a dip starts
    rms(27, 0)   # 1.5e308: refused
    rms(19, 0)   # 1e300 at 100 %: the dip ends after 2e300 s
    s.int(0, 0, 2).int(1, 0, 2).int(7, 0, 11)  # take events
    s.int(1, 0, 3).int(2, 0, 9).int(4, 1, 40).int(1, 0, 11).int(1, 0, 15)
    return s.data()


def rvc_step():
    s = Script().int(0, 0, 3)   # no set-up
    s.int(0, 0, 2).int(3, 0, 4).int(0, 0, 11)  # slot 0, RVC detector, create
    s.int(1, 0, 4).pick(0, 3)   # 230 V
    s.int(1, 0, 5).int(1, 1, 3)  # one phase
    s.int(1, 0, 5).pick(2, 6)   # steady state of 3 values

    def run(items, step_at, factor_index):
        s.int(0, 0, 2).int(3, 0, 4).int(5, 0, 11)  # addPeriodResults
        s.int(1, 0, 7).int(items, 0, 150).int(1, 0, 15)
        for _ in range(32):
            s.int(2, 0, 15).pick(0, 14)  # every phase at 230 V
        s.int(step_at, 0, items, 64).pick(factor_index, 6).pick(0, 4)  # step by 0.02 s
        s.int(3, 0, 15).pick(2, 4)  # the first 0.02 s after the latest

    run(40, 20, 1)              # 230 V, then 94 %
    run(10, 10, 0)              # back to 230 V
    for running in (True, False):
        s.int(0, 0, 2).int(3, 0, 4).int(8, 0, 11)  # take events
        s.int(0 if running else 1, 0, 3).int(2, 0, 9).int(4, 1, 40).int(1, 0, 11).int(1, 0, 15)
    return s.data()


def flicker_tick():
    s = Script().int(0, 0, 3)   # no set-up
    s.int(0, 0, 2).int(4, 0, 4).int(0, 0, 9)  # slot 0, flickermeter, create
    s.int(1, 0, 5).pick(0, 5).pick(0, 4)  # 1000 per second, 50 Hz
    s.int(1, 0, 7).pick(0, 2)   # 230 V lamp
    s.int(0, 0, 2).int(4, 0, 4).int(1, 0, 9)  # setClockOffset(7190)
    s.bool(True).pick(8, 9).int(0, -3, 3)
    for split in (1000, 20000):
        s.int(0, 0, 2).int(4, 0, 4).int(2, 0, 9)  # 32768 samples, 8.8 Hz at 2 %
        s.int(1, 0, 7).int(32768, 1, 32768).int(1, 0, 15)
        s.pick(0, 5).pick(2, 4).pick(0, 3).int(1, 0, 3)
        s.int(split, 0, 32768, 64)
    for long in (False, True):
        s.int(0, 0, 2).int(4, 0, 4).int(5, 0, 9)  # take Pst, then Plt
        s.bool(long).int(2, 0, 9).int(4, 1, 40).int(1, 0, 11).int(1, 0, 15)
    s.int(0, 0, 2).int(4, 0, 4).int(7, 0, 9).int(1, 0, 7)  # Pinst maximum
    return s.data()


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    seeds = {
        "corpus/seed-stray-endupdate": stray_endupdate(),
        "corpus/seed-unfetched-queue": unfetched(True),
        "corpus/seed-unfetched-destroy": unfetched(False),
        "corpus/seed-refused-settings": refused_settings(),
        "corpus-classes/seed-far-times": far_times(),
        "corpus-classes/seed-rvc-step": rvc_step(),
        "corpus-classes/seed-flicker-tick": flicker_tick(),
    }
    for name, data in seeds.items():
        with open(os.path.join(here, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
