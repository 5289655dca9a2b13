"""decode: everything encode writes reads back, in every layout; TOON as people write it; the
errors with their places; strict=False."""

import gc
import json
import lzma
import pathlib

import pytest
from hypothesis import given, settings, strategies as st

import vardel
from support import canonical, read_without_markers, same
from vardel import DecodeError, DecodeOptions, EncodeOptions, decode, encode

# --- The contract: decode(encode(data, o), DecodeOptions(delimiter=o.delimiter)) -------------

# Strings that need quotes somewhere: structure, delimiters, keywords, numbers, whitespace at
# the ends, escapes, hyphens, and text that is harmless.
AWKWARD = ["", " ", "a b", " a", "a ", "-", "- a", "-1", "1", "1.5", "007", "1e3", ".5", "+1",
           "true", "false", "null", "nan", "-inf", "Infinity", "a:b", ":", "[1]", "{x}", "a,b",
           "a|b", "a\tb", "\t", "\n", "a\nb", "\r", '"', '"a"', "\\", "\\n", "é", "\u00a0x",
           "x\u3000", "\u0085", "#", "a.b", "_", "key", "[", "]{", "- [2]:", "k: v", "\x7f",
           "\x01", "\u2028"]

text = st.one_of(st.sampled_from(AWKWARD),
                 st.text(st.characters(blacklist_categories=("Cs",)), max_size=8),
                 st.text("ab:-[]{}|,\t\" \\n0.e", max_size=6))
keys = st.one_of(text, st.from_regex(r"[A-Za-z_][A-Za-z0-9_.]{0,6}", fullmatch=True))
scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**63, 2**64 - 1),
                    st.floats(allow_nan=True, allow_infinity=True), text,
                    st.sampled_from([0.0, -0.0, 1.0, -1.0, 1e16, 2.0**63, 2.0**64, 1e300, 5e-324,
                                     0.1, -2.0**63]))


def containers(children):
    rows = st.lists(st.dictionaries(st.sampled_from(["a", "b", "c d", ""]), scalars, max_size=3),
                    min_size=1, max_size=3)
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=3).map(tuple),
        st.dictionaries(keys, children, max_size=4),
        st.frozensets(st.one_of(st.integers(-5, 5), st.sampled_from(["x", "-", ""])), max_size=3),
        rows,  # lists of objects: tables when the keys agree
        st.just([]), st.just({}), st.just([[]]), st.just([{}]), st.just([{}, {}]),
    )


trees = st.recursive(scalars, containers, max_leaves=24)

encode_options = st.builds(
    EncodeOptions,
    delimiter=st.sampled_from([",", "\t", "|"]),
    indent=st.integers(1, 4),
    use_length_markers=st.booleans(),
    sort_keys=st.booleans(),
    uniform_indent=st.booleans(),
)


def expected(data, o):
    value = canonical(data, o.sort_keys)
    return value if o.use_length_markers else read_without_markers(value, o.uniform_indent)


@settings(max_examples=1500, deadline=None)
@given(trees, encode_options)
def test_everything_encode_writes_reads_back(data, o):
    toon = encode(data, o)
    want = expected(data, o)
    for strict in (True, False):
        got = decode(toon, DecodeOptions(strict, delimiter=o.delimiter))
        assert same(got, want), (toon, got, want)


@settings(max_examples=300, deadline=None)
@given(st.recursive(st.integers(0, 3), lambda c: st.lists(c, min_size=1, max_size=3),
                    max_leaves=16),
       encode_options)
def test_arrays_of_arrays(data, o):
    """Arrays nested directly in arrays, where nested items share a column with outer ones."""
    toon = encode(data, o)
    assert same(decode(toon, DecodeOptions(delimiter=o.delimiter)), expected(data, o)), toon


# The two kinds of shape that share one text without length markers, and how each reads.
@pytest.mark.parametrize("first, second, read", [
    ([[[None], [None]]], [[[None]], [None]], [[[None], [None]]]),
    ([[[1]], 2], [[[1], 2]], [[[1], 2]]),
    ([{}], [{}, {}], [{}]),
])
def test_shapes_that_share_one_text(first, second, read):
    o = EncodeOptions(use_length_markers=False)
    assert encode(first, o) == encode(second, o)
    assert decode(encode(first, o)) == read
    # With length markers both read back exactly.
    for data in (first, second):
        assert decode(encode(data)) == data


# Containers of every kind read back in test_everything_encode_writes_reads_back.
@pytest.mark.parametrize("data, want", [
    (1.0, 1), (-0.0, -0.0), (float("nan"), None), (float("-inf"), None), (1e300, 1e300),
    (2.0**63, 9223372036854776000), (2.0**64, 2.0**64), ("", ""), ("-0", "-0"), ({"": {"": []}}, {"": {"": []}}),
])
def test_canonical_values(data, want):
    assert same(decode(encode(data)), want)


def test_deep_nesting_reads_back_and_deeper_text_is_refused():
    data = 1
    for i in range(511):
        data = [data] if i % 2 else {"k": data}
    data = {"top": data}
    for o in (EncodeOptions(), EncodeOptions(uniform_indent=True, indent=1)):
        assert decode(encode(data, o)) == data
    # 513 objects: one more than the encoder writes.
    toon = "\n".join(" " * i + "k:" for i in range(513)) + "\n" + " " * 513 + "v: 1"
    with pytest.raises(DecodeError, match="nested more than 512 levels deep") as info:
        decode(toon)
    assert info.value.lineno == 513


# --- TOON as people and models write it ------------------------------------------------------

@pytest.mark.parametrize("toon, want", [
    ("users[2]{id,name}:\n  1,Ada\n  2,Bob", {"users": [{"id": 1, "name": "Ada"},
                                                       {"id": 2, "name": "Bob"}]}),
    ("project:\n  name: vardel\n  owner:\n    id: 7\n  tags[2]: a,b",
     {"project": {"name": "vardel", "owner": {"id": 7}, "tags": ["a", "b"]}}),
    ("items[2]:\n  - id: 1\n    tags[1]: x\n  - id: 2\n    note: hi there",
     {"items": [{"id": 1, "tags": ["x"]}, {"id": 2, "note": "hi there"}]}),
    ("items[1]:\n  - meta:\n      a: 1\n    id: 2", {"items": [{"meta": {"a": 1}, "id": 2}]}),
    ("rows[2|]{a|b}:\n  1|x,y\n  2|\"q|r\"", {"rows": [{"a": 1, "b": "x,y"}, {"a": 2, "b": "q|r"}]}),
    ("matrix[2]:\n  - [2]: 1,2\n  - [2]: 3,4", {"matrix": [[1, 2], [3, 4]]}),
    ("a: 1\r\nb:\r\n  c: 2\r\n", {"a": 1, "b": {"c": 2}}),
    ("\"key with: colon\": \"value, with comma\"", {"key with: colon": "value, with comma"}),
    ("[3]: a,b,c", ["a", "b", "c"]),
    ("a: 1\nb: 2\na: 3", {"a": 3, "b": 2}),  # a repeated key: its first place, its last value
    ("plain text", "plain text"),
    ("", {}),
])
def test_toon_as_people_write_it(toon, want):
    assert same(decode(toon), want)


@settings(max_examples=300)
@given(st.lists(st.tuples(st.from_regex(r"[A-Za-z_][A-Za-z0-9_.]{0,79}", fullmatch=True),
                          st.text("ab :[]{}-,\t", max_size=40).map(lambda v: "v" + v.strip())),
                min_size=1, max_size=4, unique_by=lambda kv: kv[0]),
       st.integers(1, 40), st.booleans(), st.sampled_from(["\n", "\r\n"]), st.booleans())
def test_a_key_is_found_wherever_its_colon_stands(pairs, indent, as_item, eol, last_eol):
    # Keys of every length, at every indentation, as members and as a list item's first member:
    # each line's colon falls anywhere in the blocks its line is searched in.
    lines = [f"{k}: {v}" for k, v in pairs]
    if as_item:
        head, pad, want = "p[1]:", " " * indent, {"p": [dict(pairs)]}
        lines = [pad + "- " + lines[0]] + [pad + "  " + line for line in lines[1:]]
    else:
        head, want = "p:", {"p": dict(pairs)}
        lines = [" " * indent + line for line in lines]
    assert decode(eol.join([head, *lines]) + (eol if last_eol else "")) == want


WIDE = ",".join(f"f{i}" for i in range(20))  # more fields than are compared pair by pair
WIDE_REPEATED = ",".join(f"f{i}" for i in range(19)) + ",f3"
CELLS = ",".join(str(i) for i in range(20))


@pytest.mark.parametrize("toon, strict, want", [
    # a repeated field keeps its first place and takes its last cell, on full and short rows
    ("t[2]{a,b,a}:\n  1,2,3\n  4,5,6", True, [[("a", 3), ("b", 2)], [("a", 6), ("b", 5)]]),
    ("t[1]{a,b,a}:\n  1,2", False, [[("a", 1), ("b", 2)]]),
    (f"t[1]{{{WIDE}}}:\n  {CELLS}", True, [[(f"f{i}", i) for i in range(20)]]),
    (f"t[1]{{{WIDE_REPEATED}}}:\n  {CELLS}", True,
     [[(f"f{i}", 19 if i == 3 else i) for i in range(19)]]),
    ('t[1]{"a\\tb","a\\tb"}:\n  1,2', True, [[("a\tb", 2)]]),
    # escaped cells side by side in one row each keep their own text
    ('t[2]{a,b}:\n  "x\\ty","\\"q\\""\n  "\\\\",-0', True,
     [[("a", "x\ty"), ("b", '"q"')], [("a", "\\"), ("b", -0.0)]]),
    ('t[1]{a,b,c}:\n  "p\\nq","r\\ts",u', True, [[("a", "p\nq"), ("b", "r\ts"), ("c", "u")]]),
    # every kind of scalar, an empty field name, extra cells ignored
    ('t[2]{a,"",b}:\n  true,null,false\n  -0,-1.5,"null"', True,
     [[("a", True), ("", None), ("b", False)], [("a", -0.0), ("", -1.5), ("b", "null")]]),
    ("t[1]{a,b}:\n  1,2,3", False, [[("a", 1), ("b", 2)]]),
])
def test_table_rows(toon, strict, want):
    rows = decode(toon, DecodeOptions(strict=strict))["t"]
    assert [list(r.items()) for r in rows] == want
    assert all(same(v, w) for r, wr in zip(rows, want) for v, (_, w) in zip(r.values(), wr))


def test_delimiter_option_applies_to_headers_without_a_mark_only():
    assert decode("[]: a|b", DecodeOptions(delimiter="|")) == ["a", "b"]
    assert decode("[2|]: a|b", DecodeOptions(delimiter="\t")) == ["a", "b"]
    assert decode("[1]: a|b") == ["a|b"]


# --- Errors ----------------------------------------------------------------------------------

@pytest.mark.parametrize("toon, msg, line, column", [
    # element counts point at the header
    ("[3]: 1,2", "the array header announces 3 elements but 2 follow", 1, 1),
    ("a[1]: 1,2", "the array header announces 1 element but 2 follow", 1, 2),
    ("a:\n  [2]:\n    - 1", "the array header announces 2 elements but 1 follows", 2, 3),
    ("a:\n  [1]:\n    - 1\n    - 2", "the array header announces 1 element but more follow", 2, 3),
    ("t[2]{x}:\n  1", "the array header announces 2 elements but 1 follows", 1, 2),
    ("t[1]{x}:\n  1\n  2", "the array header announces 1 element but more follow", 1, 2),
    ("é[2]: 1", "the array header announces 2 elements but 1 follows", 1, 2),
    # row widths point at the row
    ("t[1]{x,y}:\n  1", "the row has 1 cell but the header has 2 fields", 2, 3),
    ("t[1]{x,y}:\n    1,2,3", "the row has more than 2 cells but the header has 2 fields", 2, 5),
    ("t[1]{}:\n  1", "the row has more than 0 cells but the header has 0 fields", 2, 3),
    # indentation that places a line under no line
    ("  a: 1\nb: 2", "indentation places this line under no line that can hold it", 2, 1),
    ("a: 1\n  b: 2", "indentation places this line under no line that can hold it", 2, 3),
    ("a:\n    b: 1\n  c: 2", "indentation places this line under no line that can hold it", 3, 3),
    ("[2]:\n  - 1\n    - 2", "indentation places this line under no line that can hold it", 3, 5),
    # lines that are none of the forms
    ("a: 1\nhello", "expected 'key: value' or an array header", 2, 1),
    ("Here is the data.\nusers[1]{id}:\n  1",
     "expected 'key: value', an array header or a list item", 1, 1),
    ("[2]: 1,2\n  3", "a line after the end of the top-level value", 2, 3),
    ("a: 1\n[2]: 1,2", "an array header without a name needs a key line right above it", 2, 1),
    ("- 1", "a list item outside any list array", 1, 1),
    ("a:\n  - 1", "a list item outside any list array", 2, 3),
    ("[2]:\n  - 1\n  x", "expected a list item ('- ')", 3, 3),
    ("a[x]: 1", "invalid array header", 1, 2),
    ("a[2]{x,y: 1", "unclosed field list", 1, 5),
    ("a[2] 1,2", "expected ':' after the array header", 1, 6),
    ("[1]: a\nb: 1", "a line after the end of the top-level value", 2, 1),
    ("t[1]{x}: 1", "a tabular array header ends at its colon", 1, 10),
    # escapes and quotation marks, at their place
    ('a: "x\\q"', "invalid escape sequence \\q", 1, 6),
    ('a: "x\\u0041"', "invalid escape sequence \\u", 1, 6),
    ('a: "x', "unterminated quotation mark", 1, 4),
    ('a: "x"y', "text after a closing quotation mark", 1, 7),
    ('[2]: "a\\', "unterminated quotation mark", 1, 6),
    ('[2]: "a,b', "unterminated quotation mark", 1, 6),
    ('"a\\x": 1', "invalid escape sequence \\x", 1, 3),
    ('"ab: 1', "unterminated quotation mark", 1, 1),
    ('t[1]{"a}:\n  1', "unterminated quotation mark", 1, 6),
    ('t[1]{"\\a"}:\n  1', "invalid escape sequence \\a", 1, 7),
    ('ü: "é\\é"', "invalid escape sequence \\é", 1, 6),
    ('t[1]{a,b}:\n  1,"x\\q"', "invalid escape sequence \\q", 2, 7),  # in a later cell
    # a table without fields writes no rows, so its count alone makes objects: a short text may
    # not ask for more than its size allows (65536, and 16 more per byte of text)
    ("[1000000000000]{}:", "the array header announces 1000000000000 objects without keys, "
     "more than a text of this size may (65824)", 1, 1),
    ("a:\n  [65537]{}:\nb:\n  [65537]{}:", "the array header announces 65537 objects without keys, "
     "more than a text of this size may (495)", 4, 3),
])

def test_errors(toon, msg, line, column):
    with pytest.raises(DecodeError) as info:
        decode(toon)
    e = info.value
    assert (e.msg, e.lineno, e.colno) == (msg, line, column)
    assert str(e) == f"{msg} (line {line}, column {column})"
    assert isinstance(e, ValueError) and type(e).__module__ == "vardel"


@pytest.mark.parametrize("count", [0, 1, 3, 65536])
def test_a_table_without_fields_makes_its_count_of_objects(count):
    assert decode(f"[{count}]{{}}:") == [{}] * count


@pytest.mark.parametrize("toon, want", [
    ("[3]: 1,2", [1, 2]),
    ("[1]: 1,2", [1, 2]),
    ("[5000]: 1,2", [1, 2]),
    ("[1]:\n  - [2]: 1,2\n  - [1]: 3\n  - a: 4", [[1, 2], [3], {"a": 4}]),
    ("a:\n  [3]:\n    - 1\nb: 2", {"a": [1], "b": 2}),
    ("a:\n  [1]:\n    - 1\n    - 2", {"a": [1, 2]}),
    ("t[1]{x,y}:\n  1\n  2,3,4\n  5,6", {"t": [{"x": 1}, {"x": 2, "y": 3}, {"x": 5, "y": 6}]}),
    ("t[5]{x}:\n  1", {"t": [{"x": 1}]}),
    ("t[2]{}:\n  1\n  2\n  3", {"t": [{}, {}, {}]}),
])
def test_lenient_counts_and_rows(toon, want):
    assert same(decode(toon, DecodeOptions(strict=False)), want)
    with pytest.raises(DecodeError):
        decode(toon)


@pytest.mark.parametrize("toon", ['a: "\\q"', "  a: 1\nb: 2", "a: 1\nhello", 'a: "x', "- 1"])
def test_lenient_mode_keeps_every_other_error(toon):
    with pytest.raises(DecodeError):
        decode(toon, DecodeOptions(strict=False))


@pytest.mark.parametrize("args, exc", [
    ((b"a: 1",), TypeError), ((1,),  TypeError), (("a: 1", {}), TypeError),
    (("a\ud800",), UnicodeEncodeError),
])
def test_arguments(args, exc):
    with pytest.raises(exc):
        decode(*args)


@pytest.mark.parametrize("read", [decode, vardel.decode_toon], ids=["decode", "decode_toon"])
@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("toon", ["a:\n  b: [1]", 'a: "\\q"'])
def test_the_garbage_collector_is_left_as_it_was(read, enabled, toon):
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        try:
            read(toon)
        except ValueError:  # DecodeError included
            pass
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()


# --- The public corpora ----------------------------------------------------------------------

# The copies under benchmarks/data (see their README for where they come from).
CORPORA = pathlib.Path(__file__).resolve().parents[1] / "benchmarks" / "data"


@pytest.fixture(scope="module", params=["twitter", "citm_catalog", "canada"])
def corpus(request):
    with lzma.open(CORPORA / f"{request.param}.json.xz", "rt", encoding="utf-8") as f:
        return json.load(f)


# Each delimiter, indent and layout at least once; the property test above pairs them all.
@pytest.mark.parametrize("delimiter, indent, uniform", [(",", 2, False), ("\t", 1, True), ("|", 4, True),
                                                       (",", 1, False)])
def test_public_corpora_read_back(corpus, delimiter, indent, uniform):
    o = EncodeOptions(delimiter=delimiter, indent=indent, uniform_indent=uniform)
    got = decode(encode(corpus, o), DecodeOptions(delimiter=delimiter))
    assert same(got, canonical(corpus))
