"""diff() against a plain reference built from the archives' mappings and reads."""

import struct

import pytest

import tallowmere_dat


def attempt(call, *args):
    try:
        return call(*args), None
    except tallowmere_dat.DatError as error:
        return None, str(error)


def reference(old, new, metadata_only):
    """(changes, unreadable, unchanged) as the report should give them."""
    changes = [(i, "added") for i in new if i not in old] + \
        [(i, "removed") for i in old if i not in new]
    unreadable, unchanged = [], 0
    for i in sorted(set(old) & set(new)):
        a, b = old[i], new[i]
        meta = (a.bit_flags, a.timestamp, a.version) != (b.bit_flags, b.timestamp, b.version)
        if metadata_only:
            kind = "metadata" if meta or a.size != b.size else None
        else:
            (sa, _), (sb, _) = attempt(old.decompressed_size, a), attempt(new.decompressed_size, b)
            (da, ea), (db, eb) = attempt(old.read, a), attempt(new.read, b)
            if sa is not None and sb is not None and sa != sb:
                kind = "content"
            elif ea or eb:
                unreadable.append((i, "both" if ea and eb else "old" if ea else "new"))
                continue
            else:
                kind = ("content" if da != db else "stored" if old.read_raw(a) != new.read_raw(b)
                        else "metadata" if meta else None)
        if kind:
            changes.append((i, kind))
        else:
            unchanged += 1
    return sorted(changes), unreadable, unchanged


@pytest.fixture
def edited(archive_dir, tables):
    data = bytearray((archive_dir / "tables.dat").read_bytes())
    data[tables[0x20000001].offset + 4] ^= 0xFF  # the table's stored id
    data[0x140 + 56:0x140 + 60] = struct.pack("<I", 99)  # game_version
    return tallowmere_dat.open(data)


@pytest.mark.parametrize("metadata_only", [False, True])
@pytest.mark.parametrize("pair", ["edited", "many", "reversed"])
def test_diff_agrees_with_the_reference(tables, many, edited, pair, metadata_only):
    old, new = {"edited": (tables, edited), "many": (tables, many), "reversed": (many, tables)}[pair]
    report = tallowmere_dat.diff(old, new, metadata_only=metadata_only)
    changes, unreadable, unchanged = reference(old, new, metadata_only)
    assert [(c.id, c.kind) for c in report] == changes
    assert [(u.id, u.side) for u in report.unreadable] == unreadable
    assert report.unchanged == unchanged
    assert [e.id for e in report.added] == [i for i, k in changes if k == "added"]
    assert sum(t.files_unchanged for t in report.totals) == unchanged
    assert report.has_differences == bool(changes or unreadable or report.header_changes)


def test_diff_selects_and_sees_the_header(tables, many, edited):
    report = tallowmere_dat.diff(tables, edited, types=[0x20], ids=[0x20000001, 0x20000002])
    assert [(c.id, c.kind) for c in report] == [(0x20000001, "content")]
    assert report.unchanged == 1 and report.header_changes == [("game_version", 11, 99)]
    assert not tallowmere_dat.diff(many, many).has_differences
    with pytest.raises(ValueError):
        tallowmere_dat.diff(tables, edited, ids=[])


def test_sound_table_diff(tables, edited):
    old, new = tables.sound_table(0x20000001), edited.sound_table(0x20000001)
    assert old.diff(new).id == (old.id, new.id) and old.diff(new).hashes == []
    assert old.diff(old) == (None, None, [], [])
    other = tables.sound_table(0x20000002)
    change = old.diff(other)
    keys = set(old.hashes) | set(other.hashes)
    assert [h[0] for h in change.hashes] == \
        sorted(k for k in keys if old.hashes.get(k) != other.hashes.get(k))
    assert all((o, n) == (old.sounds.get(k), other.sounds.get(k)) for k, o, n in change.sounds)
