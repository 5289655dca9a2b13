"""The command line, run as a separate process on real files and pipes."""

import importlib.metadata
import json
import os
import re
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from vardel import EncodeOptions, encode

ROOT = Path(__file__).parent.parent
USERS = ROOT / "examples" / "users.json"


def run(*args, stdin=None, prefix=()):
    return subprocess.run([*prefix, sys.executable, "-m", "vardel", *map(str, args)],
                          input=stdin, capture_output=True, timeout=120)


def error_line(proc):  # the message of a process that failed the documented way: one line, status 1
    err = proc.stderr.decode()
    assert (proc.returncode, proc.stdout) == (1, b""), err
    assert err.startswith("vardel: error: ") and err.count("\n") == 1 and err.endswith("\n"), err
    return err[len("vardel: error: "):-1]


def write_json(path, data, **kw):
    path.write_text(json.dumps(data, ensure_ascii=False, **kw), encoding="utf-8")
    return path


# Scalars, arrays of scalars and tables of flat objects: what decode reads back faithfully.
FLAT = {"padded": " \u00a0two ", "lines": "a\nb\r\nc", "odd": 'a,b|c\td:e"f\\g[h]{i}-', "unicode": "Chloé 東京 🙂",
        "like": ["42", "true", "", "null"], "big": 2**64 - 1, "small": -(2**63), "tiny": 1.5e-7, "whole": 3.0,
        "yes": True, "nothing": None, "a:b": [], "x[1]": [1, "b,c", "d|e"],
        "users": [{"id": 1, "name": "Ada, Countess", "note": "a|b"}, {"id": 2, "name": 'Bob "B"', "note": ""}],
        "odd fields": [{"a:b": 1, "c,d": "x", "e f": None, "g|h": "\ty"}]}


@pytest.mark.parametrize("flags", [[], ["--delimiter", "tab", "--indent", "4"], ["--delimiter", "pipe", "--indent", "1"]])
def test_encode_then_decode_gives_the_data_back(flags):
    enc = run("encode", *flags, stdin=json.dumps(FLAT, indent=2).encode())
    dec = run("decode", "-", stdin=enc.stdout)
    assert enc.returncode == dec.returncode == 0, enc.stderr + dec.stderr
    assert json.loads(dec.stdout) == {**FLAT, "whole": 3}


NESTED = {"b": {"c": [1, 2], "d": {"e": "x,y|z"}}, "rows": [{"k": 1, "v": "p"}, {"k": 2, "v": "q"}]}


@pytest.mark.parametrize("args, stdin, out", [
    (["encode", "--delimiter", "pipe", "--indent", "1", "--no-length-markers"], json.dumps(NESTED).encode(),
     encode(NESTED, EncodeOptions(delimiter="|", indent=1, use_length_markers=False)).encode() + b"\n"),
    (["encode", "--delimiter", "tab"], b'{"users": [{"id": 1, "name": "Ada"}], "ok": true}',
     b"ok: true\nusers:\n  [1\t]{id\tname}:\n      1\tAda\n"),
    (["encode", "-", "-o", "-"], b'{"x": [NaN, Infinity, -Infinity, 1e400, 1.5]}', b"x:\n  [5]: null,null,null,null,1.5\n"),
    (["encode"], b'\xef\xbb\xbf{"k": 1}', b"k: 1\n"),  # a byte order mark is not content
    (["encode", "--stats"], b"[]", b"[0]:\n"),
    # the limits are inclusive
    (["encode"], b"[" * 512 + b"]" * 512, encode(json.loads("[" * 512 + "]" * 512)).encode() + b"\n"),
    (["encode", "--indent", 2**19], b'{"a": {"b": 1}}', b"a:\n" + b" " * 2**20 + b"b: 1\n"),
    (["decode"], b"\xef\xbb\xbfa: 1", b'{\n  "a": 1\n}\n'),
    (["decode", "--indent", "0"], "name: Chloé\nu:\n  id: 7\nt[2]: é,ü\n".encode(),
     '{\n"id": 7,\n"name": "Chloé",\n"t": [\n"é",\n"ü"\n]\n}\n'.encode()),
])
def test_writes_the_documented_text(args, stdin, out):
    assert run(*args, stdin=stdin).stdout == out


@pytest.mark.parametrize("args, payload, message", [
    (["encode"], b'{"a": 1,\n  "b": }', r"<stdin>: invalid JSON at line 2, column 8: Expecting value"),
    (["encode"], b'{"a": "\xff"}', r"<stdin>: invalid UTF-8 at line 1 \(byte offset 7\): invalid start byte 0xff"),
    (["decode"], b"a: 1\nb: \xe2\x82", r"<stdin>: invalid UTF-8 at line 2 \(byte offset 8\): unexpected end of data 0xe2"),
    (["encode"], b'{"n": 18446744073709551616}', r"<stdin>: cannot encode: Python conversion error: JSON number out of range"),
    (["encode"], b"[" * 513 + b"]" * 513, r"<stdin>: cannot encode: Python conversion error: data is nested deeper than 512 levels"),
    (["encode"], b"[" * 200_000 + b"]" * 200_000, r"<stdin>: JSON nested too deeply \(vardel reads at most 512 levels\)"),
    (["encode"], b"1" * 5000, r"<stdin>: cannot read JSON: Exceeds the limit \(4300 digits\).*"),
    (["encode"], b'{"k": "a\\ud800b"}', r"<stdin>: cannot encode: Python conversion error: UnicodeEncodeError: .* surrogates not allowed"),
    (["encode", "--indent", 2**62], b'{"a": {"b": 1}}', r"<stdin>: cannot encode: Indentation too large: .*"),
    (["decode"], b'x: "a\\q"', r"<stdin>: cannot decode: Decoding error: Invalid escape sequence: \\q"),
    (["decode"], b'a: 1\nx: "abc\\"', r"<stdin>: cannot decode: Decoding error: Unterminated escape sequence"),
])
def test_bad_input_is_one_line_and_status_1(args, payload, message):
    assert re.fullmatch(message, error_line(run(*args, stdin=payload)))


@pytest.mark.parametrize("command", ["encode", "decode"])
def test_unreadable_inputs_and_unwritable_outputs(tmp_path, command):
    missing, src = tmp_path / "no" / "dir", write_json(tmp_path / "src", {})
    assert error_line(run(command, missing)) == f"cannot read {missing}: No such file or directory"
    assert error_line(run(command, tmp_path)) == f"cannot read {tmp_path}: Is a directory"
    assert error_line(run(command, src, "-o", missing)) == f"cannot write {missing}: No such file or directory"
    assert error_line(run(command, src, "-o", tmp_path)) == f"cannot write {tmp_path}: Is a directory"
    assert [p.name for p in tmp_path.iterdir()] == ["src"]  # nothing left behind
    if os.geteuid() != 0:  # root reads any file
        src.chmod(0)
        assert error_line(run(command, src)) == f"cannot read {src}: Permission denied"


@pytest.mark.parametrize("args, fragment", [
    ([], "the following arguments are required: COMMAND"), (["encode", "--delimiter", "semicolon"], "invalid choice"),
    (["encode", "--indent", "-1"], "must not be negative: -1"), (["encode", "--indent", "two"], "not a whole number"),
    (["encode", "--indent", str(2**64)], f"must be at most {2**64 - 1}"), (["decode", "--indent", "65"], "at most 64: 65"),
])
def test_usage_errors_exit_2(args, fragment):
    proc = run(*args)
    err = proc.stderr.decode()
    assert proc.returncode == 2 and proc.stdout == b"", err
    assert err.startswith("usage: vardel") and fragment in err and "Traceback" not in err


@pytest.mark.parametrize("command, good, bad", [("encode", b'{"a": [1, 2]}', b'{"a": [1, 2}'),
                                               ("decode", b"a[2]: 1,2", b'a: "\\x"')])
def test_output_file_is_replaced_only_on_success(tmp_path, command, good, bad):
    out = tmp_path / "out"
    assert run(command, "-o", out, stdin=good).stdout == b""
    before = out.read_bytes()
    assert before == run(command, stdin=good).stdout
    error_line(run(command, "-o", out, stdin=bad))
    error_line(run(command, "-o", tmp_path / "fresh", stdin=bad))
    assert out.read_bytes() == before and [p.name for p in tmp_path.iterdir()] == ["out"]


def test_output_file_keeps_its_mode_and_symlink(tmp_path):
    existing, fresh, link = tmp_path / "existing", tmp_path / "fresh", tmp_path / "link"
    existing.write_text("old")
    existing.chmod(0o604)
    link.symlink_to(existing.name)
    for out in (fresh, link):
        assert run("encode", USERS, "-o", out, prefix=("sh", "-c", 'umask 027 && exec "$0" "$@"')).returncode == 0
    assert (stat.S_IMODE(existing.stat().st_mode), stat.S_IMODE(fresh.stat().st_mode)) == (0o604, 0o640)
    assert link.is_symlink()
    assert existing.read_bytes() == fresh.read_bytes() == run("encode", USERS).stdout


STATS = re.compile(r"JSON \(compact\): (\d+) bytes, (\d+) characters\n"
                   r"TOON: +(\d+) bytes, (\d+) characters\n"
                   r"saving: +(-?\d+\.\d)% of bytes, (-?\d+\.\d)% of characters\n")


@pytest.mark.parametrize("data", [json.loads(USERS.read_text(encoding="utf-8")), []])  # [] saves a negative amount
def test_stats_match_the_real_sizes(tmp_path, data):
    src, out = write_json(tmp_path / "in.json", data, indent=4), tmp_path / "out"
    proc = run("encode", "--stats", src, "-o", out)
    found = STATS.fullmatch(proc.stderr.decode())
    assert found and proc.stdout == b"", proc.stderr
    compact = json.dumps(data, separators=(",", ":"), ensure_ascii=False)
    toon = out.read_text(encoding="utf-8")[:-1]
    sizes = [len(compact.encode()), len(compact), len(toon.encode()), len(toon)]
    assert list(map(int, found.groups()[:4])) == sizes
    assert found.groups()[4:] == (f"{100 * (sizes[0] - sizes[2]) / sizes[0]:.1f}",
                                  f"{100 * (sizes[1] - sizes[3]) / sizes[1]:.1f}")
    assert out.read_bytes() == run("encode", src).stdout


@pytest.mark.parametrize("command", ["encode", "decode"])
def test_closed_pipe_ends_quietly(tmp_path, command):
    rows = [{"id": i, "name": f"user {i}"} for i in range(60_000)]
    src = write_json(tmp_path / "big.json", {"rows": rows})
    if command == "decode":
        (src := tmp_path / "big.toon").write_text(encode({"rows": rows}), encoding="utf-8")
    proc = subprocess.run(f'"{sys.executable}" -m vardel {command} "{src}" | head -c 16',
                          shell=True, capture_output=True, timeout=120)
    assert (len(proc.stdout), proc.stderr) == (16, b"")


def test_version_script_and_help():
    assert run("--version").stdout == f"vardel {importlib.metadata.version('vardel')}\n".encode()
    script = subprocess.run([Path(sys.executable).parent / "vardel", "encode"], input=b'{"a": 1}', capture_output=True)
    assert script.stdout == b"a: 1\n"
    for args in (["--help"], ["encode", "--help"], ["decode", "--help"]):
        assert re.match(r"usage: vardel(.|\n)*\nexamples:\n", run(*args).stdout.decode())
