"""Float tokens: the shortest digits that read back as the float (those of repr), written
positionally, never with an exponent; whole floats as integers; negative zero as "-0"."""

import math
import struct
import sys
from decimal import Decimal

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from vardel import encode


def positional(x: float) -> str:
    """repr(x)'s digits laid out without an exponent, built from Decimal's (sign, digits, exponent)."""
    sign, digits, exponent = Decimal(repr(x)).as_tuple()
    text = "".join(map(str, digits)).lstrip("0")
    # repr writes "1.0" and "1e+16": drop zeros past the last significant digit.
    while text.endswith("0"):
        text = text[:-1]
        exponent += 1
    if not text:
        return "-0" if sign else "0"
    if exponent >= 0:
        body = text + "0" * exponent
    elif len(text) + exponent > 0:
        body = text[:exponent] + "." + text[exponent:]
    else:
        body = "0." + "0" * -(len(text) + exponent) + text
    return "-" + body if sign else body


def from_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


@pytest.mark.parametrize("x, token", [
    (0.0, "0"), (-0.0, "-0"), (1.0, "1"), (-2.0, "-2"), (0.5, "0.5"), (-1.5, "-1.5"),
    # the smallest and largest subnormals, the smallest and largest normals
    (5e-324, "0." + "0" * 323 + "5"), (-5e-324, "-0." + "0" * 323 + "5"),
    (1e-323, "0." + "0" * 322 + "1"), (2.225073858507201e-308, "0." + "0" * 307 + "2225073858507201"),
    (sys.float_info.min, "0." + "0" * 307 + "22250738585072014"),
    (sys.float_info.max, "17976931348623157" + "0" * 292), (-sys.float_info.max, "-17976931348623157" + "0" * 292),
    # 17 significant digits
    (0.1 + 0.2, "0.30000000000000004"), (1.0000000000000002, "1.0000000000000002"),
    (0.9999999999999999, "0.9999999999999999"), (2.0000000000000004, "2.0000000000000004"),
    (1 / 3, "0.3333333333333333"), (2 / 3, "0.6666666666666666"), (1.2345678901234566e-5, "0.000012345678901234566"),
    # powers of ten where the double is off the decimal: the short digits win
    (1e21, "1" + "0" * 21), (1e22, "1" + "0" * 22), (1e23, "1" + "0" * 23), (1e-7, "0.0000001"),
    (1e308, "1" + "0" * 308), (1e-308, "0." + "0" * 307 + "1"), (9.999999999999997e22, "99999999999999970000000"),
    # around 2**53, where doubles step by 2, then by 4
    (9007199254740992.0, "9007199254740992"), (9007199254740994.0, "9007199254740994"),
    (9007199254740996.0, "9007199254740996"), (9007199254740991.0, "9007199254740991"),
    (18014398509481988.0, "18014398509481988"), (123456789012345680.0, "123456789012345680"),
    # powers of two, whose lower neighbour is twice as close (the shorter interval)
    (2.0 ** -1074, "0." + "0" * 323 + "5"), (2.0 ** -1022, "0." + "0" * 307 + "22250738585072014"),
    (2.0 ** 1023, "898846567431158" + "0" * 293), (2.0 ** 64, "18446744073709552000"), (2.0 ** -20, "0.00000095367431640625"),
    (2.0 ** 60, "1152921504606847000"), (2.0 ** 90, "1237940039285380300000000000"),
    # hard cases for shortest-digits algorithms
    (1.8531501765868567e21, "1853150176586856700000"), (-3.347727380279489e33, "-3347727380279489" + "0" * 18),
    (2.989102097996e-312, "0." + "0" * 311 + "2989102097996"), (9.0608011534336e15, "9060801153433600"),
    (4.708356024711512e18, "4708356024711512000"), (9.409340012568248e18, "9409340012568248000"),
    (5.764607523034235e39, "5764607523034235" + "0" * 24), (1.1754943508222875e-38, "0." + "0" * 37 + "11754943508222875"),
    # short decimals, the common measured value
    (0.07, "0.07"), (7e-4, "0.0007"), (99999999999.9999, "99999999999.9999"), (100000000000.0001, "100000000000.0001"),
    (1e15 - 0.5, "999999999999999.5"), (-72.25, "-72.25"), (123456789.125, "123456789.125"),
])
def test_hard_cases(x, token):
    assert positional(x) == token  # the table itself agrees with repr
    assert encode(x) == token
    assert encode([x, -x]) == f"[2]: {token},{positional(-x)}"


@given(st.floats(allow_nan=False, allow_infinity=False)
       | st.integers(0, 2**64 - 1).map(from_bits).filter(math.isfinite)
       | st.builds(lambda m, p: m / 10**p, st.integers(-(10**15), 10**15), st.integers(0, 6)))
@example(5e-324)
@example(-0.0)
@example(from_bits(0x7FEFFFFFFFFFFFFE))
def test_any_double_is_reprs_digits_without_exponent(x):
    assert encode(x) == positional(x)


def every_digit_count(scale):
    ks = [10**n - 1 for n in range(1, 18)] + [10**n for n in range(18)] + [10**n + 1 for n in range(1, 17)]
    return [k * scale for k in ks + [int("123456789012345678"[:n]) for n in range(1, 18)]]


SWEEPS = {
    # each exponent with the smallest, next and largest significand (a power of two and its neighbours)
    **{f"binade_{m}": lambda m=m: [from_bits(e << 52 | m) for e in range(2047)] for m in (0, 1, 2**52 - 1)},
    # k / 10**places over a wide range of k, as measured and rounded values are written
    **{f"decimals_{p}": lambda p=p: [k / 10**p for k in [*range(30000), *range(10**15 - 3000, 10**15 + 3000),
                                                          *(7 * 10**k + 3 for k in range(17))]] for p in range(7)},
    # shortest digits numbering 1 to 17, the shortest at and around 10**8 among them
    **{f"digits_{s}": lambda s=s: every_digit_count(s) for s in (1e-12, 1e-3, 1.0, 1e5, 1e20)},
    # shortest digits of every count with the point before, after and between each of them: at the
    # edges of each group of eight digits too
    **{f"point_{n}": lambda n=n: [float(f"0.{'12345678923456789'[:n]}e{p}") for p in range(-3, n + 4)]
       for n in range(1, 18)},
}


@pytest.mark.parametrize("sweep", SWEEPS)
def test_sweeps(sweep):
    xs = SWEEPS[sweep]()
    xs += [-x for x in xs]
    assert encode(xs) == f"[{len(xs)}]: " + ",".join(map(positional, xs))
