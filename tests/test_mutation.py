"""Data changed by user code while encode reads it.

Exact containers are read in place until user code could run; from then on
what is being read is held and the dicts in progress are snapshotted, so the
result is that of the data as it was when each dict was reached, and nothing
freed by the user code is read.
"""

from collections.abc import Mapping

import pytest

import vardel


class Meddler(Mapping):
    """A mapping whose keys() runs `action` first."""

    def __init__(self, action):
        self.action = action

    def __getitem__(self, key):
        return {"m": 1}[key]

    def __iter__(self):
        return iter(["m"])

    def __len__(self):
        return 1

    def keys(self):
        self.action()
        return ["m"]

    def values(self):
        return [1]


def fresh(text):
    # A str object referenced only by the container it is put in.
    return "".join([text, ""]) + str(len(text))


@pytest.mark.parametrize("suffix", ["ascii", "nön äscii 東京"])
def test_dict_cleared_by_its_own_member_keeps_the_pairs_it_had(suffix):
    inner = {}
    inner["first"] = fresh("kept " + suffix)
    inner["meddler"] = Meddler(inner.clear)
    inner["z"] = fresh("later " + suffix)
    text = vardel.encode({"inner": inner})
    assert text.splitlines() == [
        "inner:",
        f"    first: kept {suffix}{len(suffix) + 5}",
        "    meddler:",
        "          m: 1",
        f"    z: later {suffix}{len(suffix) + 6}",
    ]
    assert inner == {}


def test_outer_dict_changed_after_secure_is_read_as_it_was():
    data = {}

    def mutate():
        data.clear()
        data["new"] = 1

    data["a"] = Meddler(lambda: None)  # makes user code run first
    data["b"] = {"c": Meddler(mutate), "d": fresh("dee")}
    data["e"] = fresh("ee")
    text = vardel.encode(data)
    assert "new" not in text
    assert "d: dee3" in text and "e: ee2" in text


def test_list_emptied_while_read_reports_an_index_error():
    items = [fresh("x")]
    items.append(Meddler(items.clear))
    items.append(fresh("y"))
    with pytest.raises(ValueError, match="^Python conversion error: IndexError: list index out of range$"):
        vardel.encode(items)


def test_dict_entered_after_user_code_ran_is_snapshotted():
    later = {}
    later["m"] = Meddler(later.clear)
    later["s"] = fresh("still here")
    data = [Meddler(lambda: None), later]
    text = vardel.encode(data)
    assert "s: still here10" in text


def test_dict_tables_are_read_in_place_on_this_interpreter(hooks):
    assert hooks.dict_layout_trusted()


class Point:
    def __init__(self):
        self.y = 2
        self.x = 1


def holed():
    d = {"a": 1, "gone": 0, "b": 2, "also gone": 0, "c": 3}
    del d["gone"], d["also gone"]
    return d


@pytest.mark.parametrize(
    "make, text",
    [
        (holed, "a: 1\nb: 2\nc: 3"),
        (lambda: vars(Point()), "x: 1\ny: 2"),  # a split table: keys shared by instances
        (lambda: {str(i): i for i in range(300)}, None),
        (lambda: dict.fromkeys("zyx", None), "x: null\ny: null\nz: null"),
    ],
)
def test_every_kind_of_dict_table_gives_its_pairs(make, text):
    d = make()
    if text is None:  # numeric-looking keys are quoted
        text = "\n".join(f'"{k}": {v}' for k, v in sorted(d.items()))
    assert vardel.encode(d) == text


def test_a_non_str_key_after_deleted_entries_is_still_refused():
    d = {"a": 1, "b": 2, 3: 4}
    del d["a"]
    with pytest.raises(ValueError, match="'int' object cannot be converted to 'PyString'"):
        vardel.encode(d)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_interruptions_in_user_code_propagate_unchanged(exc):
    def interrupt():
        raise exc("stop")

    with pytest.raises(exc, match="^stop$"):
        vardel.encode({"a": [Meddler(interrupt)]})


def test_ordinary_exceptions_in_user_code_are_conversion_errors():
    def fail():
        raise LookupError("gone")

    with pytest.raises(ValueError, match="^Python conversion error: LookupError: gone$"):
        vardel.encode(Meddler(fail))
