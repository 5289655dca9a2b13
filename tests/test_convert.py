"""Python data to value tree: type order, numbers, user containers, error texts, depth, cycles."""

import collections
import collections.abc
import datetime
import enum
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vardel._vardel as m
from support import PREFIX, SameText, UMap, USeq, conversion_error, fail, outcome


class Outer:
    class Inner:
        pass

    class Error(Exception):
        pass


class MyStr(str):
    def __str__(self):
        raise AssertionError("the conversion must not call __str__")


def registered(abc, base, **attrs):  # a new subclass of `base` registered with `abc`
    cls = type("Registered", (base,), attrs)
    abc.register(cls)
    return cls


SEQ, MAP = collections.abc.Sequence, collections.abc.Mapping
AS_SEQ = {"__len__": lambda s: 1, "__getitem__": lambda s, i: [["from sequence"]][i]}


@pytest.mark.parametrize("data, plain", [
    (MyStr("text"), "text"), ({MyStr("k"): 1}, {"k": 1}), (range(3), [0, 1, 2]), (memoryview(b"ab"), [97, 98]),
    (collections.namedtuple("Point", "x y")(1, 2), [1, 2]), (USeq([1, (2,)]), [1, [2]]), ({3}, [3]),
    (registered(SEQ, object, **AS_SEQ)(), [["from sequence"]]), (types.MappingProxyType({"x": 1}), {"x": 1}),
    # a set that is a sequence is read by index
    (registered(SEQ, set, __getitem__=lambda s, i: sorted(s)[::-1][i])([1, 2, 3]), [3, 2, 1]),
    # the order of the type tests decides
    (registered(SEQ, int, **AS_SEQ)(7), 7), (registered(SEQ, dict, **AS_SEQ)(k=1), {"k": 1}),
    (registered(MAP, USeq, keys=lambda s: ["k"], values=lambda s: [0])(["s"]), ["s"]),
    (type("F", (float,), {})("-inf"), None),
    (UMap({"a": 1, 1: 2}, len=lambda: 1), {"a": 1}),  # a mapping is read up to its size
])
def test_conversions_give_the_plain_value(data, plain):
    assert m.encode({"k": [data, 0]}) == m.encode({"k": [plain, 0]})


def test_equal_keys_keep_the_later_value():
    assert m.encode(UMap({"a": 0, "b": 0}, keys=lambda: ["a", "a"], values=lambda: [1, 2])) == "a: 2"
    data = {SameText("b"): 1, "a": 0, SameText("b"): [2], SameText("c"): 3}
    assert m.encode(data) == "a: 0\nb:\n  [1]: 2\nc: 3"


RANGE, TOO_BIG = "JSON number out of range", "OverflowError: int too big to convert"


@pytest.mark.parametrize("value, error", [
    (enum.IntEnum("N", {"BIG": 2**64 - 1}).BIG, None), (-(2**63), None), (2**64, RANGE), (-(2**63) - 1, RANGE),
    (2**128 - 1, RANGE), (-(2**127), RANGE), (2**128, TOO_BIG), (-(2**127) - 1, TOO_BIG),
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


SURROGATE = "UnicodeEncodeError: 'utf-8' codec can't encode character '\\u{}' in position {}: surrogates not allowed"


@pytest.mark.parametrize("data, text", [
    ({1: "a"}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
    (b"", "invalid type: byte array, expected any valid JSON value"),
    (bytearray(b"abc"), "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'"),
    (datetime.datetime(2024, 1, 1), "unsupported type datetime"),
    (Outer.Inner(), "unsupported type Outer.Inner"),
    (local_class(), "unsupported type local_class.<locals>.Local"),
    (["ok", "a\udfffb"], SURROGATE.format("dfff", 1)),
    ({"\ud800": 1}, SURROGATE.format("d800", 0)),
    ({"a": b"x", 1: 2}, "invalid type: byte array, expected any valid JSON value"),  # key, value, next key
    # exceptions raised by user code
    (odd_dict(keys=fail(KeyError)), "KeyError: "),
    (odd_dict(values=fail(LookupError("no values"))), "LookupError: no values"),
    (odd_dict(keys=lambda self: 5), "TypeError: Odd.keys() returned a non-iterable (type int)"),
    (odd_dict(keys=fail(OSError("bad \ud800"))), "OSError: bad \ufffd"),
    (odd_dict(keys=fail(StrFails())), "StrFails: <exception str() failed>"),
    (odd_dict(keys=fail(Outer.Error("x"))), "Outer.Error: x"),
    (UMap(len=lambda: -1), "ValueError: __len__() should return >= 0"),
    (UMap(len=lambda: 2), "IndexError: list index out of range"),
    (USeq(len=lambda: 2**70), "OverflowError: cannot fit 'int' into an index-sized integer"),
    (registered(SEQ, set)([1]), "TypeError: 'Registered' object does not support indexing"),
])
def test_failure_texts(data, text):
    assert conversion_error(data) == conversion_error({"outer": [1, data]}) == text


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
    assert conversion_error([data]) == conversion_error({"x", data}) == "unsupported type BrokenCheck"
    # the sequence check, then the mapping check, each reported once
    assert [(type(r.exc_value), r.object) for r in reports] == [(LookupError, data)] * 4
    assert sys.exc_info() == (None, None, None)


WRAP = {"list": lambda d: [d], "dict": lambda d: {"k": d}, "tuple": lambda d: (d,), "user": lambda d: UMap({"u": d}),
        "sequence": lambda d: USeq([d]), "frozenset": lambda d: frozenset([d])}


def nest(levels, kind, leaf=1):
    kinds = list(WRAP) if kind == "mixed" else [kind]
    for i in range(levels):
        leaf = WRAP[kinds[i % len(kinds)]](leaf)
    return leaf


@pytest.mark.parametrize("kind", [*WRAP, "mixed"])
def test_nesting_limit(kind):
    assert m.encode(nest(512, kind)).endswith("1")
    too_deep = "data is nested deeper than 512 levels"
    for leaf in (b"not reached", 1, ()):  # the innermost container holds an unsupported, a scalar, nothing
        assert conversion_error(nest(513, kind, leaf=leaf)) == too_deep
    assert conversion_error(nest(10**5, kind)) == too_deep


def indirect_cycle():
    a, b = [], {}
    a.append(b)
    b["a"] = (1, a)
    return {"root": a}


@pytest.mark.parametrize("make", [lambda: (d := {}).update(s=d) or d, indirect_cycle,
                                  lambda: type("Self", (UMap,), {"values": lambda s: [s]})(),
                                  lambda: (s := USeq([0])).items.append(s) or s,
                                  lambda: [{"a": 1}, (s := []).append(s) or s]])  # after a row of a table
def test_container_holding_itself(make):
    assert conversion_error([1, {"x": make()}]) == "circular reference: a container holds itself"
    shared = [1, 2]  # a repeated object is no cycle
    assert m.encode([shared, {"a": shared}]) == m.encode([[1, 2], {"a": [1, 2]}])


# --- fast paths for exact built-in containers agree with the general rules ------

def fresh_keys(data):
    if isinstance(data, dict):
        return {"".join(list(k)): fresh_keys(v) for k, v in data.items()}
    return [fresh_keys(x) for x in data] if isinstance(data, list) else data


scalars = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**64 - 1), st.floats(), st.text(max_size=5))
keys = st.sampled_from(["id", "name", "b", "a", "", "é", "k y"])
json_data = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(keys, inner, max_size=6)
                         | st.lists(st.fixed_dictionaries({"id": inner, "name": scalars}), min_size=2, max_size=4),
                         max_leaves=30)


def as_general(data, style):
    if isinstance(data, dict):
        pairs = {k: as_general(v, style) for k, v in data.items()}
        return type("D", (dict,), {})(pairs) if style == 0 else UMap(pairs)
    if isinstance(data, list):
        items = [as_general(x, style) for x in data]
        return type("L", (list,), {})(items) if style == 0 else USeq(items)
    return data


@settings(max_examples=150, deadline=None)
@given(json_data, st.integers(0, 13))
def test_fast_paths_agree_with_the_general_rules(data, levels):
    for _ in range(levels):
        data = [data]
    text = outcome(m.encode, data)
    assert outcome(m.encode, as_general(data, 0)) == outcome(m.encode, as_general(data, 1)) == text
    assert outcome(m.encode, fresh_keys(data)) == text


# Exact built-in data is encoded straight from the objects; anything that
# stops that path midway (another type, an encoder error) starts over on the
# general path, so the first conversion error still wins over encoder errors.
@pytest.mark.parametrize("data, options, expected", [
    ({"a": {"b": [1]}, "z": indirect_cycle()}, {"indent": 2**62}, (ValueError, PREFIX + "circular reference: a container holds itself")),
    ({"a": [1, {"b": 2**64}]}, {"delimiter": ";"}, (ValueError, PREFIX + "JSON number out of range")),
    ({"a": [1], "b": 2.5}, {"delimiter": ";"}, (ValueError, "Invalid delimiter: ;")),
    # None: as the general path encodes the same data
    ({"k": [2**64 - 1, -(2**63), 2**63, 2**62]}, None, None),
    ({"k": [{"a": 1}, {"a": (2, 3)}], "é": [{"é": "ü"}, {"é": "日"}]}, {"delimiter": "|"}, None),
])
def test_direct_path_gives_way_to_the_general_rules(data, options, expected):
    opts = m.EncodeOptions(**options) if options else None
    if expected is None:
        expected = outcome(m.encode, as_general(data, 1), opts)
        assert expected[0] == "ok"
    assert outcome(m.encode, data, opts) == expected


def test_encoding_leaves_no_utf8_copy_on_the_data():
    # The interpreter caches a str's UTF-8 form on the str once asked for it,
    # for as long as the str lives: encode must not leave that behind.
    texts = ["Łukasz " * 20, "Zoë", "日本語テキスト" * 9, "😀 x"]
    sizes = [sys.getsizeof(t) for t in texts]
    assert m.encode({t: [t, {"k": t}] for t in texts}).count("Łukasz") == 60
    assert [sys.getsizeof(t) for t in texts] == sizes


@pytest.mark.parametrize("rows", [
    lambda: [{"a": 3}, {"a": 1, SameText("a"): 2}],
    lambda: [{"a": 1, SameText("a"): 2}, {"a": 3}],
    lambda: {"x": {"a": 1, SameText("a"): {}}, "y": [{"b": {"a": 1, SameText("a"): 2}}]},
])
def test_keys_with_the_same_text_count_once_on_every_path(rows):
    assert outcome(m.encode, rows()) == outcome(m.encode, as_general(rows(), 1))
