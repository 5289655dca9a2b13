"""Objects and arrays: member lines, key order, indentation, the four array forms, delimiters."""

import pytest

from support import outcome
from vardel import EncodeOptions, encode

ADA_BOB = [{"id": 1, "name": "Ada"}, {"id": 2, "name": "Bob"}]
ARRAY_MEMBERS = [{"a": 1, "b": [1, 2]}, {"a": 2, "b": [3]}]
NESTED_ITEM = [{"a": {"x": 1}, "b": 2}, 5]
TABLE_IN_LIST = [[{"a": 1}, {"a": 2}], 5]
DEEP = {"a": {"b": 1, "c": {"d": 2}, "e": 3}}
TAB, PIPE, NO_MARKERS = {"delimiter": "\t"}, {"delimiter": "|"}, {"use_length_markers": False}


@pytest.mark.parametrize("data, options, text", [
    (5, {}, "5"), ("hi", {}, "hi"), ({}, {}, ""),
    ({"name": "Ada", "age": 36, "admin": False}, {}, "admin: false\nage: 36\nname: Ada"),
    ({"a": {"b": 1}}, {}, "a:\n    b: 1"), ({"a": {"b": 1}}, {"indent": 4}, "a:\n        b: 1"),
    ({"a": {"b": 1}}, {"indent": 0}, "a:\nb: 1"), ({"a": {"b": {"c": 1}}}, {}, "a:\n    b:\n          c: 1"),
    (DEEP, {}, "a:\n    b: 1\n    c:\n          d: 2\n    e: 3"), (DEEP, {"indent": 0}, "a:\nb: 1\nc:\nd: 2\ne: 3"),
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
    (ADA_BOB, TAB, "[2\t]{id\tname}:\n  1\tAda\n  2\tBob"), (ADA_BOB, NO_MARKERS, "[]{id,name}:\n  1,Ada\n  2,Bob"),
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


@pytest.mark.parametrize("data, indent, text", [
    ({"a": {"b": 1}}, 2**19, "a:\n" + " " * 2**20 + "b: 1"),
    # only written lines count: these hold no indented line at all
    ({"a": {}, "b": 1}, 2**62, "a:\nb: 1"), ([1, 2], 2**64 - 1, "[2]: 1,2"), ([{}, {}], 2**64 - 1, "[2]{}:"),
    ({"a": [1]}, 2**62, None), ([1, 2, {"a": 1}], 2**63, None), ({"a": {"b": 1}}, 2**64 - 1, None),
])
def test_lines_indented_too_far_fail(data, indent, text):
    message = (f"Indentation too large: a line would be indented by 4611686018427387904 spaces or more, "
               f"more than a text can hold (indent {indent})")
    assert outcome(encode, data, EncodeOptions(indent=indent)) == (("ok", text) if text else (OverflowError, message))


@pytest.mark.parametrize("data, indent, lines, last", [
    # lines past a megabyte of indentation are written when the text can be held
    ({"a": {"b": 1}}, 2**19 + 1, 2, " " * (2**20 + 2) + "b: 1"),
    ([{"a": {"b": 1}}], 2**20, 3, " " * 2**22 + "b: 1"),
    (chain(150, 1), 100, 151, " " * (100 * 150 * 153 // 2) + "z: 1"),  # about 58 MB of text
])
def test_deep_indentation_is_written(data, indent, lines, last):
    text = encode(data, EncodeOptions(indent=indent))
    assert text.count("\n") + 1 == lines and text[text.rindex("\n") + 1:] == last


@pytest.mark.parametrize("delimiter", [";", ", ", "", "é"])
@pytest.mark.parametrize("data", [[1], [{"a": 1}], [[1]], {"x": {"y": [None]}}])
def test_non_empty_arrays_refuse_other_delimiters(data, delimiter):
    assert outcome(encode, data, EncodeOptions(delimiter=delimiter)) == (ValueError, "Invalid delimiter: " + delimiter)


@pytest.mark.parametrize("data, options, error, message", [
    # the conversion runs first; within the encoder, the first failure in writing order wins
    ({"a": [1], "b": b"x"}, {"delimiter": ";"}, ValueError, "Python conversion error: "),
    ({"a": {"b": 1}, "c": [1]}, {"delimiter": ";", "indent": 2**62}, OverflowError, "Ind"),
    ([[1], {"c": {"b": 1}}], {"delimiter": ";", "indent": 2**62}, ValueError, "Invalid"),
])
def test_first_failure_wins(data, options, error, message):
    kind, text = outcome(encode, data, EncodeOptions(**options))
    assert kind is error and text.startswith(message)

