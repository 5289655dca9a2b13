"""The encoded str at every width: strs of one byte, two or four per character mixed in
every position, the width of the result set by its widest character wherever it stands,
and the block-wise copies of bare and quoted strings at the edges of their blocks."""

import pytest

from vardel import EncodeOptions, encode

ESCAPES = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t"}

# One character of each width, and the characters at the edges between widths.
ASCII, LATIN1, UCS2, UCS4 = "a", "é", "€", "😀"
EDGES = ["\x7e", "\xa1", "\xff", "\u0100", "\u07ff", "\u0800", "\ufffd", "\U00010000", "\U0010fffd"]


def quoted(s):
    return '"' + "".join(ESCAPES.get(c, c) for c in s) + '"'


def check(value, expected, options=None):
    text = encode(value, options)
    assert text == expected
    # Equal strs of different widths never compare equal, so this also checks the width.
    assert text.encode("utf-8").decode("utf-8") == text
    assert len(text) == len(expected)


@pytest.mark.parametrize("wide", [LATIN1, UCS2, UCS4, *EDGES])
@pytest.mark.parametrize("value, expected", [
    # a key, bare and quoted
    (lambda w: {f"k{w}": 1}, lambda w: f"k{w}: 1"),
    (lambda w: {f"k {w}:": 1}, lambda w: f'"k {w}:": 1'),
    # a value, bare and quoted (with an escape after the wide character)
    (lambda w: {"k": f"v{w}v"}, lambda w: f"k: v{w}v"),
    (lambda w: {"k": f"{w}\t{w}"}, lambda w: f'k: "{w}\\t{w}"'),
    # inline array items, a table's field names and cells, list items
    (lambda w: [f"{w}", "a,b", f"x{w}"], lambda w: f'[3]: {w},"a,b",x{w}'),
    (lambda w: [{f"f{w}": f"c{w}", "g": "-"}, {f"f{w}": "d", "g": f"{w}"}],
     lambda w: f'[2]{{f{w},g}}:\n  c{w},"-"\n  d,{w}'),
    (lambda w: [[1], f"{w}", {"a": f"{w}"}], lambda w: f"[3]:\n  - [1]: 1\n  - {w}\n  - a: {w}"),
])
def test_wide_characters_in_every_position(wide, value, expected):
    check(value(wide), expected(wide))


@pytest.mark.parametrize("wide", [LATIN1, UCS2, UCS4, "\u0101", "\U0001f600"])
@pytest.mark.parametrize("run", [0, 1, 7, 15, 16, 17, 31, 32, 33, 100, 4099])
def test_a_text_that_is_ascii_but_for_its_last_or_first_character(wide, run):
    check({"k": "a" * run + wide}, "k: " + "a" * run + wide)
    check({"k": wide + "a" * run}, "k: " + wide + "a" * run)
    check([wide, "b" * (run + 1)], f"[2]: {wide},{'b' * (run + 1)}")


@pytest.mark.parametrize("widths", [
    [LATIN1, UCS2], [UCS2, LATIN1], [UCS4, LATIN1], [LATIN1, UCS4], [ASCII, UCS2, UCS4], [UCS4, UCS2, ASCII],
])
@pytest.mark.parametrize("run", [1, 3, 15, 16, 17])
def test_short_ascii_runs_between_characters_of_every_width(widths, run):
    # Runs shorter and longer than a block, so that blocks end in every kind of character.
    text = "".join("x" * run + w for w in widths * 9)
    check({"k": text, "l": [text, text]}, f"k: {text}\nl:\n  [2]: {text},{text}")


@pytest.mark.parametrize("values, widest", [
    (["a", "\x7f"], 0x7F),
    (["a", "\x80"], 0xFF),
    (["\xff", "b"], 0xFF),
    (["\xff", "\u0100"], 0xFFFF),
    (["\uffff", "c"], 0xFFFF),
    (["\uffff", "\U00010000"], 0x10FFFF),
    (["d", "\U0010ffff"], 0x10FFFF),
])
def test_the_result_has_the_width_of_its_widest_character(values, widest):
    text = encode({"k": values})
    assert max(map(ord, text)) <= widest
    assert text == text.encode("utf-8").decode("utf-8")
    assert all(v in text for v in values)


@pytest.mark.parametrize("length", [1, 15, 16, 17, 31, 32, 33, 64])
@pytest.mark.parametrize("flag", [":", ",", "-", "\x7f", "\x85", "\\", '"', "\x01", "]"])
def test_a_byte_that_forces_quotes_anywhere_in_a_long_string(length, flag):
    for at in range(length):
        s = "b" * at + flag + "b" * (length - at - 1)
        check({"k": s}, "k: " + quoted(s))
    check({"k": "b" * length + "\xa0b"}, "k: " + "b" * length + "\xa0b")  # no C1 control after 0xC2


@pytest.mark.parametrize("length", [16, 17, 33, 65535, 65536, 65537, 200_003])
@pytest.mark.parametrize("escape", ["\\", '"', "\n", "\r", "\t"])
def test_escapes_at_block_and_piece_edges(length, escape):
    s = "".join(escape if i % 15 == 0 or i in (length - 1, 65535, 65536) else "é" if i % 7 == 0 else "q"
                for i in range(length))
    check({"k": s}, "k: " + quoted(s))
    check([s, "x"], f"[2]: {quoted(s)},x")


def test_escapes_only():
    s = "\\\"\n\r\t" * 20_000
    check({"k": s}, "k: " + quoted(s))


@pytest.mark.parametrize("delimiter", ["|", "\t", "ab"])
def test_a_delimiter_in_a_long_string_forces_quotes(delimiter):
    s = "x" * 20 + delimiter + "y" * 20
    check({"k": s, "m": "x" * 40}, f"k: {quoted(s)}\nm: {'x' * 40}", EncodeOptions(delimiter=delimiter))


@pytest.mark.parametrize("value, escaped, position", [
    ({"a": "é", "b": "\ud800"}, "\\ud800", 0),
    ({"a": "😀" * 20, "b": ["x", "y\udfff"]}, "\\udfff", 1),
    ([{"k": "€"}, {"k": "\udbff"}], "\\udbff", 0),
    ({"\udc00€": 1}, "\\udc00", 0),
])
def test_surrogates_still_fail_after_wide_strs(value, escaped, position):
    message = (f"Python conversion error: UnicodeEncodeError: 'utf-8' codec can't encode character '{escaped}' "
               f"in position {position}: surrogates not allowed")
    with pytest.raises(ValueError) as failure:
        encode(value)
    assert str(failure.value) == message


def test_a_large_wide_result():
    # Past the size at which the result asks for huge pages.
    line = "ünïcødé " * 8 + "€😀"
    value = {"rows": [{"id": i, "text": line} for i in range(60_000)]}
    text = encode(value)
    assert len(text) == len("rows:\n  [60000]{id,text}:") + sum(len(f"\n      {i},{line}") for i in range(60_000))
    assert text.endswith(f"\n      59999,{line}")
    assert text == text.encode("utf-8").decode("utf-8")


@pytest.mark.parametrize("length", [1, 2, 8, 17])
@pytest.mark.parametrize("odd, written", [
    ("-", lambda k: quoted(k)),   # quoted as a string would be
    ("é", lambda k: k),           # not an identifier, bare as a string
    (" ", lambda k: k if k.strip() == k else quoted(k)),
    (".", lambda k: k),           # not a number without a digit
    ("7", lambda k: k if not k.isdigit() else quoted(k)),
])
def test_keys_that_stop_being_identifiers_anywhere(length, odd, written):
    for at in range(length):
        key = "k" * at + odd + "k" * (length - at - 1)
        check({key: 1}, f"{written(key)}: 1")
