"""Objects and arrays in both layouts (EncodeOptions.uniform_indent): member lines, key order (sorted or the
mapping's own), indentation, the four array forms, delimiters."""

import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from support import SameText, outcome
from vardel import EncodeOptions, decode_toon, encode

ADA_BOB = [{"id": 1, "name": "Ada"}, {"id": 2, "name": "Bob"}]
ARRAY_MEMBERS = [{"a": 1, "b": [1, 2]}, {"a": 2, "b": [3]}]
NESTED_ITEM = [{"a": {"x": 1}, "b": 2}, 5]
TABLE_IN_LIST = [[{"a": 1}, {"a": 2}], 5]
DEEP = {"a": {"b": 1, "c": {"d": 2}, "e": 3}}
TAB, PIPE, NO_MARKERS = {"delimiter": "\t"}, {"delimiter": "|"}, {"use_length_markers": False}


@pytest.mark.parametrize("data, options, text", [
    (5, {}, "5"), ("hi", {}, "hi"), ({}, {}, ""),
    ({"name": "Ada", "age": 36, "admin": False}, {}, "admin: false\nage: 36\nname: Ada"),
    ({"a": {"b": 1}}, {"indent": 0}, "a:\nb: 1"),
    (DEEP, {}, "a:\n    b: 1\n    c:\n          d: 2\n    e: 3"),
    ({"user": {"id": 1, "name": "Ada", "tags": ["x", "y"]}, "active": True}, {},
     "active: true\nuser:\n    id: 1\n    name: Ada\n    tags:\n      [2]: x,y"),
    ({"user": {"tags": ["x", "y"]}}, {"indent": 4, **PIPE}, "user:\n        tags:\n            [2|]: x|y"),
    ({"a": [], "b": {}}, {}, "a:\n  [0]:\nb:"), ({"a": {}, "b": 2}, {}, "a:\nb: 2"),
    ({"b": 1, "A": 2, "a_": 3, "a": 4, "a.b": 5, "_": 6, "é": 7}, {}, "A: 2\n_: 6\na: 4\na.b: 5\na_: 3\nb: 1\né: 7"),
    # the end trim after a nested block removes only what the encoder added
    ({"a": {"b": "x\xa0"}}, {}, 'a:\n    b: "x\xa0"'), ({"a": {"b": "x\u3000y"}}, {}, "a:\n    b: x\u3000y"),
    ({"a": {"b": "voilà"}}, {}, "a:\n    b: voilà"),  # ends in the byte 0xA0
    # a child's empty line gets the parent's prefix and indent, nothing else
    ({"x": [{"a": {"b": 1}}, 2]}, {}, "x:\n  [2]:\n      - a:\n              b: 1\n  \n      - 2"),
    ({"x": {"y": []}}, {"delimiter": ""}, "x:\n    y:\n      [0]:"),
    # arrays: inline and empty
    ([1, 2, 3], {}, "[3]: 1,2,3"), (["a", "b c", "d,e", ""], {}, '[4]: a,b c,"d,e",""'),
    ([1, "x", None, True, 2.5], {}, "[5]: 1,x,null,true,2.5"), ([], {}, "[0]:"),
    ([], {**NO_MARKERS, "delimiter": ";"}, "[0]:"), ([1, 2], NO_MARKERS, "[]: 1,2"), ([1, 2], PIPE, "[2|]: 1|2"),
    ([1, 2], TAB, "[2\t]: 1\t2"), ([1, 2], {**TAB, **NO_MARKERS}, "[]: 1\t2"),
    (["a|b", "c,d"], PIPE, '[2|]: "a|b"|c,d'), (["a\tb", "c"], TAB, '[2\t]: "a\\tb"\tc'),
    # tabular
    (ADA_BOB, {}, "[2]{id,name}:\n  1,Ada\n  2,Bob"), (ADA_BOB, PIPE, "[2|]{id|name}:\n  1|Ada\n  2|Bob"),
    (ADA_BOB, NO_MARKERS, "[]{id,name}:\n  1,Ada\n  2,Bob"),
    (ADA_BOB, {"indent": 0}, "[2]{id,name}:\n1,Ada\n2,Bob"),
    ({"users": ADA_BOB}, {}, "users:\n  [2]{id,name}:\n      1,Ada\n      2,Bob"),
    ({"users": ADA_BOB}, {"indent": 4, **TAB}, "users:\n    [2\t]{id\tname}:\n            1\tAda\n            2\tBob"),
    ([{}, {}], {}, "[2]{}:"), ([{"my key": 1, "b-c": "x y"}, {"my key": 2, "b-c": "z"}], {}, "[2]{b-c,my key}:\n  x y,1\n  z,2"),
    ([{"a:b": 1, "c,d": "e,f"}], {}, '[1]{"a:b","c,d"}:\n  1,"e,f"'),
    # list form
    ([{"a": 1, "b": 2}, {"a": 3}], {}, "[2]:\n  - a: 1\n    b: 2\n  - a: 3"),
    ([{"a": 1}, {"a": 2, "b": 3}], {}, "[2]:\n  - a: 1\n  - a: 2\n    b: 3"), ([{"a": 1}, {"b": 1}], {}, "[2]:\n  - a: 1\n  - b: 1"),
    ([{"a": [1]}, {"a": 2}], {}, "[2]:\n  - a:\n    [1]: 1\n\n  - a: 2"), ([{"a": 1}, {"a": [2]}], {}, "[2]:\n  - a: 1\n  - a:\n    [1]: 2"),
    ([1, {"a": 1, "b": 2}, [3, 4], "x"], {}, "[4]:\n  - 1\n  - a: 1\n    b: 2\n  - [2]: 3,4\n  - x"),
    (ARRAY_MEMBERS, {}, "[2]:\n  - a: 1\n    b:\n    [2]: 1,2\n\n  - a: 2\n    b:\n    [1]: 3"),
    (ARRAY_MEMBERS, {**PIPE, **NO_MARKERS}, "[]:\n  - a: 1\n    b:\n    []: 1|2\n\n  - a: 2\n    b:\n    []: 3"),
    (NESTED_ITEM, {}, "[2]:\n  - a:\n        x: 1\n\n    b: 2\n  - 5"),
    (NESTED_ITEM, {"indent": 4}, "[2]:\n    - a:\n                x: 1\n\n        b: 2\n    - 5"),
    (NESTED_ITEM, {"indent": 0}, "[2]:\n- a:\nx: 1\n\nb: 2\n- 5"), ([{}, 1], {}, "[2]:\n  - \n  - 1"), ([1, {}], {}, "[2]:\n  - 1\n  -"),
    (TABLE_IN_LIST, {}, "[2]:\n  - [2]{a}:\n  1\n  2\n  - 5"), (TABLE_IN_LIST, {"indent": 4}, "[2]:\n    - [2]{a}:\n    1\n    2\n    - 5"),
    ({"a": [1, [2]]}, {}, "a:\n  [2]:\n      - 1\n      - [1]: 2"), ({"a": [1, [2]]}, {"indent": 4}, "a:\n    [2]:\n            - 1\n            - [1]: 2"),
    ([[1, 2], [3]], {}, "[2]:\n  - [2]: 1,2\n  - [1]: 3"), ([[[1]]], {}, "[1]:\n  - [1]:\n  - [1]: 1"),
    ([{"a": {}, "b": 1}], {}, "[1]:\n  - a:\n\n    b: 1"), ([{"a": []}, 1], {}, "[2]:\n  - a:\n    [0]:\n\n  - 1"),
])
def test_documents(data, options, text):
    assert encode(data, EncodeOptions(**options)) == text


@pytest.mark.parametrize("name, delimiter, header", [
    ("b-c", ",", "{b-c}"), ("a|b", ",", "{a|b}"), ("a,b", "|", "{a,b}"), ("a,b", ",", '{"a,b"}'), ("", ",", '{""}'),
    (" x", ",", '{" x"}'), ('q"', ",", '{"q\\""}'), ("[x", ",", '{"[x"}'), ("x}", ",", '{"x}"}'),
    ("x\ty", "|", '{"x\\ty"}'), ("a\x85", ",", '{"a\x85"}'),
])
def test_field_names_are_quoted_only_when_they_break_the_header(name, delimiter, header):
    mark = "" if delimiter == "," else delimiter
    assert encode([{name: 1}], EncodeOptions(delimiter=delimiter)) == f"[1{mark}]{header}:\n  1"


def chain(levels, leaf):
    """{"k1": {"k2": ... {"z": leaf}}} with the member "z" at nesting level `levels`."""
    data = {"z": leaf}
    for level in range(levels, 0, -1):
        data = {f"k{level}": data}
    return data


@pytest.mark.parametrize("indent", [1, 3])
@pytest.mark.parametrize("level", range(7))
def test_indentation_grows_with_nesting_level(indent, level):
    last = encode(chain(level, 1), EncodeOptions(indent=indent)).split("\n")[-1]
    assert last == " " * (indent * level * (level + 3) // 2) + "z: 1"
    # an array under that member: its header carries no prefix of its own
    last = encode(chain(level, [1]), EncodeOptions(indent=indent)).split("\n")[-1]
    assert last == " " * (indent * (level + 1) * (level + 2) // 2) + "[1]: 1"


TOO_FAR = ("Indentation too large: a line would be indented by 4611686018427387904 spaces or more, "
           "more than a text can hold (indent {})")


@pytest.mark.parametrize("data, indent, uniform, text", [
    ({"a": {"b": 1}}, 2**19, False, "a:\n" + " " * 2**20 + "b: 1"),
    # only written lines count: these hold no indented line at all
    ({"a": {}, "b": 1}, 2**62, False, "a:\nb: 1"), ([1, 2], 2**64 - 1, False, "[2]: 1,2"),
    ([{}, {}], 2**64 - 1, False, "[2]{}:"), ({"a": {}}, 2**62, True, "a:"),
    ({"a": [1]}, 2**62, False, None), ([1, 2, {"a": 1}], 2**63, False, None), ({"a": {"b": 1}}, 2**64 - 1, False, None),
    ([{"a": 1}, {"a": 2}], 2**62, False, None), ([[1], {"x": 1}], 2**64 - 1, False, None),  # rows, list items
    # the uniform layout: one indent per level; list items fail at their hyphen lines
    ({"a": {"b": {"c": 1}}}, 2**62, True, None), ([{"a": 1}, 3], 2**62, True, None),
])
def test_lines_indented_too_far_fail(data, indent, uniform, text):
    expected = ("ok", text) if text else (OverflowError, TOO_FAR.format(indent))
    assert outcome(encode, data, EncodeOptions(indent=indent, uniform_indent=uniform)) == expected


@pytest.mark.parametrize("data, options, lines, last", [
    # lines past a megabyte of indentation are written when the text can be held
    ({"a": {"b": 1}}, {"indent": 2**19 + 1}, 2, " " * (2**20 + 2) + "b: 1"),
    ({"a": {"b": {"c": 1}}}, {"indent": 2**19 + 1, "uniform_indent": True}, 3, " " * (2**20 + 2) + "c: 1"),
    ([{"a": {"b": 1}}], {"indent": 2**20}, 3, " " * 2**22 + "b: 1"),
    ([{"a": 1}, {"a": 2}], {"indent": 2**20 + 1}, 3, " " * (2**20 + 1) + "2"),
    ({"a": [1, 2]}, {"indent": 2**20 + 1}, 2, " " * (2**20 + 1) + "[2]: 1,2"),
    (chain(150, 1), {"indent": 100}, 151, " " * (100 * 150 * 153 // 2) + "z: 1"),  # about 58 MB of text
])
def test_deep_indentation_is_written(data, options, lines, last):
    text = encode(data, EncodeOptions(**options))
    assert text.count("\n") + 1 == lines and text[text.rindex("\n") + 1:] == last


@pytest.mark.parametrize("data, options, error, message", [
    # within the encoder, the first failure in writing order wins (conversion errors come first)
    ({"a": {"b": 1}, "c": [1]}, {"delimiter": ";", "indent": 2**62}, OverflowError, "Ind"),
    ([[1], {"c": {"b": 1}}], {"delimiter": ";", "indent": 2**62}, ValueError, "Invalid"),
])
def test_first_failure_wins(data, options, error, message):
    kind, text = outcome(encode, data, EncodeOptions(**options))
    assert kind is error and text.startswith(message)


def uniform(data, **options):
    return encode(data, EncodeOptions(uniform_indent=True, **options))


@pytest.mark.parametrize("data, options, text", [
    (5, {}, "5"), ({}, {}, ""), ([], {}, "[0]:"), ({"a": 1, "b": "x"}, {}, "a: 1\nb: x"),
    # objects in objects: one indent per level
    ({"a": {"b": 1}}, {"indent": 0}, "a:\nb: 1"), (DEEP, {"indent": 3}, "a:\n   b: 1\n   c:\n      d: 2\n   e: 3"), (DEEP, {"indent": 0}, "a:\nb: 1\nc:\nd: 2\ne: 3"),
    ({"a": {}, "b": 2}, {}, "a:\nb: 2"), ({"a": {"b": {}}, "c": 1}, {}, "a:\n  b:\nc: 1"),
    # arrays as members: the nameless header under the key, rows and items one indent further
    ({"user": {"id": 1, "name": "Ada", "tags": ["x", "y"]}, "active": True}, {},
     "active: true\nuser:\n  id: 1\n  name: Ada\n  tags:\n    [2]: x,y"),
    ({"user": {"tags": ["x", "y"]}}, {"indent": 4, **PIPE}, "user:\n    tags:\n        [2|]: x|y"),
    ({"a": [], "b": {}}, {}, "a:\n  [0]:\nb:"), ({"x": {"y": []}}, {"delimiter": ""}, "x:\n  y:\n    [0]:"),
    ({"users": ADA_BOB}, {}, "users:\n  [2]{id,name}:\n    1,Ada\n    2,Bob"),
    ({"users": ADA_BOB}, {"indent": 4, **TAB}, "users:\n    [2\t]{id\tname}:\n        1\tAda\n        2\tBob"),
    ({"a": {"users": ADA_BOB}, "b": 1}, {**NO_MARKERS, **PIPE}, "a:\n  users:\n    []{id|name}:\n      1|Ada\n      2|Bob\nb: 1"),
    ({"a": {"users": ADA_BOB}}, {"indent": 1}, "a:\n users:\n  [2]{id,name}:\n   1,Ada\n   2,Bob"),
    ({"a": [1, [2]]}, {}, "a:\n  [2]:\n    - 1\n    - [1]: 2"), ({"a": [1, [2]]}, {"indent": 4}, "a:\n    [2]:\n        - 1\n        - [1]: 2"),
    # root arrays: inline, tabular, empty, every delimiter, with and without length markers
    ([1, 2], {**TAB, **NO_MARKERS}, "[]: 1\t2"), (ADA_BOB, {"indent": 0}, "[2]{id,name}:\n1,Ada\n2,Bob"), (ADA_BOB, {"indent": 4, **NO_MARKERS}, "[]{id,name}:\n    1,Ada\n    2,Bob"),
    ([{}, {}], {}, "[2]{}:"),
    # list items: further members under the first member's text, no empty lines
    ([{"a": 1, "b": 2}, {"a": 3}], {}, "[2]:\n  - a: 1\n    b: 2\n  - a: 3"),
    ([{"a": 1, "b": 2}, {"a": 3}], {"indent": 4}, "[2]:\n    - a: 1\n      b: 2\n    - a: 3"),
    ([{"a": 1, "b": 2}, {"a": 3}], {"indent": 0}, "[2]:\n- a: 1\n  b: 2\n- a: 3"),
    (ARRAY_MEMBERS, {}, "[2]:\n  - a: 1\n    b:\n      [2]: 1,2\n  - a: 2\n    b:\n      [1]: 3"),
    (ARRAY_MEMBERS, {**PIPE, **NO_MARKERS}, "[]:\n  - a: 1\n    b:\n      []: 1|2\n  - a: 2\n    b:\n      []: 3"),
    ([{"a": [1]}, {"a": 2}], {}, "[2]:\n  - a:\n      [1]: 1\n  - a: 2"),
    ([{"a": {}, "b": 1}], {}, "[1]:\n  - a:\n    b: 1"), ([{"a": []}, 1], {}, "[2]:\n  - a:\n      [0]:\n  - 1"),
    ([{}, 1], {}, "[2]:\n  -\n  - 1"), ([1, {}], {}, "[2]:\n  - 1\n  -"), ([{}, [], {}], {}, "[3]:\n  -\n  - [0]:\n  -"),
    # a nested first member: its block one indent past the member column, so deeper than the members after it
    (NESTED_ITEM, {}, "[2]:\n  - a:\n      x: 1\n    b: 2\n  - 5"),
    (NESTED_ITEM, {"indent": 1}, "[2]:\n - a:\n    x: 1\n   b: 2\n - 5"),
    (NESTED_ITEM, {"indent": 0}, "[2]:\n- a:\n  x: 1\n  b: 2\n- 5"),
    ({"k": [{"a": {"b": {"c": 1}}}]}, {}, "k:\n  [1]:\n    - a:\n        b:\n          c: 1"),
    ({"x": [{"a": {"b": 1}}, 2]}, {}, "x:\n  [2]:\n    - a:\n        b: 1\n    - 2"),
    ([{"a": ADA_BOB, "n": 1}], {}, "[1]:\n  - a:\n      [2]{id,name}:\n        1,Ada\n        2,Bob\n    n: 1"),
    ([{"l": [{"x": 1}, 2], "n": 1}], {}, "[1]:\n  - l:\n      [2]:\n        - x: 1\n        - 2\n    n: 1"),
    ([{"a": 1, "o": {"p": [{"q": 1}, {"r": {}}]}}], {"indent": 3},
     "[1]:\n   - a: 1\n     o:\n        p:\n           [2]:\n              - q: 1\n              - r:"),
    # arrays as list items: the header on the hyphen line, its rows and items one indent past its text
    (TABLE_IN_LIST, {}, "[2]:\n  - [2]{a}:\n      1\n      2\n  - 5"),
    (TABLE_IN_LIST, {"indent": 4}, "[2]:\n    - [2]{a}:\n          1\n          2\n    - 5"),
    (TABLE_IN_LIST, {"indent": 0}, "[2]:\n- [2]{a}:\n  1\n  2\n- 5"),
    ([[1, 2], [3]], {}, "[2]:\n  - [2]: 1,2\n  - [1]: 3"), ([[1, 2], [3]], PIPE, "[2|]:\n  - [2|]: 1|2\n  - [1|]: 3"),
    ([[[1]]], {}, "[1]:\n  - [1]:\n      - [1]: 1"), ([[[1]]], {"indent": 1}, "[1]:\n - [1]:\n    - [1]: 1"),
    ([[{"a": {"b": 1}}, 2]], {}, "[1]:\n  - [2]:\n      - a:\n          b: 1\n      - 2"),
    ({"m": [[{"a": 1, "b": 2}, {}]]}, {**TAB, **NO_MARKERS}, "m:\n  []:\n    - []:\n        - a: 1\n          b: 2\n        -"),
])
def test_uniform_documents(data, options, text):
    assert uniform(data, **options) == text



@pytest.mark.parametrize("indent", [1, 3])
@pytest.mark.parametrize("level", range(8))
def test_each_level_adds_one_indent(indent, level):
    lines = uniform(chain(level, [{"x": 1}, {"x": 2}]), indent=indent).split("\n")
    assert lines[-4:] == [" " * (indent * level) + "z:", " " * (indent * (level + 1)) + "[2]{x}:",
                          " " * (indent * (level + 2)) + "1", " " * (indent * (level + 2)) + "2"]
    # the same chain inside a list item: its members start two columns after the hyphen
    last = uniform([chain(level, 1), 2], indent=indent).split("\n")[-2]
    assert last == (" " * (indent + 2 + indent * level) + "z: 1" if level else " " * indent + "- z: 1")


BANK = [
    {"a": {"b": 1, "c": [1, 2], "d": ADA_BOB}, "e": [{"f": {"g": [[1], []]}, "h": {}}, {}, [{"x": 1}]], "i": {}},
    [NESTED_ITEM, TABLE_IN_LIST, ARRAY_MEMBERS, [{}, [{}], {"a": {}}], {"k": [[1, [2, [3]]]]}],
    {"q": [{"r": [{"s": {"t": [1, {"u": ADA_BOB}]}}]}], "v": [[{"w": 1}, {"w": 2}], [{"w": {}}]]},
]


@pytest.mark.parametrize("indent", [0, 1, 2, 4])
@pytest.mark.parametrize("delimiter, markers", [(",", True), ("\t", False), ("|", True)])
@pytest.mark.parametrize("data", BANK)
def test_the_same_lines_in_the_same_order(data, indent, delimiter, markers):
    options = {"indent": indent, "delimiter": delimiter, "use_length_markers": markers}
    default = encode(data, EncodeOptions(**options)).split("\n")
    lines = uniform(data, **options).split("\n")
    assert all(line.strip() and line == line.rstrip() for line in lines)
    # the default layout writes blank lines after nested list-item members, and "- " for empty objects
    assert [line.strip() for line in lines] == [line.strip() for line in default if line.strip()]


# Data of scalars, inline arrays and tables, and the key under which decode_toon finds the table.
FLAT = [
    ({"a": 1, "b": "x y", "c": [1, "two", None], "d": ADA_BOB, "e": [], "f": True}, "d"),
    ({"outer": {"n": 1, "tags": ["x", "y"], "z": {"rows": ADA_BOB}}, "after": 2}, "rows"),
    ({"o": {"p": {"q": {"rows": ADA_BOB}}}, "r": [1.5, -2]}, "rows"),
    ({"t": ADA_BOB, "u": {"w": ADA_BOB, "x": 1}, "y": "z"}, "t"),  # the line after w's rows is a row to both
    (ADA_BOB, ""), ({"n": [1, 2, 3], "m": {"rows": ADA_BOB}}, "rows"),
]


@pytest.mark.parametrize("indent", [0, 1, 2, 4])
@pytest.mark.parametrize("data, table", FLAT)
def test_decode_toon_reads_both_layouts_alike(data, table, indent):
    default = decode_toon(encode(data, EncodeOptions(indent=indent)))
    assert decode_toon(uniform(data, indent=indent)) == default
    if indent:  # the rows stand indented under their header
        assert default[table] == ADA_BOB


WIDE = [{f"k{i:02}": r * 100 + i for i in (range(40) if r % 2 == 0 else reversed(range(40)))} for r in range(4)]
WIDE_TEXT = "[4]{" + ",".join(f"k{i:02}" for i in range(40)) + "}:" + "".join(
    "\n  " + ",".join(str(r * 100 + i) for i in range(40)) for r in range(4))


@pytest.mark.parametrize("data, options, text", [
    ({"b": 1, "a": 2}, {}, "b: 1\na: 2"), ({"z": {"y": 1, "x": 2}, "a": 0}, {}, "z:\n    y: 1\n    x: 2\na: 0"),
    ({"z": {"y": 1, "x": 2}, "a": 0}, {"uniform_indent": True}, "z:\n  y: 1\n  x: 2\na: 0"),
    # a table by key set: the header in the first row's order, every row in that order
    ([{"id": 1, "name": "a"}, {"name": "b", "id": 2}], {}, "[2]{id,name}:\n  1,a\n  2,b"),
    ([{"name": "a", "id": 1}, {"id": 2, "name": "b"}, {"name": "c", "id": 3}], PIPE, "[3|]{name|id}:\n  a|1\n  b|2\n  c|3"),
    ({"t": [{"b": 1, "a": 2, "c": 3}, {"c": 6, "b": 4, "a": 5}]}, {"uniform_indent": True}, "t:\n  [2]{b,a,c}:\n    1,2,3\n    4,5,6"),
    (WIDE, {}, WIDE_TEXT),
    # other key sets, or a non-scalar in a reordered row: a list, each item in its own order
    ([{"id": 1, "name": "a"}, {"name": "b", "idx": 2}], {}, "[2]:\n  - id: 1\n    name: a\n  - name: b\n    idx: 2"),
    ([{"id": 1, "name": "a"}, {"name": "b"}], {}, "[2]:\n  - id: 1\n    name: a\n  - name: b"),
    ([{"id": 1, "v": 0}, {"v": [5], "id": 2}], {"uniform_indent": True}, "[2]:\n  - id: 1\n    v: 0\n  - v:\n      [1]: 5\n    id: 2"),
    ([{"id": 1, "v": 0}, {"v": [5], "id": 2}], {}, "[2]:\n  - id: 1\n    v: 0\n  - v:\n    [1]: 5\n\n    id: 2"),
])
def test_mapping_order(data, options, text):
    assert encode(data, EncodeOptions(sort_keys=False, **options)) == text


@pytest.mark.parametrize("data, text", [
    ([{"name": "a", "id": 1}, {"id": 2, "name": "b"}], "[2]{id,name}:\n  1,a\n  2,b"), (WIDE, WIDE_TEXT),
])
def test_sorted_keys_by_default(data, text):
    assert encode(data) == encode(data, EncodeOptions(sort_keys=True)) == text


@pytest.mark.parametrize("sort_keys, keys, text", [
    # a repeated key keeps its last value: in the sorted place, or where it first stands
    (True, ["k", "a", "k", "b", "a", "k"], "a: 4\nb: 3\nk: 5"), (False, ["k", "a", "k", "b", "a", "k"], "k: 5\na: 4\nb: 3"),
    # prefixes and an embedded NUL sort by their bytes
    (True, ["ab", "a\x00", "a", "ab"], 'a: 2\n"a\x00": 1\nab: 3'), (False, ["ab", "a\x00", "a", "ab"], 'ab: 3\n"a\x00": 1\na: 2'),
    # more keys than the small-object sort takes: key k{7i mod 20} holds i, so k{j} holds 3j mod 20
    (True, [f"k{i * 7 % 20:02}" for i in range(20)] + ["k07"],
     "\n".join(f"k{j:02}: {20 if j == 7 else j * 3 % 20}" for j in range(20))),
])
def test_keys_with_the_same_text(sort_keys, keys, text):
    data = dict((SameText(k), i) for i, k in enumerate(keys))
    assert encode(data, EncodeOptions(sort_keys=sort_keys)) == text


# --- Properties of encoded text over random JSON-shaped data and options ----------------------------
WHITE_SPACE = set(map(chr, [*range(9, 14), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029,
                            0x202F, 0x205F, 0x3000]))
NUMBER = re.compile(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?|[+-]?(inf|infinity|nan)|0[^.].*", re.I | re.S)
FORCES_QUOTES = re.compile(r'[\x00-\x1f"\-:\[\\\]{}\x7f-\x9f]')
ESCAPES = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def token(s, delimiter):
    if (s in ("", "true", "false", "null") or s[0] in WHITE_SPACE or s[-1] in WHITE_SPACE or delimiter in s
            or NUMBER.fullmatch(s) or FORCES_QUOTES.search(s)):
        return '"' + "".join(ESCAPES.get(c, c) for c in s) + '"'
    return s


# Short texts over an alphabet that reaches every quoting rule.
texts = st.text(alphabet="ab0.e-+: ,|\t\n\"\\[}\x01\x7f\x85\xa0àé\u2028\u3000in", max_size=5) | st.sampled_from(
    ["true", "null", "nan", "-inf", "007", "1e5", "a b", "x.y", "_k", "Ada"])
scalars = st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False, allow_infinity=False) | texts
keys = st.sampled_from(["a", "b", "id", "name", "my key", "b-c", "true"]) | texts
tables = st.integers(0, 3).flatmap(lambda n: st.lists(keys, min_size=n, max_size=n, unique=True)).flatmap(
    lambda ks: st.lists(st.fixed_dictionaries({k: scalars for k in ks}), min_size=1, max_size=4))
data = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(keys, inner, max_size=4) | tables,
                    max_leaves=25)
options = st.builds(EncodeOptions, delimiter=st.sampled_from([",", "\t", "|"]), indent=st.integers(0, 4),
                    use_length_markers=st.booleans(), strict=st.booleans())


def shuffled(value, rng):
    if isinstance(value, dict):
        items = [(k, shuffled(v, rng)) for k, v in value.items()]
        rng.shuffle(items)
        return dict(items)
    return [shuffled(v, rng) for v in value] if isinstance(value, list) else value


@given(data, options, st.randoms(use_true_random=False))
def test_text_shape_and_insertion_order(value, opts, rng):
    text = encode(value, opts)
    assert not text.endswith("\n") and "\r" not in text
    assert all(not line.lstrip(" ") or line.lstrip(" ")[0] not in WHITE_SPACE for line in text.split("\n"))
    assert encode(shuffled(value, rng), opts) == text


# long texts reach the block-wise scan of long strings
@given(texts | st.text(max_size=6) | st.text("abcdefgh é\x85,|\t:-\"", min_size=15, max_size=70),
       st.sampled_from([",", "\t", "|", ";", ", "]))
def test_strings_that_need_quotes_are_quoted(s, delimiter):
    assert encode({"k": s}, EncodeOptions(delimiter=delimiter)) == "k: " + token(s, delimiter)


def has_non_empty_array(value):
    if isinstance(value, dict):
        return any(map(has_non_empty_array, value.values()))
    return isinstance(value, list) and len(value) > 0


@given(data, st.text(max_size=3).filter(lambda d: d not in (",", "\t", "|")))
def test_bad_delimiter_fails_exactly_when_a_non_empty_array_is_written(value, delimiter):
    try:
        encode(value, EncodeOptions(delimiter=delimiter))
        assert not has_non_empty_array(value)
    except ValueError as e:
        assert has_non_empty_array(value) and str(e) == "Invalid delimiter: " + delimiter
