"""Many calls that end at each stage of a call, failing or not, leave the process
no bigger and the reference counts of their data unchanged. The process: neither
the bytes in use in the C allocator (glibc's mallinfo2: the codec's C++
allocations and Python objects above 512 bytes; unlike the resident set, not
hidden by memory that earlier tests freed) nor the Python memory that tracemalloc
traces. Every call handles kilobytes, so a leak per call would show far above the
bounds. Under the sanitizer build (VARDEL_SANITIZED) malloc is ASan's, whose
quarantine keeps freed memory: only traced memory is checked, and LeakSanitizer
watches the native allocations."""

import copy
import ctypes
import dataclasses
import datetime
import gc
import itertools
import os
import pickle
import sys
import tracemalloc
import uuid

import pytest

from support import Index, UMap, USeq, fail, numpy_bool
from vardel import DecodeError, DecodeOptions as DO, EncodeOptions as EO, common_types, decode, decode_toon, encode

CALLS, NATIVE_LIMIT, TRACED_LIMIT = 3000, 1024 * 1024, 256 * 1024
SANITIZED = os.environ.get("VARDEL_SANITIZED") == "1"


class MallInfo2(ctypes.Structure):
    _fields_ = [(f, ctypes.c_size_t) for f in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


MALLINFO2 = getattr(ctypes.CDLL(None), "mallinfo2", None)  # glibc 2.33 or later
if MALLINFO2 is not None:
    MALLINFO2.restype = MallInfo2


def native_in_use():
    info = MALLINFO2() if MALLINFO2 is not None else MallInfo2()
    return info.uordblks + info.hblkhd  # small blocks and mmapped ones


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


def growth(fn, warmup=300, calls=CALLS):
    """(C allocator, traced) bytes gained over `calls` calls of fn, after `warmup` calls."""
    tracemalloc.start()
    try:
        for _ in range(warmup):
            fn()
        gc.collect()
        before = native_in_use(), tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            fn()
        gc.collect()
        return native_in_use() - before[0], tracemalloc.get_traced_memory()[0] - before[1]
    finally:
        tracemalloc.stop()


def boom(*args):
    raise LookupError(bytearray(2048))  # a new, large exception each time


def text(s):  # made at run time, so neither interned nor immortal
    return "".join([s, "~"])


class Marker:
    pass


def caused(marker):
    error = TypeError(marker)
    error.__cause__ = LookupError(marker)
    return error


@dataclasses.dataclass
class Record:
    name: object
    when: object


# The objects whose reference counts are watched (the first eight mortal), held by the calls below.
K, V, S, MK, BIG = text("k" * 1024), text("v" * 1024), text("|" * 1024), Marker(), 10**30
OPTS, SET, DOPTS = EO(S, 4), EO(), DO()  # S is no delimiter the encoder writes
WHEN = datetime.datetime(2020, 1, 2, 3, 4, 5, 6, tzinfo=datetime.timezone(datetime.timedelta(hours=1)))
REC, ID = Record(V, WHEN), uuid.UUID(int=7)
TRACKED = [K, V, S, MK, BIG, OPTS, SET, DOPTS, WHEN, REC, ID, None, True, False, EO, DO, encode, common_types]
TREE = {"names": ["%d" % i * 1024 for i in range(8)], "rows": [{"id": i, "n": "n" * 512} for i in range(20)],
        K: [V, 3.5, 2**64 - 1, None], S: {V: (1, frozenset([K]))}}
TEXT = "\n".join([*(f"key{i}: {'v' * 64}" for i in range(300)),
                  "u[2]{id,name}:\n  1,Ada\n  2,Bob\nn: 18446744073709551615\nl[3]: true,null,-7"])
BAD_SET = type("BadSet", (set,), {"__iter__": boom})([1])
BAD_CHECK = type("BadCheck", (), {"__class__": property(boom)})()
TREE_TEXT = encode({"tree": TREE, "lists": [[TREE["names"]], {"k": TREE["rows"][:3]}]})
CIRCLE = [K, V]
CIRCLE.append(CIRCLE)
DEEP = [{V: S}]
for _ in range(600):
    DEEP = [DEEP]
ROWS = [{K: i, S: V} for i in range(20)]
CONVERSION = "Python conversion error: "
# Texts whose keys no earlier call has read: each key the decoder keeps for later calls replaces another.
NEW_KEYS = ("o:\n" + "".join(f"  key{n}_{i}: {i}\n" for i in range(64)) for n in itertools.count())

# (stage, call given the test hooks, exception it ends with ("panic": the hooks' type), message part)
STAGES = [
    ("encode", lambda h: encode(TREE, EO("|", 3)), None, ""),
    ("decode", lambda h: decode_toon(TEXT, DOPTS), None, ""),
    ("options_and_attributes", lambda h: (EO(S, Index(BIG % 2**64), numpy_bool(False), False).delimiter,
                                          DO(strict=False).strict, setattr(SET, "delimiter", V), SET.delimiter,
                                          SET.indent, DOPTS.strict), None, ""),
    ("missing_argument", lambda h: encode(), TypeError, ""),
    ("extra_argument", lambda h: encode(TREE, None, 3), TypeError, "positional arguments"),
    ("unknown_keyword", lambda h: decode_toon(TEXT, **{"k" * 512: 1}), TypeError, "unexpected keyword"),
    ("decode_bytes", lambda h: decode_toon(TEXT.encode()), TypeError, ""),
    ("options_repr_compare_copy", lambda h: (repr(OPTS), repr(DOPTS), OPTS == SET, OPTS != EO(S, 4), OPTS == DOPTS,
                                             pickle.loads(pickle.dumps([OPTS, DOPTS, DO(delimiter="\t")])),
                                             copy.deepcopy(OPTS), DOPTS.__reduce__()), None, ""),
    ("unhashable_options", lambda h: hash(OPTS), TypeError, "unhashable"),
    ("bad_decode_delimiter", lambda h: DO(delimiter=V), ValueError, "delimiter must be"),
    ("bad_decode_delimiter_set", lambda h: setattr(DOPTS, "delimiter", S), ValueError, "delimiter must be"),
    ("bad_option_value", lambda h: EO(indent=V), TypeError, "argument 'indent'"),
    ("index_raises", lambda h: EO(S, Index(caused(MK))), TypeError, "argument 'indent'"),
    ("bad_decode_option", lambda h: DO(MK), TypeError, "argument 'strict'"),
    ("bad_setter_value", lambda h: setattr(EO(), "indent", -1), OverflowError, ""),
    ("setter_index_raises", lambda h: setattr(SET, "indent", Index(caused(MK))), TypeError, "argument 'indent'"),
    ("delete_attribute", lambda h: delattr(SET, "indent"), AttributeError, "can't delete"),
    ("settings_copied_and_refused", lambda h: (h.encode_settings(OPTS, None), h.decode_settings(DOPTS, lambda: DO(MK))),
     TypeError, "argument 'strict'"),
    ("encode_options_of_the_other_class", lambda h: encode(TREE, DOPTS), TypeError, "'EncodeOptions'"),
    ("decode_options_of_the_other_class", lambda h: decode_toon(TEXT, OPTS), TypeError, "'DecodeOptions'"),
    ("unsupported_type", lambda h: encode([TREE, {S: MK}]), ValueError, "unsupported type Marker"),
    ("integer_out_of_range", lambda h: encode([TREE, BIG]), ValueError, "out of range"),
    ("key_not_a_str", lambda h: encode({K: TREE, 7: S}, OPTS), ValueError, "PyString"),
    ("table_then_bytes", lambda h: encode([*ROWS, {K: 2, S: b"x"}], OPTS), ValueError, "byte array"),
    ("lone_surrogate", lambda h: encode([TREE, "\ud800" * 512]), ValueError, "UnicodeEncodeError"),
    ("too_deep", lambda h: encode({K: DEEP}), ValueError, "deeper"),
    ("circular", lambda h: encode({S: CIRCLE}), ValueError, "circular"),
    ("keys_raises", lambda h: encode([TREE, UMap({K: MK}, keys=boom)]), ValueError, "LookupError"),
    ("values_raises", lambda h: encode([TREE, UMap(values=boom)]), ValueError, "LookupError"),
    ("len_raises", lambda h: encode([TREE, USeq(len=boom)]), ValueError, "LookupError"),
    ("length_changes", lambda h: encode([TREE, USeq([K, V], len=[3, 2].pop)]), ValueError, "expected sequence"),
    ("getitem_raises", lambda h: encode([TREE, USeq([1, 2], getitem=boom)]), ValueError, "LookupError"),
    ("iteration_raises", lambda h: encode([TREE, BAD_SET]), ValueError, "LookupError"),
    ("abc_check_raises", lambda h: encode([TREE, BAD_CHECK]), ValueError, "unsupported type BadCheck"),
    ("invalid_delimiter", lambda h: encode(TREE, OPTS), ValueError, "Invalid delimiter: ||"),
    ("borrow_refused", lambda h: encode([TREE, UMap(keys=lambda: setattr(OPTS, "delimiter", V))], OPTS), ValueError,
     "Already borrowed"),
    ("indentation_too_large", lambda h: encode(TREE, EO(indent=2**62)), OverflowError, "Indentation"),
    ("decoding_error", lambda h: decode_toon(TEXT + '\nt[2]{a,b}:\n  1,2\n  3,"x\\"'), ValueError, "Decoding error: "),
    ("nested_decode", lambda h: decode(TREE_TEXT), None, ""),
    ("nested_decode_new_keys", lambda h: decode(next(NEW_KEYS)), None, ""),
    # errors deep in the text, with much of the value already built
    ("nested_decode_error", lambda h: decode(TREE_TEXT + '\nz:\n  y: "\\q"'), DecodeError, "escape"),
    ("nested_count_error", lambda h: decode(TREE_TEXT + "\nz[3]: 1,2"), DecodeError, "announces"),
    ("panic", lambda h: h.panic("p" * 1024), "panic", ""),
    ("native_exception", lambda h: h.throw_error(), "panic", ""),
    ("panic_in_user_code", lambda h: encode({K: [TREE, UMap({V: MK}, keys=lambda: h.panic("p" * 1024))]}, OPTS),
     "panic", ""),
    # default, and the ready-made hook as default
    ("default", lambda h: encode({K: [MK, S, TREE]}, default=lambda o: {V: [S, BIG % 7]}), None, ""),
    ("default_raises", lambda h: encode({K: [TREE, MK]}, default=fail(caused(MK))), TypeError, ""),
    ("default_unchanged", lambda h: encode({K: [TREE, {S: MK}]}, default=lambda o: o), ValueError, "unsupported"),
    ("default_too_deep", lambda h: encode([K, TREE, MK], default=lambda o: [V, o]), ValueError, "deeper"),
    ("common_types", lambda h: encode({K: [REC, ID, WHEN, MK, TREE]}, default=lambda o: V if o is MK
                                      else common_types(o)), None, ""),
    ("common_types_native", lambda h: encode({K: [REC, ID, WHEN, (REC,), TREE]}, default=common_types), None, ""),
    ("common_types_refuse", lambda h: encode({K: [TREE, REC, Record(MK, K)]}, default=common_types), TypeError,
     "not TOON serializable"),
]


def error_of(fn, hooks):
    """The exception the call ends with, or None."""
    try:
        fn(hooks)
    except BaseException as e:  # noqa: BLE001 - every outcome is measured the same way
        return e
    return None


@pytest.mark.parametrize("fn, raises, part", [s[1:] for s in STAGES], ids=[s[0] for s in STAGES])
def test_many_calls_do_not_grow_memory_or_change_reference_counts(hooks, capfd, monkeypatch, fn, raises, part):
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    raises = hooks.panic_type() if raises == "panic" else raises
    error = error_of(fn, hooks)  # caches that live for the process are filled
    assert error is None if raises is None else isinstance(error, raises) and part in str(error), repr(error)
    del error
    gc.collect()
    before = refcounts(TRACKED)
    native, traced = growth(lambda: error_of(fn, hooks))
    after = refcounts(TRACKED)
    capfd.readouterr()  # the hooks report each panic on stderr
    assert traced < TRACED_LIMIT, f"Python memory grew by {traced} bytes over {CALLS} calls"
    assert SANITIZED or native < NATIVE_LIMIT, f"C allocations grew by {native} bytes over {CALLS} calls"
    assert max(before[:8]) < 2**20  # mortal, so the counts can move
    assert [(repr(o)[:40], b, a) for o, b, a in zip(TRACKED, before, after) if a != b] == []


def test_a_leak_would_be_seen():
    kept = []
    native, traced = growth(lambda: kept.append(bytearray(1024)))
    assert traced > TRACED_LIMIT
    assert SANITIZED or MALLINFO2 is None or native > NATIVE_LIMIT


# Running out of memory: the Nth allocation of a call fails, for every N the call reaches. Each
# call raises MemoryError or gives the result it gives with memory to spare; none crashes, leaks
# memory or changes a reference count of its data. The interpreter's allocations fail through
# _testcapi.set_nomemory, the codec's own (block pool, arena, output buffer, containers) through
# the test hooks' fail_allocation.

# A sweep makes tens of failing calls; one list or a pool block lost by each would show.
SWEEP_TRACED_LIMIT, SWEEP_NATIVE_LIMIT = 4096, 128 * 1024


class Pairs(dict):  # not exact built-in types: read through the general rules, as a whole tree
    pass


class Items(list):
    pass


NESTED = {
    text("users"): [{text("id"): i, text("name"): text(f"user {i}"), text("tags"): [text("a"), text("b,c")],
                     text("note"): text('say "hi"\\\n\t'), text("ok"): i % 2 == 0, text("score"): i / 3}
                    for i in range(4)],
    text("table"): [{text("x"): i, text("y"): text("y%d" % i), text("z"): None} for i in range(5)],
    text("meta"): {text("inner"): {text("list"): [[1, 2], [], {text("k"): text(" spaced ")}]},
                   text("-dash"): text("x: y"), text("é"): text("ünïcode")},
}
NESTED_TEXT = encode(NESTED)
# Past the first blocks: the output buffer and the arena grow, the containers reallocate.
LARGE = {text("rows"): [{text("id"): i, text("s"): text('q"%d' % i * 8)} for i in range(6000)],
         text("long"): text("\\\n" * 40000)}
LARGE_TEXT = encode(LARGE)
GENERAL = Pairs({text("outer"): Items([Pairs({text("n"): i, text("s"): text("v,%d" % i)}) for i in range(4)]),
                 text("t"): [{text("a"): 1}, {text("a"): 2, text("big"): 2**64 - 1}],
                 text("set"): frozenset([text("m"), text("n")]), text("tuple"): (1, text("o"))})
GENERAL_LARGE = Pairs({text("ints"): Items(range(6000)), text("s"): text("\"" * 70000)})
# Strs of every width written from their own storage, with escapes, in a table its last row undoes.
WIDE = {text("rows"): [{text("t"): text('中"文\n%d' % i), text("u"): text("😀 %d" % i)} for i in range(50)]
        + [{text("t"): text("é")}],
        text("k€y"): text(" ü ")}
# Every kind of value and member decode_toon reports: repeated field names, a short row, a key too
# long to cache; and a text of every layout for decode's nested reader.
ROWS_TEXT = "\n".join([
    "z: 1", "b: 2.5", 'a: "quoted \\"x\\""', "a: 18446744073709551615", "n: -9223372036854775808",
    "t[3]{id,name,id,score}:", "  1,Ann,9,1.5", "  2,Bjørn", "  3,😀 face,11,-0.25",
    "l[5]: true,false,null,\"é\",wordy text here", "e[0]:", "k" * 70 + ": long",
])
LAYOUTS_TEXT = encode({"a": {"b": [1, "é", None], "c": [{"x": 1.5, "y": "q\"r"}, {"x": 2, "y": ""}]},
                       "l": [[1, 2], {"k": {}}, "s" * 40], "z": -0.0})
# name: (data, call with the data)
FAULT_CASES = {
    "encode wide text": (WIDE, encode),
    "encode nested": (NESTED, encode),
    "encode nested with options": (NESTED, lambda d: encode(d, EO("|", 4))),
    "encode large": (LARGE, encode),
    "encode through the general rules": (GENERAL, encode),
    "encode large through the general rules": (GENERAL_LARGE, encode),
    "decode_toon nested": (NESTED_TEXT, decode_toon),
    "decode large": (LARGE_TEXT, decode_toon),
    "decode rows": (ROWS_TEXT, decode_toon),
    "decode nested": (LAYOUTS_TEXT, decode),
}
# Calls whose every interpreter allocation is tried (the large ones would take minutes).
INTERPRETER_CASES = ["encode nested", "encode nested with options", "encode wide text", "encode through the general rules",
                     "decode_toon nested", "decode rows", "decode nested"]


def objects_of(data, found=None):
    """Every object `data` holds (itself included), each once."""
    found = {} if found is None else found
    if id(data) not in found:
        found[id(data)] = data
        items = [*data, *data.values()] if isinstance(data, dict) else data if isinstance(data, list) else ()
        for item in items:
            objects_of(item, found)
    return list(found.values())


def sweep(fn, fail_nth, limit):
    """Calls fn with allocation n failing (fail_nth(n), None to fail none) for n = 1, 2, ... until
    `limit(n, outcomes)` says stop. Returns the outcomes: "memory" or the result."""
    outcomes = []
    n = 1
    while not limit(n, outcomes):
        result = "memory"  # made before the failures start
        fail_nth(n)
        try:
            result = fn()
        except MemoryError:
            pass
        finally:
            fail_nth(None)
        outcomes.append(result)
        n += 1
    return outcomes


def check_sweep(name, fail_nth, limit, monkeypatch):
    data, call = FAULT_CASES[name]
    fn = lambda: call(data)  # noqa: E731
    expected = fn()
    # The Sequence and Mapping checks report a failure of isinstance() as unraisable and take the
    # check as failed; a MemoryError is the only failure these sweeps may cause.
    unraisable = set()
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.add(u.exc_type))
    objs = objects_of(data) if isinstance(data, (dict, list)) else [data]
    before = refcounts(objs)
    outcomes = sweep(fn, fail_nth, limit)
    assert "memory" in outcomes, "no allocation failed"
    wrong = [n + 1 for n, o in enumerate(outcomes) if o != "memory" and o != expected]
    assert not wrong, f"allocations {wrong[:10]} failed and the call gave a different result"
    assert refcounts(objs) == before, "a failed call changed a reference count of its data"
    assert fn() == expected
    # Three sweeps fill the caches (the abc module's, interned text) that stay put over the
    # three measured; a leak grows in both.
    native, traced = growth(lambda: sweep(fn, fail_nth, limit), warmup=3, calls=3)
    assert traced < SWEEP_TRACED_LIMIT, f"Python memory grew by {traced} bytes over 3 sweeps"
    assert SANITIZED or native < SWEEP_NATIVE_LIMIT, f"C allocations grew by {native} bytes over 3 sweeps"
    assert unraisable <= {MemoryError}, unraisable
    return outcomes.count("memory")


@pytest.mark.parametrize("name", list(FAULT_CASES))
def test_codec_allocation_failures(hooks, name, monkeypatch):
    data, call = FAULT_CASES[name]
    hooks.fail_allocation(0)
    call(data)
    total = hooks.allocations()
    assert total > 0
    limit = lambda n, outcomes: n > total  # noqa: E731
    failed = check_sweep(name, lambda n: hooks.fail_allocation(n or 0), limit, monkeypatch)
    print(f"{name}: {failed} of {total} codec allocations failed the call")


# The failure counts the codec's allocations from the next one.
def test_the_codec_hook_fails_only_the_armed_allocation(hooks):
    hooks.fail_allocation(0)
    encode(NESTED)
    total = hooks.allocations()
    hooks.fail_allocation(total + 1)
    try:
        assert encode(NESTED) == NESTED_TEXT and hooks.allocations() == total
        hooks.fail_allocation(total)
        with pytest.raises(MemoryError):
            encode(NESTED)
        assert encode(NESTED) == NESTED_TEXT
    finally:
        hooks.fail_allocation(0)


class OutOfPages(MemoryError):
    pass


# A MemoryError met while reading the data says that the process ran out of memory, not that the
# data is wrong: it reaches the caller as it was raised, not as a conversion error.
@pytest.mark.parametrize("exc, data", [
    (MemoryError("keys"), lambda e: [UMap(keys=fail(e))]),
    (OutOfPages("item"), lambda e: {"a": USeq([1, 2], getitem=fail(e))}),
    (MemoryError(), lambda e: (USeq(len=fail(e)),)),
    (OutOfPages("values"), lambda e: {"a": [1, UMap(values=fail(e))]}),
], ids=["keys", "getitem, a subclass", "len", "values, a subclass"])
def test_memory_errors_in_user_code_propagate_unchanged(exc, data):
    with pytest.raises(MemoryError) as info:
        encode(data(exc))
    assert info.value is exc and not hasattr(exc, "__notes__")  # no note naming the place either


try:
    import _testcapi
except ImportError:  # an interpreter built without its test modules: only these tests skip
    _testcapi = None
needs_testcapi = pytest.mark.skipif(_testcapi is None, reason="needs the interpreter's _testcapi")


def fail_interpreter_allocation(n, every_later=False):
    if n is None:
        _testcapi.remove_mem_hooks()
    else:  # fails the allocations counted in (start, stop], stop 0 for no end
        _testcapi.set_nomemory(n - 1, 0 if every_later else n)


def after_successes(run):
    """Stops once `run` calls in a row have succeeded: a call that fails none of its own
    allocations succeeds, and the interpreter makes no allocation it can do without."""
    return lambda n, outcomes: len(outcomes) >= run and "memory" not in outcomes[-run:]


# The decoders also with every allocation from the Nth failing: nothing on the way out may need one.
@pytest.mark.parametrize("name, every_later", [(name, False) for name in INTERPRETER_CASES]
                         + [("decode rows", True), ("decode nested", True)])
@needs_testcapi
def test_interpreter_allocation_failures(name, every_later, monkeypatch):
    fail = lambda n: fail_interpreter_allocation(n, every_later)  # noqa: E731
    failed = check_sweep(name, fail, after_successes(30), monkeypatch)
    print(f"{name}: {failed} interpreter allocations failed the call")


@needs_testcapi
def test_allocation_failures_while_raising_a_decode_error():
    """Making the DecodeError itself may fail: then MemoryError, never a crash."""
    for n in range(1, 400):
        fail_interpreter_allocation(n, every_later=True)
        try:
            decode(LAYOUTS_TEXT + "\nw[2]: 1")
        except (MemoryError, DecodeError) as e:
            kind = type(e)
        finally:
            fail_interpreter_allocation(None)
        if kind is DecodeError:
            break
    assert kind is DecodeError
