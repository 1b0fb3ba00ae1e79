"""The core sources stay free of the interpreter: only the boundary may see Python."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
BOUNDARY = SRC / "py"
PYTHON_NAME = re.compile(r"\bPython\.h\b|\bPy[A-Z_][A-Za-z_]*")


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


def test_extension_exports_only_its_initialiser():
    import shutil
    import subprocess

    import arbolite

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    out = subprocess.run([nm, "-D", "--defined-only", arbolite.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_arbolite"]
