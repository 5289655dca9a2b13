"""The order in which encode reads the data: containers are read as the encoder reaches them, yet
user code runs, and failures are chosen, as if all the data were read first, depth first in each
container's own order (a dict's insertion order), and then written."""

import pytest

import vardel._vardel as m
from support import PREFIX, SameText, UMap, USeq, outcome


def logged(log, name, then=None, **pairs):
    """A mapping whose keys() records `name` in `log` (and runs `then`) each time it is read."""
    def keys():
        log.append(name)
        if then is not None:
            then()
    return UMap(pairs or {"a": 1}, keys=keys)


# Each maker takes the call log and returns (data, options).
ORDER_CASES = {
    # two failures in sibling containers: the one met first in dict order wins, wherever it is written
    "range_before_surrogate": (lambda log: ({"b": [2**70], "a": ["\ud800"]}, {}), "JSON number out of range", []),
    "surrogate_before_range": (lambda log: ({"a": ["\ud800"], "b": [2**70]}, {}), "UnicodeEncodeError", []),
    "deep_bytes_first": (lambda log: ({"z": {"y": [b"x"]}, "a": {"b": [2**70]}}, {}), "invalid type: byte array", []),
    # user code runs in dict order, once, even where the keys are written in another order
    "siblings": (lambda log: ({"b": [logged(log, "b")], "a": [logged(log, "a")]}, {}), None, ["b", "a"]),
    "cousins": (lambda log: ({"b": {"x": [logged(log, "b")]}, "a": {"y": logged(log, "a")}, "c": [logged(log, "c")]}, {}),
                None, ["b", "a", "c"]),
    "failing_user_code_first": (lambda log: ({"b": {"x": [logged(log, "b", then=lambda: 1 / 0)]}, "a": {"y": [b"x"]}}, {}),
                                "ZeroDivisionError", ["b"]),
    # a row read through user code is read once, though the table that tried it becomes a list
    "row_read_once": (lambda log: ([{"a": 1}, {"a": logged(log, "row")}], {}), None, ["row"]),
    # a failure anywhere beats the encoder's own, met earlier in the text
    "after_bad_delimiter": (lambda log: ([[1], {"k": logged(log, "k", then=lambda: 1 / 0)}], {"delimiter": ";"}),
                            "ZeroDivisionError", ["k"]),
    "after_bad_delimiter_in_member": (lambda log: ({"a": [1], "b": [{"c": b"x"}]}, {"delimiter": ";"}), "invalid type", []),
    "written_later_read_earlier": (lambda log: ({"b": [1], "a": {"x": [b"x"]}}, {"delimiter": ";"}), "invalid type", []),
    "after_deep_indentation": (lambda log: ({"c": {"b": {"q": 1}}, "a": {"z": [1, USeq(len=lambda: log.append("a"))]}},
                                            {"indent": 2**62}), "Indentation too large", ["a", "a"]),
    "user_code_before_indentation": (lambda log: ({"a": {"b": 1}, "c": [logged(log, "c")]}, {"indent": 2**62}),
                                     "Indentation too large", ["c"]),
}


@pytest.mark.parametrize("make, error, calls", ORDER_CASES.values(), ids=ORDER_CASES.keys())
def test_failures_and_user_code_come_in_reading_order(make, error, calls):
    log = []
    data, options = make(log)
    kind, text = outcome(m.encode, data, m.EncodeOptions(**options))
    if error is None:
        assert kind == "ok"
    else:
        assert kind in (ValueError, OverflowError) and error in text, (kind, text)
        assert (kind is OverflowError) == error.startswith("Indentation")
        assert kind is OverflowError or text.startswith(PREFIX)
    assert log == calls


def grows_later_sibling(log):
    later = [1]
    return {"b": {"x": logged(log, "b", then=lambda: later.append(9))}, "a": later}


def grows_dict_read_later(log):
    data = {"b": None, "a": {"x": 1}}
    data["b"] = [logged(log, "b", then=lambda: data["a"].update(y=2))]
    return data


@pytest.mark.parametrize("make, text", [
    # "a" is written first but read after the user code under "b", which changed it
    (grows_later_sibling, "a:\n  [2]: 1,9\nb:\n    x:\n          a: 1"),
    (grows_dict_read_later, "a:\n    x: 1\n    y: 2\nb:\n  [1]{a}:\n      1"),
])
def test_containers_written_before_but_read_after_user_code_show_its_changes(make, text):
    log = []
    assert m.encode(make(log)) == text
    assert log == ["b"]


@pytest.mark.parametrize("data, text", [
    ({"z": {"y": 1, "x": {"w": 2, "v": 3}}, "a": [{"d": 1, "c": [2, 1]}]},
     "z:\n    y: 1\n    x:\n          w: 2\n          v: 3\na:\n  [1]:\n      - d: 1\n        c:\n        [2]: 2,1"),
    # the general rules keep each mapping's own order too
    (UMap({"q": 1, "p": {"o": 2, "n": 3}}), "q: 1\np:\n    o: 2\n    n: 3"),
    ((USeq([UMap({"y": 1, "x": 2})]),), "[1]:\n  - [1]{y,x}:\n  1,2"),
    # a key met twice keeps its first place and takes the last value
    ({"k": {SameText("z"): [1], "y": 0, "z": {"m": 1}}}, "k:\n    z:\n          m: 1\n    y: 0"),
    (UMap({"b": 1, "a": 2}, keys=lambda: ["b", "a", "b"], values=lambda: [1, 2, 3], len=lambda: 3), "b: 3\na: 2"),
])
def test_without_sorting_each_mapping_keeps_its_order(data, text):
    assert m.encode(data, m.EncodeOptions(sort_keys=False)) == text


def test_without_sorting_user_code_and_failures_follow_the_text():
    log = []
    data = {"b": [logged(log, "b")], "a": [logged(log, "a", then=lambda: 1 / 0)], "c": [b"x"]}
    assert outcome(m.encode, data, m.EncodeOptions(sort_keys=False))[1] == PREFIX + "ZeroDivisionError: division by zero"
    assert log == ["b", "a"]


def after_user_code(change, later):
    """`later` is held after the user code that changes it, by the enclosing dict and by a list."""
    return {"a": {"x": UMap(keys=lambda: change(later))}, "b": later, "c": [later, 1]}


def list_changed_behind():
    items = [1, "old", [2]]
    items[0] = {"x": UMap(keys=lambda: items.__setitem__(1, "new") or items[2].append(3))}
    return items


def dicts_replaced_behind():
    """A list's later dicts, freed when user code replaces them before they are reached."""
    items = [{"k": -i} for i in range(13)]
    items[0] = {"x": UMap(keys=lambda: items.__setitem__(slice(1, None), [{"k": i} for i in range(12)]))}
    return items


def tuple_changed_behind():
    later = [1]
    return ({"x": UMap(keys=lambda: later.append(9))}, later)


HEAD = "a:\n    x:\n          a: 1\n"


@pytest.mark.parametrize("data, text", [
    # containers read one level at a time before the user code ran are read again as they are after it
    (after_user_code(lambda later: later.append(9), [1]), HEAD + "b:\n  [2]: 1,9\nc:\n  [2]:\n      - [2]: 1,9\n      - 1"),
    (after_user_code(list.clear, [1]), HEAD + "b:\n  [0]:\nc:\n  [2]:\n      - [0]:\n      - 1"),
    (after_user_code(lambda later: later.append(1), []), HEAD + "b:\n  [1]: 1\nc:\n  [2]:\n      - [1]: 1\n      - 1"),
    (after_user_code(lambda later: later.update(z=[1]), {}),
     HEAD + "b:\n    z:\n      [1]: 1\nc:\n  [2]:\n      - z:\n        [1]: 1\n  \n      - 1"),
    (after_user_code(dict.clear, {"k": 1}), HEAD + "b:\nc:\n  [2]:\n      - \n      - 1"),
    (tuple_changed_behind(), "[2]:\n  - x:\n        a: 1\n\n  - [2]: 1,9"),
    # a list's later items as they are when reached (one that shrinks: test_mutation.py)
    (list_changed_behind(), "[3]:\n  - x:\n        a: 1\n\n  - new\n  - [2]: 2,3"),
    (dicts_replaced_behind(), "[13]:\n  - x:\n        a: 1\n\n" + "\n".join(f"  - k: {i}" for i in range(12))),
])
def test_what_user_code_changes_is_read_as_changed(data, text):
    assert m.encode(data) == text
