"""The vardel command line: JSON to TOON and back, in the manner of json.tool and jq.

Exit status 0 on success; 1 for input data that cannot be converted (invalid
JSON, TOON or UTF-8, data vardel refuses); 2 for usage errors and for files
that cannot be read or written. Every failure is one line on standard error.
Output is written whole or not at all: a file named with -o is replaced only
once its new content is complete.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import stat
import sys
import tempfile
import time
import unicodedata
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, BinaryIO, Literal

import msgspec
import orjson

import vardel
from vardel import DecodeOptions, EncodeOptions, __version__, decode_toon, dump, encode
from vardel import tokens as _tokens

PROG = "vardel"

DELIMITERS: dict[str, Literal[",", "\t", "|"]] = {"comma": ",", "tab": "\t", "pipe": "|"}

# JSON output of `decode` is indented by at most this many spaces per level.
MAX_JSON_INDENT = 64

# Files with these endings hold JSON Lines: one JSON value per line.
JSONL_SUFFIXES = (".jsonl", ".ndjson")

# Inputs larger than this show their progress on standard error, when it is a terminal.
PROGRESS_THRESHOLD = 32 * 1024 * 1024

_BLOCK = 1 << 20  # bytes read, or characters written, at a time
_BOM = b"\xef\xbb\xbf"
_msgspec_decode = msgspec.json.Decoder().decode
_STREAMED = 256  # containers with this many elements are written one element at a time
EXAMPLES = """\
examples:
  vardel encode data.json                     TOON on standard output
  vardel encode data.json -o data.toon        TOON into a file
  vardel encode records.jsonl                 one JSON value per line: one table
  curl -s https://example.com/api | vardel encode --delimiter tab
  vardel encode --stats data.json             sizes of JSON and TOON on stderr
  vardel decode data.toon --indent 4          TOON back to JSON
  vardel decode --jsonl data.toon             an array back to JSON Lines

FILE may be omitted or given as - to read standard input.
Exit status: 0 success, 1 invalid input data, 2 usage error or unreadable or
unwritable file.
"""

ENCODE_EXAMPLES = """\
examples:
  vardel encode users.json
  vardel encode users.json -o users.toon --delimiter pipe
  vardel encode --indent 4 --no-length-markers < users.json
  vardel encode --keep-order --uniform-indent users.json
  vardel encode --stats users.json > /dev/null
  vardel encode events.jsonl

The JSON literals NaN, Infinity and -Infinity, and numbers too large for a
float (1e400), are accepted as Python's json module reads them and written
as null. Integers must lie in -2**63 .. 2**64-1. With --jsonl (automatic for
.jsonl and .ndjson files) each non-blank line is one element of a top-level
array, so records that share their keys become one table.
"""

DECODE_EXAMPLES = """\
examples:
  vardel decode users.toon
  vardel encode users.json | vardel decode --compact
  vardel decode --flat users.toon
  vardel decode --jsonl events.toon -o events.jsonl

The JSON written is the data of the TOON text: `vardel encode data.json |
vardel decode` gives back data.json's data, keys in sorted order unless it
was encoded with --keep-order. --flat reads the text with decode_toon
instead: one flat object of every key-value line.
"""


class CliError(Exception):
    """A failure reported as one line on standard error, with exit status `status`."""

    status = 1


class FileError(CliError):
    """A file or stream that cannot be read or written: exit status 2."""

    status = 2


def _printable(text: str) -> str:
    """Returns `text` with line breaks and other control characters escaped."""
    out = []
    for ch in text:
        if unicodedata.category(ch) in ("Cc", "Zl", "Zp"):
            out.append(ascii(ch)[1:-1])
        else:
            out.append(ch)
    return "".join(out)


class Progress:
    """Shows the phase of a long run on standard error, on one rewritten line.

    Shown only when standard error is a terminal and the input is larger than
    PROGRESS_THRESHOLD; otherwise every method does nothing."""

    def __init__(self) -> None:
        try:
            self._tty = sys.stderr is not None and sys.stderr.isatty()
        except (ValueError, OSError):
            self._tty = False
        self.on = False
        self._phase = ""
        self._start = time.monotonic()
        self._last = 0.0

    def consider(self, size: int) -> None:
        """Turns the display on once the input is known to exceed the threshold."""
        if self._tty and not self.on and size > PROGRESS_THRESHOLD:
            self.on = True

    def phase(self, name: str) -> None:
        self._phase = name
        self._start = time.monotonic()
        self._last = 0.0
        self._show(f"{name}...")

    def update(self, done: int, total: int | None) -> None:
        """Shows `done` bytes of `total` (unknown: None), at most five times a second."""
        if not self.on:
            return
        now = time.monotonic()
        if now - self._last < 0.2 and (total is None or done < total):
            return
        self._last = now
        rate = done / max(now - self._start, 1e-6) / 1e6
        if total:
            self._show(f"{self._phase} {100 * done // total}% ({rate:.0f} MB/s)")
        else:
            self._show(f"{self._phase} {done / 1e6:.0f} MB ({rate:.0f} MB/s)")

    def done(self) -> None:
        """Clears the line and stops showing."""
        if self.on:
            self.on = False
            self._tty = False
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()

    def _show(self, text: str) -> None:
        if self.on:
            sys.stderr.write(f"\r\x1b[K{PROG}: {text}")
            sys.stderr.flush()


def _read_stream(stream: BinaryIO, size: int | None, progress: Progress) -> bytearray:
    """Returns all the bytes of `stream`, `size` of them when known."""
    progress.phase("reading")
    buf = bytearray()
    while True:
        block = stream.read(_BLOCK)
        if not block:
            break
        buf += block
        progress.consider(len(buf))
        progress.update(len(buf), size)
    return buf


def _read_file(f: io.BufferedReader, size: int, progress: Progress) -> bytearray:
    """Returns the bytes of the regular file `f` of `size` bytes, read into one
    buffer of that size (then whatever it grew by meanwhile)."""
    progress.consider(size)
    progress.phase("reading")
    buf = bytearray(size)
    view = memoryview(buf)
    done = 0
    while done < size:
        n = f.readinto(view[done : done + _BLOCK])
        if not n:
            break
        done += n
        progress.update(done, size)
    view.release()
    del buf[done:]
    buf += f.read()
    return buf


def _read_bytes(path: str, progress: Progress) -> tuple[str, bytearray]:
    """Returns the display name and the bytes of FILE (standard input for -)."""
    if path == "-":
        if sys.stdin is None:
            raise FileError("no standard input to read")
        try:
            return "<stdin>", _read_stream(sys.stdin.buffer, None, progress)
        except OSError as exc:
            raise FileError(f"cannot read standard input: {exc.strerror or exc}") from None
    try:
        with open(path, "rb") as f:
            info = os.fstat(f.fileno())
            if stat.S_ISREG(info.st_mode):
                return path, _read_file(f, info.st_size, progress)
            return path, _read_stream(f, None, progress)
    except OSError as exc:
        raise FileError(f"cannot read {path}: {exc.strerror or exc}") from None


def _text_start(raw: bytearray) -> int:
    """Returns where the text of `raw` starts: after a byte-order mark, which says
    only that the text is UTF-8."""
    return len(_BOM) if raw.startswith(_BOM) else 0


def _utf8(name: str, raw: bytes | bytearray | memoryview, first_line: int = 1, offset: int = 0) -> str:
    """Returns `raw` read as UTF-8, or reports where it is not. `raw` starts at
    line `first_line`, byte `offset` of the input."""
    try:
        return str(raw, "utf-8")
    except UnicodeDecodeError as exc:
        data = bytes(raw)
        line = data.count(b"\n", 0, exc.start) + first_line
        raise CliError(
            f"{name}: invalid UTF-8 at line {line} (byte offset {exc.start + offset}): "
            f"{exc.reason} 0x{data[exc.start]:02x}"
        ) from None


def _load_json_text(name: str, text: str, first_line: int = 1) -> Any:
    """Reads one JSON document with Python's json module, reporting failures."""
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        raise CliError(
            f"{name}: invalid JSON at line {exc.lineno + first_line - 1}, column {exc.colno}: "
            f"{exc.msg}"
        ) from None
    except RecursionError:
        raise CliError(f"{name}: JSON nested too deeply (vardel reads at most 512 levels)") from None
    except ValueError as exc:  # an integer literal too long to convert
        raise CliError(f"{name}: cannot read JSON: {exc}") from None


def _load_json(name: str, raw: memoryview, first_line: int = 1, offset: int = 0) -> Any:
    """Reads one JSON document. msgspec reads standard JSON fast, straight into
    Python objects; what it refuses (NaN, 1e400, lone surrogates, integers of
    thousands of digits, deep nesting, errors) is read, or reported, by the json
    module, so that both accept and say the same."""
    try:
        return _msgspec_decode(raw)
    except (msgspec.MsgspecError, RecursionError):
        pass
    return _load_json_text(name, _utf8(name, raw, first_line, offset), first_line)


def _load_jsonl(name: str, raw: bytearray, start: int, progress: Progress) -> list[Any]:
    """Reads JSON Lines from byte `start` of `raw`: the value of every line that
    is not blank, in order."""
    values = []
    view = memoryview(raw)
    lineno, total = 1, len(raw)
    while start < total:
        end = raw.find(b"\n", start)
        if end < 0:
            end = total
        line = view[start:end]
        try:
            values.append(_msgspec_decode(line))
        except (msgspec.MsgspecError, RecursionError):
            if line.tobytes().strip(b" \t\r\n"):
                values.append(_load_json(name, line, lineno, start))
        start, lineno = end + 1, lineno + 1
        progress.update(start, total)
    return values


def _new_file_mode(path: str) -> int:
    """Returns the permission bits the output file should get."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


def _write_all(stream: BinaryIO, data: bytes | memoryview) -> None:
    """Writes all of `data`. A buffered write may stop short when the other end
    of a pipe goes away or a disk fills up; the next write then raises."""
    view = memoryview(data)
    while view:
        view = view[stream.write(view) :]


def _byte_blocks(data: bytes) -> Iterator[memoryview]:
    """Yields `data` a block at a time, then one line feed."""
    view = memoryview(data)
    for i in range(0, len(view), _BLOCK):
        yield view[i : i + _BLOCK]
    yield memoryview(b"\n")


class _CountingWriter(io.RawIOBase):
    """A binary writer that shows on `progress` how much has gone to `stream`, in the
    phase `phase` (when given), which starts with the first write."""

    def __init__(self, stream: BinaryIO, total: int | None, progress: Progress,
                 phase: str | None = None) -> None:
        super().__init__()
        self.stream, self.total, self.progress, self.phase, self.done = stream, total, progress, phase, 0

    def writable(self) -> bool:
        return True

    def write(self, block: bytes | memoryview) -> int:  # type: ignore[override]
        if self.phase is not None and self.done == 0:
            self.progress.phase(self.phase)
        _write_all(self.stream, block)
        self.done += len(block)
        self.progress.update(self.done, self.total)
        return len(block)


def _block_filler(blocks: Iterable[bytes | memoryview], total: int | None,
                  progress: Progress) -> Callable[[BinaryIO], None]:
    """Returns what writes `blocks` to a stream, showing how far it got."""
    def fill(stream: BinaryIO) -> None:
        writer = _CountingWriter(stream, total, progress)
        for block in blocks:
            writer.write(block)
    return fill


def _write_output(path: str | None, fill: Callable[[BinaryIO], None]) -> None:
    """Writes to standard output or, atomically, to `path` what `fill` writes to a binary stream."""
    if path is None or path == "-":
        sys.stdout.flush()
        fill(sys.stdout.buffer)
        sys.stdout.buffer.flush()
        return
    target = os.path.realpath(path)
    directory, base = os.path.split(target)
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{base}.", suffix=".tmp", dir=directory)
    except OSError as exc:
        raise FileError(f"cannot write {path}: {exc.strerror or exc}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            fill(f)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, _new_file_mode(target))
        os.replace(tmp, target)
    except BaseException as exc:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(exc, OSError):
            raise FileError(f"cannot write {path}: {exc.strerror or exc}") from None
        raise


def _is_jsonl(path: str | None) -> bool:
    return path is not None and path.lower().endswith(JSONL_SUFFIXES)


def _stats_lines(json_text: str, toon_text: str) -> list[str]:
    """Returns the size report: compact JSON against TOON, in bytes, characters
    and, with the tokens extra, o200k tokens."""
    jb, jc = len(json_text.encode("utf-8")), len(json_text)
    tb, tc = len(toon_text.encode("utf-8")), len(toon_text)
    if not _tokens.available():
        return [
            f"JSON (compact): {jb} bytes, {jc} characters",
            f"TOON:           {tb} bytes, {tc} characters",
            f"saving:         {100 * (jb - tb) / jb:.1f}% of bytes, "
            f"{100 * (jc - tc) / jc:.1f}% of characters",
            f"tokens:         not counted; for o200k token counts: {_tokens.INSTALL_HINT}",
        ]
    jt, tt = _tokens.count_tokens(json_text), _tokens.count_tokens(toon_text)
    return [
        f"JSON (compact): {jb} bytes, {jc} characters, {jt} o200k tokens",
        f"TOON:           {tb} bytes, {tc} characters, {tt} o200k tokens",
        f"saving:         {100 * (jb - tb) / jb:.1f}% of bytes, "
        f"{100 * (jc - tc) / jc:.1f}% of characters, {100 * (jt - tt) / max(jt, 1):.1f}% of tokens",
    ]


def _encode_options(args: argparse.Namespace) -> EncodeOptions:
    fields: dict[str, Any] = {
        "delimiter": DELIMITERS[args.delimiter],
        "indent": args.indent,
        "use_length_markers": not args.no_length_markers,
    }
    # Only the options asked for are passed, so that the defaults stay the module's.
    if args.keep_order:
        fields["sort_keys"] = False
    if args.uniform_indent:
        fields["uniform_indent"] = True
    return EncodeOptions(**fields)


def _run_encode(args: argparse.Namespace) -> None:
    progress = Progress()
    try:
        _encode_file(args, progress)
    finally:
        progress.done()


def _encode_file(args: argparse.Namespace, progress: Progress) -> None:
    name, raw = _read_bytes(args.file, progress)
    if args.jsonl or _is_jsonl(args.file):
        progress.phase("reading JSON Lines")
        data: Any = _load_jsonl(name, raw, _text_start(raw), progress)
    else:
        progress.phase("reading JSON")
        data = _load_json(name, memoryview(raw)[_text_start(raw):])
    del raw
    progress.phase("encoding TOON")
    options = _encode_options(args)
    if args.stats:
        # The report needs the text whole; it is made before the output, so that a failure
        # leaves no output behind.
        toon = _encoded(name, lambda: encode(data, options))
        compact = json.dumps(data, separators=(",", ":"), ensure_ascii=False)
        report = _stats_lines(compact, toon)
        del data
        progress.phase("writing TOON")
        _write_output(args.output, _block_filler(_byte_blocks(toon.encode("utf-8")), None, progress))
        progress.done()
        sys.stderr.write("".join(line + "\n" for line in report))
        sys.stderr.flush()
        return

    def fill(stream: BinaryIO) -> None:
        # dump writes the text as it leaves the encoder's buffer, never holding it twice;
        # nothing is written when encoding fails.
        writer = _CountingWriter(stream, None, progress, "writing TOON")
        _encoded(name, lambda: dump(data, writer, options))
        writer.write(b"\n")
        progress.update(writer.done, writer.done)

    _write_output(args.output, fill)


def _encoded(name: str, run: Callable[[], Any]) -> Any:
    """Returns what the encoding `run` returns; its failures become the command's."""
    try:
        return run()
    except MemoryError:
        raise CliError(f"{name}: cannot encode: out of memory") from None
    except (ValueError, OverflowError) as exc:
        raise CliError(f"{name}: cannot encode: {exc}") from None


def _dump_json(data: Any, indent: int | None, sort_keys: bool) -> bytes:
    """Returns `data` as JSON text: compact when `indent` is None. orjson writes
    the compact form and the 2-space indentation; json writes other widths and
    what orjson refuses (integers beyond 64 bits)."""
    if indent in (None, 2):
        option = (orjson.OPT_INDENT_2 if indent == 2 else 0) | (orjson.OPT_SORT_KEYS if sort_keys else 0)
        try:
            return orjson.dumps(data, option=option)
        except orjson.JSONEncodeError:
            pass
    separators = (",", ":") if indent is None else None
    return json.dumps(data, ensure_ascii=False, indent=indent, separators=separators,
                      sort_keys=sort_keys).encode("utf-8")


def _json_pieces(value: Any, depth: int, indent: int | None, sort_keys: bool) -> Iterator[bytes]:
    """Yields the JSON text of `value`, nested `depth` levels down, in pieces: the
    large containers of the first two levels element by element, so that the
    text of a large document is never held whole. The pieces make the same text as
    _dump_json of the whole (`indent` is None or 2: orjson's two layouts)."""
    if depth >= 2 or not isinstance(value, (list, dict)) or len(value) < _STREAMED:
        text = _dump_json(value, indent, sort_keys)
        yield text.replace(b"\n", b"\n" + b" " * (indent * depth)) if indent and depth else text
        return
    step = b"\n" + b" " * ((indent or 0) * (depth + 1)) if indent else b""
    if isinstance(value, dict):
        yield b"{"
        items = sorted(value.items()) if sort_keys else value.items()
        for i, (key, item) in enumerate(items):
            yield (b"," if i else b"") + step + orjson.dumps(key) + (b": " if indent else b":")
            yield from _json_pieces(item, depth + 1, indent, sort_keys)
        yield (b"\n" + b" " * (indent * depth) if indent else b"") + b"}"
    else:
        yield b"["
        for i, item in enumerate(value):
            yield (b"," if i else b"") + step
            yield from _json_pieces(item, depth + 1, indent, sort_keys)
        yield (b"\n" + b" " * (indent * depth) if indent else b"") + b"]"


def _json_blocks(data: Any, indent: int | None, sort_keys: bool) -> Iterator[bytes | memoryview]:
    """Yields the JSON text of `data` and one line feed, in blocks of about _BLOCK bytes."""
    if indent not in (None, 2):  # json's layouts: written whole
        yield from _byte_blocks(_dump_json(data, indent, sort_keys))
        return
    yield from _gather(_json_pieces(data, 0, indent, sort_keys))
    yield b"\n"


def _gather(pieces: Iterable[bytes]) -> Iterator[bytes]:
    """Yields `pieces` joined into blocks of about _BLOCK bytes."""
    pending: list[bytes] = []
    size = 0
    for piece in pieces:
        pending.append(piece)
        size += len(piece)
        if size >= _BLOCK:
            yield b"".join(pending)
            pending, size = [], 0
    if pending:
        yield b"".join(pending)


def _jsonl_blocks(items: list[Any], sort_keys: bool) -> Iterator[bytes]:
    """Yields the elements of `items` as compact JSON, one line each, in blocks."""
    return _gather(_dump_json(item, None, sort_keys) + b"\n" for item in items)


def _run_decode(args: argparse.Namespace) -> None:
    jsonl = args.jsonl or _is_jsonl(args.output)
    if jsonl and args.indent is not None:
        args.parser.error("--indent cannot be used with --jsonl: each element is one line")
    progress = Progress()
    try:
        _decode_file(args, jsonl, progress)
    finally:
        progress.done()


def _decode_file(args: argparse.Namespace, jsonl: bool, progress: Progress) -> None:
    name, raw = _read_bytes(args.file, progress)
    start = _text_start(raw)
    text = _utf8(name, memoryview(raw)[start:], offset=start)
    del raw
    progress.phase("reading TOON")
    try:
        data = decode_toon(text) if args.flat else vardel.decode(text, DecodeOptions())
    except MemoryError:
        raise CliError(f"{name}: cannot decode: out of memory") from None
    except vardel.DecodeError as exc:
        raise CliError(f"{name}: invalid TOON at line {exc.lineno}, column {exc.colno}: {exc.msg}") from None
    except (ValueError, OverflowError) as exc:
        raise CliError(f"{name}: cannot decode: {exc}") from None
    del text
    progress.phase("writing JSON")
    if jsonl:
        if not isinstance(data, list):
            kind = "an object" if isinstance(data, dict) else "a single value"
            raise CliError(f"{name}: --jsonl writes the elements of an array; the TOON text holds {kind}")
        _write_output(args.output, _block_filler(_jsonl_blocks(data, args.sort_keys), None, progress))
    else:
        indent = None if args.compact else (2 if args.indent is None else args.indent)
        _write_output(args.output, _block_filler(_json_blocks(data, indent, args.sort_keys), None, progress))


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
        description="Read JSON (or JSON Lines) and write it as TOON text followed by one line feed.",
        epilog=ENCODE_EXAMPLES,
        formatter_class=raw,
    )
    _add_io_arguments(enc, "JSON")
    enc.add_argument("--jsonl", action="store_true",
                     help="read JSON Lines: each non-blank line is one element of a top-level "
                     "array (automatic for .jsonl and .ndjson files)")
    enc.add_argument("--delimiter", choices=list(DELIMITERS), default="comma",
                     help="separator of array values and table cells (default: comma)")
    enc.add_argument("--indent", type=_count(2**64 - 1), default=2, metavar="N",
                     help="spaces per nesting level (default: 2)")
    enc.add_argument("--uniform-indent", action="store_true",
                     help="indent every level by the same N spaces")
    enc.add_argument("--keep-order", action="store_true",
                     help="keep the keys in the order of the input instead of sorting them")
    enc.add_argument("--no-length-markers", action="store_true",
                     help="write array headers as [] instead of [count]")
    enc.add_argument("--stats", action="store_true",
                     help="after the text, print the sizes of compact JSON and TOON, in bytes, "
                     "characters and (with vardel[tokens] installed) o200k tokens, and the "
                     "saving, to standard error")
    enc.set_defaults(run=_run_encode)

    dec = commands.add_parser(
        "decode",
        help="read TOON, write JSON",
        description="Read TOON text and write its data as JSON followed by one line feed.",
        epilog=DECODE_EXAMPLES,
        formatter_class=raw,
    )
    _add_io_arguments(dec, "TOON")
    layout = dec.add_mutually_exclusive_group()
    layout.add_argument("--indent", type=_count(MAX_JSON_INDENT), default=None, metavar="N",
                        help=f"spaces per level of the JSON, 0 to {MAX_JSON_INDENT} (default: 2)")
    layout.add_argument("--compact", action="store_true",
                        help="write the most compact JSON, on one line")
    dec.add_argument("--sort-keys", action="store_true", help="sort the keys of every object")
    dec.add_argument("--jsonl", action="store_true",
                     help="write the elements of the top-level array as JSON Lines, one compact "
                     "value per line (automatic when OUT ends in .jsonl or .ndjson)")
    dec.add_argument("--flat", action="store_true",
                     help="read with decode_toon: one flat object of every key-value line")
    dec.set_defaults(run=_run_decode, parser=dec)
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
        return exc.status
    except BrokenPipeError:
        # The reader went away (`vardel encode big.json | head`): stop quietly.
        _silence_stdout()
        return 1
    except KeyboardInterrupt:
        return 130
    return 0

