"""Calls that fail at every stage, or succeed, leave reference counts unchanged and leak nothing."""

import gc
import sys
import tracemalloc

import pytest

import vardel._vardel as m
from support import Index, UMap, USeq, fail, numpy_bool

EO, DO = m.EncodeOptions, m.DecodeOptions


def text(s):
    """A new str made at run time, so neither interned nor immortal."""
    return "".join([s, "~"])


class Marker:
    """Carried by exceptions and containers, to see whether they leak."""


def caused(marker):
    error = TypeError(marker)
    error.__cause__ = LookupError(marker)
    return error


def nest(levels, leaf):
    for _ in range(levels):
        leaf = [leaf]
    return leaf


K, V, S, MK, BIG = text("key"), text("value"), text("|"), Marker(), 10**30
OPTS, SET, DOPTS = EO(S, 4), EO(), DO()
TRACKED = [K, V, S, MK, BIG, OPTS, SET, DOPTS, None, True, False, EO, DO, m.encode]
TOON = text("t[2]{id,name}:\n  1,Ada\n  2,Bob\nn: 18446744073709551615\nl[3]: true,null,-7")

CASES = {
    "encode": lambda h: m.encode({K: [V, 3.5, 2**64 - 1, None], S: {V: (1, frozenset([K]))}}),
    "binding": lambda h: m.encode([K], OPTS, other=V),
    "options type": lambda h: m.encode([K], {V: OPTS}),
    "key not str": lambda h: m.encode({K: V, 5: S}, OPTS),
    "records then bytes": lambda h: m.encode([{K: 1, S: V}, {K: 2, S: b"x"}], OPTS),
    "unsupported": lambda h: m.encode([K, {S: MK}]),
    "keys raise": lambda h: m.encode([K, UMap({K: MK}, keys=fail(LookupError(MK)))]),
    "values raise": lambda h: m.encode([UMap({K: MK}, values=fail(LookupError(MK)))]),
    "len raises": lambda h: m.encode([UMap({K: MK}, len=fail(LookupError(MK)))]),
    "getitem raises": lambda h: m.encode([USeq([K, V], getitem=fail(LookupError(MK)))]),
    "iteration raises": lambda h: m.encode(
        [type("S", (set,), {"__iter__": fail(LookupError(MK))})([V])]),
    "length changes": lambda h: m.encode([USeq([K, V], len=[3, 2].pop)]),
    "abc check raises": lambda h: m.encode(
        [K, type("C", (), {"__class__": property(fail(LookupError(MK)))})()]),
    "too deep": lambda h: m.encode({K: nest(600, {V: S})}),
    "circular": lambda h: m.encode({S: (c := [K, V]).append(c) or c}),
    "invalid delimiter": lambda h: m.encode({K: [V, {S: MK}]}, OPTS),
    "borrow refused": lambda h: m.encode([UMap(keys=lambda: setattr(OPTS, "delimiter", V))], OPTS),
    "panic": lambda h: m.encode({K: [UMap({V: MK}, keys=lambda: h.panic(text("panic")))]}, OPTS),
    "decode": lambda h: m.decode_toon(TOON, DOPTS),
    "decode binding": lambda h: m.decode_toon(TOON, DOPTS, V),
    "decoding error": lambda h: m.decode_toon(text('x: "a\\q"')),
    "constructor": lambda h: EO(S, Index(BIG % 2**64), numpy_bool(False), False),
    "constructor binding": lambda h: EO(S, BIG, True, True, V),
    "constructor bad value": lambda h: EO(S, MK),
    "index raises": lambda h: EO(S, Index(caused(MK))),
    "decode constructor bad value": lambda h: DO(MK),
    "setter": lambda h: setattr(SET, "delimiter", V),
    "setter bad value": lambda h: setattr(SET, "indent", Index(caused(MK))),
    "delete": lambda h: delattr(SET, "indent"),
    "getters": lambda h: (SET.delimiter, SET.indent, SET.strict, DOPTS.strict),
    "decode options setter": lambda h: setattr(DOPTS, "strict", MK),
}


def call(fn):
    try:
        fn()
    except BaseException:  # noqa: BLE001 - every outcome is measured the same way
        pass


@pytest.mark.parametrize("name", CASES)
def test_counts_are_unchanged(hooks, capfd, monkeypatch, name):
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    fn = CASES[name]
    call(lambda: fn(hooks))  # caches that live for the process are filled
    gc.collect()
    before = [sys.getrefcount(o) for o in TRACKED]
    for _ in range(40):
        call(lambda: fn(hooks))
    gc.collect()
    after = [sys.getrefcount(o) for o in TRACKED]
    capfd.readouterr()
    assert [(repr(o)[:40], b, a) for o, b, a in zip(TRACKED, before, after) if a != b] == []


def test_tracked_objects_are_mortal():
    assert all(sys.getrefcount(o) < 2**20 for o in TRACKED[:8])


# Results and exceptions cannot be tracked by their counts; if any of them leaked,
# memory would grow by at least one object per call.
@pytest.mark.parametrize("fn", [
    lambda: m.decode_toon(TOON),
    lambda: m.decode_toon('x: "a\\q"'),
    lambda: m.encode({"rows": [{"id": 1, "v": "a"}, {"id": 2, "v": "b"}], "x": [1.5, None]}),
    lambda: m.encode([UMap(keys=fail(LookupError("x")))]),
    lambda: m.encode(nest(600, 1)),
    lambda: EO(indent=Index(TypeError("x"))),
], ids=["decode", "decode error", "encode", "encode error", "too deep", "option error"])
def test_results_and_errors_are_released(fn):
    call(fn)
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(3000):
            call(fn)
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - base < 3000
    finally:
        tracemalloc.stop()
