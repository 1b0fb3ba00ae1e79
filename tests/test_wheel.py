"""The built wheel, installed into a fresh virtual environment outside the
source tree, passes the test suite there.

Building a wheel takes minutes, so this test does not build one: it runs when
ARBOLITE_WHEEL_DIR names a folder of built wheels (`make wheel-test` builds
the wheel and sets it) and is skipped otherwise. It installs the wheel for the
running interpreter with its test extra, copies the tests and the sample
document into a temporary folder, and runs the suite there with that
environment's interpreter, so that nothing of the source tree or its build can
be imported instead.
"""

import email
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
WHEEL_DIR = os.environ.get("ARBOLITE_WHEEL_DIR")
TAG = "cp%d%d" % sys.version_info[:2]

pytestmark = pytest.mark.skipif(not WHEEL_DIR, reason="no wheel given: `make wheel-test` builds one and runs this test")

# The whole suite runs inside; bounded so that a hang cannot hold CI.
SUITE_TIMEOUT = 900
INSTALL_TIMEOUT = 300

# Runs the suite in-process, then reports which module the tests imported.
RUN_SUITE = """
import sys
import pytest
code = pytest.main(["-q", "-p", "no:cacheprovider", "tests"])
import arbolite
print("ARBOLITE_FILE=" + arbolite.__file__)
sys.exit(code)
"""


def clean_env():
    """The caller's environment without what would point the new interpreter
    back at the source tree or this run's environment."""
    env = {k: v for k, v in os.environ.items() if k not in {"PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "PYTHONSTARTUP"}}
    env.pop("ARBOLITE_WHEEL_DIR", None)
    env["PYTHONNOUSERSITE"] = "1"
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


@pytest.fixture(scope="module")
def wheel():
    found = sorted(pathlib.Path(WHEEL_DIR).glob(f"arbolite-*-{TAG}-{TAG}-*.whl"))
    assert found, f"no wheel for {TAG} in {WHEEL_DIR}"
    assert len(found) == 1, found
    return found[0]


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    where = tmp_path_factory.mktemp("wheel-venv")
    assert not where.resolve().is_relative_to(ROOT)
    env_dir = where / "venv"
    # The base interpreter of this one, not this virtual environment.
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True, timeout=120, env=clean_env())
    python = env_dir / "bin" / "python"
    subprocess.run(
        [str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", f"{wheel}[test]"],
        check=True,
        timeout=INSTALL_TIMEOUT,
        env=clean_env(),
    )
    return env_dir


def venv_python(env_dir):
    return str(env_dir / "bin" / "python")


def test_wheel_is_tagged_for_manylinux(wheel):
    platform_tag = wheel.stem.rsplit("-", 1)[-1]
    assert platform_tag.startswith("manylinux_"), wheel.name
    arch = sysconfig.get_platform().split("-", 1)[-1]
    assert platform_tag.endswith("_" + arch), wheel.name


def test_wheel_contents_and_metadata(wheel):
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        meta = email.message_from_bytes(z.read(f"{info}/METADATA"))
        entry_points = z.read(f"{info}/entry_points.txt").decode()
        license_names = [n for n in names if n.startswith(f"{info}/") and n.rsplit("/", 1)[-1] == "LICENSE"]
        assert license_names, names
        license_text = z.read(license_names[0]).decode()
    top = {n.split("/")[0] for n in names}
    assert any(n.startswith("arbolite.") and n.endswith(".so") for n in top), names
    assert "arbolite_cli.py" in top
    # Nothing was grafted in: the C++ runtime is part of the module.
    assert not any(".libs" in part for n in names for part in n.split("/")), names
    assert "arbolite = arbolite_cli:main" in entry_points
    assert license_text.startswith("MIT License") and "the arbolite developers" in license_text
    assert meta["License"] == "MIT"
    assert meta["Requires-Python"] == ">=3.12"
    classifiers = meta.get_all("Classifier")
    for expected in [
        "License :: OSI Approved :: MIT License",
        "Programming Language :: Python :: 3.12",
        "Programming Language :: Python :: 3.13",
        "Programming Language :: C++",
        "Operating System :: POSIX :: Linux",
        "Topic :: Text Processing :: Markup :: XML",
        "Typing :: Typed",
    ]:
        assert expected in classifiers
    assert meta.get_content_type() == "text/markdown" or meta["Description-Content-Type"] == "text/markdown"
    assert "arbolite" in meta.get_payload()


def test_installed_module_and_tool_come_from_the_new_environment(venv, tmp_path):
    out = subprocess.run(
        [venv_python(venv), "-c", "import arbolite, arbolite_cli; print(arbolite.__file__); print(arbolite_cli.__file__)"],
        cwd=tmp_path,
        env=clean_env(),
        capture_output=True,
        text=True,
        timeout=60,
        check=True,
    ).stdout.split()
    for path in out:
        assert pathlib.Path(path).resolve().is_relative_to(venv.resolve()), out
    sample = tmp_path / "in.xml"
    sample.write_text("<a><b k='1'>t</b></a>")
    tool = subprocess.run(
        [str(venv / "bin" / "arbolite"), "json", str(sample), "b"],
        env=clean_env(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert tool.returncode == 0, tool.stderr
    assert '"name": "b"' in tool.stdout


def test_suite_passes_against_the_installed_wheel(venv, tmp_path):
    suite = tmp_path / "suite"
    shutil.copytree(
        ROOT / "tests",
        suite / "tests",
        ignore=shutil.ignore_patterns("__pycache__", ".hypothesis", "test_wheel.py"),
    )
    # The examples and the documentation's code blocks run against the wheel too.
    for folder in ("examples", "docs"):
        shutil.copytree(ROOT / folder, suite / folder, ignore=shutil.ignore_patterns("__pycache__"))
    # The suite's pytest settings (warnings as errors) come with it.
    shutil.copy(ROOT / "pyproject.toml", suite / "pyproject.toml")
    proc = subprocess.run(
        [venv_python(venv), "-c", RUN_SUITE],
        cwd=suite,
        env=clean_env(),
        capture_output=True,
        text=True,
        timeout=SUITE_TIMEOUT,
    )
    tail = "\n".join(proc.stdout.splitlines()[-40:]) + proc.stderr[-4000:]
    assert proc.returncode == 0, tail
    used = [line.split("=", 1)[1] for line in proc.stdout.splitlines() if line.startswith("ARBOLITE_FILE=")]
    assert used and pathlib.Path(used[0]).resolve().is_relative_to(venv.resolve()), tail
    # Tests ran, not merely were collected.
    assert " passed" in tail, tail
