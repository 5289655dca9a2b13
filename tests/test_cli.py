"""The command line, run as a separate process on real files and pipes."""

import importlib.metadata
import json
import os
import re
import stat
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import vardel
from vardel import EncodeOptions, decode_toon, encode

ROOT = Path(__file__).parent.parent
USERS = ROOT / "examples" / "users.json"
SCRIPT = Path(sys.executable).parent / "vardel"


def run(*args, stdin=None, cwd=None):
    """Runs `python -m vardel ARGS`; returns the finished process (bytes)."""
    return subprocess.run(
        [sys.executable, "-m", "vardel", *map(str, args)],
        input=stdin,
        capture_output=True,
        cwd=cwd,
        timeout=120,
    )


def error_line(proc):
    """Asserts that `proc` failed the documented way and returns its message."""
    err = proc.stderr.decode("utf-8")
    assert proc.returncode == 1, err
    assert proc.stdout == b""
    assert "Traceback" not in err
    assert err.endswith("\n") and err.count("\n") == 1, err
    assert err.startswith("vardel: error: "), err
    return err[len("vardel: error: ") : -1]


def whole_floats_as_ints(value):
    if isinstance(value, float) and value.is_integer():
        return int(value)
    if isinstance(value, list):
        return [whole_floats_as_ints(v) for v in value]
    if isinstance(value, dict):
        return {k: whole_floats_as_ints(v) for k, v in value.items()}
    return value


# Data whose members are scalars, arrays of scalars and tables of flat
# objects: what decode reads back faithfully.
FLAT = {
    "name": "Ada",
    "empty": "",
    "padded": "  two spaces  ",
    "nbsp": "\u00a0edge\u00a0",
    "punctuation": 'a,b|c\td:e"f\\g[h]{i}',
    "lines": "one\ntwo\r\nthree",
    "unicode": "Chloé 東京 🙂",
    "number_like": "42",
    "literal_like": "true",
    "null_like": "null",
    "negative_like": "-5",
    "zero_led": "007",
    "big": 2**64 - 1,
    "small": -(2**63),
    "ratio": 2.5,
    "tiny": 1.5e-7,
    "whole": 3.0,
    "yes": True,
    "no": False,
    "nothing": None,
    "a:b": 1,
    "my key": "x",
    "c-d": [1, 2],
    "x[1]": 5,
    "tags": ["a", "b,c", "d|e", " x ", "", "f\tg", "-", "null"],
    "numbers": [0, -1, 3.25, 2**64 - 1, -(2**63)],
    "none": [],
    "users": [
        {"id": 1, "name": "Ada, Countess", "note": "a|b", "score": 98.5},
        {"id": 2, "name": 'Bob "B"', "note": "", "score": 72},
    ],
    "odd fields": [{"a:b": 1, "c,d": "x", "e f": None, "g|h": "\ty"}],
}


def write_json(path, data, **kw):
    path.write_text(json.dumps(data, ensure_ascii=False, **kw), encoding="utf-8")
    return path


# --- round trips ---------------------------------------------------------------


@pytest.mark.parametrize(
    "flags",
    [
        [],
        ["--delimiter", "tab"],
        ["--delimiter", "pipe"],
        ["--delimiter", "comma", "--indent", "1"],
        ["--delimiter", "tab", "--indent", "4"],
        ["--delimiter", "pipe", "--indent", "3"],
        ["--no-length-markers"],
    ],
    ids=lambda f: " ".join(f) or "defaults",
)
def test_encode_then_decode_gives_the_data_back(tmp_path, flags):
    src = write_json(tmp_path / "flat.json", FLAT, indent=2)
    toon = tmp_path / "flat.toon"
    enc = run("encode", src, "-o", toon, *flags)
    assert enc.returncode == 0, enc.stderr
    dec = run("decode", toon)
    assert dec.returncode == 0, dec.stderr
    assert json.loads(dec.stdout) == whole_floats_as_ints(FLAT)


def test_round_trip_through_pipes(tmp_path):
    source = json.dumps(FLAT).encode()
    enc = run("encode", "--delimiter", "pipe", stdin=source)
    assert enc.returncode == 0, enc.stderr
    dec = run("decode", "-", stdin=enc.stdout)
    assert dec.returncode == 0, dec.stderr
    assert json.loads(dec.stdout) == whole_floats_as_ints(FLAT)


def test_shell_pipeline_round_trip(tmp_path):
    src = write_json(tmp_path / "in.json", FLAT)
    py = sys.executable
    proc = subprocess.run(
        f'"{py}" -m vardel encode "{src}" | "{py}" -m vardel decode --indent 0',
        shell=True,
        capture_output=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == whole_floats_as_ints(FLAT)


# --- what encode writes --------------------------------------------------------

NESTED = {"b": {"c": [1, 2], "d": {"e": "x,y|z"}}, "rows": [{"k": 1, "v": "p"}, {"k": 2, "v": "q"}]}


@pytest.mark.parametrize(
    "flags, options",
    [
        ([], {}),
        (["--delimiter", "tab"], {"delimiter": "\t"}),
        (["--delimiter", "pipe"], {"delimiter": "|"}),
        (["--indent", "0"], {"indent": 0}),
        (["--indent", "4"], {"indent": 4}),
        (["--no-length-markers"], {"use_length_markers": False}),
        (
            ["--delimiter", "pipe", "--indent", "1", "--no-length-markers"],
            {"delimiter": "|", "indent": 1, "use_length_markers": False},
        ),
    ],
    ids=lambda x: str(x),
)
def test_encode_flags_reach_the_encoder(tmp_path, flags, options):
    src = write_json(tmp_path / "nested.json", NESTED)
    proc = run("encode", src, *flags)
    assert proc.returncode == 0, proc.stderr
    expected = encode(NESTED, EncodeOptions(**options))
    assert proc.stdout.decode("utf-8") == expected + "\n"
    if options:
        assert expected != encode(NESTED), "the sample data does not show this option"


def test_encode_writes_the_documented_text(tmp_path):
    src = write_json(tmp_path / "in.json", {"users": [{"id": 1, "name": "Ada"}], "ok": True})
    proc = run("encode", src, "--delimiter", "tab")
    assert proc.stdout == b"ok: true\nusers:\n  [1\t]{id\tname}:\n      1\tAda\n"


@pytest.mark.parametrize("args", [[], ["-"], ["-", "-o", "-"]], ids=["absent", "dash", "dash-o-dash"])
def test_standard_input_and_output(args):
    proc = run("encode", *args, stdin=USERS.read_bytes())
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == run("encode", USERS).stdout


def test_non_finite_numbers_are_written_as_null(tmp_path):
    src = tmp_path / "nan.json"
    src.write_text('{"x": [NaN, Infinity, -Infinity, 1e400, 1.5]}')
    proc = run("encode", src)
    assert proc.stdout == b"x:\n  [5]: null,null,null,null,1.5\n"
    assert json.loads(run("decode", stdin=proc.stdout).stdout) == {"x": [None, None, None, None, 1.5]}


@pytest.mark.parametrize("command, payload", [("encode", b'{"k": 1}'), ("decode", b"k: 1")])
def test_byte_order_mark_is_not_content(tmp_path, command, payload):
    plain = run(command, stdin=payload)
    marked = run(command, stdin=b"\xef\xbb\xbf" + payload)
    assert plain.returncode == marked.returncode == 0, marked.stderr
    assert marked.stdout == plain.stdout


# --- what decode writes --------------------------------------------------------


@pytest.mark.parametrize("indent", [0, 1, 4])
def test_decode_indent_and_unicode(tmp_path, indent):
    text = "name: Chloé\nuser:\n  id: 7\ntags[2]: é,ü\n"
    src = tmp_path / "in.toon"
    src.write_text(text, encoding="utf-8")
    proc = run("decode", src, "--indent", indent)
    assert proc.returncode == 0, proc.stderr
    expected = json.dumps(decode_toon(text), ensure_ascii=False, indent=indent) + "\n"
    assert proc.stdout.decode("utf-8") == expected
    assert json.loads(proc.stdout) == {"id": 7, "name": "Chloé", "tags": ["é", "ü"]}


def test_decode_default_indent_is_two():
    proc = run("decode", stdin=b"a: 1")
    assert proc.stdout == b'{\n  "a": 1\n}\n'


# --- errors --------------------------------------------------------------------


@pytest.mark.parametrize(
    "command, payload, message",
    [
        ("encode", b'{"a": 1,\n  "b": }', r"<stdin>: invalid JSON at line 2, column 8: Expecting value"),
        ("encode", b"", r"<stdin>: invalid JSON at line 1, column 1: Expecting value"),
        ("encode", b'{"a": 1} x', r"<stdin>: invalid JSON at line 1, column 10: Extra data"),
        ("encode", b"{'a': 1}", r"<stdin>: invalid JSON at line 1, column 2: Expecting property name enclosed in double quotes"),
        ("encode", b'{"a": "\xff"}', r"<stdin>: invalid UTF-8 at line 1 \(byte offset 7\): invalid start byte 0xff"),
        ("encode", b'[\n"\xc3"]', r"<stdin>: invalid UTF-8 at line 2 \(byte offset 3\): invalid continuation byte 0xc3"),
        ("decode", b"a: 1\nb: \xe2\x82", r"<stdin>: invalid UTF-8 at line 2 \(byte offset 8\): unexpected end of data 0xe2"),
        ("encode", b'{"n": 18446744073709551616}', r"<stdin>: cannot encode: Python conversion error: JSON number out of range"),
        ("encode", b"[-9223372036854775809]", r"<stdin>: cannot encode: Python conversion error: JSON number out of range"),
        ("encode", b"[" * 513 + b"]" * 513, r"<stdin>: cannot encode: Python conversion error: data is nested deeper than 512 levels"),
        ("encode", b"[" * 200_000 + b"]" * 200_000, r"<stdin>: JSON nested too deeply \(vardel reads at most 512 levels\)"),
        ("encode", b"1" * 5000, r"<stdin>: cannot read JSON: Exceeds the limit \(4300 digits\).*"),
        ("encode", b'{"k": "a\\ud800b"}', r"<stdin>: cannot encode: Python conversion error: UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"),
        ("decode", b'x: "a\\q"', r"<stdin>: cannot decode: Decoding error: Invalid escape sequence: \\q"),
        ("decode", b'a: 1\nx: "abc\\"', r"<stdin>: cannot decode: Decoding error: Unterminated escape sequence"),
        ("decode", b'x: "a\\\r"', r"<stdin>: cannot decode: Decoding error: Invalid escape sequence: \\\\r"),
    ],
    ids=lambda x: x if isinstance(x, str) and len(x) < 20 else None,
)
def test_bad_input_is_one_line_and_status_1(command, payload, message):
    assert re.fullmatch(message, error_line(run(command, stdin=payload)))


def test_nesting_at_the_limit_is_accepted():
    proc = run("encode", stdin=b"[" * 512 + b"]" * 512)
    assert proc.returncode == 0, proc.stderr


@pytest.mark.parametrize("command", ["encode", "decode"])
def test_unreadable_inputs(tmp_path, command):
    missing = tmp_path / "missing.json"
    assert error_line(run(command, missing)) == f"cannot read {missing}: No such file or directory"
    assert error_line(run(command, tmp_path)) == f"cannot read {tmp_path}: Is a directory"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_file_without_read_permission(tmp_path):
    src = write_json(tmp_path / "secret.json", {"a": 1})
    src.chmod(0)
    assert error_line(run("encode", src)) == f"cannot read {src}: Permission denied"


def test_indentation_beyond_the_limit_is_refused(tmp_path):
    # A member one level down stands after 2 x indent spaces; no line may
    # stand after more than 1048576.
    src = write_json(tmp_path / "deep.json", {"a": {"b": 1}})
    msg = error_line(run("encode", src, "--indent", 2**19 + 1))
    assert msg.startswith(f"{src}: cannot encode: Indentation too large: ")
    ok = run("encode", src, "--indent", 2**19)
    assert ok.returncode == 0, ok.stderr
    assert ok.stdout == b"a:\n" + b" " * 2**20 + b"b: 1\n"


@pytest.mark.parametrize(
    "args, fragment",
    [
        ([], "the following arguments are required: COMMAND"),
        (["convert"], "invalid choice: 'convert'"),
        (["encode", "--delimiter", "semicolon"], "invalid choice: 'semicolon'"),
        (["encode", "--indent", "-1"], "must not be negative: -1"),
        (["encode", "--indent", "two"], "not a whole number: 'two'"),
        (["encode", "--indent", str(2**64)], f"must be at most {2**64 - 1}"),
        (["decode", "--indent", "65"], "must be at most 64: 65"),
        (["decode", "--stats"], "unrecognized arguments: --stats"),
        (["encode", "a.json", "b.json"], "unrecognized arguments: b.json"),
    ],
)
def test_usage_errors_exit_2(args, fragment):
    proc = run(*args)
    err = proc.stderr.decode()
    assert proc.returncode == 2, err
    assert err.startswith("usage: vardel") and fragment in err, err
    assert "Traceback" not in err and proc.stdout == b""


# --- -o writes whole files or nothing ------------------------------------------


@pytest.mark.parametrize("command, good, bad", [
    ("encode", b'{"a": [1, 2]}', b'{"a": [1, 2}'),
    ("decode", b"a[2]: 1,2", b'a: "\\x"'),
])
def test_output_file_is_replaced_only_on_success(tmp_path, command, good, bad):
    out = tmp_path / "out"
    proc = run(command, "-o", out, stdin=good)
    assert proc.returncode == 0 and proc.stdout == b"", proc.stderr
    assert out.read_bytes() == run(command, stdin=good).stdout
    assert out.read_bytes().endswith(b"\n") and not out.read_bytes().endswith(b"\n\n")

    before = out.read_bytes()
    error_line(run(command, "-o", out, stdin=bad))
    assert out.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out"]

    fresh = tmp_path / "fresh"
    error_line(run(command, "-o", fresh, stdin=bad))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out"]


def test_unwritable_outputs_leave_nothing_behind(tmp_path):
    missing = tmp_path / "no" / "such" / "dir" / "out.toon"
    msg = error_line(run("encode", USERS, "-o", missing))
    assert msg == f"cannot write {missing}: No such file or directory"

    target = tmp_path / "a_directory"
    target.mkdir()
    msg = error_line(run("encode", USERS, "-o", target))
    assert msg == f"cannot write {target}: Is a directory"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a_directory"]
    assert list(target.iterdir()) == []


def test_output_file_permissions(tmp_path):
    existing = tmp_path / "existing.toon"
    existing.write_text("old")
    existing.chmod(0o604)
    fresh = tmp_path / "fresh.toon"
    for out in (existing, fresh):
        proc = subprocess.run(
            ["sh", "-c", 'umask 027 && exec "$0" "$@"', sys.executable, "-m", "vardel",
             "encode", str(USERS), "-o", str(out)],
            capture_output=True,
            timeout=120,
        )
        assert proc.returncode == 0, proc.stderr
    assert stat.S_IMODE(existing.stat().st_mode) == 0o604
    assert stat.S_IMODE(fresh.stat().st_mode) == 0o640
    assert existing.read_bytes() == fresh.read_bytes()


def test_output_through_a_symlink_updates_its_target(tmp_path):
    target = tmp_path / "real.toon"
    target.write_text("old")
    link = tmp_path / "link.toon"
    link.symlink_to(target.name)
    assert run("encode", USERS, "-o", link).returncode == 0
    assert link.is_symlink()
    assert target.read_bytes() == run("encode", USERS).stdout


# --- --stats -------------------------------------------------------------------

STATS = re.compile(
    r"JSON \(compact\): (\d+) bytes, (\d+) characters\n"
    r"TOON: +(\d+) bytes, (\d+) characters\n"
    r"saving: +(-?\d+\.\d)% of bytes, (-?\d+\.\d)% of characters\n"
)


@pytest.mark.parametrize(
    "data",
    [
        json.loads(USERS.read_text(encoding="utf-8")),
        {"city": "東京", "names": ["Zoë", "Åsa", "🙂"], "rows": [{"a": "ü", "b": 1}, {"a": "ß", "b": 2}]},
        [],
        {"x": [float("nan"), 1.0]},
    ],
    ids=["users", "non-ascii", "empty-array", "nan"],
)
def test_stats_match_the_real_sizes(tmp_path, data):
    src = write_json(tmp_path / "in.json", data, indent=4)  # pretty: file size is not the figure
    proc = run("encode", "--stats", src)
    assert proc.returncode == 0, proc.stderr
    m = STATS.fullmatch(proc.stderr.decode("utf-8"))
    assert m, proc.stderr
    jb, jc, tb, tc = map(int, m.groups()[:4])

    compact = json.dumps(json.loads(src.read_text(encoding="utf-8")), separators=(",", ":"),
                         ensure_ascii=False)
    toon = proc.stdout.decode("utf-8")
    assert toon.endswith("\n")
    toon = toon[:-1]
    assert (jb, jc) == (len(compact.encode("utf-8")), len(compact))
    assert (tb, tc) == (len(toon.encode("utf-8")), len(toon))
    assert m.group(5) == f"{100 * (jb - tb) / jb:.1f}"
    assert m.group(6) == f"{100 * (jc - tc) / jc:.1f}"
    # The statistics go to stderr only: the text is the same as without them.
    assert proc.stdout == run("encode", src).stdout


def test_stats_with_an_output_file(tmp_path):
    out = tmp_path / "users.toon"
    proc = run("encode", "--stats", USERS, "-o", out)
    assert proc.returncode == 0 and proc.stdout == b""
    m = STATS.fullmatch(proc.stderr.decode("utf-8"))
    assert m, proc.stderr
    assert int(m.group(3)) == len(out.read_bytes()) - 1


def test_stats_show_a_loss_as_a_negative_saving():
    proc = run("encode", "--stats", stdin=b"[]")
    m = STATS.fullmatch(proc.stderr.decode())
    assert proc.stdout == b"[0]:\n"
    assert m and m.groups() == ("2", "2", "4", "4", "-100.0", "-100.0")


# --- closed pipes ----------------------------------------------------------------


@pytest.mark.parametrize("command", ["encode", "decode"])
def test_closed_pipe_ends_quietly(tmp_path, command):
    rows = [{"id": i, "name": f"user {i}", "ok": i % 2 == 0} for i in range(60_000)]
    src = write_json(tmp_path / "big.json", {"rows": rows})
    if command == "decode":
        toon = tmp_path / "big.toon"
        toon.write_text(encode({"rows": rows}) + "\n", encoding="utf-8")
        src = toon
    proc = subprocess.Popen(
        [sys.executable, "-m", "vardel", command, str(src)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    first = proc.stdout.read(16)  # the reader takes a little, then goes away
    proc.stdout.close()
    err = proc.stderr.read()
    proc.stderr.close()
    assert proc.wait(timeout=120) == 1
    assert len(first) == 16
    assert err == b""


def test_closed_pipe_under_a_shell(tmp_path):
    rows = [{"id": i, "name": f"user {i}"} for i in range(60_000)]
    src = write_json(tmp_path / "big.json", {"rows": rows})
    errors = tmp_path / "stderr.txt"
    proc = subprocess.run(
        f'"{sys.executable}" -m vardel encode "{src}" 2>"{errors}" | head -n 2',
        shell=True,
        capture_output=True,
        timeout=120,
    )
    assert proc.stdout == b"rows:\n  [60000]{id,name}:\n"
    assert errors.read_bytes() == b""


# --- identity --------------------------------------------------------------------


def test_version():
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert vardel.__version__ == importlib.metadata.version("vardel") == version
    assert run("--version").stdout == f"vardel {version}\n".encode()


def test_console_script():
    assert SCRIPT.exists(), "the vardel script is not installed next to the interpreter"
    proc = subprocess.run([str(SCRIPT), "encode"], input=b'{"a": 1}', capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == b"a: 1\n"


@pytest.mark.parametrize("args", [["--help"], ["encode", "--help"], ["decode", "--help"]])
def test_help_has_examples(args):
    proc = run(*args)
    out = proc.stdout.decode()
    assert proc.returncode == 0
    assert out.startswith("usage: vardel") and "\nexamples:\n" in out
