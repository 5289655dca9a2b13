"""Comparison helpers for decoder tests: types matter (1 is not 1.0, -0.0 is not 0.0)."""

import math


def same(a, b):
    """True when a and b are equal with the same types throughout."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def assert_same(got, expected):
    assert same(got, expected), f"{got!r} != {expected!r}"
