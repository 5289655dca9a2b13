"""Doubles are written as the shortest digits that read back, in positional
notation; the fast path for short decimals must agree with the general one."""

import math
from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

import vardel


def positional(d: float) -> str:
    # Python's repr gives the shortest round-trip digits; lay them out without an exponent.
    if d == 0:
        return "-0" if math.copysign(1.0, d) < 0 else "0"
    text = format(Decimal(repr(d)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


@pytest.mark.parametrize(
    "d",
    [0.07, 7e-4, 0.00005, 0.0001, 99999999999.9999, 1e11, 100000000000.0001, 1e15 - 0.5,
     1e15, 1e16, 0.1 + 0.2, 123456789.125, -72.25, -0.5, 2.5e-5, 4.35, 1.0000000000000002],
)
def test_boundaries_of_the_short_decimal_path(d):
    assert vardel.encode(d) == positional(d)
    assert float(vardel.encode(d)) == d


@given(st.integers(-(10**15), 10**15), st.integers(0, 6))
def test_decimals_with_few_digits(mantissa, places):
    d = mantissa / 10**places
    assert vardel.encode(d) == positional(d)


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_any_double(d):
    assert vardel.encode(d) == positional(d)
