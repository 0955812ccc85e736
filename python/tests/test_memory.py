"""Archives opened from bytes-like objects, and the salvaging open."""

import struct

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
