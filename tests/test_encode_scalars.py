"""Scalar tokens: null, booleans, numbers, string quoting and keys."""

import pytest

from vardel import EncodeOptions, decode_toon, encode


@pytest.mark.parametrize("value, token", [
    (None, "null"), (True, "true"), (-7, "-7"), (float("nan"), "null"),
    # past the signed range the digits stay exact, not rounded through a double
    (9223372036854775808, "9223372036854775808"), (18446744073709551615, "18446744073709551615"),
    (-9223372036854775808, "-9223372036854775808"), (10**16, "10000000000000000"),
    # floats not finite (the digits of finite ones: test_encode_floats.py)
    (float("inf"), "null"), (float("-inf"), "null"),
])
def test_number_and_keyword_tokens(value, token):
    assert encode(value) == token


@pytest.mark.parametrize("text, token", [
    ("hello world", "hello world"), ("", '""'), ("true", '"true"'), ("42", '"42"'), ("a:b", '"a:b"'),
    ("a,b", '"a,b"'), ("a|b", "a|b"), ('say "hi"', '"say \\"hi\\""'), ("a\\b", '"a\\\\b"'),
    ("line1\nline2\r", '"line1\\nline2\\r"'), (" ", '" "'), ("a\t", '"a\\t"'),
    # numbers by the decimal grammar, and the words inf, infinity, nan
    ("+5", '"+5"'), ("1E-3", '"1E-3"'), ("1e999", '"1e999"'), ("-inf", '"-inf"'), ("infinity", '"infinity"'),
    ("+nan", '"+nan"'), ("in", "in"), ("nano", "nano"), ("1.2.3", "1.2.3"), ("٣", "٣"),  # not an ASCII digit
    ("0", '"0"'), ("0abc", '"0abc"'), ("0.5abc", "0.5abc"),
    # structural and control characters force quotes and stay raw inside
    ("a-b", '"a-b"'), ("\x1b[0m", '"\x1b[0m"'), ("a\x7f", '"a\x7f"'), ("a\x85b", '"a\x85b"'), ("a\xa0b", "a\xa0b"),
    # the result str has the width CPython gives it (another width never compares equal)
    ("ÿ", "ÿ"), ("Ā", "Ā"), ("a é 中 🙂", "a é 中 🙂"), ("é" * 1000 + "🙂", "é" * 1000 + "🙂"),
    # White_Space at either end is quoted: the reader trims it
    ("\xa0x", '"\xa0x"'), ("x\u3000", '"x\u3000"'), ("\u1680x\u205f", '"\u1680x\u205f"'),
])
def test_string_tokens(text, token):
    assert encode(text) == token
    assert encode({"k": text, "l": [text, "b"]}) == f"k: {token}\nl:\n  [2]: {token},b"


@pytest.mark.parametrize("text, delimiter, token", [
    ("a,b", "|", "a,b"), ("a|b", "|", '"a|b"'),
    # strings are quoted by any delimiter setting, even one arrays refuse
    ("a;b", ";", '"a;b"'), ("a, b", ", ", '"a, b"'), ("a,b", ", ", "a,b"), ("abc", "", '"abc"'),
])
def test_string_tokens_follow_the_delimiter(text, delimiter, token):
    assert encode(text, EncodeOptions(delimiter=delimiter)) == token


@pytest.mark.parametrize("key, written, piped", [
    # identifiers are never quoted, not even keywords and number words
    ("user.name", "user.name", None), ("true", "true", None), ("inf", "inf", None), ("my-key", '"my-key"', None),
    ("123", '"123"', None), ("", '""', None), ("hello world", "hello world", None), ("a,b", '"a,b"', "a,b"),
    ("a|b", "a|b", '"a|b"'), ("123abc", "123abc", None), ("0abc", '"0abc"', None), (" k", '" k"', None),
    ("k\xa0", '"k\xa0"', None), ('q"', '"q\\""', None),
])
def test_keys(key, written, piped):
    assert encode({key: 1}) == written + ": 1"
    assert encode({key: 1}, EncodeOptions(delimiter="|")) == (piped or written) + ": 1"


# Texts of every length around the 16-byte blocks the quoting scan reads, with each character
# that forces quotes at every place; a string in UTF-8 (a two-byte delimiter) and as it is.
FORCING = ['"', "-", ":", "[", "\\", "]", "{", "}", "\x7f", "\x1f", "\x00", "\n", "\x85"]


@pytest.mark.parametrize("options", [None, EncodeOptions(delimiter="||")])
@pytest.mark.parametrize("middle", ["m", "\xa0"])  # an ASCII str or not; U+00A0 is C2 A0 in UTF-8
@pytest.mark.parametrize("length", range(1, 35))
def test_a_forcing_character_anywhere_quotes_the_string(length, middle, options):
    plain = "".join(middle if 0 < i == length // 2 < length - 1 else chr(ord("a") + i % 26) for i in range(length))
    assert encode({plain: plain}, options) == f"{plain}: {plain}"
    for c in FORCING + ([","] if options is None else []):
        for at in range(length):
            text = plain[:at] + c + plain[at + 1:]
            written = encode({text: text}, options)
            key, _, value = written.partition(": ")
            assert key.startswith('"') and value.startswith('"') and decode_toon(written) == {text: text}, text
