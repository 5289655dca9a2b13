"""The readers turn each string's UTF-8 back into a str of its own width, text of characters of
up to three bytes sixteen bytes at a time, and runs of three-byte characters five at a time,
where the processor has SSSE3 (elsewhere one at a time, which the same cases check): such
characters at every place of a block, ones cut by the block's end, blocks that hold a longer
character (read one at a time), and texts that end inside a block. Every str read must equal
the one written, which also checks its width (a str made wider than its characters need
compares unequal) and the zero unit after its last character. Both decoders hand their strings
to the same conversion, so decode_toon reads only some of the cases, escaped text among them."""

import ctypes
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vardel import decode, decode_toon, encode

# Characters of two and three UTF-8 bytes: the first and last that fit one byte per character,
# three of two bytes that need two bytes per character, and the first and last of three bytes
# with those on either side of the surrogates (which cannot be written).
WIDE = ["\xe9", "\xff", "\u0100", "\u0416", "\u07ff", "\u0800", "\u4e2d", "\ud7ff", "\ue000", "\uffff"]
# Other characters in the same text, and what they make of the str's width: ASCII, one, two
# and four bytes a character.
OTHER = ["", "\xe0", "\u20ac", "\U0001f600"]


def texts(wide, other):
    # A character after ASCII runs of 0 to 17 bytes puts it at every place of a block, some cut
    # by the block's end; the rest of each text crosses the block's end with more of them, back
    # to back and between single ASCII letters.
    out = []
    for run in range(18):
        out.append("a" * run + wide + "b" * (17 - run))
        out.append("a" * run + wide * 9 + "c")
        out.append("a" * run + (wide + "d") * 10)
        out.append("a" * run + wide + other + wide * 8 + other + "e" * 3)
    return out


def strs(value):
    if isinstance(value, str):
        yield value
    elif isinstance(value, dict):
        for k, v in value.items():
            yield k
            yield from strs(v)
    elif isinstance(value, list):
        for v in value:
            yield from strs(v)


def terminated(s):
    # A str's characters are followed by a zero unit, which C code that reads its data relies
    # on: a decoder that writes past the last character overwrites it.
    kind = 1 if s.isascii() or max(s) <= "\xff" else 2 if max(s) <= "\uffff" else 4
    return ctypes.string_at(id(s) + sys.getsizeof(s) - kind, kind) == bytes(kind)


def read_back(value, read=decode):
    back = read(encode(value))
    assert back == value
    assert all(terminated(s) for s in strs(back))


@pytest.mark.parametrize("other", OTHER)
@pytest.mark.parametrize("wide", WIDE)
def test_values_keys_and_cells(wide, other):
    values = texts(wide, other)
    # each as a value of its own (where the text may end right after it) and as a key
    for s in values:
        read_back({"k": s})
        read_back(s)
        read_back({s: 1})
    # list items, a table's cells and field names
    read_back(values)
    read_back([{"a": s, "b": s[::-1]} for s in values])
    read_back([{s: 1, "z": 2} for s in values[:3]])


@pytest.mark.parametrize("wide", WIDE)
@pytest.mark.parametrize("tail", range(0, 20))
def test_texts_that_end_near_a_block(wide, tail):
    # The last characters of a str: sixteen bytes or more may be left to read with fewer than
    # sixteen units left to write (two characters of two bytes and twelve ASCII: 16 bytes, 14
    # units), or fewer than sixteen bytes.
    values = [wide * lead + "x" * tail for lead in (1, 2, 3)]
    values += [wide + "x" * tail + wide, wide * 3 + "x" * tail + wide, wide * tail]
    for s in values:
        read_back(s)
    read_back(values)


@pytest.mark.parametrize("wide", WIDE)
def test_long_text(wide):
    # Quoted, escaped and long, with every kind of character in turn.
    s = "".join(f"{wide}{c}{wide}{wide}ab\n{'q' * (i % 19)}\\" for i, c in enumerate("\u4e2d\U0001f600zé" * 500))
    read_back({"k": s, "l": [s, s[1:]]})


# Distinct characters of three bytes, from every lead byte's range (E0 to EF), so that a
# character read into the wrong place shows; then what may end a run of them.
THREE = "".join(chr(c) for c in range(0x0800, 0x10000, 0x3F1) if not 0xD800 <= c < 0xE000)
AFTER_RUN = ["", "z", "\xe9", "\U0001f600", "\uffff"]


@pytest.mark.parametrize("after", AFTER_RUN)
@pytest.mark.parametrize("before", ["", "\xe9", "ab", "\u4e2d"])
def test_runs_of_three_byte_characters(before, after):
    # Runs of 0 to 26 characters end at every place of a group of five, what ends them with text
    # after it (a lead of four bytes is no lead of three) or ending the str, with 16 bytes or
    # more left to read but little room left to write.
    assert all(len(c.encode()) == 3 for c in THREE)
    values = [before + THREE[i : i + n] + after + rest
              for n in range(27) for i in (0, 7, 30) for rest in ("", THREE[40:48] + "tail")]
    for s in values:
        read_back(s)
    read_back(values)
    read_back({"rows": [{"a": s, "n": i} for i, s in enumerate(values)]}, decode_toon)


# Runs of characters of each UTF-8 length, in any order and of any length: ASCII (with what
# is escaped), two bytes, three bytes of every lead, four bytes.
RUNS = ["ab", '"\\\n', "\xe9\u0141", THREE[:20], THREE[40:], "\U0001f600\U0010ffff"]
MIXED = st.lists(st.tuples(st.sampled_from(RUNS), st.integers(1, 20)), max_size=12)


@settings(max_examples=300, deadline=None)
@given(MIXED)
def test_any_mix_of_runs(runs):
    s = "".join((alphabet * n)[:n] for alphabet, n in runs)
    read_back([s, {"k": s}, {"rows": [{"a": s, "b": 1}]}])
    read_back({"rows": [{"a": s, "b": 1}, {"a": s[::-1], "b": 2}]}, decode_toon)
