"""Number tokens, as both decoders read them: exact integers and the nearest double.

Python's own int() and float() are the reference: an integer token in -2**63 .. 2**64-1 reads
as that int, any other integer or decimal token as float(token), negative zero included. The
nested reader also reads a negative integer zero as -0.0, which is how the encoder writes it.
"""

import re
import struct

import pytest
from hypothesis import assume, given, strategies as st

from vardel import decode, decode_toon, encode

DECODERS = [decode_toon, decode]
INTEGER = re.compile(r"[+-]?[0-9]+")


def reference(token, read):
    if INTEGER.fullmatch(token) and -2**63 <= int(token) < 2**64:
        if read is decode and token.startswith("-") and int(token) == 0:
            return -0.0
        return int(token)
    return float(token)


def bits(value):
    """The value with its type and, for a float, every bit (so -0.0 differs from 0.0)."""
    return (type(value), struct.pack("<d", value) if isinstance(value, float) else value)


def check(token):
    for read in DECODERS:
        got = read(f"k: {token}")["k"]
        assert bits(got) == bits(reference(token, read)), (read.__name__, token, got)


@pytest.mark.parametrize("token", [
    # the 64-bit integer range, and 19 and 20 digits on both sides of it; 21 digits with a leading zero; 30
    "9999999999999999999", "-9999999999999999999", "10000000000000000000", "18446744073709551615",
    "18446744073709551616", "9223372036854775807", "9223372036854775808", "-9223372036854775808",
    "-9223372036854775809", "018446744073709551615", "123456789012345678901234567890",
    # 2**53 and its neighbours, where a double stops holding every integer
    "9007199254740992", "9007199254740992.0", "9007199254740993.0", "9007199254740993.5", "900719925474099.35",
    # 19 digits in all, and one more; runs of eight digits; leading zeros
    "1234567890.123456789", "1234567890.1234567891", "0.1234567890123456789",
    "0.0000000000000000001", "12345678.12345678", "00000000.00000001", "0012345678.9", "12345678", "123456789",
    "1234567.8", "1234567812345678.1",
    # shortest digits of doubles, as the encoder writes them
    "0.30000000000000004", "1015.0917218146362", "-1471.8437199933571", "0.5000000000000001",
    "2.2250738585072014", "179769313486231570000000", "0.000001", "87.68", "4.9406564584124654",
    "1.7976931348623157",
    # zeros and signs; no whole part; exponents, up to the largest double and below the smallest
    "0", "-0", "+0", "007", "-0.0", "+0.0", "0.000", "1.0", "+1.5", "-7", "-.5", "+.5e1", "1e5",
    "1.7976931348623157e308", "2.4703282292062328e-324", "2.4703282292062327e-324", "-1e-400",
])
def test_edges(token):
    check(token)


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_every_double_reads_back(value):
    for token in (repr(value), encode({"k": value}).partition(": ")[2]):
        check(token)


@given(st.sampled_from(["", "-", "+"]), st.text("0123456789", min_size=1, max_size=24),
       st.none() | st.text("0123456789", min_size=1, max_size=24))
def test_digit_runs(sign, whole, fraction):
    check(sign + whole + ("" if fraction is None else "." + fraction))


# Almost numbers, and numbers too large for a double.
@pytest.mark.parametrize("token", ["12:30", "1/2", "2020-01-02", "1.5.2", "1234567890a", "1.", ".5e", "1e", "0x10",
                                   "Infinity", "-1e400", "1" + "0" * 400])
def test_almost_numbers_stay_strings(token):
    for read in DECODERS:
        assert read(f"k: {token}")["k"] == (1.0 if token == "1." else token)


# Cells that start like a number and end anywhere: digit runs of every length around the 19
# digits read in one pass, points, exponents, signs, spaces and other text right after them.
CELL = st.lists(st.sampled_from(["-", "+", "0", "7", "12345678", "9999999999", ".", "e5", " ", "x",
                                 "\t", '"'] + ["1" * 19]), min_size=0, max_size=5).map("".join)


@pytest.mark.parametrize("read", DECODERS)
@given(cells=st.lists(CELL, min_size=1, max_size=6), delimiter=st.sampled_from([",", "|", "\t"]))
def test_cells_read_as_values_do(read, cells, delimiter):
    # A cell that is a plain number up to its delimiter is read without being cut out first;
    # each must still give what the same text gives as an entry's value.
    assume(all(c.strip() and delimiter not in c and '"' not in c for c in cells))
    mark = "" if delimiter == "," else delimiter
    expected = [bits(read(f"k: {c}")["k"]) for c in cells]
    inline = read(f"x[{len(cells)}{mark}]: " + delimiter.join(cells))
    assert [bits(v) for v in inline["x"]] == expected
    # The row starts with a cell of its own: one starting with "- " would be a list item.
    fields = delimiter.join(f"f{i}" for i in range(len(cells) + 1))
    table = read(f"t[1{mark}]{{{fields}}}:\n  0{delimiter}" + delimiter.join(cells))
    assert [bits(v) for v in table["t"][0].values()] == [bits(0)] + expected
