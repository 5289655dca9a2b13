"""The README's examples (doctests and console blocks) and the package docstring are real."""

import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vardel

ROOT = Path(__file__).parent.parent
README = ROOT / "README.md"
TEXT = README.read_text(encoding="utf-8")


def test_first_lines_and_python_examples():
    assert TEXT.splitlines()[2:6] == ["```sh", "make demo   # builds vardel and prints examples/users.json as TOON",
                                      "make test   # builds vardel in .venv (CPython 3.12) and runs every test", "```"]
    readme = doctest.testfile(str(README), module_relative=False, optionflags=doctest.ELLIPSIS)
    package = doctest.testmod(vardel)
    assert (readme.failed, package.failed) == (0, 0) and readme.attempted > 20 and package.attempted >= 1


SESSIONS = [m.groups() for block in re.findall(r"^```console\n(.*?)^```$", TEXT, re.S | re.M)
            for m in re.finditer(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", block, re.M)]

# Commands the README must show, each run by test_console_example: the round trip of nested
# data, JSON Lines both ways, and an error that names the line of a JSON Lines file.
EXPECTED = [
    """echo '{"user": {"id": 7, "tags": ["a", "b"]}, "ratio": 2.0}' | vardel encode | vardel decode --compact""",
    """printf '{"id": 1, "name": "Ada"}\\n\\n{"id": 2, "name": "Bob"}\\n' | vardel encode --jsonl""",
    """printf '{"id": 1, "name": "Ada"}\\n{"id": 2, "name": "Bob"}\\n' | vardel encode --jsonl | vardel decode --jsonl""",
    """printf '{"a": 1}\\n{"a": }\\n' | vardel encode --jsonl""",
]


def test_the_new_command_line_examples_are_shown():
    assert [c for c in EXPECTED if c not in [c for c, _ in SESSIONS]] == []


@pytest.mark.parametrize("command, expected", SESSIONS, ids=[c for c, _ in SESSIONS])
def test_console_example(command, expected):
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    proc = subprocess.run(["bash", "-c", command], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=120)
    assert proc.stdout.decode("utf-8") == expected


def test_the_demo_is_what_the_readme_shows():
    demo = re.search(r"^demo:.*\n\t\$\(PY\) -m (vardel .*)$", (ROOT / "Makefile").read_text(), re.M)
    assert len(SESSIONS) >= 6 and demo and demo.group(1) in [c for c, _ in SESSIONS]
