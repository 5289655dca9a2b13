"""The command line, run as a separate process on real files and pipes."""

import importlib.metadata
import json
import lzma
import os
import re
import stat
import subprocess
import sys
from pathlib import Path

import orjson
import pytest

from vardel import EncodeOptions, encode

ROOT = Path(__file__).parent.parent
USERS = ROOT / "examples" / "users.json"
CORPORA = ROOT / "benchmarks" / "data"


def run(*args, stdin=None, prefix=()):
    return subprocess.run([*prefix, sys.executable, "-m", "vardel", *map(str, args)],
                          input=stdin, capture_output=True, timeout=120)


def error_line(proc, status=1):  # the message of a process that failed the documented way: one line
    err = proc.stderr.decode()
    assert (proc.returncode, proc.stdout) == (status, b""), err
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


NESTED = {"b": {"c": [1, 2], "d": {"e": "x,y|z"}}, "rows": [{"k": 1, "v": "p"}, {"k": 2, "v": "q"}]}


@pytest.mark.parametrize("args, stdin, out", [
    (["encode", "--delimiter", "pipe", "--indent", "1", "--no-length-markers"], json.dumps(NESTED).encode(),
     encode(NESTED, EncodeOptions(delimiter="|", indent=1, use_length_markers=False)).encode() + b"\n"),
    (["encode", "--delimiter", "tab"], b'{"users": [{"id": 1, "name": "Ada"}], "ok": true}',
     b"ok: true\nusers:\n  [1\t]{id\tname}:\n      1\tAda\n"),
    (["encode", "-", "-o", "-"], b'{"x": [NaN, Infinity, -Infinity, 1e400, 1.5]}', b"x:\n  [5]: null,null,null,null,1.5\n"),
    (["encode"], b'\xef\xbb\xbf{"k": 1}', b"k: 1\n"),  # a byte order mark is not content
    # the ends of the integer range, and numbers whose digits run long, read exactly
    (["encode"], b"[18446744073709551615, -9223372036854775808, 1234567890123456789.5, 1e22]",
     b"[4]: 18446744073709551615,-9223372036854775808,1234567890123456800,10000000000000000000000\n"),
    # the limits are inclusive
    (["encode"], b"[" * 512 + b"]" * 512, encode(json.loads("[" * 512 + "]" * 512)).encode() + b"\n"),
    (["encode", "--indent", 2**19], b'{"a": {"b": 1}}', b"a:\n" + b" " * 2**20 + b"b: 1\n"),
    (["decode"], b"\xef\xbb\xbfa: 1", b'{\n  "a": 1\n}\n'),
    (["decode", "--flat", "--indent", "0"], "name: Chloé\nu:\n  id: 7\nt[2]: é,ü\n".encode(),
     '{\n"id": 7,\n"name": "Chloé",\n"t": [\n"é",\n"ü"\n]\n}\n'.encode()),
    # decode reads the nesting; keys stay in the order of the text unless --sort-keys
    (["decode", "--indent", "0"], "name: Chloé\nu:\n    id: 7\nt:\n  [2]: é,ü\n".encode(),
     '{\n"name": "Chloé",\n"u": {\n"id": 7\n},\n"t": [\n"é",\n"ü"\n]\n}\n'.encode()),
    (["decode"], b"b: 1\na:\n    c: x", b'{\n  "b": 1,\n  "a": {\n    "c": "x"\n  }\n}\n'),
    (["decode", "--sort-keys", "--indent", "3"], b"b: 1\na:\n    d: 2\n    c: 1",
     b'{\n   "a": {\n      "c": 1,\n      "d": 2\n   },\n   "b": 1\n}\n'),
    (["decode", "--compact"], "b: 1\na:\n  [3]: x,é,true".encode(), '{"b":1,"a":["x","é",true]}\n'.encode()),
    # JSON Lines: blank and white-space lines are skipped, CR LF ends a line too
    (["encode", "--jsonl"], b'{"id": 1, "n": "a"}\n\n  \t\r\n{"id": 2, "n": "b"}\r\n',
     b"[2]{id,n}:\n  1,a\n  2,b\n"),
    (["encode", "--jsonl"], b'\xef\xbb\xbf[1, 2]\n"x"\n{}\nNaN', encode([[1, 2], "x", {}, None]).encode() + b"\n"),
    (["encode", "--jsonl"], b"", b"[0]:\n"),
    (["decode", "--jsonl"], b"[3]:\n  - a: 1\n  - [2]: x,y\n  - null", b'{"a":1}\n["x","y"]\nnull\n'),
    (["decode", "--jsonl", "--sort-keys"], b"[1]:\n  - b: 1\n    a: 2", b'{"a":2,"b":1}\n'),
    (["decode", "--jsonl"], b"[0]:", b""),
    # encode options
    (["encode", "--keep-order"], b'{"b": 1, "a": {"d": 1, "c": 2}}', b"b: 1\na:\n    d: 1\n    c: 2\n"),
    (["encode", "--uniform-indent"], b'{"b": 1, "a": {"d": 1, "c": 2}}', b"a:\n  c: 2\n  d: 1\nb: 1\n"),
])
def test_writes_the_documented_text(args, stdin, out):
    assert run(*args, stdin=stdin).stdout == out


@pytest.mark.parametrize("args, payload, message", [
    (["encode"], b'{"a": 1,\n  "b": }', r"<stdin>: invalid JSON at line 2, column 8: Expecting value"),
    (["encode"], b'{"a": "\xff"}', r"<stdin>: invalid UTF-8 at line 1 \(byte offset 7\): invalid start byte 0xff"),
    (["decode"], b"a: 1\nb: \xe2\x82", r"<stdin>: invalid UTF-8 at line 2 \(byte offset 8\): unexpected end of data 0xe2"),
    (["encode"], b'{"n": 18446744073709551616}', r"<stdin>: cannot encode: Python conversion error: JSON number out of range"),
    (["encode", "--jsonl"], b'1\n[100000000000000000000000]', r"<stdin>: cannot encode: Python conversion error: JSON number out of range"),
    (["encode"], b"[" * 513 + b"]" * 513, r"<stdin>: cannot encode: Python conversion error: data is nested deeper than 512 levels"),
    (["encode"], b"[" * 200_000 + b"]" * 200_000, r"<stdin>: JSON nested too deeply \(vardel reads at most 512 levels\)"),
    (["encode"], b"1" * 5000, r"<stdin>: cannot read JSON: Exceeds the limit \(4300 digits\).*"),
    (["encode"], b'{"k": "a\\ud800b"}', r"<stdin>: cannot encode: Python conversion error: UnicodeEncodeError: .* surrogates not allowed"),
    (["encode", "--indent", 2**62], b'{"a": {"b": 1}}', r"<stdin>: cannot encode: Indentation too large: .*"),
    (["decode", "--flat"], b'x: "a\\q"', r"<stdin>: cannot decode: Decoding error: Invalid escape sequence: \\q"),
    (["decode"], b'a: 1\nx: "a\\q"', r"<stdin>: invalid TOON at line 2, column 6: invalid escape sequence \\q"),
    (["decode"], b'\xef\xbb\xbfa: 1\n"x', r"<stdin>: invalid TOON at line 2, column \d+: .+"),
    (["decode", "--jsonl"], b"a: 1", r"<stdin>: --jsonl writes the elements of an array; the TOON text holds an object"),
    (["decode", "-o", "x.ndjson"], b"5", r"<stdin>: --jsonl writes the elements of an array; the TOON text holds a single value"),
    # JSON Lines: the bad line is named by its line in the file
    (["encode", "--jsonl"], b'{"a": 1}\n\n{"a": }\n{"a": 2}', r"<stdin>: invalid JSON at line 3, column 7: Expecting value"),
    (["encode", "--jsonl"], b'1\n2 3\n', r"<stdin>: invalid JSON at line 2, column 3: Extra data"),
    (["encode", "--jsonl"], b'1\n\n"\xff"\n', r"<stdin>: invalid UTF-8 at line 3 \(byte offset 4\): invalid start byte 0xff"),
    (["decode"], b"Not TOON at all.\nJust prose.",
     r"<stdin>: invalid TOON at line 1, column 1: expected 'key: value', an array header or a list item"),
])
def test_bad_input_is_one_line_and_status_1(args, payload, message):
    assert re.fullmatch(message, error_line(run(*args, stdin=payload)))


@pytest.mark.parametrize("command", ["encode", "decode"])
def test_unreadable_inputs_and_unwritable_outputs_exit_2(tmp_path, command):
    missing, src = tmp_path / "no" / "dir", write_json(tmp_path / "src", {})
    assert error_line(run(command, missing), 2) == f"cannot read {missing}: No such file or directory"
    assert error_line(run(command, tmp_path), 2) == f"cannot read {tmp_path}: Is a directory"
    assert error_line(run(command, src, "-o", missing), 2) == f"cannot write {missing}: No such file or directory"
    assert error_line(run(command, src, "-o", tmp_path), 2) == f"cannot write {tmp_path}: Is a directory"
    assert [p.name for p in tmp_path.iterdir()] == ["src"]  # nothing left behind
    if os.geteuid() != 0:  # root reads any file
        src.chmod(0)
        assert error_line(run(command, src), 2) == f"cannot read {src}: Permission denied"


@pytest.mark.parametrize("args, fragment", [
    ([], "the following arguments are required: COMMAND"), (["encode", "--delimiter", "semicolon"], "invalid choice"),
    (["encode", "--indent", "-1"], "must not be negative: -1"), (["encode", "--indent", "two"], "not a whole number"),
    (["encode", "--indent", str(2**64)], f"must be at most {2**64 - 1}"), (["decode", "--indent", "65"], "at most 64: 65"),
    (["decode", "--compact", "--indent", "2"], "not allowed with argument"), (["encode", "--compact"], "unrecognized"),
    (["decode", "--jsonl", "--indent", "2"], "--indent cannot be used with --jsonl"),
    (["decode", "-o", "out.jsonl", "--indent", "0"], "--indent cannot be used with --jsonl"),
    (["encode", "--sort-keys"], "unrecognized"), (["decode", "--keep-order"], "unrecognized"),
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


STATS = re.compile(r"JSON \(compact\): (\d+) bytes, (\d+) characters(?:, (\d+) o200k tokens)?\n"
                   r"TOON: +(\d+) bytes, (\d+) characters(?:, (\d+) o200k tokens)?\n"
                   r"saving: +(-?\d+\.\d)% of bytes, (-?\d+\.\d)% of characters(?:, (-?\d+\.\d)% of tokens)?\n"
                   r"(tokens: +not counted; for o200k token counts: pip install 'vardel\[tokens\]'\n)?")
# The command line with the tokens extra made unimportable, as on a machine without it.
WITHOUT_TOKENS = ("-c", "import sys; sys.modules['bpe_openai'] = None; from vardel.cli import main; "
                  "sys.argv[0] = 'vardel'; sys.exit(main())")


@pytest.mark.parametrize("tokens", [True, False], ids=["tokens", "no-tokens"])
@pytest.mark.parametrize("data", [json.loads(USERS.read_text(encoding="utf-8")), []])  # [] saves a negative amount
def test_stats_match_the_real_sizes(tmp_path, data, tokens):
    src, out = write_json(tmp_path / "in.json", data, indent=4), tmp_path / "out"
    if tokens:
        proc = run("encode", "--stats", src, "-o", out)
    else:
        proc = subprocess.run([sys.executable, *WITHOUT_TOKENS, "encode", "--stats", src, "-o", out],
                              capture_output=True, timeout=120)
    found = STATS.fullmatch(proc.stderr.decode())
    assert found and proc.stdout == b"", proc.stderr
    jb, jc, jt, tb, tc, tt, sb, sc, st, hint = found.groups()
    compact = json.dumps(data, separators=(",", ":"), ensure_ascii=False)
    toon = out.read_text(encoding="utf-8")[:-1]
    sizes = [len(compact.encode()), len(compact), len(toon.encode()), len(toon)]
    assert list(map(int, [jb, jc, tb, tc])) == sizes
    assert (sb, sc) == (f"{100 * (sizes[0] - sizes[2]) / sizes[0]:.1f}", f"{100 * (sizes[1] - sizes[3]) / sizes[1]:.1f}")
    assert out.read_bytes() == run("encode", src).stdout
    if tokens:
        from vardel.tokens import count_tokens
        counts = [count_tokens(compact), count_tokens(toon)]
        assert [int(jt), int(tt)] == counts and hint is None
        assert st == f"{100 * (counts[0] - counts[1]) / counts[0]:.1f}"
    else:
        assert (jt, tt, st) == (None, None, None) and hint


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


# Documents that decode must give back exactly: nesting of every kind, empty containers, roots of every kind.
DOCUMENTS = [
    NESTED, FLAT, {}, [], [[]], [{}], {"a": {}}, {"a": []}, "text", 0, -1.5, None, True, "",
    [[1, 2], [3, [4, [5]]], []], [{"a": 1}, {"b": [1, {"c": None}]}, "x", [{"d": {}}]],
    {"deep": {"er": {"still": {"deeper": [{"k": [1, "a,b", {"z": ""}]}]}}}},
    {"mixed": [{"id": 1, "tags": ["x"]}, {"id": 2, "tags": []}], "matrix": [[1.25, -0.5], [1e-7, 2**63]]},
    {"odd keys": {"": 1, "a:b": {"c,d": [True, False, None]}, "- e": "- f", "[1]": "{x}"}},
    {"looks": ["1", "true", "null", "-", "- x", "", " ", "a\nb", "#", "[2]: x"]},
]


def sorted_pairs(value, sort):  # the data with every object as its list of members, sorted or in order
    if isinstance(value, dict):
        items = sorted(value.items()) if sort else value.items()
        return [[k, sorted_pairs(v, sort)] for k, v in items]
    if isinstance(value, list):
        return [sorted_pairs(v, sort) for v in value]
    return value


def members(text):  # JSON with every object read as its list of members, in the order of the text
    return json.loads(text, object_pairs_hook=lambda pairs: [list(p) for p in pairs])


@pytest.mark.parametrize("encode_flags", [[], ["--delimiter", "tab"], ["--delimiter", "pipe", "--indent", "1"],
                                          ["--uniform-indent", "--indent", "3"], ["--keep-order"]])
def test_encode_then_decode_gives_any_document_back(encode_flags):
    # all the documents at once, as the elements of one array, in JSON Lines
    lines = "\n".join(json.dumps(d, ensure_ascii=False) for d in DOCUMENTS).encode()
    enc = run("encode", "--jsonl", *encode_flags, stdin=lines)
    dec = run("decode", "--jsonl", stdin=enc.stdout)
    assert enc.returncode == dec.returncode == 0, enc.stderr + dec.stderr
    back = [members(line) for line in dec.stdout.decode().splitlines()]
    assert back == [sorted_pairs(d, sort="--keep-order" not in encode_flags) for d in DOCUMENTS], enc.stdout


@pytest.mark.parametrize("data", [d for d in DOCUMENTS if not isinstance(d, dict) or not d or d is NESTED or d is FLAT],
                         ids=repr)
def test_documents_of_every_root_come_back(data):
    dec = run("decode", "--compact", stdin=run("encode", stdin=json.dumps(data).encode()).stdout)
    assert dec.returncode == 0 and members(dec.stdout) == sorted_pairs(data, sort=True), dec.stderr


@pytest.mark.parametrize("name", ["twitter", "citm_catalog", "canada"])
def test_public_corpora_go_there_and_back(tmp_path, name):
    text = lzma.open(CORPORA / f"{name}.json.xz", "rt", encoding="utf-8").read()
    (src := tmp_path / "in.json").write_text(text, encoding="utf-8")
    enc = run("encode", src, "-o", tmp_path / "out.toon")
    dec = run("decode", tmp_path / "out.toon")
    assert enc.returncode == dec.returncode == 0, enc.stderr + dec.stderr
    data = json.loads(text)
    assert json.loads(dec.stdout) == data and dec.stdout == orjson.dumps(data, option=orjson.OPT_INDENT_2 | orjson.OPT_SORT_KEYS) + b"\n"


def test_json_lines_files_are_recognised_by_their_name(tmp_path):
    records = [{"id": i, "name": f"n{i}"} for i in range(3)]
    lines = "\n".join(json.dumps(r) for r in records) + "\n"
    table = run("encode", "--jsonl", stdin=lines.encode()).stdout
    assert table == encode(records).encode() + b"\n"
    for name in ("a.jsonl", "b.NDJSON"):
        (tmp_path / name).write_text(lines)
        assert run("encode", tmp_path / name).stdout == table
    (tmp_path / "c.json").write_text(lines)
    assert "Extra data" in error_line(run("encode", tmp_path / "c.json"))
    # and back: --jsonl, or an output named .jsonl, gives the lines again
    assert run("decode", "--jsonl", stdin=table).stdout.decode() == lines.replace(": ", ":").replace(", ", ",")
    assert run("decode", "-o", tmp_path / "back.jsonl", stdin=table).returncode == 0
    assert [json.loads(line) for line in (tmp_path / "back.jsonl").read_text().splitlines()] == records
