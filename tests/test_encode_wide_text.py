"""encode() writes text that is not ASCII straight from the strs' own storage, at the width
of the result's widest character: strs of one byte, two or four per character mixed in every
position, and the block-wise copies of bare and quoted strings at the edges of their blocks.
dump() to a binary file writes the same text through UTF-8, so each case is also checked
against it: whatever encode() leaves out, undoes or reads after user code has run shows up as
a difference."""

import io

import pytest
from hypothesis import given, settings, strategies as st

from vardel import EncodeOptions, dump, encode

OPTIONS = [
    None,
    EncodeOptions(delimiter="|"),
    EncodeOptions(delimiter="\t", indent=4),
    EncodeOptions(delimiter="ab"),  # a long delimiter: wide strs take their UTF-8 form
    EncodeOptions(delimiter="é"),
    EncodeOptions(indent=0, use_length_markers=False),
    EncodeOptions(sort_keys=False, uniform_indent=True),
]


def outcome(write):
    try:
        return write()
    except ValueError as e:  # a delimiter that only objects of scalars can be written with
        return f"{type(e).__name__}: {e}"


def through_utf8(value, options=None, default=None):
    out = io.BytesIO()
    dump(value, out, options, default=default)
    return out.getvalue().decode("utf-8")


def check(value, expected=None, options=None, default=None):
    text = outcome(lambda: encode(value, options, default=default))
    assert text == outcome(lambda: through_utf8(value, options, default))
    assert expected is None or text == expected
    # A str made at a needlessly wide width holds the same characters but compares unequal.
    assert text == text.encode("utf-8").decode("utf-8")
    return text


ESCAPES = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def quoted(s):
    return '"' + "".join(ESCAPES.get(c, c) for c in s) + '"'


# One character of each width, and the characters at the edges between widths.
ASCII, LATIN1, UCS2, UCS4 = "a", "é", "中", "😀"
EDGES = ["\x7e", "\xa1", "\xff", "\u0100", "\u07ff", "\u0800", "\ufffd", "\U00010000", "\U0010fffd"]


class Text(str):
    pass


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("value", [
    # a table undone by its last row: the cells written for it are dropped with it
    [{"a": f"x{LATIN1}"}, {"a": UCS4, "b": 1}],
    [{"a": UCS2, "b": f"{UCS4}\n"}, {"a": "y", "b": [UCS2]}],
    # a wide value last in a block whose line feed is trimmed after it
    {"a": {"b": UCS2}, "c": LATIN1},
    {"a": [LATIN1, UCS4], "b": [[UCS2], {"c": UCS2}, {}]},
    [{}, UCS4, {"k": LATIN1}, {}],
    # escapes before, between and after wide characters; nothing but escapes around one
    {"k": f'"{UCS2}\\{LATIN1}\t{UCS4}\r\n'},
    {"k": "\n\n" + UCS4 + "\n\n"},
    # quoted for its ends, its leading zero or a control character
    [f" {LATIN1}", f"{UCS2}\u3000", f"\u0085{LATIN1}", f"0{LATIN1}", f"0.{UCS2}", f"{UCS4}\x9f", f"a{LATIN1}\xa0b"],
    # the whole text one wide string, bare or quoted: no bytes at all, or only around it
    UCS2,
    f'"{UCS4}\n',
    # keys that are not ASCII beside wide values: the bytes then hold UTF-8 too
    {f"k{LATIN1}": UCS4, "k": [f"{UCS2}", "plain"], f"{UCS2} x": {"y": LATIN1}},
    # str subclasses (never read in place) beside wide strs
    {"a": Text(f"sub{LATIN1}"), "b": UCS4}, [Text(UCS2), LATIN1, Text("ascii")],
])
def test_the_text_written_from_the_strs_storage_is_the_utf8_text(value, options):
    check(value, options=options)


@pytest.mark.parametrize("length", [1, 15, 16, 17, 32, 33, 100])
@pytest.mark.parametrize("fill", [ASCII, LATIN1, "\xff", UCS2, "\uffff", UCS4])
@pytest.mark.parametrize("special", ['"', "\\", "\n", ":", "-", ",", "]", "\x7f", "\x85", "\x00", "\x01", "|"])
def test_a_special_character_in_every_place(length, fill, special):
    # The scan looks at sixteen characters at a time: the character at each place of each block.
    values = [fill * at + special + fill * (length - at - 1) for at in range(length)]
    for s in values:  # "|" is plain text beside the default delimiter
        check({"k": s}, "k: " + (s if special == "|" else quoted(s)))
    check({"k": values, "m": {v: 1 for v in values[:3]}})


@pytest.mark.parametrize("fill", [LATIN1, UCS2, UCS4])
@pytest.mark.parametrize("first", [":", "-", ",", "[", "\x85", "\x01"])
@pytest.mark.parametrize("escape", ['"', "\\", "\n", "\t"])
def test_escapes_after_the_character_that_forces_quotes(fill, first, escape):
    # The escapes are looked for from the first character that forces quotes on: escapes right
    # after it, further on in its block of sixteen or in a later block are written all the same.
    values = [fill * at + first + fill * gap + escape + fill + escape + fill * 3
              for at in (0, 5, 15, 16, 31) for gap in (0, 1, 9, 14, 15, 16, 40)]
    for s in values:
        check({"k": s}, "k: " + quoted(s))
    check(values, f"[{len(values)}]: " + ",".join(map(quoted, values)))


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
    check({"k": "a" * (run + 1) + "\xa0b"}, "k: " + "a" * (run + 1) + "\xa0b")  # no C1 control after the byte 0xC2


@pytest.mark.parametrize("widths", [
    [LATIN1, UCS2], [UCS2, LATIN1], [UCS4, LATIN1], [LATIN1, UCS4], [ASCII, UCS2, UCS4], [UCS4, UCS2, ASCII],
])
@pytest.mark.parametrize("run", [1, 3, 15, 16, 17])
def test_short_ascii_runs_between_characters_of_every_width(widths, run):
    # Runs shorter and longer than a block, so that blocks end in every kind of character.
    text = "".join("x" * run + w for w in widths * 9)
    check({"k": text, "l": [text, text]}, f"k: {text}\nl:\n  [2]: {text},{text}")


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


@pytest.mark.parametrize("last, width", [("ÿ", 1), ("€", 2), ("😀", 4)])  # bytes a character
def test_a_large_wide_result(last, width):
    # Past the size at which the result asks for huge pages and the buffer's pages are given
    # back as they are copied: every part of the text must be there.
    line = "ünïcødé " * 8 + last
    rows = 10_000_000 // (width * len(line))  # a result of some 10 MB
    value = {"rows": [{"id": i, "text": line} for i in range(rows)]}
    expected = f"rows:\n  [{rows}]{{id,text}}:" + "".join(f"\n      {i},{line}" for i in range(rows))
    assert encode(value) == expected


@pytest.mark.parametrize("length", [1, 2, 8, 17])
@pytest.mark.parametrize("odd, written", [
    ("é", lambda k: k),           # not an identifier, bare as a string
    (" ", lambda k: k if k.strip() == k else quoted(k)),
    (".", lambda k: k),           # not a number without a digit
    ("7", lambda k: k if not k.isdigit() else quoted(k)),
])
def test_keys_that_stop_being_identifiers_anywhere(length, odd, written):
    for at in range(length):
        key = "k" * at + odd + "k" * (length - at - 1)
        check({key: 1}, f"{written(key)}: 1")


def test_strs_let_go_by_user_code_before_the_text_is_made():
    # The hook empties the list whose strs were written before it ran, and fills the memory
    # they held with other text: the result must still hold what was written.
    def words():  # new strs on every call, held by nothing else
        return ["".join([LATIN1, str(i)] * 30) for i in range(100)]

    expected = encode({"a": words(), "b": "done"})
    written = words()
    data = {"a": written, "b": object()}
    keep = []

    def hook(obj):
        written.clear()
        keep.extend("".join(["ü", str(i)] * 30) for i in range(2000))
        return "done"

    assert encode(data, default=hook) == expected


strs = st.text(st.characters(exclude_categories=("Cs",)), max_size=40)
scalars = st.one_of(strs, st.integers(-5, 5), st.none(), st.booleans(), st.floats(allow_nan=False, width=32))
trees = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=5),
        st.dictionaries(strs, inner, max_size=5),
        # rows with shared keys, so that tables are written and sometimes undone
        st.lists(st.fixed_dictionaries({"id": st.integers(0, 9), "t": strs}, optional={"u": inner}),
                 min_size=1, max_size=4),
    ),
    max_leaves=30,
)


@settings(max_examples=300, deadline=None)
@given(value=trees, options=st.sampled_from(OPTIONS))
def test_any_data_reads_the_same_through_either_path(value, options):
    check(value, options=options)
