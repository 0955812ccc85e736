"""The archive as a Mapping[int, Entry], and its value objects: laws, reprs, pickling."""

import collections.abc
import pickle

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import tallowmere_dat
from tallowmere_dat import NotFoundError

SETTINGS = settings(max_examples=60, suppress_health_check=[HealthCheck.function_scoped_fixture])

# Keys of every kind: identifiers near the archive's, ints out of range, and things that aren't.
KEYS = st.one_of(st.sampled_from([0x00000007, 0x20000001, 0x20000006, 0x21000000]),
                 st.integers(min_value=-2**40, max_value=2**40),
                 st.text(max_size=3), st.floats(), st.none(), st.binary(max_size=4))


def test_the_mapping_views_agree(tables):
    assert isinstance(tables, collections.abc.Mapping)
    ids = list(tables)
    assert ids == sorted(ids) == list(tables.keys())
    assert list(tables.values()) == list(tables.entries()) == [tables[i] for i in ids]
    assert list(tables.items()) == list(zip(ids, tables.values()))
    assert dict(tables) == {e.id: e for e in tables.entries()}
    assert tables.keys() == set(ids) and 0x20000001 in tables.keys()


@SETTINGS
@given(key=KEYS)
def test_lookups_agree_with_a_dict(tables, key):
    reference = {e.id: e for e in tables.entries()}
    assert (key in tables) == (isinstance(key, int) and key in reference)
    assert tables.get(key) == reference.get(key) if isinstance(key, int) else tables.get(key) is None
    assert tables.get(key, "absent") == reference.get(key, "absent") \
        if isinstance(key, int) else tables.get(key, "absent") == "absent"
    if isinstance(key, int) and key not in reference:
        text = f"0x{key:08X}" if 0 <= key < 2**32 else f"{'-' if key < 0 else ''}0x{abs(key):X}"
        with pytest.raises(NotFoundError, match=f"^file {text} not found$"):
            tables[key]
    elif not isinstance(key, int):
        with pytest.raises(KeyError):
            tables[key]


def outcome(call, *args):
    """The call's value, pickled (exact for NaN payloads), or its failure."""
    try:
        return pickle.dumps(call(*args))
    except tallowmere_dat.DatError as error:
        return type(error), str(error)


def test_an_entry_is_a_key(tables):
    for entry in tables.entries():
        assert entry in tables and tables[entry] == entry
        for method in ("read", "read_raw", "decompressed_size", "sound_table"):
            call = getattr(tables, method)
            assert outcome(call, entry) == outcome(call, entry.id)
        try:
            assert tables.decompressed_size(entry) == len(tables.read(entry))
        except tallowmere_dat.DecompressionFailedError:
            pass


def test_reprs(tables):
    entry, header = tables[0x0A000001], tables.header
    table = tables.sound_table(0x20000001)
    assert [repr(tables), repr(entry), repr(table), repr(table.sounds[0x8A].entries[0]),
            repr(table.hashes[2]), repr(header)] == [
        "<Archive 'tables.dat' 11 entries>",
        f"Entry(id=0x0A000001, size={entry.size}, compressed=True, offset=0x{entry.offset:08X})",
        "<SoundTable 0x20000001: 3 slots, 2 hashes>",
        "SoundEntry(wave_did=0x0A000002, priority=1.0, probability=0.5, volume=0.75)",
        "SoundHashData(priority=3.0, probability=0.125, volume=2.0)",
        f"Header(magic=0x00005442, block_size=64, file_size={header.file_size}, root_offset="
        f"0x{header.root_offset:08X}, version_string={b'v1.2.3' + bytes(10)!r})"]


def test_read_takes_its_key_by_position_or_by_name_and_nothing_else(tables):
    assert tables.read(key=0x20000001) == tables.read(tables[0x20000001]) == tables.read(0x20000001)
    for args, kwargs in [((), {}), ((0x20000001, 0x20000001), {}), ((), {"id": 0x20000001}),
                         ((0x20000001,), {"key": 0x20000001})]:
        with pytest.raises(TypeError, match="takes exactly one argument, key"):
            tables.read(*args, **kwargs)
    assert tables.read.__doc__.startswith("The file's bytes")


def test_a_closed_archive_says_so(tables):
    tables.close()
    assert repr(tables) == "<Archive 'tables.dat' closed>" and tables.closed


def values_of(many):
    """Every kind of value object the archive gives."""
    tables = [many.sound_table(e) for e in many.entries(0x20)]
    slots = [s for t in tables for s in t.sounds.values()]
    return [many.header, *many.values(), *tables, *slots,
            *(e for s in slots for e in s.entries), *(h for t in tables for h in t.hashes.values())]


def test_values_pickle_compare_and_hash(many):
    values = values_of(many)
    copies = pickle.loads(pickle.dumps(values))
    assert copies == values and [hash(c) for c in copies] == [hash(v) for v in values]
    assert [type(c) for c in copies] == [type(v) for v in values]
    # Distinct entries are distinct values.
    assert len(set(many.values())) == len(many)


def test_pickling_keeps_nan_payloads(tables):
    table = tables.sound_table(0x20000002)
    copy = pickle.loads(pickle.dumps(table))
    assert repr(copy) == repr(table) and copy != table  # NaN != NaN, as in C++
    assert pickle.dumps(copy) == pickle.dumps(table)


def test_values_are_immutable(tables):
    table = tables.sound_table(0x20000001)
    with pytest.raises(TypeError):
        table.sounds[0x46] = table.sounds[0x76]
    for value, field in [(tables[0x20000001], "size"), (tables.header, "magic"),
                         (tables.sound_table(0x20000001), "id")]:
        with pytest.raises(AttributeError):
            setattr(value, field, 1)


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview])
def test_parse_takes_any_bytes_like(tables, wrap):
    data = tables.read(0x20000001)
    assert tallowmere_dat.SoundTable.parse(wrap(data)) == tables.sound_table(0x20000001)
    assert tallowmere_dat.decompress_lrs(wrap(tables.read_raw(0x0A000001))) == \
        tables.read(0x0A000001)
