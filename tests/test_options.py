"""EncodeOptions and DecodeOptions: construction, conversion of values,
attribute access, the borrow during a call, and the options arguments."""

import collections.abc
import copy
import enum
import pickle
import weakref

import pytest

import vardel._vardel as m
from support import encoded, outcome

EO = m.EncodeOptions
DO = m.DecodeOptions
U64_MAX = 2**64 - 1

ENCODE_FIELDS = ("delimiter", "indent", "use_length_markers", "strict")


def fields(opts):
    if isinstance(opts, EO):
        return tuple(getattr(opts, name) for name in ENCODE_FIELDS)
    return (opts.strict,)


def numpy_bool(value, name="bool_", module="numpy"):
    """An object that looks like a numpy boolean scalar."""
    cls = type(name, (), {"__module__": module, "__bool__": lambda self: value})
    return cls()


class Index:
    """An object that is not an int but has __index__."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Color(enum.IntEnum):
    RED = 5


class MyInt(int):
    pass


class MyStr(str):
    pass


# --- construction ---------------------------------------------------------

def test_defaults():
    opts = EO()
    assert fields(opts) == (",", 2, True, True)
    assert type(opts.delimiter) is str and type(opts.indent) is int
    assert opts.use_length_markers is True and opts.strict is True
    assert DO().strict is True


@pytest.mark.parametrize("args, kwargs, expected", [
    (("|", 4, False, False), {}, ("|", 4, False, False)),
    ((), {"strict": False, "delimiter": "\t", "use_length_markers": False, "indent": 0},
     ("\t", 0, False, False)),
    (("|",), {"strict": False}, ("|", 2, True, False)),
    ((), {"indent": 0}, (",", 0, True, True)),
    ((), {"delimiter": "abc"}, ("abc", 2, True, True)),
    ((), {"delimiter": ""}, ("", 2, True, True)),
    ((), {"delimiter": "a\x00b"}, ("a\x00b", 2, True, True)),
    ((), {"delimiter": "é✓😀"}, ("é✓😀", 2, True, True)),
    ((), {"delimiter": MyStr(";")}, (";", 2, True, True)),
    ((), {"indent": True}, (",", 1, True, True)),
    ((), {"indent": False}, (",", 0, True, True)),
    ((), {"indent": U64_MAX}, (",", U64_MAX, True, True)),
    ((), {"indent": 2**63}, (",", 2**63, True, True)),
    ((), {"indent": MyInt(7)}, (",", 7, True, True)),
    ((), {"indent": Color.RED}, (",", 5, True, True)),
    ((), {"indent": Index(9)}, (",", 9, True, True)),
    ((), {"indent": Index(U64_MAX)}, (",", U64_MAX, True, True)),
    ((), {"use_length_markers": numpy_bool(False)}, (",", 2, False, True)),
    ((), {"strict": numpy_bool(False, "bool")}, (",", 2, True, False)),
    ((), {"strict": numpy_bool(True, "bool")}, (",", 2, True, True)),
])
def test_encode_options_construction(args, kwargs, expected):
    opts = EO(*args, **kwargs)
    assert fields(opts) == expected
    assert type(opts.delimiter) is str and type(opts.indent) is int


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, True),
    ((False,), {}, False),
    ((), {"strict": False}, False),
    ((numpy_bool(False),), {}, False),
    ((numpy_bool(True, "bool"),), {}, True),
])
def test_decode_options_construction(args, kwargs, expected):
    assert DO(*args, **kwargs).strict is expected


# (parameter, value, exception type, message); the same rules serve the
# constructors and the setters.
BAD_VALUES = [
    ("delimiter", None, TypeError,
     "argument 'delimiter': 'NoneType' object cannot be converted to 'PyString'"),
    ("delimiter", 1, TypeError,
     "argument 'delimiter': 'int' object cannot be converted to 'PyString'"),
    ("delimiter", b",", TypeError,
     "argument 'delimiter': 'bytes' object cannot be converted to 'PyString'"),
    ("delimiter", [","], TypeError,
     "argument 'delimiter': 'list' object cannot be converted to 'PyString'"),
    ("delimiter", "\ud800", UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ("indent", 2.0, TypeError,
     "argument 'indent': 'float' object cannot be interpreted as an integer"),
    ("indent", "4", TypeError,
     "argument 'indent': 'str' object cannot be interpreted as an integer"),
    ("indent", None, TypeError,
     "argument 'indent': 'NoneType' object cannot be interpreted as an integer"),
    ("indent", -1, OverflowError, "can't convert negative int to unsigned"),
    ("indent", -(2**70), OverflowError, "can't convert negative int to unsigned"),
    ("indent", 2**64, OverflowError, "int too big to convert"),
    ("indent", 2**200, OverflowError, "int too big to convert"),
    ("indent", Index(-1), OverflowError, "can't convert negative int to unsigned"),
    ("indent", Index(2**64), OverflowError, "int too big to convert"),
    ("indent", Index("5"), TypeError,
     "argument 'indent': __index__ returned non-int (type str)"),
    ("indent", Index(ValueError("no index")), ValueError, "no index"),
    ("indent", Index(TypeError("bad index")), TypeError, "argument 'indent': bad index"),
    ("use_length_markers", 1, TypeError,
     "argument 'use_length_markers': 'int' object cannot be converted to 'PyBool'"),
    ("use_length_markers", 0, TypeError,
     "argument 'use_length_markers': 'int' object cannot be converted to 'PyBool'"),
    ("use_length_markers", None, TypeError,
     "argument 'use_length_markers': 'NoneType' object cannot be converted to 'PyBool'"),
    ("strict", "True", TypeError,
     "argument 'strict': 'str' object cannot be converted to 'PyBool'"),
    ("strict", numpy_bool(True, module="numpyx"), TypeError,
     "argument 'strict': 'bool_' object cannot be converted to 'PyBool'"),
    ("strict", numpy_bool(True, name="bool8"), TypeError,
     "argument 'strict': 'bool8' object cannot be converted to 'PyBool'"),
    ("strict", numpy_bool(1), TypeError,
     "argument 'strict': __bool__ should return bool, returned int"),
]


@pytest.mark.parametrize("name, value, exc, message", BAD_VALUES)
def test_encode_options_constructor_rejects(name, value, exc, message):
    with pytest.raises(exc) as info:
        EO(**{name: value})
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize("name, value, exc, message", BAD_VALUES)
def test_encode_options_setter_rejects_and_keeps_value(name, value, exc, message):
    opts = EO("|", 5, False, False)
    before = fields(opts)
    with pytest.raises(exc) as info:
        setattr(opts, name, value)
    assert type(info.value) is exc
    assert str(info.value) == message
    assert fields(opts) == before


@pytest.mark.parametrize("name, value, exc, message",
                         [row for row in BAD_VALUES if row[0] == "strict"])
def test_decode_options_rejects(name, value, exc, message):
    with pytest.raises(exc) as info:
        DO(value)
    assert type(info.value) is exc and str(info.value) == message
    opts = DO(False)
    with pytest.raises(exc) as info:
        opts.strict = value
    assert type(info.value) is exc and str(info.value) == message
    assert opts.strict is False


def test_type_error_keeps_cause_and_subclasses_stay_unprefixed():
    class Special(TypeError):
        pass

    cause = KeyError("root")
    error = TypeError("bad index")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        EO(indent=Index(error))
    assert str(info.value) == "argument 'indent': bad index"
    assert info.value is not error
    assert info.value.__cause__ is cause
    with pytest.raises(Special) as info:
        EO(indent=Index(Special("special")))
    assert str(info.value) == "special"


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"delimiter": 1, "indent": "x"}, TypeError,
     "argument 'delimiter': 'int' object cannot be converted to 'PyString'"),
    ({"indent": "x", "delimiter": 1}, TypeError,
     "argument 'delimiter': 'int' object cannot be converted to 'PyString'"),
    ({"strict": 1, "indent": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"strict": 1, "use_length_markers": 0}, TypeError,
     "argument 'use_length_markers': 'int' object cannot be converted to 'PyBool'"),
    ({"strict": 1, "delimiter": "\ud800"}, UnicodeEncodeError, None),
])
def test_constructor_reports_first_failure_in_declared_order(kwargs, exc, message):
    with pytest.raises(exc) as info:
        EO(**kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


# --- attributes -----------------------------------------------------------

@pytest.mark.parametrize("name, value, expected", [
    ("delimiter", "|", "|"),
    ("delimiter", "", ""),
    ("delimiter", "a\x00b", "a\x00b"),
    ("delimiter", MyStr("x"), "x"),
    ("delimiter", "é✓😀" * 50, "é✓😀" * 50),
    ("indent", 0, 0),
    ("indent", U64_MAX, U64_MAX),
    ("indent", True, 1),
    ("indent", Color.RED, 5),
    ("indent", Index(3), 3),
    ("use_length_markers", False, False),
    ("use_length_markers", numpy_bool(False), False),
    ("strict", False, False),
    ("strict", numpy_bool(False, "bool"), False),
])
def test_setters_store_and_getters_read(name, value, expected):
    opts = EO()
    setattr(opts, name, value)
    got = getattr(opts, name)
    assert got == expected and type(got) is type(expected)
    others = [n for n in ENCODE_FIELDS if n != name]
    assert [getattr(opts, n) for n in others] == [getattr(EO(), n) for n in others]


def test_instances_are_independent():
    a, b = EO(), EO()
    a.delimiter = "|"
    a.indent = 8
    assert fields(b) == (",", 2, True, True)
    c, d = DO(), DO()
    c.strict = False
    assert d.strict is True


@pytest.mark.parametrize("make, name", [(EO, n) for n in ENCODE_FIELDS] + [(DO, "strict")])
def test_attributes_cannot_be_deleted(make, name):
    opts = make()
    before = fields(opts)
    with pytest.raises(AttributeError) as info:
        delattr(opts, name)
    assert str(info.value) == "can't delete attribute"
    assert fields(opts) == before


@pytest.mark.parametrize("cls", [EO, DO])
def test_instances_hold_only_the_settings(cls):
    opts = cls()
    with pytest.raises(AttributeError):
        opts.other = 1
    with pytest.raises(AttributeError):
        opts.other
    assert not hasattr(opts, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(opts)
    names = ENCODE_FIELDS if cls is EO else ("strict",)
    for name in names:
        assert cls.__dict__[name].__doc__ == ""
    assert [n for n in vars(cls) if not n.startswith("_")] == list(names)


@pytest.mark.parametrize("make", [
    lambda: object.__new__(EO),
    lambda: object.__new__(DO),
    lambda: EO.__new__(DO),
    lambda: DO.__new__(EO),
])
def test_instances_come_only_from_the_constructors(make):
    with pytest.raises(TypeError):
        make()


@pytest.mark.parametrize("opts", [EO("|", 4), DO(False)])
def test_instances_are_not_copied_silently_with_default_values(opts):
    with pytest.raises(TypeError):
        copy.copy(opts)
    with pytest.raises(TypeError):
        pickle.dumps(opts)


@pytest.mark.parametrize("cls", [EO, DO])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        class Sub(cls):
            pass


# --- the options arguments ------------------------------------------------

@pytest.mark.parametrize("options, type_name", [
    ({"indent": 4}, "dict"),
    (DO(), "DecodeOptions"),
    ("x", "str"),
    (True, "bool"),
    (EO, "type"),
])
def test_encode_refuses_other_options(options, type_name):
    with pytest.raises(TypeError) as info:
        m.encode({}, options)
    assert type(info.value) is TypeError
    assert str(info.value) == (
        f"argument 'options': '{type_name}' object cannot be converted to 'EncodeOptions'")


@pytest.mark.parametrize("options, type_name", [
    ({"strict": True}, "dict"),
    (EO(), "EncodeOptions"),
    (0, "int"),
])
def test_decode_toon_refuses_other_options(options, type_name):
    with pytest.raises(TypeError) as info:
        m.decode_toon("a: 1", options)
    assert str(info.value) == (
        f"argument 'options': '{type_name}' object cannot be converted to 'DecodeOptions'")


@pytest.mark.parametrize("args, exc, message", [
    ((b"a: 1",), TypeError,
     "argument 'toon_str': 'bytes' object cannot be converted to 'PyString'"),
    ((None,), TypeError,
     "argument 'toon_str': 'NoneType' object cannot be converted to 'PyString'"),
    ((5, "x"), TypeError, "argument 'toon_str': 'int' object cannot be converted to 'PyString'"),
    ((["a: 1"], EO()), TypeError,
     "argument 'toon_str': 'list' object cannot be converted to 'PyString'"),
    (("a: \ud800", "x"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 3: surrogates not allowed"),
])
def test_decode_toon_checks_text_before_options(args, exc, message):
    with pytest.raises(exc) as info:
        m.decode_toon(*args)
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize("text, expected", [
    ("", ("ok", {})),
    ("a: 1", ("ok", {"a": 1})),
    (MyStr("b: x\nc[2]: 1,2"), ("ok", {"b": "x", "c": [1, 2]})),
    ('x: "a\\q"', (ValueError, "Decoding error: Invalid escape sequence: \\q")),
])
def test_decode_options_change_nothing(text, expected):
    assert outcome(m.decode_toon, text) == expected
    for options in (None, DO(), DO(True), DO(False), DO(numpy_bool(False))):
        assert outcome(m.decode_toon, text, options) == expected
        assert outcome(m.decode_toon, text, options=options) == expected
        assert outcome(m.decode_toon, toon_str=text, options=options) == expected


@pytest.mark.parametrize("data", [
    {"a": [1, 2], "b": {"c": "x y"}},
    [{"id": 1}, {"id": 2}],
    "text",
    {"bad": b"bytes"},
])
def test_strict_changes_nothing_in_encode(data):
    expected = outcome(m.encode, data)
    for opts in (EO(strict=True), EO(strict=False), EO(",", 2, True, False)):
        assert outcome(m.encode, data, opts) == expected


def test_borrow_ends_with_every_call():
    opts = EO()
    assert encoded({"a": [1]}, opts) == "a:\n  [1]: 1"
    with pytest.raises(ValueError):
        m.encode(b"x", opts)
    with pytest.raises(TypeError):
        m.encode(1, opts, foo=1)
    opts.indent = 4
    opts.delimiter = "|"
    assert fields(opts) == ("|", 4, True, True)
    dopts = DO()
    assert m.decode_toon("a: 1", dopts) == {"a": 1}
    with pytest.raises(ValueError):
        m.decode_toon('x: "\\q"', dopts)
    with pytest.raises(TypeError):
        m.decode_toon(5, dopts)
    dopts.strict = False
    assert dopts.strict is False


class Meddler(collections.abc.Mapping):
    """A mapping whose keys() runs `action` while encode converts it."""

    def __init__(self, action):
        self.action = action

    def keys(self):
        self.action()
        return ["k"]

    def values(self):
        return [1]

    def __getitem__(self, key):
        return 1

    def __len__(self):
        return 1

    def __iter__(self):
        return iter(["k"])


ASSIGNMENTS = [
    ("delimiter", "|"),
    ("indent", 8),
    ("use_length_markers", False),
    ("strict", False),
]


@pytest.mark.parametrize("name, value", ASSIGNMENTS)
def test_assigning_during_encode_is_refused(name, value):
    opts = EO("|", 3, True, True)
    seen = []

    def meddle():
        seen.append(fields(opts))  # reading is allowed
        try:
            setattr(opts, name, value)
        except RuntimeError as e:
            seen.append(str(e))
        # a value of the wrong type fails its conversion first
        try:
            setattr(opts, name, object())
        except TypeError as e:
            seen.append("TypeError")
        try:
            delattr(opts, name)
        except AttributeError as e:
            seen.append(str(e))

    text = encoded({"m": Meddler(meddle), "list": [1, 2]}, opts)
    assert seen == [("|", 3, True, True), "Already borrowed", "TypeError",
                    "can't delete attribute"]
    assert fields(opts) == ("|", 3, True, True)
    # the call used the values the instance had when it started
    assert text == "list:\n   [2|]: 1|2\nm:\n      k: 1"
    # free again after the call
    setattr(opts, name, value)
    assert getattr(opts, name) == value


def test_unhandled_refusal_becomes_a_conversion_error():
    opts = EO()

    def meddle():
        opts.indent = 5

    with pytest.raises(ValueError) as info:
        m.encode([Meddler(meddle)], opts)
    assert str(info.value) == "Python conversion error: RuntimeError: Already borrowed"
    assert opts.indent == 2


def test_nested_calls_share_the_borrow():
    opts = EO()
    seen = []

    def inner():
        try:
            opts.indent = 1
        except RuntimeError as e:
            seen.append("inner: " + str(e))

    def outer():
        seen.append(outcome(m.encode, Meddler(inner), opts)[0])
        # the nested call has ended, the outer one still holds the instance
        try:
            opts.indent = 9
        except RuntimeError as e:
            seen.append("outer: " + str(e))

    assert encoded(Meddler(outer), opts) == "k: 1"
    assert seen == ["inner: Already borrowed", "ok", "outer: Already borrowed"]
    assert opts.indent == 2
    opts.indent = 9
    assert opts.indent == 9


def test_other_instances_stay_free_during_encode():
    opts, other = EO(), EO()

    def meddle():
        other.indent = 6

    assert encoded(Meddler(meddle), opts) == "k: 1"
    assert other.indent == 6


def test_encode_uses_the_values_of_the_options():
    data = {"a": [1, 2], "b": {"c": "x|y"}}
    assert encoded(data, EO()) == encoded(data)
    assert encoded(data, EO("|", 4, False)) != encoded(data)
    opts = EO()
    opts.delimiter = "|"
    opts.indent = 4
    opts.use_length_markers = False
    assert encoded(data, opts) == encoded(data, EO("|", 4, False))


@pytest.mark.parametrize("delimiter", ["", "abc", ";", ",,", "||"])
def test_delimiter_is_checked_only_when_an_array_is_written(delimiter):
    opts = EO(delimiter=delimiter)
    assert opts.delimiter == delimiter
    assert encoded({"a": "x", "b": [], "c": {}}, opts).startswith("a: ")
    with pytest.raises(ValueError) as info:
        m.encode({"a": [1, 2]}, opts)
    assert str(info.value) == "Invalid delimiter: " + delimiter
    assert opts.delimiter == delimiter
