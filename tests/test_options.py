"""EncodeOptions and DecodeOptions: value conversion, attributes, and the borrow during encode."""

import copy
import enum
import pickle

import pytest

import vardel._vardel as m
from support import Index, UMap, numpy_bool, outcome

EO, DO = m.EncodeOptions, m.DecodeOptions
FIELDS = ("delimiter", "indent", "use_length_markers", "strict")
U64_MAX = 2**64 - 1


def fields(opts):
    return tuple(getattr(opts, name) for name in FIELDS)


class Color(enum.IntEnum):
    RED = 5


def test_defaults_and_positional_order():
    assert fields(EO()) == (",", 2, True, True) and DO().strict is True
    assert fields(EO("|", 4, False, False)) == ("|", 4, False, False)
    assert DO(False).strict is False


# (field, value, stored value): the same conversion serves constructors and setters
GOOD_VALUES = [
    ("delimiter", "", ""),
    ("delimiter", "abc", "abc"),
    ("delimiter", "é✓😀" * 50, "é✓😀" * 50),
    ("delimiter", type("S", (str,), {})(";"), ";"),
    ("indent", 0, 0),
    ("indent", True, 1),
    ("indent", U64_MAX, U64_MAX),
    ("indent", Color.RED, 5),
    ("indent", Index(U64_MAX), U64_MAX),
    ("use_length_markers", False, False),
    ("use_length_markers", numpy_bool(False), False),
    ("strict", numpy_bool(False, "bool"), False),
    ("strict", numpy_bool(True, "bool"), True),
]


@pytest.mark.parametrize("name, value, expected", GOOD_VALUES)
def test_values_are_converted(name, value, expected):
    got = getattr(EO(**{name: value}), name)
    assert got == expected and type(got) is type(expected)
    opts = EO()
    setattr(opts, name, value)
    assert fields(opts) == tuple(expected if n == name else getattr(EO(), n) for n in FIELDS)
    if name == "strict":
        assert DO(value).strict is expected


NOT_STR = "argument 'delimiter': '{}' object cannot be converted to 'PyString'"
BAD_VALUES = [
    ("delimiter", None, TypeError, NOT_STR.format("NoneType")),
    ("delimiter", b",", TypeError, NOT_STR.format("bytes")),
    ("delimiter", "\ud800", UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ("indent", 2.0, TypeError, "argument 'indent': 'float' object cannot be interpreted as an integer"),
    ("indent", -1, OverflowError, "can't convert negative int to unsigned"),
    ("indent", 2**64, OverflowError, "int too big to convert"),
    ("indent", Index(-(2**70)), OverflowError, "can't convert negative int to unsigned"),
    ("indent", Index("5"), TypeError, "argument 'indent': __index__ returned non-int (type str)"),
    ("indent", Index(ValueError("no index")), ValueError, "no index"),
    ("indent", Index(TypeError("bad index")), TypeError, "argument 'indent': bad index"),
    ("use_length_markers", 1, TypeError, "argument 'use_length_markers': 'int' object cannot be converted to 'PyBool'"),
    ("strict", numpy_bool(True, module="numpyx"), TypeError, "argument 'strict': 'bool_' object cannot be converted to 'PyBool'"),
    ("strict", numpy_bool(True, name="bool8"), TypeError, "argument 'strict': 'bool8' object cannot be converted to 'PyBool'"),
    ("strict", numpy_bool(1), TypeError, "argument 'strict': __bool__ should return bool, returned int"),
]


@pytest.mark.parametrize("name, value, exc, message", BAD_VALUES)
def test_bad_values_are_refused(name, value, exc, message):
    assert outcome(EO, **{name: value}) == (exc, message)
    opts = EO("|", 5, False, False)
    assert outcome(setattr, opts, name, value) == (exc, message)
    assert fields(opts) == ("|", 5, False, False)
    if name == "strict":
        assert outcome(DO, value) == (exc, message)
        dopts = DO(False)
        assert outcome(setattr, dopts, "strict", value) == (exc, message)
        assert dopts.strict is False


def test_type_error_keeps_its_cause_and_subclasses_stay_unprefixed():
    special = type("Special", (TypeError,), {})
    error = TypeError("bad index")
    error.__cause__ = cause = KeyError("root")
    with pytest.raises(TypeError) as info:
        EO(indent=Index(error))
    assert str(info.value) == "argument 'indent': bad index" and info.value.__cause__ is cause
    assert outcome(EO, indent=Index(special("special"))) == (special, "special")


@pytest.mark.parametrize("kwargs, name", [
    ({"indent": "x", "delimiter": 1}, "delimiter"),  # whatever the order of the call
    ({"strict": 1, "indent": 2.0}, "indent"),
    ({"strict": 1, "use_length_markers": 0}, "use_length_markers"),
])
def test_constructor_reports_the_first_failure_in_declared_order(kwargs, name):
    assert outcome(EO, **kwargs)[1].startswith(f"argument '{name}': ")


@pytest.mark.parametrize("opts, name", [(EO(), n) for n in FIELDS] + [(DO(), "strict")])
def test_attributes_cannot_be_deleted(opts, name):
    before = getattr(opts, name)
    assert outcome(delattr, opts, name) == (AttributeError, "can't delete attribute")
    assert getattr(opts, name) == before


@pytest.mark.parametrize("cls", [EO, DO])
def test_instances_hold_only_the_settings(cls):
    opts = cls()
    assert outcome(setattr, opts, "x", 1)[0] is AttributeError
    assert outcome(getattr, opts, "x") == (AttributeError, f"'{cls.__name__}' object has no attribute 'x'")
    assert not hasattr(opts, "__dict__")
    for make in (lambda: object.__new__(cls), lambda: (DO if cls is EO else EO).__new__(cls),
                 lambda: copy.copy(opts), lambda: pickle.dumps(opts)):
        assert outcome(make)[0] is TypeError
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("text, data", [("a: 1", {"a": [1, 2], "b": {"c": "x y"}}), ('x: "a\\q"', {"x": b""})])
def test_strict_changes_nothing(text, data):
    assert outcome(m.decode_toon, text, DO()) == outcome(m.decode_toon, text, DO(False))
    assert outcome(m.encode, data, EO(strict=False)) == outcome(m.encode, data, EO(strict=True))


# --- the borrow -------------------------------------------------------------

@pytest.mark.parametrize("name, value", [("delimiter", "|"), ("indent", 8),
                                         ("use_length_markers", False), ("strict", False)])
def test_assigning_during_encode_is_refused(name, value):
    opts, seen = EO("|", 3, True, True), []

    def meddle():
        seen.append(fields(opts))  # reading is allowed
        seen.append(outcome(setattr, opts, name, value))
        seen.append(outcome(setattr, opts, name, object())[0])  # the conversion fails first
        seen.append(outcome(delattr, opts, name))

    text = m.encode({"m": UMap(keys=meddle), "list": [1, 2]}, opts)
    assert seen == [("|", 3, True, True), (RuntimeError, "Already borrowed"), TypeError,
                    (AttributeError, "can't delete attribute")]
    assert text == "list:\n   [2|]: 1|2\nm:\n      a: 1"  # the values when the call started
    setattr(opts, name, value)  # free again after the call
    assert getattr(opts, name) == value


def test_nested_calls_share_the_borrow_and_other_instances_stay_free():
    opts, other, seen = EO(), EO(), []

    def inner():
        seen.append(outcome(setattr, opts, "indent", 1))

    def outer():
        seen.append(outcome(m.encode, UMap(keys=inner), opts)[0])
        seen.append(outcome(setattr, opts, "indent", 9))  # the outer call still holds it
        other.indent = 6

    assert m.encode(UMap(keys=outer), opts) == "a: 1"
    refused = (RuntimeError, "Already borrowed")
    assert seen == [refused, "ok", refused] and other.indent == 6 and opts.indent == 2


def test_unhandled_refusal_becomes_a_conversion_error_and_every_call_ends_the_borrow():
    opts = EO()
    assert outcome(m.encode, [UMap(keys=lambda: setattr(opts, "indent", 5))], opts) == (
        ValueError, "Python conversion error: RuntimeError: Already borrowed")
    assert outcome(m.encode, b"x", opts)[0] is ValueError
    assert outcome(m.encode, 1, opts, foo=1)[0] is TypeError
    opts.indent = 4
    assert opts.indent == 4
