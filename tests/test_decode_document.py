"""Document structure: lines, keys, block lines and the pending key."""

import pytest
from vardel import DecodeOptions, decode_toon

from decode_helpers import assert_same

DOCUMENTS = [
    # root forms
    ("", {}),
    ("\n\n  \n\t\n", {}),
    ("hello", {}),
    ("name: Ann\nage: 30", {"age": 30, "name": "Ann"}),
    ("a:1\nb :  2  ", {"a": 1, "b": 2}),
    (": 5", {"": 5}),
    ("- a: 1", {"- a": 1}),
    ("time: 12:30", {"time": "12:30"}),
    # nesting is flattened and the last line with a key wins
    ("user:\n  name: Ann\n  age: 30\nactive: true", {"active": True, "age": 30, "name": "Ann"}),
    ("a: 1\nb:\n  a: 2", {"a": 2}),
    ("tags:\n  [3]: a,b,c", {"tags": ["a", "b", "c"]}),
    ("k:", {}),
    # line ends: CR LF, a final line feed, a lone CR inside a line
    ("a: 1\r\nb: 2\r\n", {"a": 1, "b": 2}),
    ("a: 1\nb: 2\n", {"a": 1, "b": 2}),
    ("a: 1\rb: 2", {"a": "1\rb: 2"}),
    ("a: x\r\r\n", {"a": "x"}),
    # blank lines, indentation and Unicode whitespace change nothing
    ("a: 1\n   \t \nb: 2", {"a": 1, "b": 2}),
    ("\t  a: 1\n        b: 2", {"a": 1, "b": 2}),
    ("\u3000a\u00a0:\u2003x\u3000", {"a": "x"}),
    ("\ufeffa: 1", {"\ufeffa": 1}),
    # quoted keys: unescaped, colons and brackets inside are text
    ('"a b": 1\n"x\\ty":2', {"a b": 1, "x\ty": 2}),
    ('"a:b": 1', {"a:b": 1}),
    ('"a[1]": 5', {"a[1]": 5}),
    ('"a\\":b": 1', {'a":b': 1}),
    ('  "": x', {"": "x"}),
    ('"a"b: 1', {'"a"b': 1}),
    ('"abc: 1', {'"abc': 1}),
    ('abc": 1', {'abc"': 1}),
    ('": 1', {'"': 1}),
    ('"a:b"', {}),
    # the pending key: replaced, kept over blank and colon-less lines, cleared by entries
    ("a:\nb:\n  [1]: x", {"b": ["x"]}),
    ("a:\n\n  hello\n  [1]: x", {"a": ["x"]}),
    ("a:\nb: 1\n[1]: x", {"b": 1, "": ["x"]}),
    ('"c-d":\n  [2]: 1,2', {"c-d": [1, 2]}),
    ("a:\n  [1]: x\n  [1]: y", {"a": ["x"], "": ["y"]}),
]


@pytest.mark.parametrize("text,expected", DOCUMENTS)
def test_document(text, expected):
    assert_same(decode_toon(text), expected)


def test_keys_come_back_in_byte_order():
    assert list(decode_toon("b: 1\nB: 2\né: 3\na: 4\n_: 5")) == ["B", "_", "a", "b", "é"]


@pytest.mark.parametrize("options", [None, DecodeOptions(strict=True), DecodeOptions(strict=False)])
def test_options_change_nothing(options):
    text = "a:\n  [2]{x,y}:\n    1,2\nb: 3\nhello"
    assert_same(decode_toon(text, options), {"a": [{"x": 1, "y": 2}], "b": 3})


DOCUMENT_ERRORS = [
    # the key is read before the value, so a bad key is the error reported
    ('"a\\q": 1', "Invalid escape sequence: \\q"),
    ('"a\\q": "\\z"', "Invalid escape sequence: \\q"),
    ('a: "\\z"', "Invalid escape sequence: \\z"),
    ('ok: 1\n"k\\": 1', "Unterminated escape sequence"),
    # block keys are read when their line is
    ('"a\\q":\nb: 1', "Invalid escape sequence: \\q"),
]


@pytest.mark.parametrize("text,message", DOCUMENT_ERRORS)
def test_document_error(text, message):
    with pytest.raises(ValueError) as info:
        decode_toon(text)
    assert str(info.value) == "Decoding error: " + message
