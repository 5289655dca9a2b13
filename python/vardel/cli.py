"""The vardel command line: JSON to TOON and back, in the manner of json.tool.

Every failure (an unreadable file, invalid JSON or UTF-8, data vardel refuses,
an unwritable output) is reported as one line on standard error with exit
status 1; usage errors exit with status 2, as argparse does. Output is
written whole or not at all: a file named with -o is replaced only once its
new content is complete.
"""

from __future__ import annotations

import argparse
import json
import os
import stat
import sys
import tempfile
import unicodedata
from collections.abc import Callable, Sequence
from typing import Any, BinaryIO, Literal

from vardel import EncodeOptions, __version__, decode, decode_toon, encode

PROG = "vardel"

DELIMITERS: dict[str, Literal[",", "\t", "|"]] = {"comma": ",", "tab": "\t", "pipe": "|"}

# JSON output of `decode` is indented by at most this many spaces per level.
MAX_JSON_INDENT = 64

EXAMPLES = """\
examples:
  vardel encode data.json                     TOON on standard output
  vardel encode data.json -o data.toon        TOON into a file
  curl -s https://example.com/api | vardel encode --delimiter tab
  vardel encode --stats data.json             sizes of JSON and TOON on stderr
  vardel decode data.toon --indent 4          TOON back to JSON

FILE may be omitted or given as - to read standard input.
"""

ENCODE_EXAMPLES = """\
examples:
  vardel encode users.json
  vardel encode users.json -o users.toon --delimiter pipe
  vardel encode --indent 4 --no-length-markers < users.json
  vardel encode --stats users.json > /dev/null

The JSON literals NaN, Infinity and -Infinity, and numbers too large for a
float (1e400), are accepted as Python's json module reads them and written
as null. Integers must lie in -2**63 .. 2**64-1.
"""

DECODE_EXAMPLES = """\
examples:
  vardel decode users.toon
  vardel encode users.json | vardel decode --indent 0

The TOON text is read back whole, nested to any depth. With --flat it is read
as decode_toon reads it: one JSON object in which every key-value line, at any
depth, becomes one of its members, and list-form arrays are not read back.
"""


class CliError(Exception):
    """A failure reported as one line on standard error, with exit status 1."""


def _printable(text: str) -> str:
    """Returns `text` with line breaks and other control characters escaped."""
    out = []
    for ch in text:
        if unicodedata.category(ch) in ("Cc", "Zl", "Zp"):
            out.append(ascii(ch)[1:-1])
        else:
            out.append(ch)
    return "".join(out)


def _read_text(path: str) -> tuple[str, str]:
    """Returns the display name and the UTF-8 text of FILE (standard input for -)."""
    if path == "-":
        name = "<stdin>"
        if sys.stdin is None:
            raise CliError("no standard input to read")
        try:
            raw = sys.stdin.buffer.read()
        except OSError as exc:
            raise CliError(f"cannot read standard input: {exc.strerror or exc}") from None
    else:
        name = path
        try:
            with open(path, "rb") as f:
                raw = f.read()
        except OSError as exc:
            raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = raw.count(b"\n", 0, exc.start) + 1
        raise CliError(
            f"{name}: invalid UTF-8 at line {line} (byte offset {exc.start}): "
            f"{exc.reason} 0x{raw[exc.start]:02x}"
        ) from None
    # A byte-order mark says only that the text is UTF-8; it is not content.
    return name, text.removeprefix("\ufeff")


def _new_file_mode(path: str) -> int:
    """Returns the permission bits the output file should get."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


def _write_all(stream: BinaryIO, data: bytes) -> None:
    """Writes all of `data`. A buffered write may stop short when the other end
    of a pipe goes away or a disk fills up; the next write then raises."""
    view = memoryview(data)
    while view:
        view = view[stream.write(view) :]
    stream.flush()


def _write_output(path: str | None, text: str) -> None:
    """Writes `text` and one line feed to standard output or, atomically, to `path`."""
    data = text.encode("utf-8") + b"\n"
    if path is None or path == "-":
        sys.stdout.flush()
        _write_all(sys.stdout.buffer, data)
        return
    target = os.path.realpath(path)
    directory, base = os.path.split(target)
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{base}.", suffix=".tmp", dir=directory)
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            _write_all(f, data)
            os.fsync(f.fileno())
        os.chmod(tmp, _new_file_mode(target))
        os.replace(tmp, target)
    except BaseException as exc:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(exc, OSError):
            raise CliError(f"cannot write {path}: {exc.strerror or exc}") from None
        raise


def _load_json(name: str, text: str) -> Any:
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        raise CliError(
            f"{name}: invalid JSON at line {exc.lineno}, column {exc.colno}: {exc.msg}"
        ) from None
    except RecursionError:
        raise CliError(f"{name}: JSON nested too deeply (vardel reads at most 512 levels)") from None
    except ValueError as exc:  # an integer literal too long to convert
        raise CliError(f"{name}: cannot read JSON: {exc}") from None


def _stats_lines(json_text: str, toon_text: str) -> list[str]:
    """Returns the size report: compact JSON against TOON, in bytes and characters."""
    jb, jc = len(json_text.encode("utf-8")), len(json_text)
    tb, tc = len(toon_text.encode("utf-8")), len(toon_text)
    return [
        f"JSON (compact): {jb} bytes, {jc} characters",
        f"TOON:           {tb} bytes, {tc} characters",
        f"saving:         {100 * (jb - tb) / jb:.1f}% of bytes, "
        f"{100 * (jc - tc) / jc:.1f}% of characters",
    ]


def _run_encode(args: argparse.Namespace) -> None:
    name, text = _read_text(args.file)
    data = _load_json(name, text)
    try:
        options = EncodeOptions(
            delimiter=DELIMITERS[args.delimiter],
            indent=args.indent,
            use_length_markers=not args.no_length_markers,
        )
        toon = encode(data, options)
    except MemoryError:
        raise CliError(f"{name}: cannot encode: out of memory") from None
    except (ValueError, OverflowError) as exc:
        raise CliError(f"{name}: cannot encode: {exc}") from None
    _write_output(args.output, toon)
    if args.stats:
        compact = json.dumps(data, separators=(",", ":"), ensure_ascii=False)
        sys.stderr.write("".join(line + "\n" for line in _stats_lines(compact, toon)))
        sys.stderr.flush()


def _run_decode(args: argparse.Namespace) -> None:
    name, text = _read_text(args.file)
    try:
        data = decode_toon(text) if args.flat else decode(text)
    except MemoryError:
        raise CliError(f"{name}: cannot decode: out of memory") from None
    except (ValueError, OverflowError) as exc:
        raise CliError(f"{name}: cannot decode: {exc}") from None
    _write_output(args.output, json.dumps(data, ensure_ascii=False, indent=args.indent))


def _count(limit: int | None) -> Callable[[str], int]:
    """Returns an argparse type for a whole number from 0 to `limit`."""

    def parse(text: str) -> int:
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < 0:
            raise argparse.ArgumentTypeError(f"must not be negative: {value}")
        if limit is not None and value > limit:
            raise argparse.ArgumentTypeError(f"must be at most {limit}: {value}")
        return value

    return parse


def _add_io_arguments(parser: argparse.ArgumentParser, reads: str) -> None:
    """Adds FILE and -o/--output, shared by both commands."""
    parser.add_argument("file", nargs="?", default="-", metavar="FILE",
                        help=f"{reads} file to read (standard input when absent or -)")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="write to OUT instead of standard output; OUT is replaced only "
                        "when the whole text is ready")


def build_parser() -> argparse.ArgumentParser:
    """Returns the parser of the vardel command line."""
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Convert JSON to TOON, a compact line-oriented notation for LLM prompts, "
        "and TOON back to JSON.",
        epilog=EXAMPLES,
        formatter_class=raw,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    enc = commands.add_parser(
        "encode",
        help="read JSON, write TOON",
        description="Read JSON and write it as TOON text followed by one line feed.",
        epilog=ENCODE_EXAMPLES,
        formatter_class=raw,
    )
    _add_io_arguments(enc, "JSON")
    enc.add_argument("--delimiter", choices=list(DELIMITERS), default="comma",
                     help="separator of array values and table cells (default: comma)")
    enc.add_argument("--indent", type=_count(2**64 - 1), default=2, metavar="N",
                     help="spaces per nesting level (default: 2)")
    enc.add_argument("--no-length-markers", action="store_true",
                     help="write array headers as [] instead of [count]")
    enc.add_argument("--stats", action="store_true",
                     help="after the text, print the sizes of compact JSON and TOON, in bytes "
                     "and characters, and the saving, to standard error")
    enc.set_defaults(run=_run_encode)

    dec = commands.add_parser(
        "decode",
        help="read TOON, write JSON",
        description="Read TOON text and write the decoded object as JSON followed by one "
        "line feed.",
        epilog=DECODE_EXAMPLES,
        formatter_class=raw,
    )
    _add_io_arguments(dec, "TOON")
    dec.add_argument("--indent", type=_count(MAX_JSON_INDENT), default=2, metavar="N",
                     help=f"spaces per level of the JSON, 0 to {MAX_JSON_INDENT} (default: 2)")
    dec.add_argument("--flat", action="store_true",
                     help="read one flat level, as decode_toon does")
    dec.set_defaults(run=_run_decode)
    return parser


def _silence_stdout() -> None:
    """Points standard output at the null device, so that the final flush at exit
    cannot fail again on a pipe whose reader is gone."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line with `argv` (default: sys.argv[1:]); returns the exit status."""
    try:
        args = build_parser().parse_args(argv)
        args.run(args)
    except CliError as exc:
        sys.stderr.write(f"{PROG}: error: {_printable(str(exc))}\n")
        return 1
    except BrokenPipeError:
        # The reader went away (`vardel encode big.json | head`): stop quietly.
        _silence_stdout()
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
