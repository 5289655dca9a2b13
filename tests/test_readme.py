"""The documented examples are real: the README's Python sessions and the
package docstring run as doctests, and the README's `console` blocks are run
in a shell and must print exactly what is shown."""

import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).parent.parent
README = ROOT / "README.md"
TEXT = README.read_text(encoding="utf-8")


def test_first_lines_are_the_two_commands():
    lines = TEXT.splitlines()
    assert lines[2:6] == [
        "```sh",
        "make demo   # builds vardel and prints examples/users.json as TOON",
        "make test   # builds vardel in .venv (CPython 3.12) and runs every test",
        "```",
    ]


def test_python_examples():
    result = doctest.testfile(
        str(README), module_relative=False, optionflags=doctest.ELLIPSIS, verbose=False
    )
    assert result.attempted > 20, "the README lost its examples"
    assert result.failed == 0, "see the doctest report above"


def test_package_docstring_example():
    import vardel

    result = doctest.testmod(vardel, verbose=False)
    assert result.attempted >= 1 and result.failed == 0


def console_sessions():
    """Yields (command, expected output) for every `$ command` of a console block."""
    for block in re.findall(r"^```console\n(.*?)^```$", TEXT, re.S | re.M):
        for m in re.finditer(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", block, re.M):
            yield m.group(1), m.group(2)


SESSIONS = list(console_sessions())


def test_console_blocks_are_found():
    assert len(SESSIONS) >= 6


@pytest.mark.parametrize("command, expected", SESSIONS, ids=[c for c, _ in SESSIONS])
def test_console_example(command, expected):
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    proc = subprocess.run(
        ["bash", "-c", command],
        cwd=ROOT,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        timeout=120,
    )
    assert proc.stdout.decode("utf-8") == expected


def test_the_demo_is_what_the_readme_shows():
    makefile = (ROOT / "Makefile").read_text()
    demo = re.search(r"^demo:.*\n\t\$\(PY\) -m (vardel .*)$", makefile, re.M)
    assert demo, "make demo no longer runs vardel"
    assert demo.group(1) in [c for c, _ in SESSIONS]
