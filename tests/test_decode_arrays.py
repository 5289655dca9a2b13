"""Array headers: names, inline values, tabular rows, empty and dropped arrays."""

import pytest
from vardel import decode_toon

from decode_helpers import assert_same

TAB = "\t"

ARRAYS = [
    # inline values
    ('items[3]: 1, two, "3"', {"items": [1, "two", "3"]}),
    ("items[3]: a,,b,", {"items": ["a", "", "b", ""]}),
    ("x[3]: ,,", {"x": ["", "", ""]}),
    ("x[1]: 5", {"x": [5]}),
    ("[2]: x,y", {"": ["x", "y"]}),
    ("[]: 1,2", {"": [1, 2]}),
    ("x[2: 1,2", {"x": [1, 2]}),
    ("items[2]{a,b}: 1,2", {"items": [1, 2]}),
    ('"my key"[2]: 1,2', {"my key": [1, 2]}),
    ('"a[1]"[1]: x', {"a[1]": ["x"]}),
    ("x[1]: 1\nx[2]: 2,3", {"x": [2, 3]}),
    # quoted pieces keep their delimiters
    ('x[2]: "a,b",c', {"x": ["a,b", "c"]}),
    ('x[3]: 1,  "a,b"  ,c', {"x": [1, "a,b", "c"]}),
    ('x[2]: "a\\",b",c', {"x": ['a",b', "c"]}),
    ('x[2]: "a\\\\",b', {"x": ["a\\", "b"]}),
    ('x[2]: "a"b,c', {"x": ['"a"b', "c"]}),
    ('x[2]: "a,b', {"x": ['"a', "b"]}),
    ('x[2]: a"b,"c', {"x": ['a"b', '"c']}),
    # the delimiter mark
    ("tags[2|]: a|b", {"tags": ["a", "b"]}),
    ("tags[2]: a|b", {"tags": ["a|b"]}),
    (f"tags[3{TAB}]: a{TAB}{TAB}b", {"tags": ["a", "", "b"]}),
    (f'tags[2{TAB}]: "a{TAB}b"{TAB}c', {"tags": [f"a{TAB}b", "c"]}),
    ("x[2|]{a|b}:\n  1|2", {"x": [{"a": 1, "b": 2}]}),
    (f"x[2{TAB}]{{a{TAB}b}}:\n  1{TAB}2", {"x": [{"a": 1, "b": 2}]}),
    # tabular rows
    (
        "users[2]{id,name}:\n  1,Ann\n  2,Bob",
        {"users": [{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bob"}]},
    ),
    (
        "users:\n  [2]{id,name}:\n    1,Ann\n    2,Bob",
        {"users": [{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bob"}]},
    ),
    (
        "rows[2]{a,b,c}:\n  1,2\n  3,4,5,6",
        {"rows": [{"a": 1, "b": 2}, {"a": 3, "b": 4, "c": 5}]},
    ),
    ('t[1]{a}:\n  "p,q"', {"t": [{"a": "p,q"}]}),
    ("x[2]{a}:", {"x": []}),
    ("x[1]{a}:\n\t5", {"x": [{"a": 5}]}),
    ("x[1]{}:\n  5", {"x": [{"": 5}]}),
    ("x[1]{ a , b }:\n   1 , 2 ", {"x": [{"a": 1, "b": 2}]}),
    ("x[1]{a,b,a}:\n  1,2,3", {"x": [{"a": 3, "b": 2}]}),
    ("x[1]{a,b,a}:\n  1,2", {"x": [{"a": 1, "b": 2}]}),
    ("x[1]{b,a,b,a}:\n  1,2,3,4\n  5", {"x": [{"a": 4, "b": 3}, {"b": 5}]}),
    ('x[1]{a}:\n  [1]: b: "c"', {"x": [{"a": '[1]: b: "c"'}]}),
    # where the rows end
    ("a[2]{x,y}:\n  1,2\n  b: 3", {"a": [{"x": 1, "y": 2}, {"x": "b: 3"}]}),
    ("a[2]{x,y}:\n  1,2\nb: 3", {"a": [{"x": 1, "y": 2}], "b": 3}),
    ("a[2]{x,y}:\n  1,2\n\n  3,4", {"a": [{"x": 1, "y": 2}]}),
    ("a[1]{x}:\n  1\n \t \n  y: 2", {"a": [{"x": 1}], "y": 2}),
    ("x[1]{a}:\n\u3000y: 5", {"x": [], "y": 5}),
    ("  x[1]{a}:\n  y: 5", {"x": [], "y": 5}),
    ("\tx[1]{a}:\n\t y: 5", {"x": [{"a": "y: 5"}]}),
    (
        "a:\n    b:\n      [1]{x}:\n            1\n    c: 1",
        {"b": [{"x": 1}], "c": 1},
    ),
    # quoted field names
    ('[1]{"a:b","c,d"}:\n  1,2', {"": [{"a:b": 1, "c,d": 2}]}),
    ('[1|]{"a|b"|c}:\n  1|2', {"": [{"a|b": 1, "c": 2}]}),
    ('x[1]{"a\\"}b", "x{y"}:\n  1,2', {"x": [{'a"}b': 1, "x{y": 2}]}),
    # field lists that are never closed run to the colon
    ("x[1]{a,b:\n  1,2", {"x": [{"a": 1, "b": 2}]}),
    ("x}[1]{a:\n  1", {"x}": [{"a": 1}]}),
    # empty arrays come back; list arrays are dropped
    ("empty[0]:", {"empty": []}),
    ("a:\n  [0]:", {"a": []}),
    ("[0|]:", {"": []}),
    (f"[0{TAB}]:", {"": []}),
    ("list[2]:\n  - x\n  - y", {}),
    ("x[3]:", {}),
    ("[]:", {}),
    # names and the pending key
    ('"q":\n  [1]: 1', {"q": [1]}),
    ("a:\nlist[2]:\n  - x\n[1]: y", {"a": ["y"]}),
    ("a:\nb[1]: 5\n[1]: x", {"b": [5], "": ["x"]}),
    ("a:\nb[0]:\n[1]: x", {"b": [], "": ["x"]}),
    ("a:\n  [2]:\n    - x\n  [1]: y", {"": ["y"]}),
    ("a:\n  [1]{k}:\n    1\n  [1]: y", {"a": [{"k": 1}], "": ["y"]}),
]


@pytest.mark.parametrize("text,expected", ARRAYS)
def test_array(text, expected):
    assert_same(decode_toon(text), expected)


ARRAY_ERRORS = [
    ('x[2]: 1,"\\q"', "Invalid escape sequence: \\q"),
    ('x[1]{a}:\n  "\\q"', "Invalid escape sequence: \\q"),
    ('x[1]{a,b}:\n  1,"\\q",3', "Invalid escape sequence: \\q"),
    ('x[1]{"a\\q"}:\n  1', "Invalid escape sequence: \\q"),
    ('"x\\q"[1]: 1', "Invalid escape sequence: \\q"),
    ('"x\\q"[1]:\n  - 1', "Invalid escape sequence: \\q"),
    ('x[2]{a}:\n  1\n  "abc\\"', "Unterminated escape sequence"),
]


@pytest.mark.parametrize("text,message", ARRAY_ERRORS)
def test_array_error(text, message):
    with pytest.raises(ValueError) as info:
        decode_toon(text)
    assert str(info.value) == "Decoding error: " + message
