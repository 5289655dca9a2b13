"""EncodeOptions and DecodeOptions: value conversion, attributes, repr, equality, pickling, and the
borrow during a call."""

import copy
import pickle

import pytest

import vardel._vardel as m
from support import Index, UMap, numpy_bool, outcome

EO, DO = m.EncodeOptions, m.DecodeOptions
FIELDS = ("delimiter", "indent", "use_length_markers", "strict", "sort_keys", "uniform_indent")
DFIELDS = ("strict", "delimiter")
U64_MAX = 2**64 - 1


def fields(opts):
    return tuple(getattr(opts, name) for name in (FIELDS if type(opts) is EO else DFIELDS))


@pytest.mark.parametrize("name, value, expected", [
    ("delimiter", "", ""), ("delimiter", "é✓😀" * 50, "é✓😀" * 50), ("delimiter", type("S", (str,), {})(";"), ";"),
    ("indent", True, 1), ("indent", U64_MAX, U64_MAX), ("indent", Index(U64_MAX), U64_MAX),
    ("use_length_markers", numpy_bool(False), False), ("strict", numpy_bool(True, "bool"), True),
    ("sort_keys", numpy_bool(False), False), ("uniform_indent", True, True),
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
    ("sort_keys", None, TypeError, "argument 'sort_keys': 'NoneType' object cannot be converted to 'PyBool'"),
    ("uniform_indent", 0, TypeError, "argument 'uniform_indent': 'int' object cannot be converted to 'PyBool'"),
])
def test_bad_values_are_refused(name, value, exc, message):
    assert outcome(EO, **{name: value}) == (exc, message)
    opts = EO("|", 5, False, False, sort_keys=False, uniform_indent=True)
    assert outcome(setattr, opts, name, value) == (exc, message)
    assert fields(opts) == ("|", 5, False, False, False, True)
    if name == "strict":
        dopts = DO(False)
        assert outcome(DO, value) == outcome(setattr, dopts, "strict", value) == (exc, message)
        assert dopts.strict is False


@pytest.mark.parametrize("cls, kwargs, name", [
    (EO, {"indent": "x", "delimiter": 1}, "delimiter"),  # whatever the call's order
    (EO, {"strict": 1, "use_length_markers": 0}, "use_length_markers"),
    (EO, {"uniform_indent": 1, "sort_keys": 0}, "sort_keys"),
    (EO, {"uniform_indent": 1, "strict": 0}, "strict"),
    (DO, {"delimiter": 1, "strict": 0}, "strict"),
])
def test_constructor_reports_the_first_failure_in_declared_order(cls, kwargs, name):
    assert outcome(cls, **kwargs)[1].startswith(f"argument '{name}': ")


class LoudStr(str):
    def __repr__(self):
        raise AssertionError("the message must not run a subclass's __repr__")

    __eq__ = __hash__ = __len__ = __getitem__ = __iter__ = __repr__


DELIMITER_MESSAGE = "delimiter must be ',', '\\t' or '|', not "


@pytest.mark.parametrize("value, expected", [
    (",", ","), ("\t", "\t"), ("|", "|"), pytest.param(LoudStr("|"), "|", id="subclass"),
])
def test_decode_delimiter_accepts_the_three_characters(value, expected):
    got = DO(delimiter=value).delimiter
    assert got == expected and type(got) is str
    opts = DO(False, delimiter="|" if expected != "|" else ",")
    opts.delimiter = value
    assert fields(opts) == (False, expected)


@pytest.mark.parametrize("value, exc, message", [
    *[(text, ValueError, DELIMITER_MESSAGE + repr(text))
      for text in ("", ";", ",,", "\t|", "\\t", "\n", "，", "\x00", "\ud800", "|" * 1000)],
    pytest.param(LoudStr(";"), ValueError, DELIMITER_MESSAGE + "';'", id="subclass"),
    pytest.param(LoudStr("|x"), ValueError, DELIMITER_MESSAGE + "'|x'", id="subclass-2"),
    (None, TypeError, "argument 'delimiter': 'NoneType' object cannot be converted to 'PyString'"),
    (44, TypeError, "argument 'delimiter': 'int' object cannot be converted to 'PyString'"),
    (b",", TypeError, "argument 'delimiter': 'bytes' object cannot be converted to 'PyString'"),
])
def test_decode_delimiter_refuses_everything_else(value, exc, message):
    assert outcome(DO, delimiter=value) == (exc, message)
    opts = DO(False, delimiter="\t")
    assert outcome(setattr, opts, "delimiter", value) == (exc, message) and fields(opts) == (False, "\t")


@pytest.mark.parametrize("cls", [EO, DO])
def test_instances_hold_only_the_settings(cls):
    opts = cls()
    assert outcome(delattr, opts, "strict") == (AttributeError, "can't delete attribute") and opts.strict is True
    assert outcome(setattr, opts, "x", 1)[0] is AttributeError and not hasattr(opts, "__dict__")
    assert outcome(getattr, opts, "x") == (AttributeError, f"'{cls.__name__}' object has no attribute 'x'")
    assert outcome(object.__new__, cls)[0] is TypeError
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    assert cls.__hash__ is None and outcome(hash, opts) == (TypeError, f"unhashable type: '{cls.__name__}'")
    assert outcome(set, [opts])[0] is TypeError and outcome(dict.fromkeys, [opts])[0] is TypeError


def test_strict_changes_nothing():
    assert outcome(m.decode_toon, 'x: "a\\q"', DO()) == outcome(m.decode_toon, 'x: "a\\q"', DO(False))
    data = {"a": [1, 2], "b": {"c": "x y"}}
    assert m.encode(data, EO(strict=False)) == m.encode(data, EO(strict=True))


@pytest.mark.parametrize("name, value", [("delimiter", "|"), ("indent", 8), ("use_length_markers", False),
                                         ("strict", False), ("sort_keys", False), ("uniform_indent", True)])
def test_assigning_during_encode_is_refused(name, value):
    opts, seen = EO("|", 3, True, True), []

    def meddle():
        seen.extend([fields(opts), outcome(setattr, opts, name, value),  # reading is allowed
                     outcome(setattr, opts, name, object())[0], outcome(delattr, opts, name)])  # conversion first

    text = m.encode({"m": UMap(keys=meddle), "list": [1, 2]}, opts)
    assert seen == [("|", 3, True, True, True, False), (RuntimeError, "Already borrowed"), TypeError,
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


ENCODE_CASES = [  # options, the settings a call copies from them
    (EO(), (",", 2, True, True, True, False)),
    (EO("\t", 0, False, False, sort_keys=False, uniform_indent=True), ("\t", 0, False, False, False, True)),
    (EO("é✓😀", U64_MAX, True, False, sort_keys=True, uniform_indent=True), ("é✓😀", U64_MAX, True, False, True, True)),
]
DECODE_CASES = [(DO(), (",", True)), (DO(False, delimiter="\t"), ("\t", False)), (DO(delimiter="|"), ("|", True))]


@pytest.mark.parametrize("which, opts, settings", [("encode", *c) for c in ENCODE_CASES] +
                                                  [("decode", *c) for c in DECODE_CASES])
def test_a_call_copies_every_field_and_holds_the_options(hooks, which, opts, settings):
    read = getattr(hooks, f"{which}_settings")
    names = FIELDS if which == "encode" else DFIELDS
    before, seen = fields(opts), []

    def meddle():  # Python code that runs while the call holds the options
        seen.append(fields(opts))
        seen.extend(outcome(setattr, opts, name, getattr(opts, name)) for name in names)

    assert read(opts, meddle) == settings and read(opts, None) == settings
    assert seen == [before] + [(RuntimeError, "Already borrowed")] * len(names)
    for name in names:  # free again after the call
        setattr(opts, name, getattr(opts, name))
    assert fields(opts) == before


def test_an_exception_while_held_ends_the_borrow(hooks):
    opts = DO()
    assert outcome(hooks.decode_settings, opts, lambda: 1 / 0)[0] is ZeroDivisionError
    opts.delimiter = "|"
    assert fields(opts) == (True, "|")


REPRS = [
    (EO(), "EncodeOptions(delimiter=',', indent=2, use_length_markers=True, strict=True, sort_keys=True, "
           "uniform_indent=False)"),
    (EO("\t", 0, False, False, sort_keys=False, uniform_indent=True),
     "EncodeOptions(delimiter='\\t', indent=0, use_length_markers=False, strict=False, sort_keys=False, "
     "uniform_indent=True)"),
    (EO("'\"é✓😀\n", U64_MAX, strict=False),
     "EncodeOptions(delimiter='\\'\"é✓😀\\n', indent=18446744073709551615, use_length_markers=True, "
     "strict=False, sort_keys=True, uniform_indent=False)"),
    (EO("", sort_keys=False), "EncodeOptions(delimiter='', indent=2, use_length_markers=True, strict=True, "
                              "sort_keys=False, uniform_indent=False)"),
    (DO(), "DecodeOptions(strict=True, delimiter=',')"),
    (DO(False, delimiter="\t"), "DecodeOptions(strict=False, delimiter='\\t')"),
]
NAMESPACE = {"EncodeOptions": EO, "DecodeOptions": DO}
SAMPLES = [opts for opts, _ in REPRS]  # every kind of field value, for equality and copies


@pytest.mark.parametrize("opts, text", REPRS)
def test_repr_names_every_field_and_evaluates_to_an_equal_object(opts, text):
    assert repr(opts) == str(opts) == text
    back = eval(text, NAMESPACE)  # noqa: S307 - evaluating is what the repr is for
    assert back == opts and fields(back) == fields(opts) and back is not opts


def test_repr_follows_the_fields_and_the_class_name():
    opts, dopts = EO(), DO()
    opts.indent, opts.uniform_indent, dopts.delimiter = 7, True, "|"
    assert "indent=7," in repr(opts) and repr(opts).endswith("uniform_indent=True)")
    assert repr(dopts) == "DecodeOptions(strict=True, delimiter='|')"
    DO.__qualname__ = "Renamed"
    try:
        assert repr(dopts) == "Renamed(strict=True, delimiter='|')"
    finally:
        DO.__qualname__ = "DecodeOptions"


def variants(opts):
    """(name, copy of `opts` that differs from it in exactly that field) for every field."""
    other = {",": "|", "|": ",", "\t": ","}
    for name in FIELDS if type(opts) is EO else DFIELDS:
        changed, value = copy.copy(opts), getattr(opts, name)
        if type(value) is bool:
            value = not value
        elif type(value) is int:
            value = value + 1 if value < U64_MAX else 0
        else:
            value = other.get(value, value + "x")
        setattr(changed, name, value)
        yield name, changed


@pytest.mark.parametrize("opts", SAMPLES, ids=repr)
def test_equality_is_by_every_field(opts):
    twin = eval(repr(opts), NAMESPACE)  # noqa: S307
    assert (opts == twin, opts != twin, twin == opts, opts == opts, opts != opts) == (True, False, True, True, False)
    differing = [name for name, changed in variants(opts)
                 if (changed == opts, changed != opts, opts == changed, opts != changed) == (False, True, False, True)]
    assert differing == list(FIELDS if type(opts) is EO else DFIELDS)


class EqualsAll:
    def __eq__(self, other):
        return True

    __hash__ = None


@pytest.mark.parametrize("opts", [EO(), DO()], ids=repr)
def test_comparison_with_anything_else_is_left_to_the_other_side(opts):
    other = DO() if type(opts) is EO else EO()
    for value in (other, None, 1, ",", fields(opts), type(opts)):
        assert (opts == value, opts != value, value == opts) == (False, True, False)
    assert opts.__eq__(other) is NotImplemented and opts.__ne__(1) is NotImplemented
    assert opts == EqualsAll() and not opts != EqualsAll()  # the reflected side decides
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(opts, op)(copy.copy(opts)) is NotImplemented
    assert outcome(lambda: opts < copy.copy(opts))[0] is TypeError


COPIES = {
    **{f"pickle{p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)))
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "deepcopy in a list": lambda o: copy.deepcopy([o, o])[1],
}


@pytest.mark.parametrize("how", COPIES)
@pytest.mark.parametrize("opts", SAMPLES, ids=lambda o: repr(o)[:60])
def test_copies_and_pickles_are_equal_and_independent(how, opts):
    before = fields(opts)
    got = COPIES[how](opts)
    assert type(got) is type(opts) and got is not opts and got == opts and fields(got) == before
    for name, changed in variants(opts):  # changes to the copy leave the original alone
        setattr(got, name, getattr(changed, name))
    assert fields(opts) == before and got != opts


def test_pickles_name_the_class_by_its_module():
    data = pickle.dumps(EO(uniform_indent=True), protocol=0)
    assert b"vardel._vardel" in data and b"EncodeOptions" in data
    items = pickle.loads(pickle.dumps([DO(delimiter="|")] * 3, protocol=2))
    assert items == [DO(delimiter="|")] * 3 and items[0] is items[2]  # one object, pickled once


class Forged:  # pickles whose values did not come from an instance
    def __init__(self, *reduced):
        self.reduced = reduced

    def __reduce__(self):
        return self.reduced


@pytest.mark.parametrize("reduced, exc, message", [
    ((EO, (",", 2, True, True), (None, {"sort_keys": 1})), TypeError,
     "argument 'sort_keys': 'int' object cannot be converted to 'PyBool'"),
    ((EO, (",", -1, True, True), (None, {})), OverflowError, "can't convert negative int to unsigned"),
    ((EO, (",", 2, True, True), (None, {"other": 1})), AttributeError, None),
    ((DO, (True,), (None, {"delimiter": ";"})), ValueError, "delimiter must be ',', '\\t' or '|', not ';'"),
    ((DO, ("yes",), (None, {})), TypeError, "argument 'strict': 'str' object cannot be converted to 'PyBool'"),
])
def test_unpickling_checks_the_values_like_the_constructor(reduced, exc, message):
    got = outcome(pickle.loads, pickle.dumps(Forged(*reduced)))
    assert got[0] is exc and (message is None or got[1] == message)
