"""Many calls that end at each stage of a call, failing or not, leave the process
no bigger: neither the bytes in use in the C allocator (glibc's mallinfo2: the
codec's C++ allocations and Python objects above 512 bytes; unlike the resident
set, not hidden by memory that earlier tests freed) nor the Python memory that
tracemalloc traces. Every call handles kilobytes, so a leak per call would show
far above the bounds. Under the sanitizer build (VARDEL_SANITIZED) malloc is
ASan's, whose quarantine keeps freed memory: only traced memory is checked, and
LeakSanitizer watches the native allocations. Reference counts: test_refcounts."""

import ctypes
import gc
import os
import pickle
import tracemalloc

import pytest

from support import UMap, USeq
from vardel import DecodeOptions as DO, EncodeOptions as EO, decode_toon, encode

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


def growth(fn):
    """(C allocator, traced) bytes gained over CALLS calls of fn, after a warm-up."""
    def call():
        try:
            fn()
        except BaseException:  # noqa: BLE001 - every outcome is measured the same way
            pass
    tracemalloc.start()
    try:
        for _ in range(300):
            call()
        gc.collect()
        before = native_in_use(), tracemalloc.get_traced_memory()[0]
        for _ in range(CALLS):
            call()
        gc.collect()
        return native_in_use() - before[0], tracemalloc.get_traced_memory()[0] - before[1]
    finally:
        tracemalloc.stop()


def boom(*args):
    raise LookupError(bytearray(2048))  # a new, large exception each time


TREE = {"names": ["%d" % i * 1024 for i in range(8)], "rows": [{"id": i, "n": "n" * 512} for i in range(20)]}
TEXT = "\n".join(f"key{i}: {'v' * 64}" for i in range(300))
BAD_SET = type("BadSet", (set,), {"__iter__": boom})([1])
CIRCLE = ["c" * 1024]
CIRCLE.append(CIRCLE)
DEEP = ["d" * 1024]
for _ in range(600):
    DEEP = [DEEP]

# (stage, call given the test hooks, exception it ends with ("panic": the hooks' type), message part)
STAGES = [
    ("encode", lambda h: encode(TREE, EO("|", 3)), None, ""),
    ("decode", lambda h: decode_toon(TEXT, DO(strict=False)), None, ""),
    ("options_and_attributes", lambda h: (EO("|" * 2048, 4, False).delimiter, DO(strict=True).strict,
                                          setattr(EO(), "delimiter", "|" * 2048)), None, ""),
    ("missing_argument", lambda h: encode(), TypeError, ""),
    ("extra_argument", lambda h: encode(TREE, None, 3), TypeError, ""),
    ("unknown_keyword", lambda h: decode_toon(TEXT, **{"k" * 512: 1}), TypeError, "unexpected keyword"),
    ("decode_bytes", lambda h: decode_toon(TEXT.encode()), TypeError, ""),
    ("options_repr_compare_pickle", lambda h: (repr(EO("|" * 2048, sort_keys=False)), EO("|" * 2048) == EO(),
                                               pickle.loads(pickle.dumps([EO("|" * 2048), DO(delimiter="\t")]))),
     None, ""),
    ("bad_decode_delimiter", lambda h: DO(delimiter=";" * 2048), ValueError, "delimiter must be"),
    ("bad_option_value", lambda h: EO(indent="i" * 1024), TypeError, ""),
    ("bad_setter_value", lambda h: setattr(EO(), "indent", -1), OverflowError, ""),
    ("encode_options_of_the_other_class", lambda h: encode(TREE, DO()), TypeError, ""),
    ("decode_options_of_the_other_class", lambda h: decode_toon(TEXT, EO()), TypeError, ""),
    ("unsupported_type", lambda h: encode([TREE, object()]), ValueError, "unsupported type"),
    ("integer_out_of_range", lambda h: encode([TREE, 2**64]), ValueError, "out of range"),
    ("key_not_a_str", lambda h: encode({"a": TREE, 7: 1}), ValueError, "PyString"),
    ("lone_surrogate", lambda h: encode([TREE, "\ud800" * 512]), ValueError, "UnicodeEncodeError"),
    ("too_deep", lambda h: encode(DEEP), ValueError, "deeper"),
    ("circular", lambda h: encode(CIRCLE), ValueError, "circular"),
    ("keys_raises", lambda h: encode([TREE, UMap(keys=boom)]), ValueError, "LookupError"),
    ("values_raises", lambda h: encode([TREE, UMap(values=boom)]), ValueError, "LookupError"),
    ("len_raises", lambda h: encode([TREE, USeq(len=boom)]), ValueError, "LookupError"),
    ("getitem_raises", lambda h: encode([TREE, USeq([1, 2], getitem=boom)]), ValueError, "LookupError"),
    ("iteration_raises", lambda h: encode([TREE, BAD_SET]), ValueError, "LookupError"),
    ("invalid_delimiter", lambda h: encode(TREE, EO(";")), ValueError, "Invalid delimiter: ;"),
    ("indentation_too_large", lambda h: encode(TREE, EO(indent=2**62)), OverflowError, "Indentation"),
    ("decoding_error", lambda h: decode_toon(TEXT + '\nt[2]{a,b}:\n  1,2\n  3,"x\\"'), ValueError, "Decoding error: "),
    ("panic", lambda h: h.panic("p" * 1024), "panic", ""),
    ("native_exception", lambda h: h.throw_error(), "panic", ""),
    ("panic_in_user_code", lambda h: encode([TREE, UMap(keys=lambda: h.panic("p" * 1024))]), "panic", ""),
]


@pytest.mark.parametrize("fn, raises, part", [s[1:] for s in STAGES], ids=[s[0] for s in STAGES])
def test_many_calls_do_not_grow_memory(hooks, capfd, fn, raises, part):
    raises = hooks.panic_type() if raises == "panic" else raises
    try:  # the call ends at the stage it is named for
        fn(hooks)
        error = None
    except BaseException as e:  # noqa: BLE001
        error = e
    assert error is None if raises is None else isinstance(error, raises) and part in str(error), repr(error)
    native, traced = growth(lambda: fn(hooks))
    capfd.readouterr()  # the hooks report each panic on stderr
    assert traced < TRACED_LIMIT, f"Python memory grew by {traced} bytes over {CALLS} calls"
    assert SANITIZED or native < NATIVE_LIMIT, f"C allocations grew by {native} bytes over {CALLS} calls"


def test_a_leak_would_be_seen():
    kept = []
    native, traced = growth(lambda: kept.append(bytearray(1024)))
    assert traced > TRACED_LIMIT
    assert SANITIZED or MALLINFO2 is None or native > NATIVE_LIMIT
