"""Sound tables: values, key order, float bits, and the environ report rebuilt from the API."""

import json
import os
import struct
import subprocess

import pytest
from hypothesis import given, settings, strategies as st

import tallowmere_dat
from conftest import TOOL, archive_paths, needs_tool, run_tool


def as_tuple(record):
    return tuple(getattr(record, name) for name in ("priority", "probability", "volume"))


def test_values_and_key_order(tables):
    table = tables.sound_table(0x20000001)
    assert (table.id, table.hash_key) == (0x20000001, -5)
    assert {k: as_tuple(v) for k, v in table.hashes.items()} == \
        {2: (3.0, 0.125, 2.0), 9: (1.0, 0.25, 0.5)}
    assert list(table.hashes) == [2, 9] and list(table.sounds) == [0x46, 0x76, 0x8A]
    assert table.sounds is table.sounds  # built once
    assert {k: (v.unknown, [(e.wave_did, *as_tuple(e)) for e in v.entries])
            for k, v in table.sounds.items()} == {
        0x46: (7, []),
        0x76: (0, [(0x0A000001, 2.0, 0.25, 1.0), (0x0A000003, 3.0, 0.125, 1.0)]),
        0x8A: (0, [(0x0A000002, 1.0, 0.5, 0.75)])}


@pytest.mark.parametrize("id", [0x20000001, 0x20000003])
def test_parse_decodes_what_read_returns(tables, id):
    parsed = tallowmere_dat.SoundTable.parse(tables.read(id))
    table = tables.sound_table(id)
    assert (parsed.id, list(parsed.hashes), list(parsed.sounds)) == \
        (table.id, list(table.hashes), list(table.sounds))


def double_bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


# The stored f32 bits, and the double each must become: for NaNs the same sign, quiet bit and
# payload, the payload in the top of the mantissa.
@pytest.mark.parametrize(
    "where, name, f32, f64",
    [("hash", "priority", 0x7FC00001, 0x7FF8000020000000),      # quiet, payload 1
     ("hash", "probability", 0x7F800001, 0x7FF0000020000000),   # signalling
     ("hash", "volume", 0xFFC12345, 0xFFF82468A0000000),        # negative, payload
     ("entry", "priority", 0x7F800000, 0x7FF0000000000000),     # +inf
     ("entry", "probability", 0xFF800000, 0xFFF0000000000000),  # -inf
     ("entry", "volume", 0x80000000, 0x8000000000000000)])      # -0.0
def test_float_bits_survive(tables, where, name, f32, f64):
    table = tables.sound_table(0x20000002)
    record = table.hashes[1] if where == "hash" else table.sounds[0x80].entries[0]
    value = getattr(record, name)
    assert double_bits(value) == f64
    if f32 != 0x7F800001:  # Python's own narrowing to f32 quiets a signalling NaN
        assert struct.pack("<f", value) == struct.pack("<I", f32)


def environ_report(archive):
    """The environ report, from the API: retrieval as the report does it (stored bytes,
    decompressed when flagged, unverified), tables that fail skipped."""
    ids = [entry.id for entry in archive.entries(0x20)]
    out = [f"0x20 SoundTables in portal.dat: {len(ids)}\n"]
    environ = ambient = 0
    for id in ids:
        try:
            data = archive.read_raw(id)
            if archive[id].compressed:
                data = tallowmere_dat.decompress_lrs(data)
            table = tallowmere_dat.SoundTable.parse(data)
        except tallowmere_dat.DatError:
            continue
        slots = {k: v for k, v in table.sounds.items() if 0x76 <= k <= 0x8A}
        if slots:
            environ += 1
            waves = "".join(f"0x{k:X}->0x{v.entries[0].wave_did if v.entries else 0:08X} "
                            for k, v in slots.items())
            out.append(f"0x{id:08X}: {len(table.sounds)} total sounds, "
                       f"{len(slots)} environ keys: {waves}\n")
        ambient += any(0x46 <= k <= 0x4D for k in table.sounds)
    out.append(f"\n{environ} SoundTable(s) carry environ slots (0x76-0x8A).\n"
               f"(cross-ref: {ambient} tables carry ambient slots 0x46-0x4D)\n")
    return "".join(out)


@needs_tool
def test_environ_report_matches_the_tool(archive_dir):
    for path in archive_paths(archive_dir):
        with tallowmere_dat.open(path) as archive:
            assert environ_report(archive) == run_tool("environ", path).decode(), path


def f32_bits(value):
    """The stored f32 bits behind a value the module gives (NaN payloads from the double)."""
    if value != value:
        bits = double_bits(value)
        return (bits >> 63) << 31 | 0x7F800000 | (bits >> 29) & 0x7FFFFF
    return struct.unpack("<I", struct.pack("<f", value))[0]


def json_f32_bits(value):
    if isinstance(value, str):
        return {"inf": 0x7F800000, "-inf": 0xFF800000}.get(value) or int(value[4:], 16)
    return struct.unpack("<I", struct.pack("<f", value))[0]


FLOATS = st.integers(0, 2**32 - 1)
KEY = st.integers(0x40, 0x48)  # few keys, so that some repeat
ENTRY = st.tuples(st.integers(0, 2**32 - 1), FLOATS, FLOATS, FLOATS)
TABLES = st.tuples(st.integers(0, 2**32 - 1), st.integers(-2**31, 2**31 - 1),
                   st.lists(st.tuples(KEY, FLOATS, FLOATS, FLOATS), max_size=4),
                   st.lists(st.tuples(KEY, st.lists(ENTRY, max_size=3),
                                      st.integers(-2**31, 2**31 - 1)), max_size=4))


def encode(table):
    id, hash_key, hashes, sounds = table
    out = struct.pack("<Iii", id, hash_key, len(hashes))
    out += b"".join(struct.pack("<4I", *h) for h in hashes)
    out += struct.pack("<i", len(sounds))
    for key, entries, unknown in sounds:
        out += struct.pack("<II", key, len(entries))
        out += b"".join(struct.pack("<4I", *e) for e in entries) + struct.pack("<i", unknown)
    return out


def as_json(table):
    """A parsed table in the tool's JSON shape, floats as their bits."""
    levels = lambda r: [f32_bits(v) for v in (r.priority, r.probability, r.volume)]  # noqa: E731
    return (table.id, table.hash_key, [(k, levels(h)) for k, h in table.hashes.items()],
            [(k, s.unknown, [(e.wave_did, levels(e)) for e in s.entries])
             for k, s in table.sounds.items()])


def tool_json(document):
    levels = lambda r: [json_f32_bits(r[n]) for n in ("priority", "probability", "volume")]  # noqa
    return (int(document["stored_id"], 16), document["hash_key"],
            [(int(h["key"], 16), levels(h)) for h in document["hashes"]],
            [(int(s["key"], 16), s["unknown"], [(int(e["wave_did"], 16), levels(e))
                                                for e in s["entries"]])
             for s in document["sounds"]])


@needs_tool
@settings(max_examples=40)
@given(table=TABLES, cut=st.one_of(st.none(), st.integers(0, 200)), tail=st.binary(max_size=3))
def test_parse_agrees_with_the_tools_decoder(tmp_path_factory, table, cut, tail):
    data = (encode(table) + tail)[:cut]
    path = tmp_path_factory.mktemp("wrap") / "t.dat"
    subprocess.run([os.environ["TALLOWMERE_MAKE_TEST_ARCHIVES"], "--wrap", str(path)],
                   input=data, check=True)
    result = subprocess.run([TOOL, "sound-table", "--json", str(path), "0x20000001"],
                            capture_output=True)
    if b"left over after its last sound record" in result.stderr:
        # The tool refuses a file with bytes after the table; parse ignores them.
        assert as_json(tallowmere_dat.SoundTable.parse(data)) == \
            as_json(tallowmere_dat.SoundTable.parse(encode(table)))
    elif result.returncode != 0:
        assert b"not a complete sound table" in result.stderr
        with pytest.raises(tallowmere_dat.ReadError):
            tallowmere_dat.SoundTable.parse(data)
    else:
        assert as_json(tallowmere_dat.SoundTable.parse(data)) == \
            tool_json(json.loads(result.stdout))
