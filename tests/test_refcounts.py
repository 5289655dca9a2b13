"""Reference counts: repeated calls that fail at every stage, or succeed,
leave the reference counts of everything they touched unchanged."""

import collections.abc
import gc
import tracemalloc
import sys

import pytest

import vardel._vardel as m

EO = m.EncodeOptions
DO = m.DecodeOptions
CALLS = 40
SINGLETONS = (None, True, False)


def text(*parts):
    """A new str made at run time (so neither interned nor immortal): the parts
    followed by a tilde."""
    return "".join(parts) + "~"


def call(fn):
    try:
        fn()
    except BaseException:  # noqa: BLE001 - every outcome is measured the same way
        pass


def assert_counts_unchanged(fn, tracked):
    # immortal objects (interned text, small ints) never change their count, so
    # only the singletons and small ints may be immortal here
    for o in tracked:
        if any(o is x for x in SINGLETONS) or (type(o) is int and -5 <= o <= 256):
            continue
        assert sys.getrefcount(o) < 2**20, f"{o!r:.40} is immortal, its count says nothing"
    call(fn)  # first call: caches that live for the process are filled
    gc.collect()
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(CALLS):
        call(fn)
    gc.collect()
    after = [sys.getrefcount(o) for o in tracked]
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(tracked, before, after) if a != b]
    assert not changed, changed


class Marker:
    """An object carried by exceptions and containers, to see whether they leak."""


class Failing(Exception):
    pass


class UserMapping(collections.abc.Mapping):
    def __init__(self, marker, fail=None, size=None, keys=None):
        self.marker, self.fail, self.size, self.key_list = marker, fail, size, keys

    def _check(self, name):
        if self.fail == name:
            raise Failing(self.marker)

    def keys(self):
        self._check("keys")
        return list(self.key_list) if self.key_list is not None else [text("k", "1")]

    def values(self):
        self._check("values")
        return [self.marker, [self.marker]]

    def __len__(self):
        self._check("len")
        return self.size if self.size is not None else 1

    def __getitem__(self, key):
        return self.marker

    def __iter__(self):
        return iter(self.keys())


class UserSequence(collections.abc.Sequence):
    def __init__(self, items, fail=None, lengths=None):
        self.items, self.fail, self.lengths = items, fail, lengths

    def __len__(self):
        if self.fail == "len":
            raise Failing(self.items)
        if self.lengths:
            return self.lengths.pop()
        return len(self.items)

    def __getitem__(self, i):
        if self.fail == "getitem" and i == 1:
            raise Failing(self.items)
        return self.items[i]


class Shrinker(collections.abc.Mapping):
    def __init__(self, target):
        self.target = target

    def keys(self):
        del self.target[1:]
        return []

    def values(self):
        return []

    def __len__(self):
        return 0

    __getitem__ = __iter__ = None


class BrokenCheck:
    def __init__(self, marker):
        self.marker = marker

    @property
    def __class__(self):
        raise Failing(self.marker)


def nest(levels, leaf):
    data = leaf
    for _ in range(levels):
        data = [data]
    return data


def encode_cases():
    """(name, data, tracked objects) for encode: successes and failures of the
    conversion at every point."""
    k, v, s = text("ke", "y"), text("val", "ue"), text("o", "ther")
    big = 10**30  # out of range
    huge = 10**60  # beyond 128 bits
    mk = Marker()
    ok_list = [k, v, 3.5, 10**10, -(10**10), 2**64 - 1, None, True]
    cases = {
        "success dict": ({k: ok_list, s: {v: (1, 2)}}, [k, v, s, ok_list]),
        "success set and user containers": (
            [frozenset([v]), UserSequence([k, v]), UserMapping(mk)], [k, v, mk]),
        "records sharing keys": (
            [{k: 1, s: v}, {k: 2, s: v}, {k: [{k: 1, s: mk}, {s: 2, k: 3}], s: v}, {s: 1, k: 2}],
            [k, s, v, mk]),
        "records then failure": ([{k: 1, s: v}, {k: 2, s: b"x"}], [k, s, v]),
        "key not str": ({k: v, 5: s}, [k, v, s]),
        "bytes value": ({k: [v, b"x"]}, [k, v]),
        "bytearray value": ([v, bytearray(b"x")], [v]),
        "unsupported": ([k, {s: mk}], [k, s, mk]),
        "out of range": ([k, big], [k, big]),
        "overflow": ({k: huge}, [k, huge]),
        "surrogate value": ([k, "\ud800" + v], [k]),
        "surrogate key": ({k: v, "\udc00" + s: 1}, [k, v]),
        "keys raise": ([k, UserMapping(mk, fail="keys")], [k, mk]),
        "values raise": ([k, UserMapping(mk, fail="values")], [k, mk]),
        "len raises": ([k, UserMapping(mk, fail="len")], [k, mk]),
        "size above key count": ([UserMapping(mk, size=5)], [mk]),
        "sequence len raises": ([UserSequence([k, v], fail="len")], [k, v]),
        "sequence item raises": ([UserSequence([k, v], fail="getitem")], [k, v]),
        "length mismatch": ([UserSequence([k, v], lengths=[3, 2])], [k, v]),
        "abc check raises": ([k, BrokenCheck(mk)], [k, mk]),
        "too deep": (nest(600, [k, v]), [k, v]),
        "too deep dict": ({k: nest(600, {v: s})}, [k, v, s]),
    }
    cyclic = [k, v]
    cyclic.append(cyclic)
    cases["circular"] = ({s: cyclic}, [k, v, s, cyclic])
    return cases


ENCODE_CASES = sorted(encode_cases())


@pytest.fixture
def quiet_unraisable(monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)


@pytest.mark.parametrize("name", ENCODE_CASES)
@pytest.mark.parametrize("with_options", [False, True])
def test_encode(quiet_unraisable, name, with_options):
    data, tracked = encode_cases()[name]
    opts = EO(text("|"), 4)
    args = (data, opts) if with_options else (data,)
    assert_counts_unchanged(lambda: m.encode(*args),
                            [data, opts, *tracked, *SINGLETONS, EO, m.encode])


def test_encode_of_a_list_that_shrinks_while_read():
    k = text("k")
    data = [k, None, k]
    data[1] = Shrinker(data)

    def run():
        data[:] = [k, Shrinker(data), k, text("x")]
        m.encode(data)

    assert_counts_unchanged(run, [data, k, *SINGLETONS])


def argument_cases():
    data, opts, value = [text("a")], EO(), text("v")
    tracked = [data, opts, value]
    return {
        "missing": (lambda: m.encode(options=opts), tracked),
        "too many": (lambda: m.encode(data, opts, value), tracked),
        "multiple values": (lambda: m.encode(data, data=value), tracked),
        "unexpected keyword": (lambda: m.encode(data, opts, other=value), tracked),
        "options type": (lambda: m.encode(data, value), tracked),
        "decode options": (lambda: m.encode(data, DO()), tracked),
        "options dict": (lambda: m.encode(data, {value: opts}), tracked),
    }


@pytest.mark.parametrize("name", sorted(argument_cases()))
def test_encode_argument_failures(name):
    fn, tracked = argument_cases()[name]
    assert_counts_unchanged(fn, [*tracked, *SINGLETONS])


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((text("a: 1"),), {}),
    ((text("a: 1"), None), {}),
    ((text("a: 1"), DO(False)), {}),
    ((text("a: 1"), EO()), {}),
    ((text("a: 1"), DO()), {"options": None}),
    ((b"a: 1",), {}),
    ((5, text("x")), {}),
    ((text("a: \ud800"),), {}),
    ((text("a: 1\nb: [2]: x,y\nc: \"q\""),), {}),
    ((text("t[2]{id,name}:\n  1,Ada\n  2,Bob\nn: 18446744073709551615\nf: 2.5\n",
           "l[3]: true,null,-7\ns: x"), DO()), {}),
    ((text("x: \"a\\q\""),), {}),
])
def test_decode_toon(args, kwargs):
    assert_counts_unchanged(lambda: m.decode_toon(*args, **kwargs),
                            [*args, *kwargs.values(), *SINGLETONS, DO])


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def numpy_bool(value):
    return type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: value})()


def type_error_with_cause(marker):
    error = TypeError(marker)
    error.__cause__ = Failing(marker)
    return error


def constructor_cases():
    d, mk = text("|"), Marker()
    big = 10**12
    return {
        "defaults": (lambda: EO(), []),
        "all given": (lambda: EO(d, big, numpy_bool(False), False), [d, big]),
        "keywords": (lambda: EO(strict=True, delimiter=d, indent=Index(big)), [d, big]),
        "too many": (lambda: EO(d, big, True, True, d), [d, big]),
        "unexpected keyword": (lambda: EO(d, other=d), [d]),
        "multiple values": (lambda: EO(d, delimiter=d), [d]),
        "delimiter type": (lambda: EO(mk, big), [mk, big]),
        "delimiter surrogate": (lambda: EO(d + "\ud800", big), [d, big]),
        "indent type": (lambda: EO(d, mk), [d, mk]),
        "indent negative": (lambda: EO(d, -big), [d]),
        "indent too big": (lambda: EO(d, 2**70), [d]),
        "index raises": (lambda: EO(d, Index(Failing(mk))), [d, mk]),
        "index raises type error": (lambda: EO(d, Index(type_error_with_cause(mk))), [d, mk]),
        "bool type": (lambda: EO(d, big, 1), [d, big]),
        "numpy bool raises": (lambda: EO(d, 3, numpy_bool(mk)), [d, mk]),
        "decode defaults": (lambda: DO(), []),
        "decode given": (lambda: DO(False), []),
        "decode bool type": (lambda: DO(mk), [mk]),
        "decode too many": (lambda: DO(True, mk), [mk]),
        "decode keyword": (lambda: DO(other=mk), [mk]),
    }


@pytest.mark.parametrize("name", sorted(constructor_cases()))
def test_constructors(name):
    fn, tracked = constructor_cases()[name]
    assert_counts_unchanged(fn, [*tracked, *SINGLETONS, EO, DO])


def setter_cases(opts):
    d, mk = text("d", "elim"), Marker()
    big = 10**12

    def delete(name):
        return lambda: delattr(opts, name)

    def assign(name, value):
        return lambda: setattr(opts, name, value)

    return {
        "delimiter": (assign("delimiter", d), [d]),
        "delimiter type": (assign("delimiter", mk), [mk]),
        "delimiter surrogate": (assign("delimiter", "\ud800" + d), [d]),
        "indent": (assign("indent", big), [big]),
        "indent index": (assign("indent", Index(big)), [big]),
        "indent type": (assign("indent", mk), [mk]),
        "indent overflow": (assign("indent", -big), [big]),
        "index raises": (assign("indent", Index(type_error_with_cause(mk))), [mk]),
        "flag": (assign("use_length_markers", False), []),
        "flag numpy": (assign("strict", numpy_bool(True)), []),
        "flag type": (assign("strict", mk), [mk]),
        "delete": (delete("indent"), []),
        "delete delimiter": (delete("delimiter"), []),
        "unknown": (assign("other", mk), [mk]),
        "read delimiter": (lambda: opts.delimiter, []),
        "read indent": (lambda: opts.indent, []),
        "read flags": (lambda: (opts.strict, opts.use_length_markers), []),
    }


@pytest.mark.parametrize("name", sorted(setter_cases(None)))
def test_attributes(name):
    opts = EO(text("|"), 10**12)
    fn, tracked = setter_cases(opts)[name]
    assert_counts_unchanged(fn, [opts, *tracked, *SINGLETONS, EO])


def test_decode_options_attribute():
    opts, mk = DO(), Marker()
    for fn in (lambda: setattr(opts, "strict", False), lambda: setattr(opts, "strict", mk),
               lambda: delattr(opts, "strict"), lambda: opts.strict):
        assert_counts_unchanged(fn, [opts, mk, *SINGLETONS, DO])


def test_assignment_refused_during_encode():
    opts, value = EO(), text("|")

    class Meddler(UserMapping):
        def keys(self):
            try:
                opts.delimiter = value
            except RuntimeError:
                pass
            return []

        def values(self):
            return []

        def __len__(self):
            return 0

    data = [Meddler(None)]
    assert_counts_unchanged(lambda: m.encode(data, opts), [opts, value, data, *SINGLETONS])
    opts.delimiter = value
    assert opts.delimiter == "|~"


def test_panic_from_user_code(hooks, capfd):
    opts, k, mk = EO(), text("k"), Marker()

    class Panicking(UserMapping):
        def keys(self):
            hooks.panic(text("p", "anic"))

    data = {k: [Panicking(mk)]}
    assert_counts_unchanged(lambda: m.encode(data, opts), [opts, k, mk, data, *SINGLETONS])
    capfd.readouterr()
    opts.indent = 1


def memory_growth(fn, calls=3000):
    """Bytes still allocated by the Python allocators after `calls` calls."""
    call(fn)
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            call(fn)
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()


# Objects made by a call and handed to the caller (results, exceptions) cannot
# be tracked by their counts; if any of them leaked, the memory would grow by
# at least one object per call.
@pytest.mark.parametrize("fn", [
    lambda: m.decode_toon("t[2]{id,name}:\n  1,Ada\n  2,Bob\nn: 18446744073709551615\n"
                          "f: 2.5\nl[3]: true,null,-7\ns: text value"),
    lambda: m.decode_toon('x: "a\\q"'),
    lambda: m.encode({"rows": [{"id": 1, "v": "a"}, {"id": 2, "v": "b"}], "x": [1.5, None]}),
    lambda: m.encode({"k": [1, b"x"]}),
    lambda: m.encode([UserMapping(None, fail="keys")]),
    lambda: m.encode(nest(600, 1)),
    lambda: EO(indent=TypeError("x")),
    lambda: EO().delimiter,
], ids=["decode", "decode error", "encode", "encode error", "user error", "too deep",
        "option error", "getter"])
def test_results_and_errors_are_released(fn):
    assert memory_growth(fn) < 3000
