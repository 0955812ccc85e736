"""Files as file objects, and extractall against `tallowmere-dat extract`."""

import io
import os

import pytest

import tallowmere_dat
from conftest import archive_paths, needs_tool, run_tool


def test_open_gives_a_read_only_file_object(tables):
    data = tables.read(0x0A000001)  # compressed
    with tables.open(tables[0x0A000001]) as f:
        assert isinstance(f, io.RawIOBase) and f.readable() and not f.writable()
        assert f.read(5) == data[:5] and f.tell() == 5
        buffer = bytearray(7)
        assert f.readinto(buffer) == 7 and buffer == data[5:12]
        assert f.seek(-3, os.SEEK_END) == len(data) - 3 and f.read() == data[-3:]
        assert f.read(4) == b""
        f.seek(0)
        assert f.read() == data
        with pytest.raises(OSError):
            f.write(b"x")
    assert f.closed
    with pytest.raises(ValueError):
        f.read()


def tree(root):
    """Every file under root: its bytes and modification time, by relative path."""
    return {os.path.relpath(os.path.join(d, n), root):
            (open(os.path.join(d, n), "rb").read(), os.stat(os.path.join(d, n)).st_mtime)
            for d, _, names in os.walk(root) for n in names}


# The tool takes the files that are both selected and of the types; extractall takes those named
# or of the types, which is what two runs of the tool write together.
@needs_tool
@pytest.mark.parametrize("ids, types, runs", [(None, None, [[]]),
                                              ([0x20000001, 0x99], [0x06, 0x00],
                                               [["0x20000001", "0x99"],
                                                ["--type", "06", "--type", "00"]])])
def test_extractall_writes_what_the_tool_writes(archive_dir, tmp_path, ids, types, runs):
    for n, path in enumerate(archive_paths(archive_dir)):
        for args in runs:
            run_tool("extract", "-q", path, "-C", tmp_path / f"tool{n}", *args, check=False)
        with tallowmere_dat.open(path) as archive:
            failed = archive.extractall(tmp_path / f"py{n}", ids=ids, types=types)
            for id, error in failed.items():
                assert isinstance(error, tallowmere_dat.DatError)
                with pytest.raises(type(error)):
                    archive.read(id)
        assert tree(tmp_path / f"py{n}") == tree(tmp_path / f"tool{n}")
        assert (0x99 in failed) == (ids is not None)


@pytest.mark.parametrize("name", ["tables.dat", "many.dat", "broken.dat"])
def test_read_many_gives_what_read_gives_in_offset_order(archive_dir, name):
    with tallowmere_dat.open(archive_dir / name) as archive:
        pairs = list(archive.read_many())
        assert sorted(entry.id for entry, _ in pairs) == list(archive)
        offsets = [entry.offset for entry, _ in pairs]
        assert offsets == sorted(offsets)
        for entry, data in pairs:
            if isinstance(data, tallowmere_dat.DatError):
                with pytest.raises(type(data), match=str(data)):
                    archive.read(entry)
            else:
                assert data == archive.read(entry)
        chosen = archive.read_many(ids=[next(iter(archive)), 0xFFFFFFFF], types=[0x20])
        expected = {next(iter(archive))} | {e.id for e in archive.entries(type=0x20)}
        assert {entry.id for entry, _ in chosen} == expected
        unfinished = archive.read_many()
    with pytest.raises(ValueError):
        next(unfinished)


@pytest.mark.parametrize("where", ["read", "write"])
def test_an_interrupted_extractall_leaves_only_whole_files(many, tmp_path, monkeypatch, where):
    calls = {"n": 0}

    def interrupt_on_the_twentieth():
        calls["n"] += 1
        if calls["n"] == 20:
            raise KeyboardInterrupt

    if where == "write":
        original_utime = os.utime

        def interrupting_utime(*args):
            interrupt_on_the_twentieth()
            return original_utime(*args)
        monkeypatch.setattr("os.utime", interrupting_utime)
    else:
        original_read_many = tallowmere_dat.Archive._read_many

        def interrupting_read_many(self, ids):
            for pair in original_read_many(self, ids):
                interrupt_on_the_twentieth()
                yield pair
        monkeypatch.setattr("tallowmere_dat.Archive._read_many", interrupting_read_many)
    with pytest.raises(KeyboardInterrupt):
        many.extractall(tmp_path)
    written = tree(tmp_path)
    assert len(written) == 19
    for name, (data, mtime) in written.items():
        entry = many[int(os.path.basename(name)[:-4], 16)]
        assert (data, mtime) == (many.read(entry), entry.timestamp)
