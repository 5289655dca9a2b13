"""The typed surface: the stub matches the built module, and mypy --strict
accepts correct use and rejects wrong use of the installed package."""

import importlib.metadata
import importlib.resources
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

DATA = Path(__file__).parent / "data"
SOURCE_PACKAGE = Path(__file__).parent.parent / "python" / "vardel"

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed (make test installs it)"
)


def run_mypy(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    # Run outside the source tree, with a private cache, so that the
    # installed package (with its py.typed and stub) is the one checked.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cwd / ".mypy_cache"), *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=600,
    )


@needs_mypy
def test_stub_matches_the_built_module(tmp_path):
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vardel._vardel"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


@needs_mypy
def test_strict_mypy_accepts_typed_usage(tmp_path):
    proc = run_mypy(str(DATA / "typed_usage.py"), cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@needs_mypy
def test_strict_mypy_accepts_the_package_source(tmp_path):
    proc = run_mypy(str(SOURCE_PACKAGE), cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@needs_mypy
def test_strict_mypy_rejects_exactly_the_wrong_uses(tmp_path):
    path = DATA / "typed_misuse.py"
    marked = {
        n for n, line in enumerate(path.read_text().splitlines(), 1) if line.endswith("# error")
    }
    proc = run_mypy(str(path), cwd=tmp_path)
    reported = {
        int(m.group(1)) for m in re.finditer(r"^.*typed_misuse\.py:(\d+): error:", proc.stdout, re.M)
    }
    assert marked, "the misuse file marks no line"
    assert reported == marked, proc.stdout


def test_typed_usage_runs():
    proc = subprocess.run(
        [sys.executable, str(DATA / "typed_usage.py")], capture_output=True, text=True, timeout=60
    )
    assert proc.returncode == 0, proc.stderr


def test_installed_package_carries_its_typing_files_and_entry_point():
    files = importlib.resources.files("vardel")
    assert (files / "py.typed").is_file()
    assert (files / "_vardel.pyi").is_file()
    scripts = importlib.metadata.entry_points(group="console_scripts")
    assert {ep.value for ep in scripts if ep.name == "vardel"} == {"vardel.cli:main"}

