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
Color = enum.IntEnum("Color", {"RED": 5})


def fields(opts):
    return tuple(getattr(opts, name) for name in FIELDS)


def test_defaults_and_positional_order():
    assert fields(EO()) == (",", 2, True, True) and DO().strict is True
    assert fields(EO("|", 4, False, False)) == ("|", 4, False, False) and DO(False).strict is False


@pytest.mark.parametrize("name, value, expected", [
    ("delimiter", "", ""), ("delimiter", "é✓😀" * 50, "é✓😀" * 50), ("delimiter", type("S", (str,), {})(";"), ";"),
    ("indent", True, 1), ("indent", U64_MAX, U64_MAX), ("indent", Color.RED, 5), ("indent", Index(U64_MAX), U64_MAX),
    ("use_length_markers", numpy_bool(False), False), ("strict", numpy_bool(True, "bool"), True),
])
def test_values_are_converted(name, value, expected):
    got = getattr(EO(**{name: value}), name)
    assert got == expected and type(got) is type(expected)
    opts = EO()
    setattr(opts, name, value)
    assert fields(opts) == tuple(expected if n == name else getattr(EO(), n) for n in FIELDS)
    if name == "strict":
        assert DO(value).strict is expected


SubError = type("SubError", (TypeError,), {})


@pytest.mark.parametrize("name, value, exc, message", [
    ("delimiter", None, TypeError, "argument 'delimiter': 'NoneType' object cannot be converted to 'PyString'"),
    ("delimiter", "\ud800", UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ("indent", 2.0, TypeError, "argument 'indent': 'float' object cannot be interpreted as an integer"),
    ("indent", -1, OverflowError, "can't convert negative int to unsigned"),
    ("indent", 2**64, OverflowError, "int too big to convert"),
    ("indent", Index("5"), TypeError, "argument 'indent': __index__ returned non-int (type str)"),
    ("indent", Index(ValueError("no index")), ValueError, "no index"),
    ("indent", Index(TypeError("bad index")), TypeError, "argument 'indent': bad index"),
    ("indent", Index(SubError("sub")), SubError, "sub"),  # subclasses stay unprefixed
    ("use_length_markers", 1, TypeError, "argument 'use_length_markers': 'int' object cannot be converted to 'PyBool'"),
    ("strict", numpy_bool(True, module="numpyx"), TypeError, "argument 'strict': 'bool_' object cannot be converted to 'PyBool'"),
    ("strict", numpy_bool(1), TypeError, "argument 'strict': __bool__ should return bool, returned int"),
])
def test_bad_values_are_refused(name, value, exc, message):
    assert outcome(EO, **{name: value}) == (exc, message)
    opts = EO("|", 5, False, False)
    assert outcome(setattr, opts, name, value) == (exc, message) and fields(opts) == ("|", 5, False, False)
    if name == "strict":
        dopts = DO(False)
        assert outcome(DO, value) == outcome(setattr, dopts, "strict", value) == (exc, message)
        assert dopts.strict is False


@pytest.mark.parametrize("kwargs, name", [({"indent": "x", "delimiter": 1}, "delimiter"),  # whatever the call's order
                                          ({"strict": 1, "use_length_markers": 0}, "use_length_markers")])
def test_constructor_reports_the_first_failure_in_declared_order(kwargs, name):
    assert outcome(EO, **kwargs)[1].startswith(f"argument '{name}': ")


@pytest.mark.parametrize("cls", [EO, DO])
def test_instances_hold_only_the_settings(cls):
    opts = cls()
    assert outcome(delattr, opts, "strict") == (AttributeError, "can't delete attribute") and opts.strict is True
    assert outcome(setattr, opts, "x", 1)[0] is AttributeError and not hasattr(opts, "__dict__")
    assert outcome(getattr, opts, "x") == (AttributeError, f"'{cls.__name__}' object has no attribute 'x'")
    for make in (lambda: object.__new__(cls), lambda: copy.copy(opts), lambda: pickle.dumps(opts)):
        assert outcome(make)[0] is TypeError
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


def test_strict_changes_nothing():
    assert outcome(m.decode_toon, 'x: "a\\q"', DO()) == outcome(m.decode_toon, 'x: "a\\q"', DO(False))
    data = {"a": [1, 2], "b": {"c": "x y"}}
    assert m.encode(data, EO(strict=False)) == m.encode(data, EO(strict=True))


@pytest.mark.parametrize("name, value", [("delimiter", "|"), ("indent", 8), ("use_length_markers", False),
                                         ("strict", False)])
def test_assigning_during_encode_is_refused(name, value):
    opts, seen = EO("|", 3, True, True), []

    def meddle():
        seen.extend([fields(opts), outcome(setattr, opts, name, value),  # reading is allowed
                     outcome(setattr, opts, name, object())[0], outcome(delattr, opts, name)])  # conversion first

    text = m.encode({"m": UMap(keys=meddle), "list": [1, 2]}, opts)
    assert seen == [("|", 3, True, True), (RuntimeError, "Already borrowed"), TypeError,
                    (AttributeError, "can't delete attribute")]
    assert text == "list:\n   [2|]: 1|2\nm:\n      a: 1"  # the values when the call started
    setattr(opts, name, value)  # free again after the call
    assert getattr(opts, name) == value


def test_nested_calls_share_the_borrow_and_other_instances_stay_free():
    opts, other, seen = EO(), EO(), []

    def outer():
        seen.append(outcome(m.encode, UMap(keys=lambda: setattr(opts, "indent", 1)), opts))
        seen.append(outcome(setattr, opts, "indent", 9))  # the outer call still holds it
        other.indent = 6

    assert m.encode(UMap(keys=outer), opts) == "a: 1" and other.indent == 6 and opts.indent == 2
    assert seen == [(ValueError, "Python conversion error: RuntimeError: Already borrowed"),
                    (RuntimeError, "Already borrowed")]
    assert outcome(m.encode, 1, opts, foo=1)[0] is TypeError  # every call ends the borrow
    opts.indent = 4
