"""encode(data, default=fn): objects the conversion refuses go to fn, and what it returns is
converted in their place; errors name where in the data they happened."""

import collections
import dataclasses
import subprocess
import sys
import datetime as dt
import decimal
import enum
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import PREFIX, UMap, USeq, fail
from vardel import EncodeOptions, common_types, encode

UNSUPPORTED = PREFIX + "unsupported type "
TOO_DEEP = PREFIX + "data is nested deeper than 512 levels"
CIRCULAR = PREFIX + "circular reference: a container holds itself"


class Thing:
    def __init__(self, payload=None):
        self.payload = payload


def unwrap(o):
    """Replaces a Thing by its payload (which may hold more Things)."""
    if isinstance(o, Thing):
        return o.payload
    raise TypeError(f"no form for {type(o).__name__}")


def nest(value, levels):
    for _ in range(levels):
        value = [value]
    return value


def caught(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return info.value


# ---------------------------------------------------------------- what default gives is encoded

# (data, default, the same data as default replaces it)
@pytest.mark.parametrize(("data", "default", "plain"), [
    (Thing(5), unwrap, 5),
    ([Thing("a"), 1, Thing(None)], unwrap, ["a", 1, None]),
    ({"x": Thing({"b": 2, "a": Thing([Thing(1.5), (Thing(True),)])})}, unwrap,
     {"x": {"b": 2, "a": [1.5, (True,)]}}),
    ([{"id": 1, "t": Thing("x")}, {"id": 2, "t": Thing("y")}], unwrap, [{"id": 1, "t": "x"}, {"id": 2, "t": "y"}]),
    (Thing(UMap({"k": Thing(USeq([Thing(3)]))})), unwrap, {"k": [3]}),
    ({Thing(1)}, unwrap, [1]),
    (collections.OrderedDict(z=Thing(1)), unwrap, {"z": 1}),
    (nest(Thing(nest(Thing(7), 100)), 100), unwrap, nest(7, 200)),
    ([b"ab", bytearray(b"c")], lambda o: o.hex(), ["6162", "63"]),
    ({"n": Thing(2**64 - 1), "m": Thing(-(2**63))}, unwrap, {"n": 2**64 - 1, "m": -(2**63)}),
    ([Thing(float("nan")), Thing(-0.0)], unwrap, [None, -0.0]),
    ([Thing(Thing(Thing("deep")))], unwrap, ["deep"]),
])
def test_replacements_are_encoded_by_the_same_rules(data, default, plain):
    assert encode(data, default=default) == encode(plain)
    assert encode(data, EncodeOptions("|", 0), default=default) == encode(plain, EncodeOptions("|", 0))


def test_nothing_changes_without_default():
    data = [{"a": [1, 2.5, "x", None, True], "b": ()}]
    assert encode(data, default=None) == encode(data) == encode(data, None, default=None)
    for bad in ([object()], [b"x"], {1: 2}, [2**70]):
        assert str(caught(encode, bad, default=None)) == str(caught(encode, bad))


@pytest.mark.parametrize("data", [{"k": [1, "x", {"a": (None, 2.5)}]}, [], {}, "text", 3, USeq([1, 2])])
def test_default_is_not_called_for_data_it_never_refuses(data):
    assert encode(data, default=fail(AssertionError("called"))) == encode(data)


def test_default_sees_each_refused_object_once_in_order():
    seen = []

    def record(o):
        seen.append(o)
        return len(seen)

    things = [Thing(), Thing(), Thing()]
    data = {"b": [things[1], {"c": things[2]}], "a": things[0]}
    assert encode(data, default=record) == encode({"a": 3, "b": [1, {"c": 2}]})
    assert seen == [things[1], things[2], things[0]]  # in the order the data holds them


# ---------------------------------------------------------------- ends that are not loops

# Errors of the nesting limit have no note: their path has a step for each of 512 levels and
# names no place worth showing.
@pytest.mark.parametrize(("data", "default", "message", "note"), [
    (Thing(), lambda o: o, UNSUPPORTED + "Thing", "at $"),
    ([1, {"a": Thing()}], lambda o: o, UNSUPPORTED + "Thing", "at $[1].a"),
    (b"x", lambda o: o, PREFIX + "invalid type: byte array, expected any valid JSON value", "at $"),
    (bytearray(b"x"), lambda o: o, PREFIX + "unexpected type: 'bytearray' object cannot be converted to 'PyBytes'",
     "at $"),
    (Thing(), lambda o: Thing(), TOO_DEEP, None),  # a new refused object every time
    (Thing(), lambda o: [o], TOO_DEEP, None),
    (Thing(), lambda o: {"again": Thing()}, TOO_DEEP, None),
    (nest(object(), 600), None, TOO_DEEP, None),
    ((loop := {"a": [1]}, loop["a"].append(loop))[0], None, CIRCULAR, None),
    (held := [Thing()], lambda o: held, CIRCULAR, None),  # a replacement holding its container
    (Thing(2**64), unwrap, PREFIX + "JSON number out of range", "at $"),
    (Thing({1: 2}), unwrap, PREFIX + "unexpected type: 'int' object cannot be converted to 'PyString'", "at $"),
    (Thing(USeq([1], len=[2, 1].pop)), unwrap, PREFIX + "expected sequence of length 1, got 2", "at $"),
])
def test_refusals_still_end_in_their_error(data, default, message, note):
    error = caught(encode, data, default=default)
    assert type(error) is ValueError and str(error) == message
    assert getattr(error, "__notes__", None) == (None if note is None else [note])


@pytest.mark.parametrize(("levels", "replacement", "ok"), [
    (512, 1, True),            # a scalar in place of an object inside 512 containers
    (511, [1], False),         # the object replaced counts as a level for the list in its place
    (510, [1], True),
    (510, Thing([1]), False),  # replaced twice: two levels
    (509, Thing([1]), True),
    (0, nest(1, 511), True),
    (0, nest(1, 512), False),
])
def test_nesting_limit_counts_replaced_objects(levels, replacement, ok):
    data = nest(Thing(replacement), levels)
    if ok:
        assert encode(data, EncodeOptions(indent=0), default=unwrap).endswith("1")
    else:
        assert str(caught(encode, data, EncodeOptions(indent=0), default=unwrap)) == TOO_DEEP


# ---------------------------------------------------------------- exceptions from default

class Custom(Exception):
    pass


@pytest.mark.parametrize("exc", [Custom("mine"), TypeError("no form"), ValueError(PREFIX + "lookalike"),
                                 KeyError("k"), RecursionError("deep")])
def test_exceptions_from_default_propagate_unchanged_with_a_note(exc):
    data = {"users": [{"id": 1}, {"created": Thing(), "id": 2}]}
    error = caught(encode, data, default=fail(exc))
    assert error is exc and error.args == exc.args and error.__notes__ == ["at $.users[1].created"]


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_interruptions_from_default_propagate_without_a_note(exc):
    error = caught(encode, [Thing()], default=fail(exc))
    assert error is exc and not hasattr(error, "__notes__")


def test_errors_of_the_data_inside_a_replacement_are_conversion_errors():
    data = [Thing(USeq([1, 2], getitem=fail(LookupError("inner"))))]
    error = caught(encode, data, default=unwrap)
    assert type(error) is ValueError and str(error) == PREFIX + "LookupError: inner"
    assert error.__notes__ == ["at $[0]"]


def test_default_must_be_callable():
    error = caught(encode, [1], default=5)
    assert type(error) is TypeError and str(error) == "encode() argument 'default' must be callable or None, not int"


# ---------------------------------------------------------------- where the error is

# With SEMI the delimiter fails the first array written; the data's failure, found after, wins.
# Once default has run (UNWRAP), all the rest of the data is read at once.
SEMI, UNWRAP = {"options": EncodeOptions(";")}, {"default": unwrap}


@pytest.mark.parametrize(("data", "kwargs", "note"), [
    (object(), {}, "at $"),
    ({"users": [{"id": 1}, {"id": 2, "created": object()}]}, {}, "at $.users[1].created"),
    ([{"a": 1, "b": 2}, {"a": 1, "b": 2}, {"a": 1, "b": object()}], {}, "at $[2].b"),  # rows of one key order
    (UMap({"m": USeq([0, object()])}), {}, "at $.m[1]"),
    ({"s": frozenset([object()])}, {}, "at $.s[0]"),
    (collections.OrderedDict(k=[2**70]), {}, "at $.k[0]"),
    ({"k": "\ud800"}, {}, "at $.k"),
    ({"k": {"\ud800": 1}}, {}, "at $.k"),  # the key itself fails: the path names its mapping
    ({"k": {5: 1}}, {}, "at $.k"),
    ({"k": USeq([1], getitem=fail(LookupError("x")))}, {}, "at $.k"),
    ({"z": [1, 2], "a": {"k": [object()]}}, {}, "at $.a.k[0]"),  # read in dict order, written sorted
    ({"z": {"y": [1, {"q": [5, object()]}]}, "a": {"k": [1]}, "b": 1}, {}, "at $.z.y[1].q[1]"),
    ([[1, [2, [3, {"deep key": [object()]}]]]], {}, 'at $[0][1][1][1]["deep key"][0]'),
    ({"a": [{"b": 1}], "c": {"d": [1, 2**70]}}, {}, "at $.c.d[1]"),
    ({"a": [1, 2], "b": [{"x": object()}]}, SEMI, "at $.b[0].x"),
    ({"a": [[1, 2], [3, (object(),)]]}, SEMI, "at $.a[1][1][0]"),
    ({"b": {"c": [object()]}, "a": [1, 2]}, SEMI, "at $.b.c[0]"),
    ({"a": [Thing(1)], "b": [object()]}, UNWRAP, "at $.b[0]"),
    ({"x": {"a": [Thing(1)], "b": [object()]}, "y": 1}, UNWRAP, "at $.x.b[0]"),
    ([[Thing(1)], [[object()]]], UNWRAP, "at $[1][0][0]"),
    ({"x": [[Thing(1)], {"k": [1, object()]}], "z": [2]}, UNWRAP, "at $.x[1].k[1]"),
])
def test_errors_say_where(data, kwargs, note):
    error = caught(encode, data, **kwargs)
    if kwargs is UNWRAP:
        assert type(error) is TypeError and str(error) == "no form for object"
    else:
        assert type(error) is ValueError and str(error).startswith(PREFIX)
        assert kwargs is not SEMI or str(error) == UNSUPPORTED + "object"
    assert error.__notes__ == [note]


def test_errors_from_a_dataclass_replacement_say_where():
    @dataclasses.dataclass
    class User:
        name: str
        created: object

    data = {"users": [User("a", dt.date(2020, 1, 1)), User("b", object())]}
    error = caught(encode, data, default=common_types)
    assert type(error) is TypeError and str(error) == "Object of type object is not TOON serializable"
    assert error.__notes__ == ["at $.users[1].created"]


# ---------------------------------------------------------------- the ready-made hook as default

class Color(enum.Enum):
    RED = "red"
    PAIR = (1, "two")


class Size(enum.IntEnum):
    S = 1


@dataclasses.dataclass
class Item:
    sku: uuid.UUID
    color: Color
    added: dt.datetime


@dataclasses.dataclass(slots=True)
class Order:
    id: int
    items: list
    on: dt.date
    total: decimal.Decimal


def stamps():
    return st.datetimes(timezones=st.none() | st.just(dt.timezone.utc) | st.timezones()
                        | st.builds(dt.timezone, st.timedeltas(dt.timedelta(hours=-23), dt.timedelta(hours=23))))


def common_values():
    leaf = st.one_of(stamps(), st.dates(), st.times(), st.uuids(), st.sampled_from(list(Color) + list(Size)),
                     st.decimals(allow_nan=False, places=3), st.integers(-5, 5), st.text(max_size=4))
    return st.recursive(leaf, lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.dictionaries(st.sampled_from(["a", "b", "c d"]), inner, max_size=3),
        st.builds(Item, st.uuids(), st.sampled_from(Color), stamps()),
        st.builds(Order, st.integers(0, 9), st.lists(inner, max_size=3), st.dates(), st.decimals(places=2, allow_nan=False))),
        max_leaves=12)


@settings(max_examples=300, deadline=None)
@given(common_values())
def test_the_ready_made_hook_gives_the_text_of_calling_it(data):
    expected = encode(data, default=lambda o: common_types(o))  # never read by the C API
    assert encode(data, default=common_types) == expected


def test_ready_made_hook_errors_are_its_own():
    class Zone(dt.tzinfo):
        def utcoffset(self, when):
            raise Custom("zone")

    error = caught(encode, {"t": [dt.datetime(2020, 1, 1, tzinfo=Zone())]}, default=common_types)
    assert type(error) is Custom and error.__notes__ == ["at $.t[0]"]
    error = caught(encode, {"t": dt.datetime(2020, 1, 1, tzinfo=type("Z", (Zone,), {"utcoffset": lambda s, w: 5})())},
                   default=common_types)
    assert type(error) is TypeError and "utcoffset()" in str(error) and error.__notes__ == ["at $.t"]


def no_int_uuid():
    u = uuid.UUID(int=9)
    object.__delattr__(u, "int")
    return u


@pytest.mark.parametrize("make", [no_int_uuid, lambda: type("U", (uuid.UUID,), {"__str__": fail(Custom("s"))})(int=1)])
def test_objects_the_c_reading_leaves_fail_as_the_hook_does(make):
    # In a list read one level at a time, and alone.
    for data in ([1, make()], {"k": make()}, make()):
        expected = caught(common_types, data if not isinstance(data, (list, dict)) else make())
        error = caught(encode, data, default=common_types)
        assert (type(error), str(error)) == (type(expected), str(expected))


def test_classes_a_rule_takes_are_not_sent_to_the_hook():
    """Dataclasses and Enums that a conversion rule takes, or may take, before default."""
    import collections.abc as abc

    @dataclasses.dataclass
    class AsMapping(abc.Mapping):
        a: int = 1

        def __getitem__(self, k):
            return {"x": self.a}[k]

        def __iter__(self):
            return iter(["x"])

        def __len__(self):
            return 1

    @dataclasses.dataclass
    class Registered:
        items: tuple = (1, 2)

        def __getitem__(self, i):
            return self.items[i]

        def __len__(self):
            return len(self.items)

    class Later(Registered):
        pass

    @dataclasses.dataclass
    class Lying:  # isinstance() believes __class__: a Sequence
        a: int = 5
        __class__ = property(lambda self: list)

        def __getitem__(self, i):
            return [self.a][i]

        def __len__(self):
            return 1

    class FloatEnum(float, enum.Enum):
        HALF = 0.5

    class SetLike(frozenset, enum.Enum):
        A = frozenset({1})

    class SeqEnum(enum.Enum):
        X = 1

        def __getitem__(self, i):
            return [7][i]

        def __len__(self):
            return 1

    data = [AsMapping(), Registered(), Later(), Lying(), FloatEnum.HALF, SetLike.A, SeqEnum.X]
    slow = lambda o: common_types(o)  # noqa: E731 - never read by the C API
    before = encode(data, default=common_types)
    assert before == encode(data, default=slow)
    abc.Sequence.register(Registered)  # after first use: Later too, as a subclass
    abc.Sequence.register(SeqEnum)
    after = encode(data, default=common_types)
    assert after == encode(data, default=slow) != before
    assert after == encode([{"x": 1}, [1, 2], [1, 2], [5], 0.5, [1], [7]])


PATCHES = {
    "uuid str": "uuid.UUID.__str__ = lambda self: 'patched'",
    "uuid int": "uuid.UUID.int = property(lambda self: 2)",
}


@pytest.mark.parametrize("patch", PATCHES.values(), ids=PATCHES)
@pytest.mark.parametrize("first_use", ["before", "after"])
def test_patched_standard_classes_are_left_to_the_hook(patch, first_use):
    # In a fresh interpreter: the C reading learns the classes on its first use.
    code = f"""
import enum, uuid
from vardel import encode, common_types
class Color(enum.Enum):
    RED = 'red'
data = [uuid.UUID(int=1), {{"k": (uuid.UUID(int=3), Color.RED)}}]
before = encode(data, default=lambda o: common_types(o))
if {first_use == "after"!r}:
    encode(data, default=common_types)
{patch}
fast, slow = encode(data, default=common_types), encode(data, default=lambda o: common_types(o))
assert fast == slow != before, (fast, slow)
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
