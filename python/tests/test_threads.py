"""One archive read from several threads: the same bytes, and close() during reads is safe."""

from concurrent.futures import ThreadPoolExecutor

import pytest


def read_all(archive, ids):
    return [archive.read(id) for id in ids]


def test_four_threads_read_what_one_does(many):
    ids = list(many)
    expected = read_all(many, ids)
    with ThreadPoolExecutor(4) as pool:
        assert list(pool.map(many.read, ids)) == expected


def read_until_closed(archive, ids):
    """Reads until the archive is closed; the count of complete passes."""
    passes = 0
    while True:
        try:
            for id in ids:
                archive.sound_table(id) if id >> 24 == 0x20 else archive.read(id)
        except ValueError:
            return passes
        passes += 1


def test_close_while_threads_read(many):
    ids = list(many)
    with ThreadPoolExecutor(4) as pool:
        readers = [pool.submit(read_until_closed, many, ids) for _ in range(4)]
        read_all(many, ids)  # give the readers time to be inside reads
        many.close()
        for reader in readers:
            reader.result(timeout=60)  # raises what the reader met, unless it is ValueError
    with pytest.raises(ValueError):
        many.read(ids[0])
