# Binary data read past the page cache: the aligned reads that cover what is wanted, the read-ahead thread and
# its two buffers, and the buffered reads taken where direct ones are refused or not worth it.
import errno
import os
import tempfile
import threading

import numpy as np
import pytest

from powerquality import comtrade

pytestmark = pytest.mark.skipif(getattr(os, "O_DIRECT", None) is None, reason="no O_DIRECT on this system")

FS = 3200.0


@pytest.fixture
def direct(monkeypatch):
    """Every read direct, in spans of `chunk` bytes (set it): many spans through the thread from small files."""
    monkeypatch.setattr(comtrade, "DIRECT_MINIMUM", 0)
    monkeypatch.setattr(comtrade, "DIRECT_CHUNK", 1)
    monkeypatch.setattr(comtrade, "_cached", lambda path, start, total: False)  # the files just written are
    monkeypatch.delenv("POWERQUALITY_DIRECT_READS", raising=False)
    return monkeypatch


class _Spy:
    """Counts the direct opens and the direct reads (offset, length) while delegating to os."""

    def __init__(self, monkeypatch, refuse_open=False, refuse_read=False):
        self.opens, self.reads, self.done = [], [], threading.Condition()
        real_open, real_preadv = os.open, os.preadv

        def spy_open(path, flags, *args, **kw):
            if flags & os.O_DIRECT:
                if refuse_open:
                    raise OSError(errno.EINVAL, "Invalid argument", path)
                self.opens.append(path)
            return real_open(path, flags, *args, **kw)

        def spy_preadv(fd, buffers, offset, *args):
            if refuse_read:
                raise OSError(errno.EINVAL, "Invalid argument")
            n = real_preadv(fd, buffers, offset, *args)
            with self.done:
                self.reads.append((offset, sum(len(b) for b in buffers)))
                self.done.notify_all()
            return n

        monkeypatch.setattr(os, "open", spy_open)
        monkeypatch.setattr(os, "preadv", spy_preadv)


def _file(path, size, seed=1):
    data = np.random.default_rng(seed).integers(0, 256, size, dtype=np.uint8).tobytes()
    path.write_bytes(data)
    return str(path), data


def _open_files():
    return len(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else None


def _blocks(path, start, block, total):
    return [bytes(b) for b in comtrade._read_blocks(path, start, block, total, "where")]


@pytest.mark.parametrize("size, start, block, total, chunk", [
    (3 * 4096 + 1234, 0, 14, 1400, 1),  # the last read short: the size is no multiple of 4096
    (3 * 4096 + 1234, 777, 14, 1400, 100),  # an unaligned start, spans of several blocks
    (5 * 4096, 4096 - 5, 22, 6600, 4096),  # spans that end and start inside blocks of 4096 bytes
    (5 * 4096, 4096, 4096, 3 * 4096, 1),  # aligned blocks, aligned spans
    (5 * 4096, 10, 1 << 20, 5 * 4096 - 10, 1),  # one block to the end of the file
    (9000, 8999, 14, 1, 1),  # the last byte alone
    (20000, 3, 7000, 19997, 8000),  # blocks longer than a span, the last short
    (20000, 3, 22, 19997, 8000),  # the last block short
])
def test_direct_reads_give_the_bytes_wanted_from_any_offset_in_any_blocks(tmp_path, direct, size, start, block,
                                                                          total, chunk):
    direct.setattr(comtrade, "DIRECT_CHUNK", chunk)
    spy = _Spy(direct)
    path, data = _file(tmp_path / "f.dat", size)
    got = _blocks(path, start, block, total)
    assert [len(b) for b in got] == [min(block, total - lo) for lo in range(0, total, block)]
    assert b"".join(got) == data[start:start + total]
    assert spy.opens == [path] and spy.reads
    # Every read aligned, none past the last 4096 bytes that hold what is wanted.
    assert all(offset % 4096 == 0 and length % 4096 == 0 for offset, length in spy.reads)
    assert max(offset + length for offset, length in spy.reads) <= -(-(start + total) // 4096) * 4096


def test_a_direct_read_the_system_gives_in_parts_goes_on_where_it_stopped(tmp_path, direct):
    """preadv may give fewer bytes than asked (a signal, a device's limit on one transfer): the rest of the span
    is read from where the part ended, not from its start or anywhere else."""
    direct.setattr(comtrade, "DIRECT_CHUNK", 5 * 4096)
    real = os.preadv
    direct.setattr(os, "preadv", lambda fd, buffers, offset, *args: real(fd, [buffers[0][:4096]], offset, *args))
    direct.setattr(comtrade, "_buffered_blocks", None)  # read directly throughout, no fallback
    path, data = _file(tmp_path / "f.dat", 9 * 4096 + 100)
    assert b"".join(_blocks(path, 777, 22, 8 * 4096)) == data[777:777 + 8 * 4096]


@pytest.mark.parametrize("chunk", [1, 4096, 1 << 20])
def test_a_file_that_ends_early_gives_the_blocks_before_then_the_same_error_as_buffered_reads(tmp_path, monkeypatch,
                                                                                                  chunk):
    path, data = _file(tmp_path / "f.dat", 3 * 4096 + 100)
    # 13000 bytes wanted: the thirteenth block of 1000 runs 612 bytes past the end.
    outcomes = []
    for minimum in (1 << 40, 0):  # buffered, direct
        monkeypatch.setattr(comtrade, "DIRECT_MINIMUM", minimum)
        monkeypatch.setattr(comtrade, "DIRECT_CHUNK", chunk)
        got = []
        with pytest.raises(comtrade.ComtradeError) as e:
            for block in comtrade._read_blocks(path, 0, 1000, 13000, "rec.dat"):
                got.append(bytes(block))
        outcomes.append((got, str(e.value)))
    assert outcomes[0] == outcomes[1]
    assert outcomes[1] == ([data[k:k + 1000] for k in range(0, 12000, 1000)],
                           "rec.dat: the file ended while it was read")


def _recording(directory, single_file, samples=5000):
    t = np.arange(samples) / FS
    signals = {name: 230.0 * np.sqrt(2) * np.sin(2 * np.pi * 50 * t - k * 2.1) for k, name in enumerate("ABC")}
    return comtrade.write(os.path.join(directory, "rec"), signals, FS, file_type="BINARY", single_file=single_file,
                          header="a header whose length puts the data at an odd offset\r\n")


def _values(path, size, first=0, stop=None):
    opened = comtrade.open_blocks(path)
    return [(position, block.copy()) for position, block in opened.blocks(size, first=first, stop=stop)]


@pytest.mark.parametrize("single_file", [False, True])
@pytest.mark.parametrize("first, stop, size", [
    (0, None, 1000),
    (1234, 4321, 700),  # records of 14 bytes: record 1234 starts 880 bytes into the .dat's fifth 4096 bytes
    (293, 294, 10),  # one record, across no block border
    (4999, None, 64),  # the last record alone
])
def test_recordings_read_directly_give_the_values_of_buffered_reads_from_any_first_record(tmp_path, direct, single_file,
                                                                                           first, stop, size):
    path = _recording(str(tmp_path), single_file)
    if single_file:
        assert comtrade._cff_parts(path)[1].offset % 4096  # the data starts at an unaligned byte
    spy = _Spy(direct)
    got = _values(path, size, first, stop)
    assert spy.opens and spy.reads
    direct.setattr(comtrade, "DIRECT_MINIMUM", 1 << 40)
    want = _values(path, size, first, stop)
    assert [p for p, _ in got] == [p for p, _ in want] and got[0][0] == first
    assert sum(b.shape[1] for _, b in got) == (5000 if stop is None else stop) - first
    for (_, a), (_, b) in zip(got, want):
        assert a.tobytes() == b.tobytes()
    whole = comtrade.read(path)
    joined = np.concatenate([b for _, b in got], axis=1)
    end = 5000 if stop is None else stop
    assert joined.tobytes() == np.vstack([c.values[first:end] for c in whole.channels]).astype(np.float32).tobytes()
    # Nothing read past the 4096 bytes that hold the last record wanted.
    offset = comtrade._cff_parts(path)[1].offset if single_file else 0
    assert max(o + n for o, n in spy.reads) <= -(-(offset + end * 14) // 4096) * 4096


@pytest.mark.parametrize("how", ["open refused", "first read refused", "tmpfs", "turned off"])
def test_direct_reads_refused_or_turned_off_fall_back_to_buffered_reads_with_the_same_values(tmp_path, direct, how):
    if how == "tmpfs" and not os.path.isdir("/dev/shm"):
        pytest.skip("no /dev/shm here: the tmpfs case needs it")
    threads, files = threading.active_count(), _open_files()
    want = _values(_recording(str(tmp_path), False), 512)
    if how == "turned off":
        direct.setenv("POWERQUALITY_DIRECT_READS", "0")
    spy = _Spy(direct, refuse_open=how == "open refused", refuse_read=how == "first read refused")
    with tempfile.TemporaryDirectory(dir="/dev/shm" if how == "tmpfs" else str(tmp_path)) as where:
        got = _values(_recording(where, False), 512)
    assert [(p, b.tobytes()) for p, b in got] == [(p, b.tobytes()) for p, b in want]
    # tmpfs takes direct reads since Linux 6.6, and older ones refuse them at the open: read either way.
    if how in ("open refused", "turned off"):
        assert spy.opens == [] and spy.reads == []
    assert threading.active_count() == threads and _open_files() == files


def test_small_reads_keep_the_page_cache(tmp_path, direct):
    path, _ = _file(tmp_path / "f.dat", 20000)
    spy = _Spy(direct)
    direct.setattr(comtrade, "DIRECT_MINIMUM", 20000)
    _blocks(path, 1, 9999, 19999)
    assert spy.opens == []
    _blocks(path, 0, 10000, 20000)
    assert spy.opens == [path]


def test_the_block_the_caller_holds_is_never_read_into_while_the_thread_reads_ahead(tmp_path, direct):
    path, data = _file(tmp_path / "f.dat", 64 * 4096 + 99)
    spy = _Spy(direct)
    count = 87  # blocks of 3000 bytes, one span each: every one but the first read by the thread
    buffers = set()
    for k, block in enumerate(comtrade._read_blocks(path, 5, 3000, 3000 * count, "where")):
        held = bytes(block)
        # Wait till the thread has read the span after this one (into the other buffer), as far as it goes.
        with spy.done:
            spy.done.wait_for(lambda: len(spy.reads) >= min(k + 2, count), timeout=5)
        assert bytes(block) == held == data[5 + 3000 * k:5 + 3000 * (k + 1)], k
        buffers.add(id(block.obj))
    assert len(spy.reads) == count
    assert len(buffers) == 2  # used again, in turn


@pytest.mark.parametrize("stop_by", ["close", "drop"])
def test_a_consumer_that_stops_early_stops_the_thread_and_closes_the_file(tmp_path, direct, stop_by):
    path, _ = _file(tmp_path / "f.dat", 40 * 4096)
    spy = _Spy(direct)
    before, files = threading.active_count(), _open_files()
    blocks = comtrade._read_blocks(path, 0, 4096, 40 * 4096, "where")
    for k, _ in zip(range(10), blocks):
        pass
    assert threading.active_count() == before + 1
    if stop_by == "close":
        blocks.close()
    else:
        del blocks
    assert threading.active_count() == before
    assert len(spy.reads) <= 12  # the ten given, the one read ahead and the one it may have started
    assert _open_files() == files


def test_an_error_in_the_thread_reaches_the_caller_and_stops_it(tmp_path, direct):
    path, data = _file(tmp_path / "f.dat", 10 * 4096)
    real = os.preadv
    calls = []

    def failing(fd, buffers, offset):
        calls.append(offset)
        if len(calls) == 4:
            raise OSError(errno.EIO, "Input/output error")
        return real(fd, buffers, offset)

    direct.setattr(os, "preadv", failing)
    threads = threading.active_count()
    got = []
    with pytest.raises(OSError, match="Input/output error"):
        for block in comtrade._read_blocks(path, 0, 4096, 10 * 4096, "where"):
            got.append(bytes(block))
    assert got == [data[k:k + 4096] for k in range(0, 3 * 4096, 4096)]
    assert threading.active_count() == threads


def test_a_file_the_page_cache_holds_is_read_through_it_one_it_does_not_hold_past_it(tmp_path, monkeypatch):
    if getattr(os, "RWF_NOWAIT", None) is None or not hasattr(os, "posix_fadvise"):
        pytest.skip("the page cache cannot be asked here (no RWF_NOWAIT or posix_fadvise)")
    monkeypatch.setattr(comtrade, "DIRECT_MINIMUM", 0)
    monkeypatch.setattr(comtrade, "DIRECT_CHUNK", 1)
    monkeypatch.delenv("POWERQUALITY_DIRECT_READS", raising=False)
    path, data = _file(tmp_path / "f.dat", 16 << 20)  # probes 1 MiB apart, beyond the kernel's read-ahead
    assert comtrade._cached(path, 0, len(data))  # just written
    fd = os.open(path, os.O_RDONLY)
    os.fsync(fd)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
    if comtrade._cached(path, len(data) - 1, 1):
        pytest.skip(f"the file system of {tmp_path} keeps its pages in the cache (tmpfs?)")
    spy = _Spy(monkeypatch)
    assert _blocks(path, 5, 1000, 100 * 1000) == [data[k:k + 1000] for k in range(5, 100 * 1000, 1000)]
    assert spy.opens == [path]  # not cached: read past the cache
    # Cached in part (the first 64 KiB read through the cache): still past it.
    with open(path, "rb") as f:
        f.read(1 << 16)
    assert not comtrade._cached(path, 0, len(data))
    with open(path, "rb") as f:
        f.read()
    assert comtrade._cached(path, 0, len(data)) and comtrade._cached(path, len(data) - 1, 1)
    _blocks(path, 5, 1000, 100 * 1000)
    assert spy.opens == [path]  # cached: read through the cache
