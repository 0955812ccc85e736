"""Fixtures: the archives written by make_test_archives, and the command-line tool as an oracle.

ctest sets TALLOWMERE_MAKE_TEST_ARCHIVES, TALLOWMERE_DAT_TOOL and TALLOWMERE_SAMPLE_ARCHIVE.
"""

import os
import subprocess

import pytest
from hypothesis import settings

import tallowmere_dat

# Property tests run the same examples every time and keep no example database in the tree.
settings.register_profile("tallowmere", derandomize=True, database=None, deadline=None)
settings.load_profile("tallowmere")

TOOL = os.environ.get("TALLOWMERE_DAT_TOOL")
SAMPLE = os.environ.get("TALLOWMERE_SAMPLE_ARCHIVE")

needs_tool = pytest.mark.skipif(not TOOL, reason="the tallowmere-dat tool isn't built")


@pytest.fixture(scope="session")
def archive_dir(tmp_path_factory):
    out = tmp_path_factory.mktemp("archives")
    subprocess.run([os.environ["TALLOWMERE_MAKE_TEST_ARCHIVES"], str(out)], check=True)
    return out


def archive_paths(archive_dir):
    """The well-formed archives: the generated ones and the sample archive when it is built."""
    paths = [archive_dir / "tables.dat", archive_dir / "many.dat"]
    return paths + ([SAMPLE] if SAMPLE else [])


@pytest.fixture
def tables(archive_dir):
    with tallowmere_dat.open(archive_dir / "tables.dat") as archive:
        yield archive


@pytest.fixture
def many(archive_dir):
    with tallowmere_dat.open(archive_dir / "many.dat") as archive:
        yield archive


def run_tool(*args, check=True):
    return subprocess.run([TOOL, *map(str, args)], check=check, capture_output=True).stdout
