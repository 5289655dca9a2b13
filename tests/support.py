"""Helpers shared by the test files."""

import collections.abc

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


def assert_same(got, expected):
    """Equal with the same types and key order (1 is not 1.0, -0.0 is not 0.0)."""
    assert repr(got) == repr(expected)
