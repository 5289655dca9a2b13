"""Python data to value tree: type rules, numbers, containers read through
user code, every error text, nesting limit and cycles."""

import array
import collections
import collections.abc
import datetime
import decimal
import enum
import subprocess
import fractions
import sys
import textwrap
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vardel._vardel as m
from support import conversion_error, encoded


class Outer:
    class Inner:
        pass


def local_class():
    class Local:
        pass
    return Local()


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    def __str__(self):
        raise AssertionError("the conversion must not call __str__")


class MyBytes(bytes):
    pass


class MyByteArray(bytearray):
    pass


class MyList(list):
    pass


class MyTuple(tuple):
    pass


class MyDict(dict):
    pass


class MySet(set):
    pass


class MyFrozenSet(frozenset):
    pass


class Number(enum.IntEnum):
    THREE = 3
    BIG = 2**64 - 1
    HUGE = 2**64


Point = collections.namedtuple("Point", "x y")


class UserSequence(collections.abc.Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class UserMapping(collections.abc.Mapping):
    def __init__(self, pairs):
        self.pairs = dict(pairs)

    def __getitem__(self, key):
        return self.pairs[key]

    def __len__(self):
        return len(self.pairs)

    def __iter__(self):
        return iter(self.pairs)


class RegisteredSequence:
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


collections.abc.Sequence.register(RegisteredSequence)


class RegisteredMapping:
    def __init__(self, pairs):
        self.pairs = dict(pairs)

    def keys(self):
        return list(self.pairs)

    def values(self):
        return list(self.pairs.values())

    def __len__(self):
        return len(self.pairs)

    def __getitem__(self, key):
        return self.pairs[key]


collections.abc.Mapping.register(RegisteredMapping)


class IntThatIsASequence(int):
    def __len__(self):
        return 1

    def __getitem__(self, i):
        return "from sequence"


collections.abc.Sequence.register(IntThatIsASequence)


class DictThatIsASequence(dict):
    def __len__(self):
        return 1

    def __getitem__(self, i):
        return "from sequence"


collections.abc.Sequence.register(DictThatIsASequence)


class SequenceAndMapping(RegisteredSequence):
    def keys(self):
        return ["k"]

    def values(self):
        return ["from mapping"]


collections.abc.Mapping.register(SequenceAndMapping)


class IndexableSet(set):
    """A set that also counts as a sequence: read by index, not iteration."""

    def __getitem__(self, i):
        return sorted(self, reverse=True)[i]


collections.abc.Sequence.register(IndexableSet)


class UnindexableSet(set):
    pass


collections.abc.Sequence.register(UnindexableSet)


# --- successful conversions -------------------------------------------------

# (data, the equivalent plain data); both must give the same text.
EQUIVALENT = [
    (True, True),
    (Number.THREE, 3),
    (MyInt(-5), -5),
    (MyFloat(2.5), 2.5),
    (MyStr("text"), "text"),
    ((1, 2), [1, 2]),
    (MyList([1, 2]), [1, 2]),
    (MyTuple((1, 2)), [1, 2]),
    (Point(1, 2), [1, 2]),
    (range(3), [0, 1, 2]),
    (range(0), []),
    (collections.deque([1, "a"]), [1, "a"]),
    (memoryview(b"ab"), [97, 98]),
    (array.array("i", [4, 5]), [4, 5]),
    (UserSequence([1, [2]]), [1, [2]]),
    (RegisteredSequence(["x"]), ["x"]),
    ({3}, [3]),
    (frozenset(), []),
    (MySet(["a"]), ["a"]),
    (MyFrozenSet([1]), [1]),
    (IndexableSet([1, 2, 3]), [3, 2, 1]),
    (MyDict(b=1, a=2), {"a": 2, "b": 1}),
    (collections.OrderedDict([("b", 1), ("a", 2)]), {"a": 2, "b": 1}),
    (collections.defaultdict(int, {"x": 1}), {"x": 1}),
    (collections.Counter("aab"), {"a": 2, "b": 1}),
    (types.MappingProxyType({"x": 1}), {"x": 1}),
    (UserMapping({"k": (1, 2)}), {"k": [1, 2]}),
    (RegisteredMapping({"k": None}), {"k": None}),
    (collections.ChainMap({"a": 1}, {"b": 2}), {"a": 1, "b": 2}),
    ({"b": 1, "a": [True, None, 2.5]}, {"a": [True, None, 2.5], "b": 1}),
    ({MyStr("k"): 1}, {"k": 1}),
    # the order of the type tests decides
    (IntThatIsASequence(7), 7),
    (DictThatIsASequence(k=1), {"k": 1}),
    (SequenceAndMapping(["s"]), ["s"]),
    (float("nan"), None),
    (float("inf"), None),
    (float("-inf"), None),
    (MyFloat("nan"), None),
    ([float("nan"), 1.5], [None, 1.5]),
]


@pytest.mark.parametrize("data, plain", EQUIVALENT)
def test_conversions_give_the_plain_value(data, plain):
    assert encoded(data) == encoded(plain)
    assert encoded({"k": [data]}) == encoded({"k": [plain]})


@pytest.mark.parametrize("data, text", [
    (None, "null"),
    (True, "true"),
    (False, "false"),
    (1, "1"),
    (0, "0"),
    (Number.THREE, "3"),
    (2**64 - 1, "18446744073709551615"),
    (Number.BIG, "18446744073709551615"),
    (2**63, "9223372036854775808"),
    (2**63 - 1, "9223372036854775807"),
    (-(2**63), "-9223372036854775808"),
    (MyInt(-(2**63)), "-9223372036854775808"),
    (2**30, "1073741824"),
    (-(2**30) - 1, "-1073741825"),
    (-1, "-1"),
    (3.0, "3"),
    (-0.0, "-0"),
    (float("nan"), "null"),
    (float("-inf"), "null"),
    ("hi", "hi"),
    ({}, ""),
])
def test_scalar_texts(data, text):
    assert encoded(data) == text


class DistinctStr(str):
    """Equal texts that a dict keeps apart."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


def test_equal_keys_keep_the_later_value():
    class Twice(UserMapping):
        def keys(self):
            return ["a", "a"]

        def values(self):
            return [1, 2]

    assert encoded(Twice({"a": 0, "b": 0})) == "a: 2"
    data = {DistinctStr("b"): 1, "a": 0, DistinctStr("b"): [2], DistinctStr("c"): 3}
    assert len(data) == 4
    assert encoded(data) == "a: 0\nb:\n  [1]: 2\nc: 3"
    many = {DistinctStr(f"k{i % 20:02}"): i for i in range(60)}
    assert encoded(many) == encoded({f"k{i:02}": 40 + i for i in range(20)})


# --- integers ---------------------------------------------------------------

@pytest.mark.parametrize("value", [
    0, 1, -1, 2**30 - 1, 2**30, -(2**30), -(2**30) - 1, 2**62, 2**63 - 1, 2**63, 2**64 - 1,
    -(2**63), -(2**63) + 1, MyInt(2**64 - 1), MyInt(-(2**63)), Number.BIG,
])
def test_integers_in_range(value):
    assert encoded([value, value]) == f"[2]: {int(value)},{int(value)}"


@pytest.mark.parametrize("value, text", [
    (2**64, "JSON number out of range"),
    (2**64 + 1, "JSON number out of range"),
    (2**127, "JSON number out of range"),
    (2**128 - 1, "JSON number out of range"),
    (-(2**63) - 1, "JSON number out of range"),
    (-(2**64), "JSON number out of range"),
    (-(2**127), "JSON number out of range"),
    (MyInt(2**64), "JSON number out of range"),
    (Number.HUGE, "JSON number out of range"),
    (2**128, "OverflowError: int too big to convert"),
    (-(2**127) - 1, "OverflowError: int too big to convert"),
    (2**200, "OverflowError: int too big to convert"),
    (-(2**200), "OverflowError: int too big to convert"),
    (MyInt(2**128), "OverflowError: int too big to convert"),
])
def test_integers_out_of_range(value, text):
    assert conversion_error(value) == text
    assert conversion_error({"k": [value]}) == text


# --- failures ---------------------------------------------------------------

class Failing(Exception):
    pass


class Errors:
    class Nested(Exception):
        pass


class StrFails(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def raiser(exc):
    def method(*args):
        raise exc
    return method


def dict_subclass(**methods):
    return type("Odd", (dict,), methods)({"a": 1})


def user_mapping(**methods):
    return type("OddMapping", (UserMapping,), methods)({"a": 1})


def user_sequence(**methods):
    return type("OddSequence", (UserSequence,), methods)([1, 2])


FAILURES = [
    ({1: "a"}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
    ({None: 1}, "unexpected type: 'NoneType' object cannot be converted to 'PyString'"),
    ({True: 1}, "unexpected type: 'bool' object cannot be converted to 'PyString'"),
    ({1.5: 1}, "unexpected type: 'float' object cannot be converted to 'PyString'"),
    ({b"k": 1}, "unexpected type: 'bytes' object cannot be converted to 'PyString'"),
    ({(1, 2): 1}, "unexpected type: 'tuple' object cannot be converted to 'PyString'"),
    ({Outer.Inner: 1}, "unexpected type: 'type' object cannot be converted to 'PyString'"),
    (UserMapping({1: 2}), "unexpected type: 'int' object cannot be converted to 'PyString'"),
    (b"abc", "invalid type: byte array, expected any valid JSON value"),
    (b"", "invalid type: byte array, expected any valid JSON value"),
    (MyBytes(b"x"), "invalid type: byte array, expected any valid JSON value"),
    (bytearray(b"abc"),
     "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'"),
    (MyByteArray(b"abc"),
     "unexpected type: 'MyByteArray' object cannot be converted to 'PyBytes'"),
    (datetime.datetime(2024, 1, 1), "unsupported type datetime"),
    (datetime.date(2024, 1, 1), "unsupported type date"),
    (decimal.Decimal("1.5"), "unsupported type Decimal"),
    (fractions.Fraction(1, 2), "unsupported type Fraction"),
    ((i for i in []), "unsupported type generator"),
    (iter([1]), "unsupported type list_iterator"),
    ([1, object()], "unsupported type object"),
    ({"a": 1}.keys(), "unsupported type dict_keys"),
    ({"a": 1}.values(), "unsupported type dict_values"),
    ({"a": 1}.items(), "unsupported type dict_items"),
    (1j, "unsupported type complex"),
    (Outer.Inner(), "unsupported type Outer.Inner"),
    (local_class(), "unsupported type local_class.<locals>.Local"),
    (Outer, "unsupported type type"),
    (Ellipsis, "unsupported type ellipsis"),
    ("\ud800",
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
     "surrogates not allowed"),
    (["ok", "a\udfffb"],
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udfff' in position 1: "
     "surrogates not allowed"),
    ({"\ud800": 1},
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
     "surrogates not allowed"),
    (MyStr("\ud800"),
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
     "surrogates not allowed"),
    # pairs are converted key, value, next key, next value
    ({"a": b"x", 1: 2}, "invalid type: byte array, expected any valid JSON value"),
    ({1: b"x"}, "unexpected type: 'int' object cannot be converted to 'PyString'"),
    ({"a": object(), "b": b"x"}, "unsupported type object"),
    # exceptions raised by user code
    (dict_subclass(keys=raiser(Failing("no keys"))), "Failing: no keys"),
    (dict_subclass(keys=raiser(KeyError)), "KeyError: "),
    (dict_subclass(keys=raiser(ValueError())), "ValueError: "),
    (dict_subclass(values=raiser(Failing("no values"))), "Failing: no values"),
    (dict_subclass(keys=lambda self: 5),
     "TypeError: Odd.keys() returned a non-iterable (type int)"),
    (dict_subclass(keys=raiser(Failing("first")), __len__=raiser(Failing("second"))),
     "Failing: first"),
    (dict_subclass(values=raiser(Failing("first")), __len__=raiser(Failing("second"))),
     "Failing: first"),
    (dict_subclass(keys=raiser(Failing("bad \ud800 text"))), "Failing: bad \ufffd text"),
    (dict_subclass(keys=raiser(StrFails())), "StrFails: <exception str() failed>"),
    (user_mapping(__len__=raiser(Failing("no len"))), "Failing: no len"),
    (user_mapping(__len__=lambda self: -1), "ValueError: __len__() should return >= 0"),
    (user_mapping(__len__=lambda self: 2), "IndexError: list index out of range"),
    (dict_subclass(keys=raiser(Errors.Nested("qualified"))), "Errors.Nested: qualified"),
    (user_sequence(__len__=raiser(Failing("no len"))), "Failing: no len"),
    (user_sequence(__len__=lambda self: sys.maxsize), "IndexError: list index out of range"),
    (user_sequence(__len__=lambda self: 2**70),
     "OverflowError: cannot fit 'int' into an index-sized integer"),
    (user_mapping(__len__=lambda self: sys.maxsize), "IndexError: list index out of range"),
    (user_sequence(__getitem__=raiser(Failing("no item"))), "Failing: no item"),
    (UnindexableSet([1]), "TypeError: 'UnindexableSet' object does not support indexing"),
]


@pytest.mark.parametrize("data, text", FAILURES)
def test_failure_texts(data, text):
    assert conversion_error(data) == text
    # nothing of an enclosing structure is returned either
    assert conversion_error({"outer": [1, data]}) == text


@pytest.mark.parametrize("data, text", [
    (Outer.Inner(), "unsupported type Outer.Inner"),
    (b"x", "invalid type: byte array, expected any valid JSON value"),
    (2**64, "JSON number out of range"),
])
def test_failures_come_as_plain_value_errors(data, text):
    with pytest.raises(ValueError) as info:
        m.encode(data)
    assert type(info.value) is ValueError
    assert info.value.args == ("Python conversion error: " + text,)
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_user_exception_is_never_raised_as_itself():
    data = dict_subclass(keys=raiser(Failing("mine")))
    with pytest.raises(ValueError) as info:
        m.encode(data)
    assert not isinstance(info.value, Failing)
    assert str(info.value) == "Python conversion error: Failing: mine"


def test_mapping_smaller_than_its_keys_is_read_up_to_its_size():
    data = user_mapping(keys=lambda self: ["a", 1], values=lambda self: [1, 2],
                        __len__=lambda self: 1)
    assert encoded(data) == encoded({"a": 1})


def test_values_shorter_than_keys():
    data = user_mapping(keys=lambda self: ["a", "b"], values=lambda self: [1],
                        __len__=lambda self: 2)
    assert conversion_error(data) == "IndexError: list index out of range"


# --- containers that change while they are read -----------------------------

class Growing(UserSequence):
    """Reports a longer length on every call of len()."""

    def __len__(self):
        self.items.append(0)
        return len(self.items) - 1


class GrowingList(list):
    def __len__(self):
        self.append(0)
        return super().__len__() - 1


def test_length_changed_between_readings():
    assert conversion_error(Growing([1, 2, 3])) == "expected sequence of length 3, got 4"
    assert conversion_error(GrowingList([1, 2, 3])) == "expected sequence of length 3, got 4"
    assert conversion_error([{"a": Growing([])}]) == "expected sequence of length 0, got 1"


class Clearer(collections.abc.Mapping):
    """A mapping whose keys() empties the given container."""

    def __init__(self, target):
        self.target = target

    def keys(self):
        self.target.clear()
        return []

    def values(self):
        return []

    __getitem__ = __iter__ = None

    def __len__(self):
        return 0


class Adder(Clearer):
    def keys(self):
        self.target.extend(["x", "y"])
        return []


def test_list_that_shrinks_while_read():
    data = [1]
    data[:] = [Clearer(data), 2, 3]
    assert conversion_error(data) == "IndexError: list index out of range"
    sub = MyList()
    sub.extend([Clearer(sub), 2])
    assert conversion_error(sub) == "IndexError: list index out of range"
    seq = UserSequence([])
    seq.items.extend([Clearer(seq.items), 2])
    assert conversion_error(seq) == "IndexError: list index out of range"


def test_list_that_grows_while_read_is_read_to_its_first_length():
    data = []
    data.extend([Adder(data), 1])
    assert encoded(data) == encoded([{}, 1])
    assert len(data) == 4


def test_dict_changed_while_read_is_read_as_it_was():
    data = {}
    data.update(a=Clearer(data), b=[1, 2])
    assert encoded(data) == encoded({"a": {}, "b": [1, 2]})
    assert data == {}


class Mutator:
    """Hashable sequence that changes the set holding it when read."""

    def __init__(self, target):
        self.target = target

    def __hash__(self):
        return id(self)

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError(i)
        self.target.add(object())
        return 1


collections.abc.Sequence.register(Mutator)


def test_set_that_changes_while_iterated():
    data = set()
    data.add(Mutator(data))
    data.add(2)
    text = conversion_error(data)
    assert text == "RuntimeError: Set changed size during iteration"


class FlipClass:
    """isinstance() against `abc` is true for the first `yes` checks only."""

    def __init__(self, abc, yes, **attrs):
        self.registered = type("Registered", (), attrs)
        abc.register(self.registered)
        self.remaining = yes

    @property
    def __class__(self):
        self.remaining -= 1
        return self.registered if self.remaining >= 0 else FlipClass


class FlipSequence(FlipClass):
    def __len__(self):
        return 1

    def __getitem__(self, i):
        return 1


def test_object_that_stops_counting_as_a_sequence():
    data = FlipSequence(collections.abc.Sequence, 1)
    assert conversion_error(data) == (
        "unexpected type: 'FlipSequence' object cannot be converted to 'Sequence'")


def test_object_that_stops_counting_as_a_mapping():
    # the first check (against Sequence) says no, the second (Mapping) yes
    data = FlipClass(collections.abc.Mapping, 2)
    assert conversion_error(data) == (
        "unexpected type: 'FlipClass' object cannot be converted to 'Mapping'")


# --- failing collections.abc checks ------------------------------------------

class BrokenCheck:
    """isinstance() against the collections.abc classes raises."""

    @property
    def __class__(self):
        raise Failing("class check")


def test_failing_abc_check_is_reported_as_unraisable(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    data = BrokenCheck()
    assert conversion_error([data]) == "unsupported type BrokenCheck"
    # the sequence check, then the mapping check, each reported once
    assert len(reports) == 2
    for report in reports:
        assert type(report.exc_value) is Failing
        assert str(report.exc_value) == "class check"
        assert report.object is data
    assert sys.exc_info() == (None, None, None)


def test_failing_abc_check_of_a_set_element(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    assert conversion_error(MySet(["x", BrokenCheckHashable()])) == (
        "unsupported type BrokenCheckHashable")
    assert len(reports) == 2


class BrokenCheckHashable(BrokenCheck):
    def __hash__(self):
        return 1


# --- nesting limit and cycles -------------------------------------------------

TOO_DEEP = "data is nested deeper than 512 levels"
CIRCULAR = "circular reference: a container holds itself"


def nest(levels, kind="list", leaf=1):
    data = leaf
    for i in range(levels):
        k = kind if kind != "mixed" else ("list", "dict", "tuple", "user")[i % 4]
        if k == "list":
            data = [data]
        elif k == "dict":
            data = {"k": data}
        elif k == "tuple":
            data = (data,)
        elif k == "user":
            data = UserMapping({"u": data})
        elif k == "sequence":
            data = UserSequence([data])
        elif k == "frozenset":
            data = frozenset([data])
    return data


KINDS = ["list", "dict", "tuple", "user", "sequence", "frozenset", "mixed"]


@pytest.mark.parametrize("kind", KINDS)
def test_nesting_limit(kind):
    assert encoded(nest(512, kind)).endswith("1")
    assert conversion_error(nest(513, kind)) == TOO_DEEP
    assert conversion_error(nest(513, kind, leaf=b"not reached")) == TOO_DEEP


@pytest.mark.parametrize("kind", ["list", "dict", "mixed"])
def test_very_deep_nesting_fails_cleanly(kind):
    assert conversion_error(nest(100_000, kind)) == TOO_DEEP


def self_list():
    data = []
    data.append(data)
    return data


def self_dict():
    data = {}
    data["self"] = data
    return data


def indirect_cycle():
    a, b = [], {}
    a.append(b)
    b["a"] = (1, a)
    return {"root": a}


class SelfMapping(collections.abc.Mapping):
    def __getitem__(self, key):
        return self

    def __len__(self):
        return 1

    def __iter__(self):
        return iter(["me"])


class SelfSequence(collections.abc.Sequence):
    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i:
            raise IndexError(i)
        return self


@pytest.mark.parametrize("make", [self_list, self_dict, indirect_cycle, SelfMapping,
                                  SelfSequence])
def test_container_holding_itself(make):
    assert conversion_error(make()) == CIRCULAR
    assert conversion_error([1, {"x": make()}]) == CIRCULAR


def test_repeated_object_is_not_a_cycle():
    shared = [1, 2]
    assert encoded([shared, shared, {"a": shared, "b": [shared]}]) == encoded(
        [[1, 2], [1, 2], {"a": [1, 2], "b": [[1, 2]]}])


# --- value tree to Python objects (through decode_toon) ----------------------

def assert_same(got, expected):
    """Equal values of exactly the same types, down to the sign of zero."""
    assert type(got) is type(expected), (got, expected)
    if isinstance(expected, dict):
        assert list(got) == list(expected)
        for key in expected:
            assert_same(got[key], expected[key])
    elif isinstance(expected, list):
        assert len(got) == len(expected)
        for a, b in zip(got, expected):
            assert_same(a, b)
    elif isinstance(expected, float):
        assert repr(got) == repr(expected)
    else:
        assert got == expected


@pytest.mark.parametrize("text, expected", [
    ("", {}),
    ("b: 1\na[3]: true,null,2.5", {"a": [True, None, 2.5], "b": 1}),
    ("é: 1\nB: 2\na: 3\n_: 4", {"B": 2, "_": 4, "a": 3, "é": 1}),
    ("u: 18446744073709551615\ns: -9223372036854775808\nz: 0",
     {"s": -9223372036854775808, "u": 18446744073709551615, "z": 0}),
    ("f: 3.0\nn: -0.0\np: 0.1", {"f": 3.0, "n": -0.0, "p": 0.1}),
    ('e: ""\nt: true\nf: false\nn: null', {"e": "", "f": False, "n": None, "t": True}),
    ("v: a\x00b\nk\x00: \x00", {"k\x00": "\x00", "v": "a\x00b"}),
    ("s: héllo ✓ 😀", {"s": "héllo ✓ 😀"}),
    ("a[0]:\nb[2]: x,1", {"a": [], "b": ["x", 1]}),
    ("t[2]{id,name}:\n  1,Ada\n  2,Bob",
     {"t": [{"id": 1, "name": "Ada"}, {"id": 2, "name": "Bob"}]}),
    ("t[2]{b,a}:\n  1,2\n  3,4", {"t": [{"a": 2, "b": 1}, {"a": 4, "b": 3}]}),
])
def test_decoded_values(text, expected):
    assert_same(m.decode_toon(text), expected)


def test_decoded_table_rows_are_independent_dicts():
    rows = m.decode_toon("t[3]{k,v}:\n  1,x\n  2,y\n  3,z")["t"]
    assert [type(r) for r in rows] == [dict, dict, dict]
    rows[0]["k"] = 99
    assert rows[1] == {"k": 2, "v": "y"} and rows[2] == {"k": 3, "v": "z"}


def test_encoded_text_decodes_back():
    data = {"name": "Ada", "n": 18446744073709551615, "neg": -9223372036854775808,
            "ratio": 2.5, "ok": True, "none": None, "tags": ["x", "y"],
            "rows": [{"id": 1, "v": "a"}, {"id": 2, "v": "b"}]}
    assert_same(m.decode_toon(encoded(data)), {key: data[key] for key in sorted(data)})


# --- dicts that repeat the key objects of earlier dicts -----------------------

KEY_REUSE = textwrap.dedent("""
    import random
    import vardel

    def fresh(data):
        # the same data with new key objects, so that no key object repeats
        if isinstance(data, dict):
            return {"".join(list(k)): fresh(v) for k, v in data.items()}
        if isinstance(data, list):
            return [fresh(x) for x in data]
        return data

    def wrap(data, levels):
        for _ in range(levels):
            data = [data]
        return data

    rng = random.Random(7)
    keys = ["b", "a", "d", "c", "key", "_x", "é"]
    def record(depth):
        chosen = keys[: rng.randint(2, len(keys))]
        if rng.random() < 0.3:
            chosen = chosen[::-1]
        return {k: (record(depth + 1) if depth < 4 and rng.random() < 0.4 else rng.randint(0, 9))
                for k in chosen}

    bad = []
    for levels in range(0, 14):
        for _ in range(30):
            data = wrap([record(0) for _ in range(rng.randint(2, 4))], levels)
            if vardel.encode(data) != vardel.encode(fresh(data)):
                bad.append(levels)
    # a record whose value is a record with other keys, below every nesting level
    for levels in range(0, 14):
        data = wrap([{"b": 1, "a": 2}, {"b": {"x": 1, "y": 2}, "a": 3}], levels)
        if vardel.encode(data) != vardel.encode(fresh(data)):
            bad.append(levels)
    print("mismatches:", sorted(set(bad)))
""")


def test_records_sharing_key_objects_at_any_depth():
    # run apart: a fault here has crashed the interpreter
    result = subprocess.run([sys.executable, "-c", KEY_REUSE], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout == "mismatches: []\n"


# The exact built-in containers are read by fast paths of their own; the same
# data in subclasses and user containers goes through the general rules. Both
# must give the same text.
KEY_OBJECTS = ["id", "name", "b", "a", "", "é", "key with space", "Z", "_"]
scalars = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**64 - 1),
                    st.floats(allow_nan=True), st.text(max_size=5))
json_data = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.dictionaries(st.sampled_from(KEY_OBJECTS), inner, max_size=6),
        st.lists(st.fixed_dictionaries({"id": inner, "name": scalars}), min_size=2, max_size=4),
    ),
    max_leaves=30,
)


def as_general(data, style):
    if isinstance(data, dict):
        pairs = {k: as_general(v, style) for k, v in data.items()}
        return MyDict(pairs) if style == 0 else UserMapping(pairs)
    if isinstance(data, list):
        items = [as_general(x, style) for x in data]
        return MyList(items) if style == 0 else UserSequence(items)
    return data


@settings(max_examples=150, deadline=None)
@given(json_data, st.integers(0, 9))
def test_fast_paths_agree_with_the_general_rules(data, levels):
    for _ in range(levels):
        data = [data]
    text = encoded(data)
    assert encoded(as_general(data, 0)) == text
    assert encoded(as_general(data, 1)) == text
