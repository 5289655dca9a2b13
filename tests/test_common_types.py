"""The ready-made hook vardel.common_types, and the C reading of the same types that
stands in for it: both must give the same thing for every object."""

import dataclasses
import datetime as dt
import decimal
import enum
import pathlib
import uuid
from typing import ClassVar

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vardel
from support import outcome
from vardel import common_types

D = decimal.Decimal
UTC = dt.timezone.utc


class Color(enum.Enum):
    RED = (255, 0, 0)
    NAMED = "named"


class Level(enum.IntEnum):
    LOW = 1


class Word(enum.StrEnum):
    A = "alpha"


class Perm(enum.Flag):
    R = 4
    W = 2


class Nested(enum.Enum):
    INNER = Color.RED  # its value is itself an Enum member


class Renamed(enum.Enum):
    X = 1

    @property
    def value(self):  # noqa: PLR0206 - overrides Enum.value: the C reading must defer
        return "renamed"


@dataclasses.dataclass
class Point:
    x: int
    y: float = 0.5
    kind: ClassVar[str] = "point"
    scale: dataclasses.InitVar[int] = 1
    hidden: list = dataclasses.field(default_factory=list, repr=False)

    def __post_init__(self, scale):
        self.x *= scale


@dataclasses.dataclass(slots=True, frozen=True)
class Slotted:
    b: str
    a: "Point"


@dataclasses.dataclass
class Pair:
    left: object
    right: object


@dataclasses.dataclass
class Point3(Point):
    z: int = 9


@dataclasses.dataclass
class Broken:
    a: int = 0

    @property
    def b(self):
        raise LookupError("b")


Broken.__dataclass_fields__["b"] = dataclasses.field()
Broken.__dataclass_fields__["b"].name = "b"
Broken.__dataclass_fields__["b"]._field_type = dataclasses._FIELD


class Stamp(dt.datetime):
    pass


class LoudStamp(dt.datetime):
    def isoformat(self, sep="T", timespec="auto"):
        return "loud " + super().isoformat(sep, timespec)


class Day(dt.date):
    pass


class Tagged(uuid.UUID):
    pass


class ShoutedUUID(uuid.UUID):
    def __str__(self):
        return super().__str__().upper()


class Model:
    def model_dump(self):
        return {"id": 7, "when": dt.date(2020, 1, 1)}


class RaisingModel:
    def model_dump(self):
        raise KeyError("dump")


class Getattr:
    def __getattr__(self, name):
        raise (AttributeError if name.startswith("__") else RuntimeError)(name)


class Offset(dt.tzinfo):
    """Gives whatever utcoffset() is asked to give."""

    def __init__(self, result):
        self.result = result

    def utcoffset(self, when):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def dst(self, when):
        return None


class FoldAware(dt.tzinfo):
    """An hour more when fold is 1, as around a clock change."""

    def utcoffset(self, when):
        return dt.timedelta(hours=1 + (when.fold if when is not None else 0))

    def dst(self, when):
        return None


def C(hooks, obj):
    """The C reading: the hook's result, or None when it leaves the object to the hook."""
    got = hooks.common_form(obj)
    return None if got is None else got[1]


# ---------------------------------------------------------------- the hook alone

# Decimals: an int or float whose written digits have the same value, else the exact text.
@pytest.mark.parametrize(("text", "expected"), [
    ("0", 0), ("5.000", 5), ("1E+3", 1000), ("18446744073709551615", 2**64 - 1), ("-9223372036854775808", -(2**63)),
    ("1.50", 1.5), ("-2.5E-7", -2.5e-7), ("1E+30", 1e30), ("-0.000", -0.0),
    ("18446744073709551616", "18446744073709551616"), ("-9223372036854775809", "-9223372036854775809"),
    ("3.14159265358979323846", "3.14159265358979323846"), ("0.10000000000000001", "0.10000000000000001"),
    ("1E+400", "1E+400"), ("1E-400", "1E-400"), ("1E+999999999", "1E+999999999"),
    ("-Infinity", "-Infinity"), ("sNaN", "sNaN"),
])
def test_decimal_keeps_its_value(text, expected):
    got = common_types(D(text))
    assert repr(got) == repr(expected)
    if not isinstance(got, str):
        # The encoder writes exactly this value.
        written = vardel.encode([got]).split(": ", 1)[1]
        assert D(written) == D(text)


@given(st.decimals(allow_nan=False, allow_infinity=False))
def test_any_decimal_is_written_with_its_value(d):
    got = common_types(d)
    written = vardel.encode([got]).split(": ", 1)[1]
    if isinstance(got, str):
        assert got == str(d)
    else:
        assert D(written) == d


@pytest.mark.parametrize("obj", [object(), b"x", 1j, Point, Model, type("M", (), {"model_dump": 5})(),
                                 dt.timedelta(1), Color])
def test_other_objects_are_refused(obj):
    with pytest.raises(TypeError, match=rf"^Object of type {type(obj).__qualname__} is not TOON serializable$"):
        common_types(obj)


# ---------------------------------------------------------------- the C reading against the hook

def agree(hooks, obj, handled=True):
    """The C reading gives the hook's result; `handled` says whether it must read `obj` itself."""
    fast = outcome(C, hooks, obj)
    slow = outcome(common_types, obj)
    if fast[0] != "ok":
        assert fast == slow
        return
    if fast[1] is None:
        assert not handled, obj
        return
    assert handled is not False, obj
    assert slow[0] == "ok" and repr(fast[1]) == repr(slow[1]) and type(fast[1]) is type(slow[1])


def offsets():
    """UTC offsets strictly inside a day, down to the microsecond, and the common ones."""
    fine = st.timedeltas(min_value=dt.timedelta(hours=-23, minutes=-59, seconds=-59, microseconds=-999999),
                         max_value=dt.timedelta(hours=23, minutes=59, seconds=59, microseconds=999999))
    return st.one_of(st.sampled_from([dt.timedelta(0), dt.timedelta(hours=5, minutes=30),
                                      dt.timedelta(hours=-8), dt.timedelta(minutes=-1)]),
                     fine, fine.map(lambda d: dt.timedelta(seconds=int(d.total_seconds()))),
                     fine.map(lambda d: dt.timedelta(minutes=int(d.total_seconds() / 60))))


def zones():
    return st.one_of(st.none(), st.just(UTC), offsets().map(dt.timezone), offsets().map(Offset),
                     st.timezones(), st.just(FoldAware()), st.just(Offset(None)))


@settings(max_examples=400)
@given(st.datetimes(timezones=zones(), allow_imaginary=True), st.integers(0, 1),
       st.sampled_from([dt.datetime, Stamp, LoudStamp]), st.booleans())
def test_datetimes_agree(hooks, when, fold, cls, whole_second):
    when = when.replace(fold=fold, microsecond=0 if whole_second else when.microsecond)
    if cls is not dt.datetime:
        when = cls(*when.timetuple()[:6], when.microsecond, tzinfo=when.tzinfo, fold=when.fold)
    agree(hooks, when, handled=cls is not LoudStamp)


@settings(max_examples=200)
@given(st.times(timezones=zones()), st.integers(0, 1), st.dates(), st.sampled_from([dt.date, Day]))
def test_times_and_dates_agree(hooks, t, fold, d, cls):
    agree(hooks, t.replace(fold=fold))
    agree(hooks, cls(d.year, d.month, d.day))


@given(st.uuids() | st.sampled_from([uuid.UUID(int=0), uuid.UUID(int=2**128 - 1)]),
       st.sampled_from([uuid.UUID, Tagged, ShoutedUUID]))
def test_uuids_agree(hooks, u, cls):
    agree(hooks, cls(int=u.int), handled=cls is not ShoutedUUID)


def odd_uuid(value):
    u = uuid.UUID(int=5)
    object.__setattr__(u, "int", value)
    return u


ANY = object()  # the hook's result is not given here: another test checks it


# The hook's result, and whether the C reading must read the object itself.
@pytest.mark.parametrize(("obj", "handled", "expected"), [
    (dt.datetime(2024, 5, 6, 7, 8, 9), True, "2024-05-06T07:08:09"),
    (dt.datetime(2024, 5, 6, 7, 8, 9, 10, tzinfo=UTC), True, "2024-05-06T07:08:09.000010+00:00"),
    (dt.date(9, 1, 2), True, "0009-01-02"), (dt.time(23, 59, 59, 999999), True, "23:59:59.999999"),
    (uuid.UUID(int=1), True, "00000000-0000-0000-0000-000000000001"),
    (Color.RED, True, (255, 0, 0)), (Color.NAMED, True, "named"), (Level.LOW, True, 1), (Word.A, True, "alpha"),
    (Perm.R | Perm.W, True, 6), (Nested.INNER, True, Color.RED), (Renamed.X, False, "renamed"),
    (Point(2, scale=3), True, {"x": 6, "y": 0.5, "hidden": []}),
    (Point3(1), True, {"x": 1, "y": 0.5, "hidden": [], "z": 9}), (Point3(2, 3.0, z=4), True, ANY),
    (Slotted("s", Point(1)), True, ANY), (Broken(), True, LookupError("b")),
    (Model(), False, {"id": 7, "when": dt.date(2020, 1, 1)}),
    (pathlib.PurePosixPath("/a b/c"), False, "/a b/c"), (pathlib.PureWindowsPath("C:/x"), False, "C:\\x"),
    (dt.datetime(2020, 1, 1, tzinfo=Offset(dt.timedelta(hours=24))), False, ValueError),  # the hook raises
    (dt.datetime(2020, 1, 1, tzinfo=Offset(dt.timedelta(hours=-24))), False, ValueError),
    (dt.datetime(2020, 1, 1, tzinfo=Offset("+01:00")), False, ANY),
    (RaisingModel(), False, KeyError("dump")), (Getattr(), False, RuntimeError("model_dump")),
    (dt.time(1, tzinfo=Offset(dt.timedelta(days=-1, microseconds=1))), True, ANY),
    (dt.datetime(2020, 1, 1, tzinfo=Offset(ZeroDivisionError("utcoffset"))), True, ANY),  # both raise it
    (odd_uuid(-1), False, ANY), (odd_uuid(2**128), False, ANY), (odd_uuid("x"), False, ANY),
    (dt.datetime.max.replace(tzinfo=UTC), True, ANY), (dt.datetime.min, True, ANY),
    (D("1.5"), False, 1.5), (object(), False, ANY), (Point, False, ANY),
])
def test_hook_result_and_the_c_reading_agree(hooks, obj, handled, expected):
    got = outcome(common_types, obj)
    if isinstance(expected, type):
        assert got[0] is expected
    elif isinstance(expected, Exception):
        assert got == (type(expected), str(expected))
    else:
        assert expected is ANY or repr(got) == repr(("ok", expected))
    agree(hooks, obj, handled)


@given(st.recursive(st.integers() | st.text(max_size=3),
                    lambda inner: st.builds(Pair, inner, inner) | st.builds(Slotted, st.text(max_size=2), inner),
                    max_leaves=8))
def test_nested_dataclasses_agree(hooks, obj):
    agree(hooks, obj, handled=dataclasses.is_dataclass(obj))
