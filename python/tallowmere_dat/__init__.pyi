"""Reads Tallowmere data archives: the directory, file bytes and sound tables.

Identifiers are ints (0 to 0xFFFFFFFF); the top byte of one is its type (0x20: sound table).
Every failure raises a DatError subclass; library calls release the GIL.
"""

import io
import os
from collections.abc import ItemsView, Iterable, Iterator, KeysView, Mapping, ValuesView
from pathlib import Path
from typing import Any, Literal, NamedTuple, TypeVar, final, overload

from _typeshed import WriteableBuffer, structseq

__version__: str

_T = TypeVar("_T")
_BytesLike = bytes | bytearray | memoryview

class DatError(Exception):
    """A failure of the archive library. str() is one line for people."""

    debug: str
    """The library's exact debug rendering, e.g. "NotFound(536870913)"."""
    kind: str
    """The error's variant name, e.g. "NotFound", "Io", "Corruption"."""

class NotFoundError(DatError, KeyError):
    """The archive has no file with this identifier; also a KeyError."""

class CorruptionError(DatError):
    """The archive contradicts itself in a way that would make reading it unsafe."""

class IoError(DatError, OSError):
    """A read failed, or the file ended before the data did; also an OSError.

    errno is None when the system gave none (the file ended first).
    """

class PathError(DatError, OSError):
    """The archive's file can't be opened; also the OSError subclass its errno selects
    (FileNotFoundError, PermissionError, IsADirectoryError, ...), with errno, strerror and
    filename."""

class BinReadError(DatError):
    """A record (the header, a directory node, a sound table) can't be read."""

class DecompressionFailedError(DatError):
    """A compressed file decompresses to fewer bytes than its prefix declares."""

class ReadError(DatError):
    """Bytes that don't decode as the record asked for (SoundTable.parse).

    kind is "ReadError"; debug is the library's display rendering of the error.
    """

class Header:
    """The archive header's fields, read but not validated; a value object."""

    _fields: tuple[str, ...]
    """The fields' names in file order."""
    @property
    def magic(self) -> int: ...
    @property
    def block_size(self) -> int: ...
    @property
    def file_size(self) -> int: ...
    @property
    def dataset(self) -> int: ...
    @property
    def subset(self) -> int: ...
    @property
    def free_head(self) -> int: ...
    @property
    def free_tail(self) -> int: ...
    @property
    def free_count(self) -> int: ...
    @property
    def root_offset(self) -> int: ...
    @property
    def new_lru(self) -> int: ...
    @property
    def old_lru(self) -> int: ...
    @property
    def use_lru(self) -> int: ...
    @property
    def master_map_id(self) -> int: ...
    @property
    def engine_version(self) -> int: ...
    @property
    def game_version(self) -> int: ...
    @property
    def version_string(self) -> bytes:
        """The 16 stored bytes, as they are."""
    @property
    def version_minor(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class Entry:
    """One directory entry; a value object."""

    @property
    def id(self) -> int: ...
    @property
    def bit_flags(self) -> int: ...
    @property
    def offset(self) -> int:
        """The file's first block."""
    @property
    def size(self) -> int:
        """Bytes stored (the compressed size for a compressed file)."""
    @property
    def timestamp(self) -> int: ...
    @property
    def version(self) -> int: ...
    @property
    def compressed(self) -> bool:
        """Bit 0 of bit_flags: the stored bytes are LRS-compressed."""
    @property
    def type(self) -> int:
        """The identifier's type byte (its top eight bits)."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class SoundHashData(structseq[float], tuple[float, float, float]):
    """One hash record's values. Floats keep their stored bits, NaN payloads included."""

    @property
    def priority(self) -> float: ...
    @property
    def probability(self) -> float: ...
    @property
    def volume(self) -> float: ...

@final
class SoundEntry(structseq[Any], tuple[int, float, float, float]):
    """One wave that can play in a slot. Floats keep their stored bits."""

    @property
    def wave_did(self) -> int: ...
    @property
    def priority(self) -> float: ...
    @property
    def probability(self) -> float: ...
    @property
    def volume(self) -> float: ...

@final
class SoundData(structseq[Any], tuple[tuple[SoundEntry, ...], int]):
    """One sound slot."""

    @property
    def entries(self) -> tuple[SoundEntry, ...]:
        """In file order; may be empty."""
    @property
    def unknown(self) -> int: ...

class SoundTable:
    """A decoded sound table; compared by value, hashable and picklable."""

    @property
    def id(self) -> int:
        """As stored; not compared with the archive identifier."""
    @property
    def hash_key(self) -> int: ...
    @property
    def hashes(self) -> Mapping[int, SoundHashData]:
        """Hash records by key, in ascending key order (a read-only dict)."""
    @property
    def sounds(self) -> Mapping[int, SoundData]:
        """Sound slots by key, in ascending key order (a read-only dict)."""
    @staticmethod
    def parse(data: _BytesLike) -> SoundTable:
        """Decodes a sound table from any bytes-like object; bytes after the last record are
        ignored. Raises ReadError when the data ends inside the table."""
    def diff(self, other: SoundTable) -> SoundTableDiff:
        """The SoundTableDiff from this table to other."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class SoundTableDiff(NamedTuple):
    """What differs between two sound tables: id and hash_key are (old, new) or None; hashes and
    sounds are (key, old, new) records, ascending by key, old or new None where absent."""

    id: tuple[int, int] | None
    hash_key: tuple[int, int] | None
    hashes: list[tuple[int, SoundHashData | None, SoundHashData | None]]
    sounds: list[tuple[int, SoundData | None, SoundData | None]]

class Change(NamedTuple):
    """An entry added, removed or changed; old and new are None where absent."""

    id: int
    kind: Literal["added", "removed", "content", "stored", "metadata"]
    old: Entry | None
    new: Entry | None

class Unreadable(NamedTuple):
    """An entry whose file couldn't be read on side "old", "new" or "both"."""

    id: int
    side: Literal["old", "new", "both"]
    message: str
    old: Entry
    new: Entry

class DiffTotals(NamedTuple):
    """What changed within one type byte; bytes are stored sizes."""

    type: int
    files_added: int
    bytes_added: int
    files_removed: int
    bytes_removed: int
    files_changed: int
    bytes_changed: int
    files_unreadable: int
    files_unchanged: int

class DiffReport:
    """The differences between two archives; iterating gives Change records by identifier."""

    @property
    def added(self) -> list[Entry]: ...
    @property
    def removed(self) -> list[Entry]: ...
    @property
    def changed(self) -> list[Change]: ...
    @property
    def unreadable(self) -> list[Unreadable]: ...
    @property
    def unchanged(self) -> int: ...
    @property
    def header_changes(self) -> list[tuple[str, int | bytes, int | bytes]]: ...
    @property
    def totals(self) -> list[DiffTotals]: ...
    @property
    def has_differences(self) -> bool: ...
    def __iter__(self) -> Iterator[Change]: ...

@final
class Finding(structseq[Any], tuple[str, str, tuple[int, ...], tuple[int, ...], str]):
    """One thing wrong with an archive, with the fields of `check --json`."""

    @property
    def kind(self) -> str: ...
    @property
    def severity(self) -> str: ...
    @property
    def offsets(self) -> tuple[int, ...]: ...
    @property
    def ids(self) -> tuple[int, ...]: ...
    @property
    def message(self) -> str: ...

class ArchiveFile(io.RawIOBase):
    """One file of an archive as a read-only binary file object (its bytes read at the open)."""

    name: str
    def __init__(self, data: _BytesLike, name: str) -> None: ...
    def read(self, size: int | None = -1) -> bytes: ...
    def readall(self, size: int | None = -1) -> bytes: ...
    def readinto(self, buffer: WriteableBuffer) -> int: ...
    def seek(self, offset: int, whence: int = 0) -> int: ...

class Archive:
    """An open archive: a Mapping from identifier to Entry (ascending), and its files' bytes.

    Usable as a context manager. After close() every use raises ValueError. One archive may be
    read from several threads at once.
    """

    @property
    def header(self) -> Header: ...
    @property
    def path(self) -> Path | None:
        """None for an archive opened from memory."""
    @property
    def skipped(self) -> list[tuple[int, str]]:
        """(offset, message) of each directory node a salvaging open left out."""
    @property
    def closed(self) -> bool: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object) -> bool: ...
    def __getitem__(self, key: int | Entry) -> Entry: ...
    def __iter__(self) -> Iterator[int]: ...
    def keys(self) -> KeysView[int]: ...
    def values(self) -> ValuesView[Entry]: ...
    def items(self) -> ItemsView[int, Entry]: ...
    @overload
    def get(self, key: object) -> Entry | None: ...
    @overload
    def get(self, key: object, default: _T) -> Entry | _T: ...
    def entries(self, type: int | None = None) -> Iterator[Entry]: ...
    def read(self, key: int | Entry) -> bytes: ...
    def read_raw(self, key: int | Entry) -> bytes: ...
    def sound_table(self, key: int | Entry) -> SoundTable: ...
    def decompressed_size(self, key: int | Entry) -> int: ...
    def open(self, key: int | Entry) -> ArchiveFile: ...
    def read_many(self, ids: Iterable[int | Entry] | None = None,
                  types: Iterable[int] | None = None) -> Iterator[tuple[Entry, bytes | DatError]]:
        """The selected files in the order they lie in the archive: (Entry, bytes) pairs, or
        (Entry, DatError) for a file that can't be read."""
    def extractall(self, path: str | os.PathLike[str], ids: Iterable[int | Entry] | None = None,
                   types: Iterable[int] | None = None) -> dict[int, DatError]: ...
    def check(self) -> list[Finding]: ...
    def explain(self, id: int | None = None) -> dict[str, Any]: ...
    def close(self) -> None: ...
    def __enter__(self) -> Archive: ...
    def __exit__(self, *args: object) -> Literal[False]: ...

def open(source: str | os.PathLike[str] | _BytesLike, *, salvage: bool = False) -> Archive:
    """Opens a file, or bytes (read-only buffers held, writable ones copied)."""
def diff(old: Archive, new: Archive, *, types: Iterable[int] | None = None,
         ids: Iterable[int] | None = None, metadata_only: bool = False) -> DiffReport:
    """Compares two archives' selected entries and their headers; never raises for a file."""
def decompress_lrs(data: _BytesLike) -> bytes: ...
