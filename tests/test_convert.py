"""Python data to value tree: type order, numbers, user containers, error texts, depth, cycles."""

import collections
import collections.abc
import datetime
import decimal
import enum
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vardel._vardel as m
from support import PREFIX, UMap, USeq, conversion_error, fail, outcome


class Outer:
    class Inner:
        pass

    class Error(Exception):
        pass


class MyStr(str):
    def __str__(self):
        raise AssertionError("the conversion must not call __str__")


class Number(enum.IntEnum):
    BIG = 2**64 - 1
    HUGE = 2**64


def registered(abc, base, **attrs):
    """An instance of a new subclass of `base` registered with `abc`."""
    cls = type("Registered", (base,), attrs)
    abc.register(cls)
    return cls


SEQ, MAP = collections.abc.Sequence, collections.abc.Mapping
AS_SEQ = {"__len__": lambda s: 1, "__getitem__": lambda s, i: [["from sequence"]][i]}

# (data, the equivalent plain data): both must give the same text
EQUIVALENT = [
    (MyStr("text"), "text"),
    (range(3), [0, 1, 2]),
    (collections.namedtuple("Point", "x y")(1, 2), [1, 2]),
    (memoryview(b"ab"), [97, 98]),
    (USeq([1, (2,)]), [1, [2]]),
    (registered(SEQ, object, **AS_SEQ)(), [["from sequence"]]),
    ({3}, [3]),
    (frozenset(), []),
    # a set that is a sequence is read by index
    (registered(SEQ, set, __getitem__=lambda s, i: sorted(s)[::-1][i])([1, 2, 3]), [3, 2, 1]),
    (types.MappingProxyType({"x": 1}), {"x": 1}),
    ({MyStr("k"): 1}, {"k": 1}),
    # the order of the type tests decides
    (registered(SEQ, int, **AS_SEQ)(7), 7),
    (registered(SEQ, dict, **AS_SEQ)(k=1), {"k": 1}),
    (registered(MAP, USeq, keys=lambda s: ["k"], values=lambda s: [0])(["s"]), ["s"]),
    (float("nan"), None),
    (type("F", (float,), {})("-inf"), None),
    # a mapping smaller than its keys is read up to its size
    (UMap({"a": 1, 1: 2}, len=lambda: 1), {"a": 1}),
]


@pytest.mark.parametrize("data, plain", EQUIVALENT)
def test_conversions_give_the_plain_value(data, plain):
    assert m.encode({"k": [data, 0]}) == m.encode({"k": [plain, 0]})


class DistinctStr(str):
    """Equal texts that a dict keeps apart."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


def test_equal_keys_keep_the_later_value():
    assert m.encode(UMap({"a": 0, "b": 0}, keys=lambda: ["a", "a"], values=lambda: [1, 2])) == "a: 2"
    data = {DistinctStr("b"): 1, "a": 0, DistinctStr("b"): [2], DistinctStr("c"): 3}
    assert m.encode(data) == "a: 0\nb:\n  [1]: 2\nc: 3"
    many = {DistinctStr(f"k{i % 20:02}"): i for i in range(60)}
    assert m.encode(many) == m.encode({f"k{i:02}": 40 + i for i in range(20)})


@pytest.mark.parametrize("value, error", [
    (2**63 - 1, None),
    (2**63, None),
    (Number.BIG, None),
    (-(2**63), None),
    (2**64, "JSON number out of range"),
    (2**128 - 1, "JSON number out of range"),
    (-(2**63) - 1, "JSON number out of range"),
    (-(2**127), "JSON number out of range"),
    (Number.HUGE, "JSON number out of range"),
    (2**128, "OverflowError: int too big to convert"),
    (-(2**127) - 1, "OverflowError: int too big to convert"),
    (2**200, "OverflowError: int too big to convert"),
])
def test_integer_range(value, error):
    expected = (ValueError, PREFIX + error) if error else ("ok", f"[2]: {int(value)},{int(value)}")
    assert outcome(m.encode, [value, value]) == expected


class StrFails(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def local_class():
    class Local:
        pass
    return Local()


def odd_dict(**methods):
    return type("Odd", (dict,), methods)({"a": 1})


SURROGATE = "UnicodeEncodeError: 'utf-8' codec can't encode character '\\u{}' in position {}: " \
            "surrogates not allowed"

FAILURES = [
    ({1: "a"}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
    ({None: 1}, "unexpected type: 'NoneType' object cannot be converted to 'PyString'"),
    ({True: 1}, "unexpected type: 'bool' object cannot be converted to 'PyString'"),
    (b"", "invalid type: byte array, expected any valid JSON value"),
    (type("B", (bytes,), {})(b"x"), "invalid type: byte array, expected any valid JSON value"),
    (bytearray(b"abc"), "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'"),
    (datetime.datetime(2024, 1, 1), "unsupported type datetime"),
    (decimal.Decimal("1.5"), "unsupported type Decimal"),
    ((i for i in []), "unsupported type generator"),
    ({"a": 1}.keys(), "unsupported type dict_keys"),
    (Outer.Inner(), "unsupported type Outer.Inner"),
    (local_class(), "unsupported type local_class.<locals>.Local"),
    ("\ud800", SURROGATE.format("d800", 0)),
    (["ok", "a\udfffb"], SURROGATE.format("dfff", 1)),
    ({"\ud800": 1}, SURROGATE.format("d800", 0)),
    # pairs are converted key, value, next key, next value
    ({"a": b"x", 1: 2}, "invalid type: byte array, expected any valid JSON value"),
    ({"a": object(), "b": b"x"}, "unsupported type object"),
    # exceptions raised by user code
    (odd_dict(keys=fail(KeyError)), "KeyError: "),
    (odd_dict(values=fail(LookupError("no values"))), "LookupError: no values"),
    (odd_dict(keys=lambda self: 5), "TypeError: Odd.keys() returned a non-iterable (type int)"),
    (odd_dict(keys=fail(KeyError("first")), __len__=fail(KeyError("second"))), "KeyError: 'first'"),
    (odd_dict(keys=fail(OSError("bad \ud800"))), "OSError: bad \ufffd"),
    (odd_dict(keys=fail(StrFails())), "StrFails: <exception str() failed>"),
    (odd_dict(keys=fail(Outer.Error("x"))), "Outer.Error: x"),
    (UMap(len=lambda: -1), "ValueError: __len__() should return >= 0"),
    (UMap(len=lambda: 2), "IndexError: list index out of range"),
    (UMap({"a": 1, "b": 2}, values=lambda: [1]), "IndexError: list index out of range"),
    (USeq(len=fail(LookupError("no len"))), "LookupError: no len"),
    (USeq(len=lambda: 2**70), "OverflowError: cannot fit 'int' into an index-sized integer"),
    (USeq(getitem=fail(LookupError("no item"))), "LookupError: no item"),
    (registered(SEQ, set)([1]), "TypeError: 'Registered' object does not support indexing"),
]


@pytest.mark.parametrize("data, text", FAILURES)
def test_failure_texts(data, text):
    assert conversion_error(data) == text
    assert conversion_error({"outer": [1, data]}) == text


class BrokenCheck:
    @property
    def __class__(self):
        raise LookupError("class check")

    def __hash__(self):
        return 1


def test_failing_abc_check_is_reported_as_unraisable(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    data = BrokenCheck()
    assert conversion_error([data]) == "unsupported type BrokenCheck"
    assert conversion_error({"x", data}) == "unsupported type BrokenCheck"
    # the sequence check, then the mapping check, each reported once
    assert [(type(r.exc_value), r.object) for r in reports] == [(LookupError, data)] * 4
    assert sys.exc_info() == (None, None, None)


# --- nesting limit and cycles -------------------------------------------------

TOO_DEEP = "data is nested deeper than 512 levels"
WRAP = {"list": lambda d: [d], "dict": lambda d: {"k": d}, "tuple": lambda d: (d,),
        "user": lambda d: UMap({"u": d}), "sequence": lambda d: USeq([d]),
        "frozenset": lambda d: frozenset([d])}


def nest(levels, kind, leaf=1):
    kinds = list(WRAP) if kind == "mixed" else [kind]
    for i in range(levels):
        leaf = WRAP[kinds[i % len(kinds)]](leaf)
    return leaf


@pytest.mark.parametrize("kind", [*WRAP, "mixed"])
def test_nesting_limit(kind):
    assert m.encode(nest(512, kind)).endswith("1")
    assert conversion_error(nest(513, kind, leaf=b"not reached")) == TOO_DEEP
    assert conversion_error(nest(100_000, kind)) == TOO_DEEP


def indirect_cycle():
    a, b = [], {}
    a.append(b)
    b["a"] = (1, a)
    return {"root": a}


class SelfMapping(UMap):
    def values(self):
        return [self]


@pytest.mark.parametrize("make", [lambda: (d := [1]).append(d) or d, lambda: (d := {}).update(s=d) or d,
                                  indirect_cycle, SelfMapping, lambda: (s := USeq([0])).items.append(s) or s])
def test_container_holding_itself(make):
    assert conversion_error([1, {"x": make()}]) == "circular reference: a container holds itself"


def test_repeated_object_is_not_a_cycle():
    shared = [1, 2]
    assert m.encode([shared, {"a": shared}]) == m.encode([[1, 2], {"a": [1, 2]}])


# --- fast paths for exact built-in containers agree with the general rules ------

def fresh_keys(data):
    if isinstance(data, dict):
        return {"".join(list(k)): fresh_keys(v) for k, v in data.items()}
    return [fresh_keys(x) for x in data] if isinstance(data, list) else data


@pytest.mark.parametrize("levels", range(14))
def test_records_sharing_key_objects_at_any_depth(levels):
    data = [{"b": 1, "a": 2}, {"b": {"x": 1, "y": 2}, "a": 3}, {"a": 4, "b": 5}]
    for _ in range(levels):
        data = [data]
    assert m.encode(data) == m.encode(fresh_keys(data))


KEY_OBJECTS = ["id", "name", "b", "a", "", "é", "key with space", "Z", "_"]
scalars = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**64 - 1),
                    st.floats(allow_nan=True), st.text(max_size=5))
json_data = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=4),
    st.dictionaries(st.sampled_from(KEY_OBJECTS), inner, max_size=6),
    st.lists(st.fixed_dictionaries({"id": inner, "name": scalars}), min_size=2, max_size=4),
), max_leaves=30)


def as_general(data, style):
    if isinstance(data, dict):
        pairs = {k: as_general(v, style) for k, v in data.items()}
        return type("D", (dict,), {})(pairs) if style == 0 else UMap(pairs)
    if isinstance(data, list):
        items = [as_general(x, style) for x in data]
        return type("L", (list,), {})(items) if style == 0 else USeq(items)
    return data


@settings(max_examples=150, deadline=None)
@given(json_data, st.integers(0, 9))
def test_fast_paths_agree_with_the_general_rules(data, levels):
    for _ in range(levels):
        data = [data]
    text = outcome(m.encode, data)
    assert outcome(m.encode, as_general(data, 0)) == text == outcome(m.encode, fresh_keys(data))
    assert outcome(m.encode, as_general(data, 1)) == text
