"""vardel.dump: the text of encode, written to a file a piece at a time."""

import io

import pytest

import vardel
from vardel import EncodeOptions

PIECE = 1 << 20

SMALL = [{}, [], "", 0, {"a": [1, 2], "é": "ü"}, [{"x": 1, "y": "z"}] * 3]
# Texts past the piece size, with characters of every UTF-8 length placed so that some straddle a
# piece boundary.
LARGE = [
    {"k": "x" * (PIECE - 4) + "é€😀" * 3},
    {"rows": [{"a": i, "b": "ü€" * 50, "c": "😀"} for i in range(8000)]},
    ["a" * (PIECE - 10), "b" * PIECE, "c"],
]
# Texts whose strs that are not ASCII come to a text file straight from their own storage, in
# pieces: strs longer than a piece, and runs of bytes (keys that are not ASCII among them) and
# of strs that straddle the boundaries between pieces.
WIDE = [
    {"k": "€" * (PIECE + 5)},
    {"a": "x" * (PIECE - 3), "b": "😀é" * 10},
    {"rows": [{"kü": i, "t": "中文" * 40, "u": '"é"\n'} for i in range(12000)]},
    ["é" * (PIECE // 2), "b" * PIECE, "€" * 3],
    # UTF-8 in the bytes alone (keys), cut between characters; in the second a piece of a
    # megabyte would end inside one
    {f"ключ{i}": i for i in range(100_000)},
    {"a" + "ж" * (PIECE // 2 + 7): 1},
]


class Pieces(io.RawIOBase):
    """A binary stream that takes at most `limit` bytes per write and keeps each piece."""

    def __init__(self, limit=None):
        self.limit, self.pieces = limit, []

    def writable(self):
        return True

    def write(self, b):
        b = bytes(b)[: self.limit]
        self.pieces.append(b)
        return len(b)


class TextPieces:
    """Anything with a write method that is not a binary stream is handed strs."""

    def __init__(self):
        self.pieces = []

    def write(self, s):
        self.pieces.append(s)


@pytest.mark.parametrize("data", SMALL + LARGE + WIDE)
def test_every_kind_of_file_receives_the_encoded_text_in_pieces(data):
    text, large, wide = vardel.encode(data), any(data is d for d in LARGE + WIDE), any(data is d for d in WIDE)
    binary, textual, raw, strs = io.BytesIO(), io.StringIO(), Pieces(), TextPieces()
    for out in (binary, textual, raw, strs):
        vardel.dump(data, out)
    assert binary.getvalue() == text.encode("utf-8") and textual.getvalue() == text
    # Pieces of at most a piece each, none empty (an empty text writes nothing), cut between characters.
    assert "".join(p.decode("utf-8") for p in raw.pieces) == text == "".join(strs.pieces)
    assert all(0 < len(p) <= PIECE for p in raw.pieces + strs.pieces) and all(type(p) is str for p in strs.pieces)
    assert (len(raw.pieces) > 1, len(strs.pieces) > 1) == (large, wide or len(text) > PIECE)
    # Each piece as narrow as its own characters allow: a wider str compares unequal to its text.
    assert all(p == p.encode("utf-8").decode("utf-8") for p in strs.pieces)


@pytest.mark.parametrize("limit", [1, 7, 4096])
def test_short_writes_of_a_raw_stream_are_completed(limit):
    data = {"a": "é" * 3000, "b": list(range(500))}
    raw = Pieces(limit)
    vardel.dump(data, raw)
    assert all(len(p) <= limit for p in raw.pieces)
    assert b"".join(raw.pieces) == vardel.encode(data).encode("utf-8")


def test_real_files_in_both_modes(tmp_path):
    data = {"users": [{"id": i, "name": f"n{i}", "city": "Zürich"} for i in range(100)]}
    for name, mode, buffering in (("t", "w", -1), ("b", "wb", -1), ("r", "wb", 0)):
        with open(tmp_path / name, mode, buffering, encoding="utf-8" if mode == "w" else None) as f:
            vardel.dump(data, f)
        assert (tmp_path / name).read_text("utf-8") == vardel.encode(data)
    assert vardel.decode((tmp_path / "b").read_text("utf-8")) == data


def test_options_and_default_are_those_of_encode():
    data = {"when": {1, 2}, "rows": [{"a": 1, "b": object}]}
    options = EncodeOptions(delimiter="|", indent=4, sort_keys=False)
    hook = lambda o: sorted(o) if isinstance(o, set) else o.__name__  # noqa: E731
    out = io.StringIO()
    vardel.dump(data, out, options, default=hook)
    assert out.getvalue() == vardel.encode(data, options, default=hook)


@pytest.mark.parametrize("data, options, error", [
    ({"a": [1, object()]}, None, ValueError),
    ({"a": [1, 2]}, EncodeOptions(delimiter=";"), ValueError),
    ({"a": 1}, "not options", TypeError),
])
def test_a_failed_encoding_writes_nothing_and_raises_as_encode(data, options, error):
    out = Pieces()
    with pytest.raises(error) as dumped:
        vardel.dump(data, out, options)
    with pytest.raises(error) as encoded:
        vardel.encode(data, options)
    assert out.pieces == []
    assert str(dumped.value) == str(encoded.value)


@pytest.mark.parametrize("base", [io.RawIOBase, object], ids=["binary", "text"])
def test_a_failing_write_stops_the_dump(base):
    class Full(base):
        calls = 0

        def writable(self):
            return True

        def write(self, b):
            type(self).calls += 1
            raise OSError(28, "No space left on device")

    with pytest.raises(OSError, match="No space left"):
        vardel.dump(LARGE[0], Full())
    assert Full.calls == 1


def test_bad_files_and_arguments_raise():
    with pytest.raises(AttributeError):
        vardel.dump({"a": 1}, object())
    with pytest.raises(TypeError, match="dump\\(\\) argument 'default' must be callable"):
        vardel.dump({"a": 1}, io.StringIO(), default=3)
    with pytest.raises(TypeError):
        vardel.dump({"a": 1})
