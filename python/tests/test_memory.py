"""Archives opened from bytes-like objects, the salvaging open, and reads of large files."""

import signal
import struct
import tracemalloc

import pytest

import tallowmere_dat


def contents(archive):
    """Each entry with its bytes, or the error's text when they can't be read."""
    def read(entry):
        try:
            return archive.read(entry)
        except tallowmere_dat.DatError as error:
            return str(error)
    return [(entry, read(entry), archive.read_raw(entry)) for entry in archive.values()]


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: memoryview(bytearray(b))])
def test_memory_opens_read_as_the_file_does(archive_dir, tables, wrap):
    data = (archive_dir / "tables.dat").read_bytes()
    with tallowmere_dat.open(wrap(data)) as archive:
        assert archive.path is None and archive.header == tables.header
        assert contents(archive) == contents(tables)
        assert archive.check() == tables.check()
        assert archive.explain(0x20000001) == dict(tables.explain(0x20000001),
                                                   archive="<memory>")


def test_a_bytearray_is_copied_so_later_writes_change_nothing(archive_dir, tables):
    data = bytearray((archive_dir / "tables.dat").read_bytes())
    archive = tallowmere_dat.open(data)
    data[:] = bytes(len(data))
    data.append(0)  # not locked by an exported buffer
    assert contents(archive) == contents(tables)


def test_the_buffer_outlives_the_name_that_held_it(archive_dir, tables):
    archive = tallowmere_dat.open(memoryview((archive_dir / "tables.dat").read_bytes()))
    assert contents(archive) == contents(tables)


def test_salvage_lists_the_nodes_it_leaves_out(archive_dir, tables):
    data = bytearray((archive_dir / "tables.dat").read_bytes())
    root = tables.header.root_offset
    data[root:root + 4] = struct.pack("<I", 0x7FFFFF00)  # the root's chain runs off the end
    with pytest.raises(tallowmere_dat.IoError):
        tallowmere_dat.open(data)
    salvaged = tallowmere_dat.open(data, salvage=True)
    assert len(salvaged) == 0 and [offset for offset, _ in salvaged.skipped] == [root]
    assert tables.skipped == []
    path = archive_dir / "salvage.dat"
    path.write_bytes(data)
    assert tallowmere_dat.open(path, salvage=True).skipped == salvaged.skipped


OVERLAPPING = 0x06000001


def test_a_large_file_over_overlapping_blocks_reads_as_its_payloads(archive_dir):
    data = (archive_dir / "overlap16m.dat").read_bytes()
    with tallowmere_dat.open(archive_dir / "overlap16m.dat") as archive:
        first = archive[OVERLAPPING].offset
        # Block i lies 4 * i bytes after the first; its payload is the 64 KiB after its pointer.
        payloads = b"".join(data[first + 4 * i + 4:first + 4 * i + 4 + 65536] for i in range(256))
        assert archive.read(OVERLAPPING) == payloads
        assert archive.read_raw(OVERLAPPING) == payloads


def test_ctrl_c_ends_a_long_read_between_its_chunks(archive_dir):
    """A signal handler that raises ends a read of 512 MiB long before all of it is held."""
    def interrupt(signum, frame):
        raise KeyboardInterrupt
    previous = signal.signal(signal.SIGALRM, interrupt)
    tracemalloc.start()
    try:
        with tallowmere_dat.open(archive_dir / "overlap512m.dat") as archive:
            signal.setitimer(signal.ITIMER_REAL, 0.01)
            with pytest.raises(KeyboardInterrupt):
                archive.read(OVERLAPPING)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # The result doubles as it fills: below 256 MiB, the read stopped before 128 MiB came in.
    assert peak < 256 << 20
