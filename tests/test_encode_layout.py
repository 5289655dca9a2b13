"""The uniform layout (EncodeOptions.uniform_indent) and the mapping's own key order (sort_keys=False)."""

import pytest

from vardel import EncodeOptions, decode_toon, encode

ADA_BOB = [{"id": 1, "name": "Ada"}, {"id": 2, "name": "Bob"}]
ARRAY_MEMBERS = [{"a": 1, "b": [1, 2]}, {"a": 2, "b": [3]}]
NESTED_ITEM = [{"a": {"x": 1}, "b": 2}, 5]
TABLE_IN_LIST = [[{"a": 1}, {"a": 2}], 5]
DEEP = {"a": {"b": 1, "c": {"d": 2}, "e": 3}}
TAB, PIPE, NO_MARKERS = {"delimiter": "\t"}, {"delimiter": "|"}, {"use_length_markers": False}


def uniform(data, **options):
    return encode(data, EncodeOptions(uniform_indent=True, **options))


@pytest.mark.parametrize("data, options, text", [
    (5, {}, "5"), ({}, {}, ""), ([], {}, "[0]:"), ({"a": 1, "b": "x"}, {}, "a: 1\nb: x"),
    # objects in objects: one indent per level
    ({"a": {"b": 1}}, {}, "a:\n  b: 1"), ({"a": {"b": 1}}, {"indent": 4}, "a:\n    b: 1"),
    ({"a": {"b": 1}}, {"indent": 1}, "a:\n b: 1"), ({"a": {"b": 1}}, {"indent": 0}, "a:\nb: 1"),
    ({"a": {"b": {"c": 1}}}, {}, "a:\n  b:\n    c: 1"), (DEEP, {}, "a:\n  b: 1\n  c:\n    d: 2\n  e: 3"),
    (DEEP, {"indent": 3}, "a:\n   b: 1\n   c:\n      d: 2\n   e: 3"), (DEEP, {"indent": 0}, "a:\nb: 1\nc:\nd: 2\ne: 3"),
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
    ([1, 2], PIPE, "[2|]: 1|2"), ([1, 2], {**TAB, **NO_MARKERS}, "[]: 1\t2"),
    (ADA_BOB, {}, "[2]{id,name}:\n  1,Ada\n  2,Bob"), (ADA_BOB, TAB, "[2\t]{id\tname}:\n  1\tAda\n  2\tBob"),
    (ADA_BOB, {"indent": 0}, "[2]{id,name}:\n1,Ada\n2,Bob"), (ADA_BOB, {"indent": 4, **NO_MARKERS}, "[]{id,name}:\n    1,Ada\n    2,Bob"),
    ([{}, {}], {}, "[2]{}:"),
    # list items: further members under the first member's text, no empty lines
    ([{"a": 1, "b": 2}, {"a": 3}], {}, "[2]:\n  - a: 1\n    b: 2\n  - a: 3"),
    ([{"a": 1, "b": 2}, {"a": 3}], {"indent": 4}, "[2]:\n    - a: 1\n      b: 2\n    - a: 3"),
    ([{"a": 1, "b": 2}, {"a": 3}], {"indent": 1}, "[2]:\n - a: 1\n   b: 2\n - a: 3"),
    ([{"a": 1, "b": 2}, {"a": 3}], {"indent": 0}, "[2]:\n- a: 1\n  b: 2\n- a: 3"),
    (ARRAY_MEMBERS, {}, "[2]:\n  - a: 1\n    b:\n      [2]: 1,2\n  - a: 2\n    b:\n      [1]: 3"),
    (ARRAY_MEMBERS, {**PIPE, **NO_MARKERS}, "[]:\n  - a: 1\n    b:\n      []: 1|2\n  - a: 2\n    b:\n      []: 3"),
    ([{"a": [1]}, {"a": 2}], {}, "[2]:\n  - a:\n      [1]: 1\n  - a: 2"),
    ([{"a": {}, "b": 1}], {}, "[1]:\n  - a:\n    b: 1"), ([{"a": []}, 1], {}, "[2]:\n  - a:\n      [0]:\n  - 1"),
    ([{}, 1], {}, "[2]:\n  -\n  - 1"), ([1, {}], {}, "[2]:\n  - 1\n  -"), ([{}, [], {}], {}, "[3]:\n  -\n  - [0]:\n  -"),
    # a nested first member: its block one indent past the member column, so deeper than the members after it
    (NESTED_ITEM, {}, "[2]:\n  - a:\n      x: 1\n    b: 2\n  - 5"),
    (NESTED_ITEM, {"indent": 4}, "[2]:\n    - a:\n          x: 1\n      b: 2\n    - 5"),
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


def chain(levels, leaf):
    """{"k1": {"k2": ... {"z": leaf}}} with the member "z" at nesting level `levels`."""
    data = {"z": leaf}
    for level in range(levels, 0, -1):
        data = {f"k{level}": data}
    return data


@pytest.mark.parametrize("indent", [1, 3])
@pytest.mark.parametrize("level", range(8))
def test_each_level_adds_one_indent(indent, level):
    lines = uniform(chain(level, [{"x": 1}, {"x": 2}]), indent=indent).split("\n")
    assert lines[-4:] == [" " * (indent * level) + "z:", " " * (indent * (level + 1)) + "[2]{x}:",
                          " " * (indent * (level + 2)) + "1", " " * (indent * (level + 2)) + "2"]
    # the same chain inside a list item: its members start two columns after the hyphen
    last = uniform([chain(level, 1), 2], indent=indent).split("\n")[-2]
    assert last == (" " * (indent + 2 + indent * level) + "z: 1" if level else " " * indent + "- z: 1")


def test_lines_indented_too_far_still_fail():
    message = "Indentation too large: a line would be indented by more than 1048576 spaces (indent 524289)"
    with pytest.raises(OverflowError, match=message.replace("(", r"\(").replace(")", r"\)")):
        uniform({"a": {"b": {"c": 1}}}, indent=2**19 + 1)
    assert uniform({"a": {"b": {"c": 1}}}, indent=2**19).endswith("\n" + " " * 2**20 + "c: 1")


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


def test_default_layout_is_unchanged_by_the_option_default():
    for data in BANK + FLAT:
        assert encode(data, EncodeOptions(uniform_indent=False)) == encode(data)


KEEPS_ORDER = encode({"b": 1, "a": 2}, EncodeOptions(sort_keys=False)) == "b: 1\na: 2"
keeps_order = pytest.mark.skipif(not KEEPS_ORDER, reason="the conversion still sorts every mapping")
WIDE = [{f"k{i:02}": r * 100 + i for i in (range(40) if r % 2 == 0 else reversed(range(40)))} for r in range(4)]
WIDE_TEXT = "[4]{" + ",".join(f"k{i:02}" for i in range(40)) + "}:" + "".join(
    "\n  " + ",".join(str(r * 100 + i) for i in range(40)) for r in range(4))


@keeps_order
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
])
def test_mapping_order(data, options, text):
    assert encode(data, EncodeOptions(sort_keys=False, **options)) == text


@pytest.mark.parametrize("data, text", [
    ([{"name": "a", "id": 1}, {"id": 2, "name": "b"}], "[2]{id,name}:\n  1,a\n  2,b"),
    (WIDE, WIDE_TEXT), ({"b": 1, "a": {"d": 1, "c": 2}}, "a:\n    c: 2\n    d: 1\nb: 1"),
])
def test_sorted_keys_by_default(data, text):
    assert encode(data) == encode(data, EncodeOptions(sort_keys=True)) == text
