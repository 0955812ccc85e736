"""The archive: header, mapping face, entries and bytes, checked against the command-line tool."""

import json
import os
import pathlib

import pytest

import tallowmere_dat
from conftest import archive_paths, needs_tool, run_tool

TABLES_IDS = [0x00000007, 0x00FFFFFF, 0x01000001, 0x0A000001, *range(0x20000001, 0x20000007), 0x21000000]


@pytest.mark.parametrize(
    "field, value",
    [("magic", 0x5442), ("block_size", 64), ("dataset", 1), ("subset", 2), ("free_head", 3),
     ("free_tail", 4), ("free_count", 5), ("new_lru", 6), ("old_lru", 7), ("use_lru", 8),
     ("master_map_id", 9), ("engine_version", 10), ("game_version", 11),
     ("version_string", b"v1.2.3" + bytes(10)), ("version_minor", 12)])
def test_header_fields(tables, field, value):
    assert getattr(tables.header, field) == value


def test_header_locates_the_directory(archive_dir, tables):
    assert tables.header.file_size == os.path.getsize(archive_dir / "tables.dat")
    assert tables.header.root_offset != 0


def test_mapping_face(tables):
    assert len(tables) == len(TABLES_IDS)
    assert list(tables) == TABLES_IDS
    assert 0x20000001 in tables and 0x20000000 not in tables
    assert tables[0x0A000001].compressed and tables[0x0A000001].type == 0x0A
    with pytest.raises(KeyError):
        tables[0x20000000]


def test_type_byte_zero_is_a_type_like_any_other(tables):
    assert [e.id for e in tables.entries(type=0)] == [0x00000007, 0x00FFFFFF]
    assert [e.id for e in tables.entries(type=0x01)] == [0x01000001]


def test_open_takes_a_path_like(archive_dir):
    with tallowmere_dat.open(pathlib.Path(archive_dir) / "tables.dat") as archive:
        assert len(archive) == len(TABLES_IDS)


def entry_as_json(entry):
    """An entry as `tallowmere-dat ls --json` gives it, less the time it derives."""
    return {"id": f"0x{entry.id:08X}", "type": f"0x{entry.type:02X}", "size": entry.size,
            "bit_flags": f"0x{entry.bit_flags:08X}", "compressed": entry.compressed,
            "offset": f"0x{entry.offset:08X}", "timestamp": entry.timestamp,
            "version": entry.version}


@needs_tool
@pytest.mark.parametrize("type_byte", [None, 0x20, 0x06, 0x33, 0x00])
def test_entries_match_the_tool(archive_dir, type_byte):
    for path in archive_paths(archive_dir):
        type_args = [] if type_byte is None else ["--type", f"{type_byte:X}"]
        expected = [{k: v for k, v in e.items() if k != "time"}
                    for e in json.loads(run_tool("ls", "--json", path, *type_args))["entries"]]
        with tallowmere_dat.open(path) as archive:
            assert [entry_as_json(e) for e in archive.entries(type_byte)] == expected
            assert [entry_as_json(archive[e.id]) for e in archive.entries(type_byte)] == expected


@needs_tool
def test_read_matches_the_tools_extract(archive_dir, tmp_path):
    # extract writes every file that verified retrieval gives and reports the others.
    for n, path in enumerate(archive_paths(archive_dir)):
        out = tmp_path / str(n)
        run_tool("extract", path, "-C", out, check=False)
        with tallowmere_dat.open(path) as archive:
            for entry in archive.entries():
                extracted = out / f"0x{entry.type:02X}" / f"0x{entry.id:08X}.bin"
                if extracted.exists():
                    assert archive.read(entry.id) == extracted.read_bytes(), hex(entry.id)
                else:
                    with pytest.raises(tallowmere_dat.DatError):
                        archive.read(entry.id)


def test_read_raw_is_the_stored_bytes(many):
    for entry in many.entries():
        raw = many.read_raw(entry.id)
        assert len(raw) == entry.size
        assert (tallowmere_dat.decompress_lrs(raw) if entry.compressed else raw) == \
            many.read(entry.id)


@pytest.mark.parametrize(
    "data, expected",
    [(b"", b""),
     (b"ab", b"ab"),
     (bytes([8, 0, 0, 0, 0x00]) + b"abcdefgh", b"abcdefgh"),
     # Declares 100 bytes, gives what the stream holds.
     (bytes([100, 0, 0, 0, 0x00]) + b"abcdefgh", b"abcdefgh"),
     # Three literals, then a back-reference 3 back of length 5 (the fourth flag).
     (bytes([8, 0, 0, 0, 0x10]) + b"xyz" + bytes([3, 0x03]), b"xyzxyzxy"),
     # A back-reference 1 back of length 4 repeats the one byte before it.
     (bytes([5, 0, 0, 0, 0x40]) + b"a" + bytes([1, 0x02]), b"aaaaa")])
def test_decompress_lrs(data, expected):
    assert tallowmere_dat.decompress_lrs(data) == expected
