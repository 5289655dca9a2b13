"""Memory growth: many calls that end at every stage of a call, failing or
not, leave the process no bigger and the reference counts of their inputs
and option instances unchanged.

Growth is measured three ways after a warm-up, each with a bound far below
what a leak of any object a call makes would add over the calls made:
- the bytes in use in the C allocator (glibc's mallinfo2), which holds the
  codec's C++ allocations and every Python object above 512 bytes; unlike the
  resident set it is not hidden by memory that earlier tests freed;
- the bytes traced by tracemalloc, which sees every Python object, small
  ones included, but not the C++ allocations;
- the resident set size (/proc/self/statm), coarsely.
Every case is built so that a leak per call is large: payload strings of
kilobytes, trees of hundreds of nodes, decoded documents of hundreds of
entries.

Under the sanitizer build (tools/sanitize-tests sets VARDEL_SANITIZED), the
allocator is ASan's and its quarantine keeps freed memory, so only the
reference counts and tracemalloc are checked there; LeakSanitizer watches the
native allocations.
"""

import collections.abc
import ctypes
import gc
import importlib.util
import os
import sys
import tracemalloc

import pytest

import vardel
import vardel._vardel as _vardel
from vardel import DecodeOptions, EncodeOptions, decode_toon, encode

WARMUP = 300
CALLS = 3000
# Bytes each measure may grow by over CALLS calls after the warm-up.
NATIVE_LIMIT = 1024 * 1024
TRACED_LIMIT = 256 * 1024
RESIDENT_LIMIT = 8 * 1024 * 1024
SANITIZED = os.environ.get("VARDEL_SANITIZED") == "1"
PAGE = os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                     "uordblks", "fordblks", "keepcost")
    ]


def _mallinfo2():
    libc = ctypes.CDLL(None)
    try:
        fn = libc.mallinfo2
    except AttributeError:  # not glibc 2.33 or later
        return None
    fn.restype = _MallInfo2
    return fn


MALLINFO2 = _mallinfo2()


def native_in_use():
    """Bytes in use in the C allocator: small blocks and mmapped ones."""
    if MALLINFO2 is None:
        return 0
    info = MALLINFO2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Growth:
    """Measures the three kinds of growth over a block of calls."""

    def __enter__(self):
        gc.collect()
        self.native = native_in_use()
        self.traced = tracemalloc.get_traced_memory()[0]
        self.resident = resident_bytes()
        return self

    def __exit__(self, *exc):
        gc.collect()
        self.native = native_in_use() - self.native
        self.traced = tracemalloc.get_traced_memory()[0] - self.traced
        self.resident = resident_bytes() - self.resident
        return False


def load_hooks():
    spec = importlib.util.spec_from_file_location("_vardel_testhooks", _vardel.__file__)
    module = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(module)
    except ImportError:
        return None
    return module


HOOKS = load_hooks()


def payload(tag, size=4096):
    """A new str of `size` characters, never interned or shared."""
    return (tag * size)[:size]


def big_tree():
    return {
        "names": [payload(str(i), 1024) for i in range(8)],
        "rows": [{"id": i, "name": payload("n", 512), "score": i / 3} for i in range(20)],
        "nested": {"deeper": {"list": [[1, payload("x", 256)], {"k": payload("y", 256)}]}},
    }


class RaisingMapping(collections.abc.Mapping):
    """A mapping whose `where` method raises after the payload was converted."""

    def __init__(self, where):
        self.where = where
        self.data = {"a": [payload("m", 1024)] * 4, "b": payload("q", 2048)}

    def _maybe_raise(self, name):
        if self.where == name:
            raise KeyError(payload("e", 2048))

    def __len__(self):
        self._maybe_raise("len")
        return len(self.data)

    def __iter__(self):
        self._maybe_raise("iter")
        return iter(list(self.data))

    def __getitem__(self, key):
        self._maybe_raise("getitem")
        return self.data[key]

    def keys(self):
        self._maybe_raise("keys")
        return list(self.data)

    def values(self):
        self._maybe_raise("values")
        return list(self.data.values())


class RaisingSequence(collections.abc.Sequence):
    def __init__(self, where):
        self.where = where
        self.items = [payload("s", 1024), {"k": payload("t", 1024)}, 3]

    def __len__(self):
        if self.where == "len":
            raise ValueError(payload("l", 2048))
        return len(self.items)

    def __getitem__(self, i):
        if self.where == "getitem" and i == 2:
            raise IndexError(payload("g", 2048))
        return self.items[i]


class RaisingSet(set):
    def __iter__(self):
        raise RuntimeError(payload("r", 2048))


def nested(levels):
    x = [payload("d", 512)]
    for _ in range(levels):
        x = [x]
    return x


def long_document(lines=300):
    return "\n".join(f"key{i}: {payload(str(i % 10), 64)}" for i in range(lines))


class Case:
    def __init__(self, fn, inputs=(), raises=None, match=None, hooks=False):
        self.fn = fn
        self.inputs = inputs  # objects whose reference counts must not change
        self.raises = raises  # the exception class the call must end with, or None
        self.match = match  # a text the exception's message must hold
        self.hooks = hooks


def cases():
    tree = big_tree()
    text = long_document()
    opts = EncodeOptions(delimiter="|", indent=3)
    dopts = DecodeOptions(strict=False)
    bad_delimiter = EncodeOptions(delimiter=";")
    huge_indent = EncodeOptions(indent=2**62)
    bad_data = {"ok": [payload("o", 1024)] * 8, "bad": object()}
    c = {}
    # Calls that succeed: the baseline.
    c["encode"] = Case(lambda: encode(tree), (tree,))
    c["encode_with_options"] = Case(lambda: encode(tree, opts), (tree, opts))
    c["encode_keyword_arguments"] = Case(lambda: encode(data=tree, options=opts), (tree, opts))
    c["decode"] = Case(lambda: decode_toon(text), (text,))
    c["decode_with_options"] = Case(lambda: decode_toon(text, dopts), (text, dopts))
    rows = {"r": tree["rows"], "n": tree["names"]}
    c["round_trip"] = Case(lambda: decode_toon(encode(rows)), (rows,))
    c["constructors_and_getters"] = Case(
        lambda: (
            EncodeOptions(delimiter=payload("|", 2048), indent=4, use_length_markers=False).delimiter,
            DecodeOptions(strict=True).strict,
        )
    )

    def set_attributes():
        opts.delimiter = payload("|", 2048)
        opts.indent = 3
        opts.use_length_markers = True
        opts.strict = False
        return opts.delimiter

    c["setters"] = Case(set_attributes, (opts,))
    # Bad arguments.
    c["encode_without_arguments"] = Case(lambda: encode(), raises=TypeError)
    c["encode_too_many_arguments"] = Case(lambda: encode(tree, opts, 3), (tree, opts), TypeError)
    c["encode_unknown_keyword"] = Case(
        lambda: encode(tree, **{payload("k", 512): 1}), (tree,), TypeError, "unexpected keyword"
    )
    c["encode_argument_twice"] = Case(lambda: encode(tree, data=tree), (tree,), TypeError)
    c["decode_not_a_str"] = Case(lambda: decode_toon(tree), (tree,), TypeError)
    c["decode_bytes"] = Case(lambda: decode_toon(text.encode()), (text,), TypeError)
    c["decode_unknown_keyword"] = Case(lambda: decode_toon(text, bogus=1), (text,), TypeError)
    c["constructor_bad_types"] = Case(lambda: EncodeOptions(delimiter=5), raises=TypeError)
    c["constructor_bad_indent"] = Case(lambda: EncodeOptions(indent=-1), raises=OverflowError)
    c["constructor_unknown_keyword"] = Case(lambda: DecodeOptions(bogus=True), raises=TypeError)

    def bad_setter():
        opts.indent = payload("i", 1024)

    c["setter_bad_type"] = Case(bad_setter, (opts,), TypeError)
    # Bad options.
    c["encode_options_of_the_other_class"] = Case(lambda: encode(tree, dopts), (tree, dopts), TypeError)
    c["encode_options_not_options"] = Case(lambda: encode(tree, text), (tree, text), TypeError)
    c["decode_options_of_the_other_class"] = Case(lambda: decode_toon(text, opts), (text, opts), TypeError)
    # Conversion errors, after much of the data was converted.
    c["unsupported_type"] = Case(lambda: encode(bad_data), (bad_data,), ValueError, "unsupported type")
    big_int = {"ok": [payload("o", 1024)] * 8, "z": 2**64}
    c["integer_out_of_range"] = Case(lambda: encode(big_int), (big_int,), ValueError, "out of range")
    bad_key = {"ok": [payload("o", 1024)] * 8, 7: 1}
    c["key_not_a_str"] = Case(lambda: encode(bad_key), (bad_key,), ValueError, "PyString")
    surrogate = {"ok": [payload("o", 1024)] * 8, "z": "\ud800" + payload("s", 1024)}
    c["lone_surrogate"] = Case(lambda: encode(surrogate), (surrogate,), ValueError, "UnicodeEncodeError")
    deep = nested(600)
    c["too_deep"] = Case(lambda: encode(deep), (deep,), ValueError, "deeper")
    circular = [payload("c", 1024)]
    circular.append(circular)
    c["circular"] = Case(lambda: encode(circular), (circular,), ValueError, "circular")
    byte_data = {"ok": [payload("o", 1024)] * 8, "z": b"bytes"}
    c["bytes"] = Case(lambda: encode(byte_data), (byte_data,), ValueError, "byte")
    # User code raising inside the conversion.
    for where in ("keys", "values", "len"):
        m = {"first": [payload("f", 1024)] * 4, "z": RaisingMapping(where)}
        c[f"mapping_{where}_raises"] = Case((lambda m=m: encode(m)), (m,), ValueError, "KeyError")
    for where in ("len", "getitem"):
        s = {"first": [payload("f", 1024)] * 4, "z": RaisingSequence(where)}
        expected = {"len": "ValueError", "getitem": "IndexError"}[where]
        c[f"sequence_{where}_raises"] = Case((lambda s=s: encode(s)), (s,), ValueError, expected)
    rs = {"first": [payload("f", 1024)] * 4, "z": RaisingSet([1, 2])}
    c["set_iteration_raises"] = Case(lambda: encode(rs), (rs,), ValueError, "RuntimeError")
    # Codec errors after conversion.
    c["invalid_delimiter"] = Case(
        lambda: encode(tree, bad_delimiter), (tree, bad_delimiter), ValueError, "Invalid delimiter: ;"
    )
    c["indentation_too_large"] = Case(lambda: encode(tree, huge_indent), (tree, huge_indent), OverflowError)
    bad_text = text + '\nlast: "bad \\q escape"'
    c["decoding_error"] = Case(lambda: decode_toon(bad_text), (bad_text,), ValueError, "Decoding error: ")
    bad_row_text = text + '\nt[2]{a,b}:\n  1,2\n  3,"x\\"'
    c["decoding_error_in_a_row"] = Case(lambda: decode_toon(bad_row_text), (bad_row_text,), ValueError, "Unterminated")
    # Internal failures.
    if HOOKS is not None:
        panic_type = HOOKS.panic_type()
        message = payload("p", 256)
        c["panic"] = Case(lambda: HOOKS.panic(message), (message,), panic_type, hooks=True)
        c["native_exception"] = Case(lambda: HOOKS.throw_error(), (), panic_type, hooks=True)

        class PanickingMapping(collections.abc.Mapping):
            def __len__(self):
                return 1

            def __iter__(self):
                return iter("a")

            def __getitem__(self, key):
                return 1

            def keys(self):
                HOOKS.panic(message)

        pm = {"first": [payload("f", 1024)] * 4, "z": PanickingMapping()}
        c["panic_from_user_code"] = Case(lambda: encode(pm), (pm, message), panic_type, hooks=True)
    return c


CASES = cases()


def outcome(fn):
    try:
        fn()
    except BaseException as e:  # every outcome is measured the same way
        return e
    return None


@pytest.fixture
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.parametrize("name", sorted(CASES))
def test_many_calls_do_not_grow_memory(name, capfd, traced):
    case = CASES[name]
    # The call ends at the stage the case is named for.
    first = outcome(case.fn)
    if case.raises is None:
        assert first is None, repr(first)
    else:
        assert isinstance(first, case.raises), repr(first)
        if case.match is not None:
            assert case.match in str(first), str(first)[:300]
    del first
    # Internal failures report on stderr each time: fewer calls, same bounds.
    calls = CALLS // 6 if case.hooks else CALLS
    for _ in range(WARMUP):
        outcome(case.fn)
    counts = [sys.getrefcount(o) for o in case.inputs]
    with Growth() as grown:
        for _ in range(calls):
            outcome(case.fn)
    assert [sys.getrefcount(o) for o in case.inputs] == counts
    capfd.readouterr()  # drop the failure reports of the hooks
    assert grown.traced < TRACED_LIMIT, f"Python objects grew by {grown.traced} bytes over {calls} calls"
    if not SANITIZED:
        assert grown.native < NATIVE_LIMIT, f"C allocations grew by {grown.native} bytes over {calls} calls"
        assert grown.resident < RESIDENT_LIMIT, f"resident set grew by {grown.resident} bytes"


@pytest.mark.skipif(SANITIZED or MALLINFO2 is None, reason="needs glibc's allocator")
def test_native_growth_would_be_seen(traced):
    """A leak of the size the cases would leak shows in the measures."""
    kept = []
    with Growth() as grown:
        for i in range(CALLS):
            kept.append(bytearray(1024))  # above 512 bytes: from the C allocator
    assert grown.native > NATIVE_LIMIT
    assert grown.traced > TRACED_LIMIT


def test_small_object_growth_would_be_seen(traced):
    kept = []
    with Growth() as grown:
        for i in range(CALLS):
            kept.append((i, str(i)))  # two small objects per call, about 100 bytes
    assert grown.traced > TRACED_LIMIT


def test_hooks_are_loaded_in_the_test_build():
    # make test builds with the test hooks; without them the panic cases vanish.
    assert HOOKS is not None
    assert vardel.encode is _vardel.encode
