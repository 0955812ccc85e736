"""Reads Tallowmere data archives: the directory, file bytes and sound tables.

Identifiers are ints (0 to 0xFFFFFFFF); the top byte of one is its type (0x20: sound table).
Every failure raises a DatError subclass; library calls release the GIL.
"""

import io
import os
import tempfile

from ._core import (Archive, BinReadError, Change, CorruptionError, DatError,
                    DecompressionFailedError, DiffReport, DiffTotals, Entry, Finding, Header,
                    IoError, NotFoundError, PathError, ReadError, SoundData, SoundEntry,
                    SoundHashData, SoundTable, SoundTableDiff, Unreadable, __version__,
                    decompress_lrs, diff, open)

__all__ = ["Archive", "ArchiveFile", "BinReadError", "Change", "CorruptionError", "DatError",
           "DecompressionFailedError", "DiffReport", "DiffTotals", "Entry", "Finding", "Header",
           "IoError", "NotFoundError", "PathError", "ReadError", "SoundData", "SoundEntry",
           "SoundHashData", "SoundTable", "SoundTableDiff", "Unreadable", "__version__",
           "decompress_lrs", "diff", "open"]

for _cls in (Archive, DiffReport, Entry, Header, SoundTable):
    _cls.__module__ = __name__


class ArchiveFile(io.RawIOBase):
    """One file of an archive as a read-only binary file object (its bytes read at the open)."""

    def __init__(self, data, name):
        super().__init__()
        self._data = memoryview(data)
        self._pos = 0
        self.name = name

    def readable(self):
        """True: the file can be read."""
        return True

    def seekable(self):
        """True: the file can seek anywhere."""
        return True

    def write(self, b, /):
        """Raises io.UnsupportedOperation: the file is read-only."""
        raise io.UnsupportedOperation("an archive's file is read-only")

    def readinto(self, buffer):
        """Reads into buffer from the position on; the number of bytes read (0 at the end)."""
        self._checkClosed()
        chunk = self._data[self._pos:self._pos + len(memoryview(buffer).cast("B"))]
        memoryview(buffer).cast("B")[:len(chunk)] = chunk
        self._pos += len(chunk)
        return len(chunk)

    def read(self, size=-1):
        """Up to size bytes from the position on (all of them when size is negative or None)."""
        self._checkClosed()
        end = len(self._data) if size is None or size < 0 else self._pos + size
        chunk = self._data[self._pos:end].tobytes()
        self._pos += len(chunk)
        return chunk

    readall = read

    def seek(self, offset, whence=os.SEEK_SET):
        """Moves to offset from the start, the position or the end (whence); the new position."""
        self._checkClosed()
        base = {os.SEEK_SET: 0, os.SEEK_CUR: self._pos, os.SEEK_END: len(self._data)}[whence]
        if base + offset < 0:
            raise ValueError(f"negative seek position {base + offset}")
        self._pos = base + offset
        return self._pos

    def tell(self):
        """The position."""
        self._checkClosed()
        return self._pos

    def close(self):
        """Closes the file; closing twice is fine."""
        self._data.release()
        super().close()


def _open_file(self, key):
    """The file key (an identifier or an Entry) as a read-only binary file object.

    Its bytes are read(key)'s, read now; raises what read() raises.
    """
    entry = self[key]
    return ArchiveFile(self.read(entry), f"0x{entry.id:08X}")


def _default_file_mode():
    """The mode a new file gets from open(): 0o666 less the umask."""
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _write_atomically(path, data, mode, mtime):
    """Writes data to path through a temporary file beside it, renamed into place, so that path
    holds the whole file or nothing, whatever interrupts the write."""
    directory, name = os.path.split(path)
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.tmp-", dir=directory)
    try:
        with io.FileIO(fd, "w") as out:
            out.write(data)
            os.fchmod(fd, mode)
            os.utime(fd, (mtime, mtime))
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _selected_ids(self, ids, types):
    """The identifiers of the archive's files that ids (identifiers or Entry objects) and types
    select, ascending; None for every file (both None); and the named identifiers it lacks."""
    if ids is None and types is None:
        return None, []
    wanted = set() if ids is None else {i.id if isinstance(i, Entry) else i for i in ids}
    missing = sorted(i for i in wanted if i not in self)
    type_set = set() if types is None else set(types)
    chosen = [e.id for e in self.entries() if e.id in wanted or e.type in type_set]
    return chosen, missing


def _read_many(self, ids=None, types=None):
    """Reads many files fast: every file when ids and types are both None, else those named in
    ids (identifiers or Entry objects) and those whose type byte is in types, in the order they
    lie in the archive, which is read front to back in large pieces.

    Yields (Entry, bytes) pairs, the bytes those read() returns, or (Entry, DatError) for a file
    read() would raise for. Identifiers the archive lacks are left out. Raises ValueError once
    the archive is closed.
    """
    chosen, _ = _selected_ids(self, ids, types)
    return self._read_many(chosen)


def _extractall(self, path, ids=None, types=None):
    """Writes files, decompressed and verified, to path/0xTT/0xIIIIIIII.bin with the entry's
    timestamp as their times: the tree `tallowmere-dat extract` writes.

    Every file when ids and types are both None; else those named in ids (identifiers or
    Entry objects) and those whose type byte is in types. Files are read in the order they lie
    in the archive. Each file appears complete or not at all; Ctrl-C stops between files. Files
    the archive can't give are skipped: returns a dict from their identifiers to the DatError
    (NotFoundError for a named identifier it lacks). OSError when a file can't be written.
    """
    chosen, missing = _selected_ids(self, ids, types)
    failed = {}
    for id in missing:
        try:
            self[id]
        except NotFoundError as error:
            failed[id] = error
    mode = _default_file_mode()
    for entry, data in self._read_many(chosen):
        if isinstance(data, DatError):
            failed[entry.id] = data
            continue
        directory = os.path.join(path, f"0x{entry.type:02X}")
        os.makedirs(directory, exist_ok=True)
        _write_atomically(os.path.join(directory, f"0x{entry.id:08X}.bin"), data, mode,
                          entry.timestamp)
    return dict(sorted(failed.items()))


Archive.open = _open_file
Archive.extractall = _extractall
Archive.read_many = _read_many
