"""Helpers shared by the test files."""

import collections.abc
import decimal
import math

import vardel._vardel as m

PREFIX = "Python conversion error: "


def outcome(fn, *args, **kwargs):
    """("ok", result) or (exception type, message) of one call."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as e:  # noqa: BLE001 - the outcome is what is compared
        return (type(e), str(e))


def conversion_error(data, options=None):
    """The text after the prefix of the plain ValueError that encoding `data` raises."""
    kind, message = outcome(m.encode, data, options)
    assert kind is ValueError and message.startswith(PREFIX), (kind, message)
    return message[len(PREFIX):]


def fail(exc):
    def run(*args):
        raise exc
    return run


class UserCode:
    """Runs `on[name]()` first in each reading method; a non-None result replaces the method's."""

    def _run(self, name, result):
        got = self.on[name]() if name in self.on else None
        return result if got is None else got


class UMap(UserCode, collections.abc.Mapping):
    def __init__(self, pairs=None, **on):
        self.pairs, self.on = dict({"a": 1} if pairs is None else pairs), on

    def keys(self):
        return self._run("keys", list(self.pairs))

    def values(self):
        return self._run("values", list(self.pairs.values()))

    def __len__(self):
        return self._run("len", len(self.pairs))

    def __getitem__(self, key):
        return self.pairs[key]

    def __iter__(self):
        return iter(self.pairs)


class USeq(UserCode, collections.abc.Sequence):
    def __init__(self, items=(1,), **on):
        self.items, self.on = list(items), on

    def __len__(self):
        return self._run("len", len(self.items))

    def __getitem__(self, i):
        return self._run("getitem", self.items[i])


class Index:
    """Has __index__, which returns `result` or raises it."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def numpy_bool(value, name="bool_", module="numpy"):
    return type(name, (), {"__module__": module, "__bool__": lambda self: value})()


class SameText(str):
    """A key with the text of another that the dict still holds apart."""
    __hash__ = object.__hash__
    __eq__ = object.__eq__


def same(a, b):
    """Equal with the same types and key order (1 is not 1.0, -0.0 is not 0.0)."""
    return repr(a) == repr(b)


def assert_same(got, expected):
    assert same(got, expected), (got, expected)


# --- What decode gives back for encoded data -----------------------------------------------------

def canonical(data, sort_keys=True):
    """What `decode` gives for the text of `data` encoded with length markers: mappings as dicts
    with keys in the written order, other sequences (sets included) as lists, a whole-valued
    float whose written digits fit an integer as the int they spell (-0.0 stays -0.0), NaN and
    infinities as None.
    A table's rows take the order of the first row's keys."""
    if isinstance(data, (str, bool, int)) or data is None:
        return data
    if isinstance(data, float):
        if math.isnan(data) or math.isinf(data):
            return None
        if data.is_integer() and not (data == 0 and math.copysign(1, data) < 0):
            # The written digits are the shortest that read back as the float, as repr's are.
            n = int(decimal.Decimal(repr(data)))
            if -2**63 <= n < 2**64:
                return n
        return data
    if isinstance(data, collections.abc.Mapping):
        keys = list(data.keys())
        if sort_keys:
            keys.sort(key=lambda k: k.encode("utf-8"))
        return {k: canonical(data[k], sort_keys) for k in keys}
    items = [canonical(x, sort_keys) for x in data]
    if array_form(items) == "table":
        items = [{k: row[k] for k in items[0]} for row in items]
    return items


def is_scalar(value):
    return not isinstance(value, (dict, list))


def array_form(items):
    """The form the encoder writes a canonical list in: empty, table, inline or list."""
    if not items:
        return "empty"
    first = items[0]
    if isinstance(first, dict) and all(is_scalar(v) for v in first.values()):
        keys = set(first)
        if all(isinstance(r, dict) and set(r) == keys and all(is_scalar(v) for v in r.values())
               for r in items):
            return "table"
    return "inline" if all(is_scalar(x) for x in items) else "list"


_OPEN = object()


def read_without_markers(value, uniform=False, depth0=True):
    """`value` (canonical) as decode reads it back from text written without length markers,
    where two kinds of shape share one text and are read one fixed way:

    - a table of objects without keys (`[]{}:`) is one empty object;
    - in the default layout, a list-form array that is an item of a list written at the list's
      own column (the top level, or an array in a list item) takes every later item of that
      column. The uniform layout indents every nested list, so its lists read back as written.

    `depth0` is true for arrays written as the top level or as a list item."""
    if isinstance(value, dict):
        return {k: read_without_markers(v, uniform, False) for k, v in value.items()}
    if not isinstance(value, list):
        return value
    form = array_form(value)
    if form == "table":
        return [{}] if not value[0] else value
    if form != "list":
        return value
    if uniform or not depth0:
        return [read_without_markers(x, uniform, True) for x in value]
    tokens = []

    def flatten(items):
        for x in items:
            if isinstance(x, list) and array_form(x) == "list":
                tokens.append(_OPEN)
                flatten(x)
            else:
                tokens.append(x)

    flatten(value)
    out = []
    level = out
    for t in tokens:
        if t is _OPEN:
            inner = []
            level.append(inner)
            level = inner
        else:
            level.append(read_without_markers(t, uniform, True))
    return out
