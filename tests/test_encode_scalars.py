"""Scalar tokens: null, booleans, numbers, string quoting and keys."""

from decimal import Decimal

import pytest
from hypothesis import given
from hypothesis import strategies as st

from vardel import EncodeOptions, encode


@pytest.mark.parametrize(
    "value, token",
    [
        (None, "null"),
        (True, "true"),
        (False, "false"),
        (42, "42"),
        (-7, "-7"),
        (9223372036854775807, "9223372036854775807"),
        # Past the signed range the digits stay exact, not rounded through a double.
        (9223372036854775808, "9223372036854775808"),
        (18446744073709551615, "18446744073709551615"),
        (-9223372036854775808, "-9223372036854775808"),
        (2.5, "2.5"),
        (3.0, "3"),
        (-0.0, "-0"),
        (0.0, "0"),
        (0.00001, "0.00001"),
        (1e-7, "0.0000001"),
        (1.5e-7, "0.00000015"),
        (0.1 + 0.2, "0.30000000000000004"),
        (123456789.125, "123456789.125"),
        (1e16, "10000000000000000"),
        (10**16, "10000000000000000"),
        (1e21, "1000000000000000000000"),
        (1e300, "1" + "0" * 300),
        (5e-324, "0." + "0" * 323 + "5"),
        (-5e-324, "-0." + "0" * 323 + "5"),
        (1.7976931348623157e308, "17976931348623157" + "0" * 292),
        (2.2250738585072014e-308, "0." + "0" * 307 + "22250738585072014"),
    ],
)
def test_number_and_keyword_tokens(value, token):
    assert encode(value) == token


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_double_is_shortest_round_trip_without_exponent(x):
    text = encode(x)
    # repr gives the shortest round-trip digits; lay them out positionally.
    expected = format(Decimal(repr(x)), "f")
    if "." in expected:
        expected = expected.rstrip("0").rstrip(".")
    assert text == expected
    assert float(text) == x


@pytest.mark.parametrize(
    "text, token",
    [
        ("hello", "hello"),
        ("hello world", "hello world"),
        ("", '""'),
        ("true", '"true"'),
        ("True", "True"),
        ("42", '"42"'),
        ("3.14", '"3.14"'),
        ("007", '"007"'),
        ("0x1F", '"0x1F"'),
        ("NaN", '"NaN"'),
        ("-5", '"-5"'),
        ("2024-01-01", '"2024-01-01"'),
        ("a:b", '"a:b"'),
        ("[x]", '"[x]"'),
        ("a,b", '"a,b"'),
        ("a|b", "a|b"),
        ("a#b", "a#b"),
        ("café", "café"),
        ('say "hi"', '"say \\"hi\\""'),
        ("a\\b", '"a\\\\b"'),
        ("line1\nline2", '"line1\\nline2"'),
        (" x", '" x"'),
        (" ", '" "'),
        ("a b", "a b"),
        ("a\t", '"a\\t"'),
        # Numbers by the decimal grammar, and the words inf, infinity, nan.
        ("+5", '"+5"'),
        (".5", '".5"'),
        ("5.", '"5."'),
        ("1e5", '"1e5"'),
        ("1E-3", '"1E-3"'),
        ("1e999", '"1e999"'),
        ("inf", '"inf"'),
        ("-inf", '"-inf"'),
        ("Infinity", '"Infinity"'),
        ("NAN", '"NAN"'),
        ("+nan", '"+nan"'),
        ("in", "in"),
        ("nano", "nano"),
        ("1_000", "1_000"),
        ("1e", "1e"),
        ("e5", "e5"),
        (".", "."),
        ("1.2.3", "1.2.3"),
        ("٣", "٣"),  # a non-ASCII digit is not a number
        # A leading zero followed by anything but a point.
        ("0", '"0"'),
        ("00", '"00"'),
        ("0abc", '"0abc"'),
        ("0.5abc", "0.5abc"),
        # Structural and control characters force quotes and stay raw inside.
        ("{", '"{"'),
        ("a-b", '"a-b"'),
        ("\x01", '"\x01"'),
        ("\x1b[0m", '"\x1b[0m"'),
        ("a\x7f", '"a\x7f"'),
        ("a\x85b", '"a\x85b"'),
        ("a\xa0b", "a\xa0b"),
        ("a\u2028b", "a\u2028b"),
        ("a/b=c@d'e", "a/b=c@d'e"),
        # Whitespace of any kind at either end is quoted: the reader trims it.
        ("\xa0x", '"\xa0x"'),
        ("x\u3000", '"x\u3000"'),
        ("\u2028", '"\u2028"'),
        ("x\u200a", '"x\u200a"'),
    ],
)
def test_string_tokens(text, token):
    assert encode(text) == token
    assert encode({"k": text}) == "k: " + token


@pytest.mark.parametrize(
    "text, delimiter, token",
    [
        ("a,b", "|", "a,b"),
        ("a|b", "|", '"a|b"'),
        ("a|b", "\t", "a|b"),
        ("a\tb", ",", '"a\\tb"'),
        # Strings are quoted by any delimiter setting, even one arrays refuse.
        ("a;b", ";", '"a;b"'),
        ("a, b", ", ", '"a, b"'),
        ("a,b", ", ", "a,b"),
        ("abc", "", '"abc"'),
        ("xéy", "é", '"xéy"'),
    ],
)
def test_string_tokens_follow_the_delimiter(text, delimiter, token):
    assert encode(text, EncodeOptions(delimiter=delimiter)) == token


@pytest.mark.parametrize(
    "key, written",
    [
        ("name", "name"),
        ("user.name", "user.name"),
        ("_private", "_private"),
        # Identifiers are never quoted, not even keywords and number words.
        ("true", "true"),
        ("nan", "nan"),
        ("inf", "inf"),
        ("my-key", '"my-key"'),
        ("123", '"123"'),
        ("", '""'),
        ("hello world", "hello world"),
        ("a,b", '"a,b"'),
        ("a|b", "a|b"),
        ("123abc", "123abc"),
        ("0abc", '"0abc"'),
        (".a", ".a"),
        ("é", "é"),
        (" k", '" k"'),
        ("k\xa0", '"k\xa0"'),
        ("a:b", '"a:b"'),
        ('q"', '"q\\""'),
    ],
)
def test_keys(key, written):
    assert encode({key: 1}) == written + ": 1"
    if "|" in key or "," in key:
        piped = encode({key: 1}, EncodeOptions(delimiter="|"))
        assert piped == ('"a|b"' if key == "a|b" else key) + ": 1"
