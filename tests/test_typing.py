"""The stub matches the built module; mypy --strict accepts right and rejects wrong use."""

import importlib.metadata
import importlib.resources
import re
import subprocess
import sys
from pathlib import Path

import pytest

DATA = Path(__file__).parent / "data"
MYPY = ["mypy", "--strict", "--cache-dir", ".cache"]


def run(*args, cwd):  # outside the source tree, with a private cache, so the installed package is checked
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=600)


@pytest.mark.parametrize("args", [["mypy.stubtest", "vardel._vardel"],
                                  [*MYPY, str(DATA / "typed_usage.py"), str(DATA.parent.parent / "python" / "vardel")]])
def test_mypy_accepts(tmp_path, args):
    proc = run(*args, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_strict_mypy_rejects_exactly_the_wrong_uses(tmp_path):
    path = DATA / "typed_misuse.py"
    marked = {n for n, line in enumerate(path.read_text().splitlines(), 1) if line.endswith("# error")}
    proc = run(*MYPY, str(path), cwd=tmp_path)
    assert len(marked) > 10 and {int(n) for n in re.findall(r"typed_misuse\.py:(\d+): error:", proc.stdout)} == marked


def test_typed_usage_runs_and_typing_files_are_installed():
    proc = subprocess.run([sys.executable, str(DATA / "typed_usage.py")], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    files = importlib.resources.files("vardel")
    assert (files / "py.typed").is_file() and (files / "_vardel.pyi").is_file()
    scripts = importlib.metadata.entry_points(group="console_scripts")
    assert {ep.value for ep in scripts if ep.name == "vardel"} == {"vardel.cli:main"}
