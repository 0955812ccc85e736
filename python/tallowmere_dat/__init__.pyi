"""Reads Tallowmere data archives: the directory, file bytes and sound tables.

Identifiers are ints (0 to 0xFFFFFFFF); the top byte of one is its type (0x20: sound table).
Every failure raises a DatError subclass; library calls release the GIL.
"""

import os
from typing import Iterator, Literal

class DatError(Exception):
    """A failure of the archive library. str() is one line for people."""

    debug: str
    """The library's exact debug rendering, e.g. "NotFound(536870913)"."""
    kind: str
    """The error's variant name, e.g. "NotFound", "Io", "Corruption"."""

class NotFoundError(DatError, KeyError):
    """The archive has no file with this identifier."""

class CorruptionError(DatError):
    """The archive contradicts itself in a way that would make reading it unsafe."""

class IoError(DatError):
    """A read failed, or the file ended before the data did."""

    errno: int | None
    """The operating system's error number, or None when it gave none."""

class PathError(DatError):
    """The archive's file can't be opened."""

    errno: int | None
    """The operating system's error number, or None when it gave none."""

class BinReadError(DatError):
    """A record of the archive (the header, a directory node) can't be read."""

class DecompressionFailedError(DatError):
    """A compressed file decompresses to fewer bytes than its prefix declares."""

class ReadError(DatError):
    """A file's bytes don't decode as the record asked for (a sound table cut short).

    kind is "ReadError"; debug is the library's display rendering of the error.
    """

class Header:
    """The archive header's fields, read but not validated."""

    magic: int
    block_size: int
    file_size: int
    dataset: int
    subset: int
    free_head: int
    free_tail: int
    free_count: int
    root_offset: int
    new_lru: int
    old_lru: int
    use_lru: int
    master_map_id: int
    engine_version: int
    game_version: int
    version_string: bytes
    """The 16 stored bytes, as they are."""
    version_minor: int

class Entry:
    """One directory entry."""

    id: int
    bit_flags: int
    offset: int
    """The file's first block."""
    size: int
    """Bytes stored (the compressed size for a compressed file)."""
    timestamp: int
    version: int
    compressed: bool
    """Bit 0 of bit_flags: the stored bytes are LRS-compressed."""
    type: int
    """The identifier's type byte (its top eight bits)."""
    def __eq__(self, other: object) -> bool: ...

class SoundHashData:
    """One hash record's values. Floats keep their stored bits, NaN payloads included."""

    priority: float
    probability: float
    volume: float

class SoundEntry:
    """One wave that can play in a slot. Floats keep their stored bits."""

    wave_did: int
    priority: float
    probability: float
    volume: float

class SoundData:
    """One sound slot."""

    entries: list[SoundEntry]
    """In file order; may be empty."""
    unknown: int

class SoundTable:
    """A decoded sound table."""

    id: int
    """As stored; not compared with the archive identifier."""
    hash_key: int
    hashes: dict[int, SoundHashData]
    """Hash records by key, in ascending key order."""
    sounds: dict[int, SoundData]
    """Sound slots by key, in ascending key order."""
    @staticmethod
    def parse(data: bytes) -> SoundTable:
        """Decodes a sound table from its bytes; bytes after the last record are ignored.

        Raises ReadError when the data ends inside the table.
        """

class Archive:
    """An open archive: a mapping from identifier to Entry, and its files' bytes.

    Usable as a context manager. After close() every use raises ValueError. One archive may be
    read from several threads at once.
    """

    @property
    def header(self) -> Header: ...
    def __len__(self) -> int:
        """The number of files."""
    def __contains__(self, id: int) -> bool: ...
    def __getitem__(self, id: int) -> Entry:
        """The entry of file id; raises NotFoundError (a KeyError) when there is none."""
    def __iter__(self) -> Iterator[int]:
        """The identifiers, ascending."""
    def entries(self, type: int | None = None) -> Iterator[Entry]:
        """The entries in ascending identifier order: all, or those of one type byte."""
    def read(self, id: int) -> bytes:
        """The file's bytes, decompressed when the entry is compressed.

        Raises NotFoundError, IoError or CorruptionError when the bytes can't be read, and
        DecompressionFailedError when a compressed file decompresses to fewer bytes than it
        declares.
        """
    def read_raw(self, id: int) -> bytes:
        """The file's bytes as stored (still compressed for a compressed entry)."""
    def sound_table(self, id: int) -> SoundTable:
        """read(id) decoded as a sound table; raises what read() raises, or ReadError."""
    def close(self) -> None:
        """Closes the archive; reads running on other threads finish first."""
    def __enter__(self) -> Archive: ...
    def __exit__(self, *args: object) -> Literal[False]: ...

def open(path: str | os.PathLike[str]) -> Archive:
    """Opens an archive and reads its header and whole directory.

    Raises PathError when the file can't be opened, BinReadError when the header is cut short,
    and IoError, CorruptionError or BinReadError when the directory can't be read.
    """

def decompress_lrs(data: bytes) -> bytes:
    """Decompresses LRS-compressed bytes (a 4-byte size prefix, then the stream).

    Never fails: a damaged stream gives the bytes decoded before the damage; input shorter than
    4 bytes comes back unchanged.
    """
