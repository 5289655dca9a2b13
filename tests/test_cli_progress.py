"""Progress of large inputs: shown on a terminal, and only there."""

import os
import pty
import re
import select
import subprocess
import sys

import pytest

from vardel import encode
from vardel.cli import PROGRESS_THRESHOLD

# Rows with long text, so that the TOON text is as large as the JSON: both pass the threshold.
ROWS = {"rows": [{"id": i, "text": f"row {i} " + "x" * 200} for i in range(PROGRESS_THRESHOLD // 200)]}


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    root = tmp_path_factory.mktemp("big")
    (root / "big.json").write_text(__import__("json").dumps(ROWS), encoding="utf-8")
    (root / "big.toon").write_text(encode(ROWS), encoding="utf-8")
    (root / "small.json").write_text('{"a": [1, 2]}', encoding="utf-8")
    assert min((root / n).stat().st_size for n in ("big.json", "big.toon")) > PROGRESS_THRESHOLD
    return root


def run_on_terminal(args):
    """Runs vardel with standard error on a pseudo-terminal; returns the exit status and what it showed."""
    primary, secondary = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "vardel", *map(str, args)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=secondary)
    os.close(secondary)
    shown = b""
    while True:
        ready, _, _ = select.select([primary], [], [], 120)
        assert ready, "no output and no end within 120 s"
        try:
            chunk = os.read(primary, 65536)
        except OSError:  # the terminal is closed once the process has ended
            break
        if not chunk:
            break
        shown += chunk
    os.close(primary)
    return proc.wait(timeout=120), shown.decode()


@pytest.mark.parametrize("command, source, phases", [
    ("encode", "big.json", ["reading", "reading JSON", "encoding TOON", "writing TOON"]),
    ("decode", "big.toon", ["reading", "reading TOON", "writing JSON"]),
])
def test_large_input_shows_its_phases_on_a_terminal(big, tmp_path, command, source, phases):
    status, shown = run_on_terminal([command, big / source, "-o", tmp_path / "out"])
    assert status == 0, shown
    updates = [u for u in shown.split("\r\x1b[K") if u]
    assert all(u.startswith("vardel: ") for u in updates) and shown.endswith("\r\x1b[K"), shown
    seen = [u[len("vardel: "):] for u in updates]
    assert [p for p in phases if f"{p}..." in seen] == phases, seen
    # reading reports a share of the whole and a rate; writing a share (TOON) or the amount (JSON) and a rate
    assert any(re.fullmatch(r"reading \d+% \(\d+ MB/s\)", s) for s in seen), seen
    done = r"100%" if command == "encode" else r"\d+ MB"
    assert any(re.fullmatch(rf"{phases[-1]} {done} \(\d+ MB/s\)", s) for s in seen), seen


def test_small_inputs_and_other_streams_show_nothing(big, tmp_path):
    assert run_on_terminal(["encode", big / "small.json"]) == (0, "")
    proc = subprocess.run([sys.executable, "-m", "vardel", "encode", big / "big.json", "-o", tmp_path / "out"],
                          capture_output=True, timeout=120)
    assert (proc.returncode, proc.stderr) == (0, b"")


def test_an_error_after_progress_starts_on_a_clean_line(big, tmp_path):
    (bad := tmp_path / "bad.json").write_bytes((big / "big.json").read_bytes()[:-1])
    status, shown = run_on_terminal(["encode", bad])
    assert status == 1 and "reading JSON..." in shown
    assert shown.endswith("\r\x1b[Kvardel: error: " + f"{bad}: invalid JSON at line 1, column "
                          f"{bad.stat().st_size + 1}: Expecting ',' delimiter\r\n"), shown[-200:]
