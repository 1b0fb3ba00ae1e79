"""The shape of the source tree: only the boundary folder sees the interpreter, and
every folder includes only from itself and the folders below it."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
BOUNDARY = SRC / "py"
PYTHON_NAME = re.compile(r"\bPython\.h\b|\bPy[A-Z_][A-Za-z_]*")
PROJECT_INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')
# The folders each folder may include from, besides itself.
MAY_INCLUDE = {
    "common": set(),
    "simd": {"common"},
    "index": {"common", "simd"},
    "entities": {"common", "simd"},
    "read": {"common", "simd", "index", "entities"},
    "write": {"common", "simd"},
    "py": {"common", "simd", "index", "entities", "read", "write"},
}


def core_files():
    if not SRC.is_dir():
        return []
    return sorted(
        p
        for p in SRC.rglob("*")
        if p.suffix in {".cpp", ".hpp", ".h"}
        and BOUNDARY not in p.parents
    )


@pytest.mark.skipif(not core_files(), reason="source tree not available")
def test_core_sources_do_not_touch_python():
    offenders = []
    for path in core_files():
        for number, line in enumerate(path.read_text().splitlines(), 1):
            if PYTHON_NAME.search(line):
                offenders.append(f"{path.relative_to(SRC)}:{number}: {line.strip()}")
    assert offenders == []


@pytest.mark.skipif(not SRC.is_dir(), reason="source tree not available")
def test_folders_include_only_downward():
    folders = {p.name for p in SRC.iterdir() if p.is_dir()}
    assert folders == set(MAY_INCLUDE)
    offenders = []
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in {".cpp", ".hpp", ".h"}:
            continue
        folder = path.relative_to(SRC).parts[0]
        for number, line in enumerate(path.read_text().splitlines(), 1):
            match = PROJECT_INCLUDE.match(line)
            if match and match[1] != folder and match[1] not in MAY_INCLUDE[folder]:
                offenders.append(f"{path.relative_to(SRC)}:{number}: {line.strip()}")
    assert offenders == []


def test_extension_exports_only_its_initialiser():
    import shutil
    import subprocess

    import arbolite

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    out = subprocess.run([nm, "-D", "--defined-only", arbolite.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_arbolite"]
