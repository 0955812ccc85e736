"""The package: its layout, version, stub and docstrings; check and explain against the tool; the
README's Python section, run as written."""

import ast
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import tallowmere_dat
from conftest import SAMPLE, archive_paths, needs_tool, run_tool

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_layout_and_version():
    package = pathlib.Path(tallowmere_dat.__file__).parent
    assert {"__init__.py", "__init__.pyi", "py.typed"} <= {p.name for p in package.iterdir()}
    assert pathlib.Path(tallowmere_dat._core.__file__).parent == package
    assert tallowmere_dat.__version__ == os.environ["TALLOWMERE_PROJECT_VERSION"]


def test_the_stub_matches_the_runtime(tmp_path):
    pytest.importorskip("mypy.stubtest")
    allow = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "tallowmere_dat", "--allowlist", str(allow),
         "--ignore-missing-stub"], capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_runtime_objects_have_docstrings():
    for name in tallowmere_dat.__all__:
        obj = getattr(tallowmere_dat, name)
        if not isinstance(obj, type):
            continue
        assert obj.__doc__, name
        for attr, member in vars(obj).items():
            if callable(member) and not attr.startswith("_"):
                # pybind11 puts the signature first; the text must follow it.
                doc = member.__doc__ or ""
                text = doc.split("\n", 1)[1] if doc.startswith(attr + "(") else doc
                assert text.strip(), f"{name}.{attr}"
    assert "ascending" in tallowmere_dat.Archive.items.__doc__


def test_the_stubs_header_has_the_librarys_fields(tables):
    stub = ast.parse((pathlib.Path(tallowmere_dat.__file__).parent / "__init__.pyi").read_text())
    header = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "Header")
    properties = [f.name for f in header.body if isinstance(f, ast.FunctionDef)
                  and any(getattr(d, "id", None) == "property" for d in f.decorator_list)]
    assert properties == list(tallowmere_dat.Header._fields)
    state = tuple(getattr(tables.header, name) for name in properties)
    assert tables.header.__getstate__() == state


@needs_tool
def test_check_gives_the_tools_findings(archive_dir):
    for path in archive_paths(archive_dir) + [archive_dir / "broken.dat"]:
        expected = json.loads(run_tool("check", "--json", path, check=False))["findings"]
        with tallowmere_dat.open(path) as archive:
            found = [{"kind": f.kind, "severity": f.severity,
                      "offsets": [f"0x{o:08X}" for o in f.offsets],
                      "ids": [f"0x{i:08X}" for i in f.ids], "message": f.message}
                     for f in archive.check()]
        assert found == expected, path


@needs_tool
@pytest.mark.parametrize("id", [None, 0x20000001, 0x0A000001, 0x20000004])
def test_explain_gives_the_tools_json(archive_dir, id):
    path = archive_dir / "tables.dat"
    expected = json.loads(run_tool("explain", "--json", path, *([] if id is None else [hex(id)])))
    with tallowmere_dat.open(path) as archive:
        assert archive.explain(id) == expected


@pytest.mark.skipif(not SAMPLE, reason="the sample archive isn't built")
def test_the_readme_python_section_runs(tmp_path, monkeypatch, capsys):
    readme = (ROOT / "README.md").read_text()
    section = readme[readme.index("\n## Python\n"):readme.index("\n## Performance\n")]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert blocks
    monkeypatch.chdir(tmp_path)
    os.symlink(SAMPLE, tmp_path / "client_portal.dat")
    for block in blocks:
        exec(compile(block, "README.md", "exec"), {})
    assert "0x20000011" in capsys.readouterr().out
