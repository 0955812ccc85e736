"""Failures: one exception class per kind, with the library's message, rendering and errno."""

import errno
import os

import pytest

import tallowmere_dat
from tallowmere_dat import (BinReadError, CorruptionError, DatError, DecompressionFailedError,
                            IoError, NotFoundError, PathError, ReadError)


@pytest.mark.parametrize("cls", [NotFoundError, CorruptionError, IoError, PathError,
                                 BinReadError, DecompressionFailedError, ReadError])
def test_every_failure_is_a_dat_error(cls):
    assert issubclass(cls, DatError) and issubclass(DatError, Exception)


def in_archive(name, method, id):
    return lambda d: getattr(tallowmere_dat.open(d / name), method)(id)


DAMAGED = "file 0x{:08X} is damaged: its compressed stream ends before the size it declares"
LOOP = ("block chain at 0x00000190 loops back to block 0x00000190 for a size of 1048576 bytes, "
        "more than the file's 2384")


@pytest.mark.parametrize(
    "call, cls, kind, message, debug",
    [(in_archive("tables.dat", "read", 0x99), NotFoundError, "NotFound",
      "file 0x00000099 not found", "NotFound(153)"),
     (in_archive("tables.dat", "sound_table", 0x20000000), NotFoundError, "NotFound",
      "file 0x20000000 not found", "NotFound(536870912)"),
     (in_archive("tables.dat", "read_raw", 0x99), NotFoundError, "NotFound",
      "file 0x00000099 not found", "NotFound(153)"),
     (in_archive("tables.dat", "read", 0x20000005), DecompressionFailedError,
      "DecompressionFailed", DAMAGED.format(0x20000005),
      "DecompressionFailed(536870917)"),
     (in_archive("tables.dat", "sound_table", 0x20000006), DecompressionFailedError,
      "DecompressionFailed", DAMAGED.format(0x20000006),
      "DecompressionFailed(536870918)"),
     (in_archive("tables.dat", "sound_table", 0x20000004), BinReadError, "BinRead",
      "sound table 0x20000004 is damaged: data cut short: failed to fill whole buffer, reading "
      "the number at byte 72 of 74", "BinRead(failed to fill whole buffer)"),
     (lambda d: tallowmere_dat.SoundTable.parse(b"\1\2\3\4\5"), ReadError, "ReadError",
      "data cut short: failed to fill whole buffer", "failed to fill whole buffer"),
     (in_archive("broken.dat", "read", 0x30000001), CorruptionError, "Corruption",
      f"corrupt archive: {LOOP}", f'Corruption("{LOOP}")'),
     (in_archive("broken.dat", "read_raw", 0x30000002), IoError, "Io",
      "archive cut short: failed to fill whole buffer",
      'Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })')])
def test_failures(archive_dir, call, cls, kind, message, debug):
    with pytest.raises(cls) as caught:
        call(archive_dir)
    assert (caught.value.kind, str(caught.value), caught.value.debug) == (kind, message, debug)


def test_not_found_is_a_key_error(tables):
    with pytest.raises(KeyError) as caught:
        tables[0x99]
    assert str(caught.value) == "file 0x00000099 not found"


def test_a_read_error_has_no_os_error_number(archive_dir):
    with pytest.raises(IoError) as caught:
        tallowmere_dat.open(archive_dir / "broken.dat").read(0x30000002)
    assert caught.value.errno is None


def test_a_header_cut_short(archive_dir):
    with pytest.raises(BinReadError) as caught:
        tallowmere_dat.open(archive_dir / "short.dat")
    assert caught.value.kind == "BinRead"
    assert str(caught.value) == ("archive header cut short: failed to fill whole buffer while "
                                 "reading field 'subset'")
    assert caught.value.debug.startswith("BinRead(\n")
    assert "While parsing field 'subset' in DatHeader" in caught.value.debug


def test_a_missing_file(tmp_path):
    path = tmp_path / "missing.dat"
    with pytest.raises(PathError) as caught:
        tallowmere_dat.open(path)
    assert (caught.value.kind, caught.value.errno) == ("PathError", errno.ENOENT)
    assert str(caught.value) == f"cannot open '{path}': No such file or directory"
    assert caught.value.debug == (f'PathError {{ path: "{path}", source: Os {{ code: 2, kind: '
                                  'NotFound, message: "No such file or directory" } }')


@pytest.mark.parametrize(
    "use",
    [len, iter, lambda a: a.header, lambda a: 0x20000001 in a, lambda a: a[0x20000001],
     lambda a: a.entries(), lambda a: a.read(0x20000001), lambda a: a.read_raw(0x20000001),
     lambda a: a.sound_table(0x20000001)])
def test_use_after_close(archive_dir, use):
    with tallowmere_dat.open(archive_dir / "tables.dat") as archive:
        use(archive)
    with pytest.raises(ValueError, match="closed archive"):
        use(archive)
    archive.close()  # closing twice is fine


def test_an_iterator_stops_at_close(tables):
    ids = iter(tables)
    assert next(ids) == 0x00000007
    tables.close()
    with pytest.raises(ValueError, match="closed archive"):
        next(ids)


@pytest.mark.parametrize("name, os_class, number", [("missing.dat", FileNotFoundError, errno.ENOENT),
                                                    ("", IsADirectoryError, errno.EISDIR)])
def test_a_path_error_is_the_matching_os_error(tmp_path, name, os_class, number):
    path = tmp_path / name
    with pytest.raises(os_class) as caught:
        tallowmere_dat.open(path)
    error = caught.value
    assert isinstance(error, PathError) and isinstance(error, DatError)
    assert (error.errno, error.strerror, error.filename) == \
        (number, os.strerror(number), str(path))
    assert str(error) == f"cannot open '{path}': {os.strerror(number)}"


def test_an_io_error_is_an_os_error(archive_dir):
    with pytest.raises(OSError) as caught:
        tallowmere_dat.open(archive_dir / "broken.dat").read(0x30000002)
    assert isinstance(caught.value, IoError) and caught.value.errno is None
    assert str(caught.value) == "archive cut short: failed to fill whole buffer"


def test_sound_table_on_a_damaged_table_names_it(tables):
    with pytest.raises(BinReadError, match=r"^sound table 0x20000004 is damaged: "):
        tables.sound_table(tables[0x20000004])
