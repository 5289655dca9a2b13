"""Scalar tokens, read as the value of a key-value line."""

import pytest
from vardel import decode_toon

from decode_helpers import assert_same

MAX_DOUBLE = 1.7976931348623157e308

TOKENS = [
    # integers: sign, leading zeros, the 64-bit bounds and one step beyond them
    ("42", 42),
    ("   42", 42),
    ("-0", 0),
    ("007", 7),
    ("+5", 5),
    ("-7", -7),
    ("9223372036854775807", 9223372036854775807),
    ("9223372036854775808", 9223372036854775808),
    ("18446744073709551615", 18446744073709551615),
    ("018446744073709551615", 18446744073709551615),
    ("18446744073709551616", 18446744073709551616.0),
    ("-9223372036854775808", -9223372036854775808),
    ("-9223372036854775809", -9223372036854775809.0),
    ("123456789012345678901234567890", 1.2345678901234568e29),
    # decimal floating-point form
    ("1.0", 1.0),
    (".5", 0.5),
    ("-.5", -0.5),
    ("+.5e1", 5.0),
    ("5.", 5.0),
    ("00.5", 0.5),
    ("1E3", 1000.0),
    ("1e5", 100000.0),
    ("1E-3", 0.001),
    ("-0.0", -0.0),
    # correct rounding: halfway cases go to the even neighbour
    ("9007199254740993.0", 9007199254740992.0),
    ("9007199254740995.0", 9007199254740996.0),
    ("1.7976931348623157e308", MAX_DOUBLE),
    ("1e-310", 1e-310),
    ("4.9406564584124654e-324", 5e-324),
    ("2.4703282292062328e-324", 5e-324),
    # below the smallest double: zero of the token's sign
    ("2.4703282292062327e-324", 0.0),
    ("1e-400", 0.0),
    ("-1e-400", -0.0),
    ("1e-99999999999999999999", 0.0),
    ("0e99999999999999999999", 0.0),
    ("0." + "0" * 400 + "1", 0.0),
    # too large for a double, or not finite: strings
    ("1e400", "1e400"),
    ("-1e400", "-1e400"),
    ("1.7976931348623159e308", "1.7976931348623159e308"),
    ("1" + "0" * 400, "1" + "0" * 400),
    ("inf", "inf"),
    ("Infinity", "Infinity"),
    ("NaN", "NaN"),
    # almost numbers
    ("0x10", "0x10"),
    ("1_000", "1_000"),
    ("+", "+"),
    ("-", "-"),
    (".", "."),
    ("1e", "1e"),
    ("1.2.3", "1.2.3"),
    ("- 5", "- 5"),
    # literals are case-sensitive
    ("true", True),
    ("false", False),
    ("null", None),
    ("True", "True"),
    ("FALSE", "FALSE"),
    ("Null", "Null"),
    ("[1,2]", "[1,2]"),
    # quoted strings
    ('"42"', "42"),
    ('"true"', "true"),
    ('""', ""),
    ('"  a  "', "  a  "),
    ('"a\\tb"', "a\tb"),
    ('"a\\\\n"', "a\\n"),
    ('"\\"\\\\\\n\\r\\t"', '"\\\n\r\t'),
    ('"say "hi""', 'say "hi"'),
    ('"abc', '"abc'),
    ('"', '"'),
    ('"café ☃ 😀"', "café ☃ 😀"),
    ('"a\x01b\x7f"', "a\x01b\x7f"),
    # Unicode trimming
    ("\u3000x\u00a0", "x"),
    ("\u2028 x \u205f", "x"),
    ("x\x00y", "x\x00y"),
]


@pytest.mark.parametrize("token,expected", TOKENS)
def test_token(token, expected):
    assert_same(decode_toon("k: " + token), {"k": expected})


@pytest.mark.parametrize("piece", ["", "  ", " \u3000\u00a0 "])
def test_empty_token_is_empty_string(piece):
    # An empty value part opens a block, so empty tokens are met as array pieces.
    assert_same(decode_toon(f"x[3]: 1,{piece},2"), {"x": [1, "", 2]})


ESCAPE_ERRORS = [
    ('"a\\q"', "Invalid escape sequence: \\q"),
    ('"\\u0041"', "Invalid escape sequence: \\u"),
    ('"\\/"', "Invalid escape sequence: \\/"),
    ('"\\b"', "Invalid escape sequence: \\b"),
    ('"\\0"', "Invalid escape sequence: \\0"),
    ('"\\é"', "Invalid escape sequence: \\é"),
    ('"x\\☃y"', "Invalid escape sequence: \\☃"),
    ('"\\😀"', "Invalid escape sequence: \\😀"),
    ('"abc\\"', "Unterminated escape sequence"),
    ('"\\"', "Unterminated escape sequence"),
    ('"\\\\\\"', "Unterminated escape sequence"),
    ('"ok\\n then \\x"', "Invalid escape sequence: \\x"),
]


@pytest.mark.parametrize("token,message", ESCAPE_ERRORS)
def test_escape_error(token, message):
    with pytest.raises(ValueError) as info:
        decode_toon("k: " + token)
    assert str(info.value) == "Decoding error: " + message
