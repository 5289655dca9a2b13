"""Data changed by user code while encode reads it: held, snapshotted, never read after free."""

import collections.abc

import pytest

import vardel._vardel as m
from support import UMap, USeq, conversion_error, fail


def fresh(text):  # a str referenced only by the container it is put in
    return "".join([text, ""]) + str(len(text))


@pytest.mark.parametrize("suffix", ["ascii", "nön äscii 東京"])
def test_dict_cleared_by_its_own_member_keeps_the_pairs_it_had(suffix):
    inner = {"first": fresh("kept " + suffix)}
    inner["meddler"] = UMap(keys=inner.clear)
    inner["z"] = fresh("later " + suffix)
    assert m.encode({"inner": inner}) == (f"inner:\n    first: kept {suffix}{len(suffix) + 5}\n    meddler:\n"
                                          f"          a: 1\n    z: later {suffix}{len(suffix) + 6}")
    assert inner == {}


def test_dicts_reached_before_or_after_user_code_are_read_as_they_were():
    data = {"a": UMap()}  # user code runs first
    data["b"] = {"c": UMap(keys=lambda: data.clear() or data.update(new=1)), "d": fresh("dee")}
    data["e"] = fresh("ee")
    later = {"m": None, "s": fresh("still here")}
    later["m"] = UMap(keys=later.clear)
    assert m.encode([UMap(), data, later]) == m.encode(
        [{"a": 1}, {"a": {"a": 1}, "b": {"c": {"a": 1}, "d": "dee3"}, "e": "ee2"}, {"m": {"a": 1}, "s": "still here10"}])


def test_lists_that_shrink_or_grow_while_read():
    for data in ([], type("L", (list,), {})(), USeq([])):
        items = data.items if isinstance(data, USeq) else data
        items.extend([fresh("x"), UMap(keys=items.clear), fresh("y")])
        assert conversion_error(data) == "IndexError: list index out of range"
    grows = []  # grown far enough that its items move
    grows.extend([UMap(keys=lambda: grows.extend(range(100_000))), 1])
    assert m.encode(grows) == m.encode([{"a": 1}, 1])  # read to its first length


def test_containers_that_change_between_readings():
    growing = USeq([1, 2, 3])
    growing.on["len"] = lambda: growing.items.append(0) or len(growing.items) - 1
    assert conversion_error(growing) == "expected sequence of length 3, got 4"
    data = {2}
    data.add(type("H", (USeq,), {"__hash__": object.__hash__})(getitem=lambda: data.update(range(100, 200))))
    assert conversion_error(data) == "RuntimeError: Set changed size during iteration"


class FlipClass:
    """isinstance() against `abc` is true for the first `yes` checks only."""

    def __init__(self, abc, yes):
        self.registered = type("Registered", (), {})
        abc.register(self.registered)
        self.remaining = yes

    @property
    def __class__(self):
        self.remaining -= 1
        return self.registered if self.remaining >= 0 else FlipClass

    __len__, __getitem__ = (lambda self: 1), (lambda self, i: 1)


@pytest.mark.parametrize("abc, yes, name", [(collections.abc.Sequence, 1, "Sequence"), (collections.abc.Mapping, 2, "Mapping")])
def test_object_that_stops_counting_as_a_container(abc, yes, name):
    assert conversion_error(FlipClass(abc, yes)) == f"unexpected type: 'FlipClass' object cannot be converted to '{name}'"


class Point:
    def __init__(self):
        self.y, self.x = 2, 1


def test_every_kind_of_dict_table_gives_its_pairs(hooks):
    assert hooks.dict_layout_trusted()  # read in place on this interpreter
    holed = {"a": 1, "gone": 0, "b": 2, "also gone": 0, "c": 3, 3: 4}
    del holed["gone"], holed["also gone"], holed[3]
    assert m.encode(holed) == "a: 1\nb: 2\nc: 3"
    assert m.encode(vars(Point())) == "x: 1\ny: 2"  # a split table
    big = {str(i): i for i in range(300)}
    assert m.encode(big) == "\n".join(f'"{k}": {v}' for k, v in sorted(big.items()))
    holed[5] = 1
    assert conversion_error(holed) == "unexpected type: 'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_interruptions_in_user_code_propagate_unchanged(exc):
    with pytest.raises(exc, match="^stop$"):
        m.encode({"a": [UMap(keys=fail(exc("stop")))]})
