"""The ready-made `default` hook for the types records commonly hold.

The modules of those types are imported on the hook's first call, not with
the package: together they take tens of milliseconds to import.
"""

# Integers the encoder writes as they are.
_INT_MIN = -(2**63)
_INT_MAX = 2**64 - 1


class _Types:
    def __init__(self) -> None:
        import dataclasses
        import datetime
        import decimal
        import enum
        import math
        import pathlib
        import uuid

        self.clock = (datetime.date, datetime.time)  # datetime is a date
        self.uuid = uuid.UUID
        self.enum = enum.Enum
        self.is_dataclass = dataclasses.is_dataclass
        self.fields = dataclasses.fields
        self.decimal = decimal.Decimal
        self.isinf = math.isinf
        self.path = pathlib.PurePath


_types: _Types | None = None


def common_types(obj: object, /) -> object:
    """Return what stands for `obj` in TOON text, for `encode(data, default=common_types)`.

    datetime, date and time become their isoformat() text; UUID its canonical
    text; an Enum member its value; a dataclass instance a dict of its fields
    in field order; an object with a model_dump() method what that returns;
    a Decimal the number it holds (an int or float with the same value when
    the encoder can write one, else its text); a pathlib path its text. What
    this returns is encoded in turn, so it may hold more such objects.

    Raises TypeError for any other object.
    """
    global _types
    t = _types or (_types := _Types())
    if isinstance(obj, t.clock):
        return obj.isoformat()
    if isinstance(obj, t.uuid):
        return str(obj)
    if isinstance(obj, t.enum):
        return obj.value
    if not isinstance(obj, type):
        if t.is_dataclass(obj):
            return {f.name: getattr(obj, f.name) for f in t.fields(obj)}
        dump = getattr(obj, "model_dump", None)
        if callable(dump):
            return dump()
    if isinstance(obj, t.decimal):
        return _decimal(obj, t)
    if isinstance(obj, t.path):
        return str(obj)
    raise TypeError(f"Object of type {type(obj).__qualname__} is not TOON serializable")


def _decimal(d: object, t: _Types) -> int | float | str:
    """The Decimal `d` as the int or float the encoder writes with the same value, else its text.

    The encoder writes an int's digits and a float's shortest round-trip
    digits, never in exponent form. So an integral Decimal in the int range
    becomes an int, and any other Decimal whose value some float's shortest
    digits spell exactly (0.1, 2.5, 1E+30, -0) becomes that float: either way
    the number written is the Decimal's value. The rest (more digits than a
    float keeps, NaN, Infinity) become str(d), so no digit is lost; those read
    back as text. Trailing zeros are not kept: Decimal('1.50') is written 1.5.
    """
    assert isinstance(d, t.decimal)
    if not d.is_finite():
        return str(d)
    # adjusted() is the exponent of the leading digit: an int in range has at
    # most 20 digits, and int(Decimal('1E+999999999')) would take a gigabyte.
    if d.adjusted() < 20 and d == d.to_integral_value() and not (d.is_zero() and d.is_signed()):
        i = int(d)
        if _INT_MIN <= i <= _INT_MAX:
            return i
    f = float(d)
    if not t.isinf(f) and t.decimal(repr(f)) == d:
        return f
    return str(d)
