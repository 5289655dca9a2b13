"""encode() writes text that is not ASCII straight from the strs' own storage, at the width
of the result's widest character. dump() to a binary file writes the same text through UTF-8,
so each case here is checked against it: whatever encode() leaves out, undoes or reads after
user code has run shows up as a difference."""

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


def check(value, options=None, default=None):
    text = outcome(lambda: encode(value, options, default=default))
    assert text == outcome(lambda: through_utf8(value, options, default))
    # A str made at a needlessly wide width holds the same characters but compares unequal.
    assert text == text.encode("utf-8").decode("utf-8")
    return text


LATIN1, UCS2, UCS4 = "é", "中", "😀"


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
])
def test_the_text_written_from_the_strs_storage_is_the_utf8_text(value, options):
    check(value, options)


@pytest.mark.parametrize("length", [1, 15, 16, 17, 32, 33, 100])
@pytest.mark.parametrize("wide", [LATIN1, "\xff", UCS2, "\uffff", UCS4])
@pytest.mark.parametrize("special", ['"', "\\", "\n", ":", "-", ",", "|", "\x7f", "\x85", "\x00"])
def test_a_special_character_in_every_place_of_a_wide_str(length, wide, special):
    # The scan looks at sixteen characters at a time: the character at each place of each block.
    values = []
    for at in range(length):
        s = [wide] * length
        s[at] = special
        values.append("".join(s))
    check({"k": values, "m": {v: 1 for v in values[:3]}})


class Text(str):
    pass


@pytest.mark.parametrize("value", [
    {"a": Text(f"sub{LATIN1}"), "b": UCS4},
    [Text(UCS2), LATIN1, Text("ascii")],
])
def test_str_subclasses_beside_wide_strs(value):
    check(value)


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
    check(value, options)
