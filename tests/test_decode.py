"""decode_toon: scalar tokens, lines and the pending key, arrays, and the escape errors."""

import pytest
from hypothesis import given, settings, strategies as st

from support import assert_same, outcome
from vardel import decode_toon

TAB = "\t"


@pytest.mark.parametrize("token, expected", [
    # white space before a number (numbers themselves: test_decode_numbers.py); literals, case-sensitive
    ("   42", 42), ("- 5", "- 5"), ("true", True), ("null", None), ("True", "True"), ("[1,2]", "[1,2]"),
    # quoted strings
    ('"42"', "42"), ('"a\\\\n"', "a\\n"), ('""', ""), ('"  a  "', "  a  "), ('"\\"\\\\\\n\\r\\t"', '"\\\n\r\t'),
    ('"say "hi""', 'say "hi"'), ('"abc', '"abc'), ('"a\x01b\x7f"', "a\x01b\x7f"),
    # White_Space is trimmed; U+0000 is not
    ("\u3000x\u00a0", "x"), ("a\x00b", "a\x00b"),
])
def test_token(token, expected):
    assert_same(decode_toon("k: " + token), {"k": expected})


@pytest.mark.parametrize("text, expected", [
    # root forms
    ("", {}), ("hello", {}), ("a:1\nb :  2  ", {"a": 1, "b": 2}), (": 5", {"": 5}), ("- a: 1", {"- a": 1}),
    ("time: 12:30", {"time": "12:30"}), ("k:", {}),
    # keys in byte order, U+0000 kept, and the byte order mark stays in the first key
    ("é: 1\nB: 2\na: 3\n_: 4\nk\x00: \x00", {"B": 2, "_": 4, "a": 3, "k\x00": "\x00", "é": 1}),
    ("\ufeffa: 1", {"\ufeffa": 1}), ("ab: 1\na: 2\nabc: 3\nb: 4\nab: 5", {"a": 2, "ab": 5, "abc": 3, "b": 4}),
    # nesting is flattened and the last line with a key wins
    ("user:\n  name: Ann\n  age: 30\nactive: true", {"active": True, "age": 30, "name": "Ann"}),
    ("a: 1\nb:\n  a: 2", {"a": 2}),
    # line ends: CR LF, a final line feed, a lone CR inside a line; whitespace of any kind changes nothing
    ("a: 1\r\nb: 2\r\n", {"a": 1, "b": 2}), ("a: 1\rb: 2", {"a": "1\rb: 2"}), ("a: x\r\r\n", {"a": "x"}),
    ("\t  a: 1\n   \t \n        b: 2", {"a": 1, "b": 2}), ("\u3000a\u00a0:\u2003x\u3000", {"a": "x"}),
    # quoted keys: unescaped, colons and brackets inside are text
    ('"a b": 1\n"x\\ty":2', {"a b": 1, "x\ty": 2}), ('"a[1]": 5', {"a[1]": 5}),
    ('"a\\":b": 1', {'a":b': 1}), ('"abc: 1', {'"abc': 1}), ('": 1', {'"': 1}), ('"a:b"', {}),
    # the pending key: replaced, kept over blank and colon-less lines, cleared by entries
    ("a:\nb:\n  [1]: x", {"b": ["x"]}), ("a:\n\n  hello\n  [1]: x", {"a": ["x"]}),
    ("a:\nb: 1\n[1]: x", {"": ["x"], "b": 1}), ('"c-d":\n  [2]: 1,2', {"c-d": [1, 2]}),
    ("a:\n  [1]: x\n  [1]: y", {"": ["y"], "a": ["x"]}), ("a:\nlist[2]:\n  - x\n[1]: y", {"a": ["y"]}),
    ("a:\nb[0]:\n[1]: x", {"": ["x"], "b": []}), ("a:\n  [2]:\n    - x\n  [1]: y", {"": ["y"]}),
    # inline values
    ('items[3]: 1, two, "3"', {"items": [1, "two", "3"]}), ("items[3]: a,,b,", {"items": ["a", "", "b", ""]}),
    ("[]: 1,2", {"": [1, 2]}), ("x[2: 1,2", {"x": [1, 2]}), ("x[3]: 1, \u3000\u00a0 ,2", {"x": [1, "", 2]}),
    ("items[2]{a,b}: 1,2", {"items": [1, 2]}), ('"my key"[2]: 1,2', {"my key": [1, 2]}),
    ('"a[1]"[1]: x', {"a[1]": ["x"]}), ("x[1]: 1\nx[2]: 2,3", {"x": [2, 3]}),
    # quoted pieces keep their delimiters
    ('x[2]: "a,b",c', {"x": ["a,b", "c"]}), ('x[3]: 1,  "a,b"  ,c', {"x": [1, "a,b", "c"]}),
    ('x[2]: "a\\",b",c', {"x": ['a",b', "c"]}), ('x[2]: "a\\\\",b', {"x": ["a\\", "b"]}),
    ('x[2]: "a"b,c', {"x": ['"a"b', "c"]}), ('x[2]: a"b,"c', {"x": ['a"b', '"c']}),
    # the delimiter mark
    ("tags[2|]: a|b", {"tags": ["a", "b"]}), ("tags[2]: a|b", {"tags": ["a|b"]}),
    (f"tags[3{TAB}]: a{TAB}{TAB}b", {"tags": ["a", "", "b"]}), (f'tags[2{TAB}]: "a{TAB}b"{TAB}c', {"tags": [f"a{TAB}b", "c"]}),
    ("x[2|]{a|b}:\n  1|2", {"x": [{"a": 1, "b": 2}]}), (f"x[2{TAB}]{{a{TAB}b}}:\n  1{TAB}2", {"x": [{"a": 1, "b": 2}]}),
    # tabular rows
    ("users:\n  [2]{name,id}:\n    Ann,1\n    Bob,2", {"users": [{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bob"}]}),
    ("rows[2]{a,b,c}:\n  1,2\n  3,4,5,6", {"rows": [{"a": 1, "b": 2}, {"a": 3, "b": 4, "c": 5}]}),
    ('t[1]{a}:\n  "p,q"', {"t": [{"a": "p,q"}]}), ("x[2]{a}:", {"x": []}), ("x[1]{}:\n  5", {"x": [{"": 5}]}),
    ("x[1]{a}:\n\t5", {"x": [{"a": 5}]}), ("x[1]{ a , b }:\n   1 , 2 ", {"x": [{"a": 1, "b": 2}]}),
    ('x[1]{a}:\n  [1]: b: "c"', {"x": [{"a": '[1]: b: "c"'}]}),
    # where the rows end
    ("a[2]{x,y}:\n  1,2\n  b: 3", {"a": [{"x": 1, "y": 2}, {"x": "b: 3"}]}),
    ("a[2]{x,y}:\n  1,2\nb: 3", {"a": [{"x": 1, "y": 2}], "b": 3}), ("a[2]{x,y}:\n  1,2\n\n  3,4", {"a": [{"x": 1, "y": 2}]}),
    ("a[1]{x}:\n  1\n \t \n  y: 2", {"a": [{"x": 1}], "y": 2}), ("x[1]{a}:\n\u3000y: 5", {"x": [], "y": 5}),
    ("  x[1]{a}:\n  y: 5", {"x": [], "y": 5}), ("\tx[1]{a}:\n\t y: 5", {"x": [{"a": "y: 5"}]}),
    ("a:\n    b:\n      [1]{x}:\n            1\n    c: 1", {"b": [{"x": 1}], "c": 1}),
    # quoted field names; field lists that are never closed run to the colon
    ('[1]{"a:b","c,d"}:\n  1,2', {"": [{"a:b": 1, "c,d": 2}]}), ('[1|]{"a|b"|c}:\n  1|2', {"": [{"a|b": 1, "c": 2}]}),
    ('x[1]{"a\\"}b", "x{y"}:\n  1,2', {"x": [{'a"}b': 1, "x{y": 2}]}),
    ("x[1]{a,b:\n  1,2", {"x": [{"a": 1, "b": 2}]}), ("x}[1]{a:\n  1", {"x}": [{"a": 1}]}),
    # a left brace before the bracket belongs to the name; only one after it starts a field list
    ('{"[:8"', {'{"': ['8"']}), ('{"[:":', {'{"': ['":']}), ("a{b[2]: x,y", {"a{b": ["x", "y"]}),
    ('k{"a[1]:b"}: 1', {'k{"a': ['b"}: 1']}), ("a{[2]{x}:\n  1\n  2", {"a{": [{"x": 1}, {"x": 2}]}),
    ("{[0]:", {"{": []}), ('{"a,b"[1]{"c:d"}:\n  1', {'{"a,b"': [{"c:d": 1}]}),
    # empty arrays come back; list arrays are dropped
    ("empty[0]:", {"empty": []}), ("a:\n  [0]:", {"a": []}), ("[0|]:", {"": []}),
    ("list[2]:\n  - x\n  - y", {}), ("[]:", {}),
])
def test_document(text, expected):
    assert_same(decode_toon(text), expected)


def test_table_rows_are_independent_dicts():
    rows = decode_toon("t[3]{k,v}:\n  1,x\n  2,y\n  3,z")["t"]
    rows[0]["k"] = 99
    assert rows[1:] == [{"k": 2, "v": "y"}, {"k": 3, "v": "z"}]


# Pieces of lines, so that colons, brackets, quotes, escapes and whitespace meet in every order.
LINE_PIECES = ["a", "key", "7", "-1.5", ":", ": ", "[", "]", "[2]", "{x,y}", ",", "|", '"', "\\",
               " ", "  ", "\t", "\r", "\u00a0", "\u3000", "é"]
LINES = st.lists(st.lists(st.sampled_from(LINE_PIECES), max_size=8).map("".join), max_size=8)


@settings(max_examples=400)
@given(LINES.map("\n".join))
def test_indenting_every_line_changes_nothing(text):
    # A line that starts with a plain character is split in one pass of its own; an indented one
    # is taken whole first. Both read the same, errors and their line numbers included.
    indented = "\n".join(" " + line for line in text.split("\n"))
    assert repr(outcome(decode_toon, indented)) == repr(outcome(decode_toon, text))


@pytest.mark.parametrize("text, message", [
    ('k: "a\\q"', "Invalid escape sequence: \\q"), ('k: "\\u0041"', "Invalid escape sequence: \\u"),
    ('k: "\\😀"', "Invalid escape sequence: \\😀"), ('k: "abc\\"', "Unterminated escape sequence"),
    # the key is read before the value; escapes are checked in every place a quoted text stands
    ('"a\\q": "\\z"', "Invalid escape sequence: \\q"), ('"a\\q":\nb: 1', "Invalid escape sequence: \\q"),
    ('x[2]: 1,"\\q"', "Invalid escape sequence: \\q"), ('x[1]{"a\\q"}:\n  1', "Invalid escape sequence: \\q"),
    ('"x\\q"[1]:\n  - 1', "Invalid escape sequence: \\q"), ('x[2]{a}:\n  1\n  "abc\\"', "Unterminated escape sequence"),
])
def test_escape_errors(text, message):
    with pytest.raises(ValueError) as info:
        decode_toon(text)
    assert type(info.value) is ValueError and str(info.value) == "Decoding error: " + message

