"""Calls that fail at every stage, or succeed, leave the reference counts of their arguments unchanged."""

import copy
import dataclasses
import datetime
import gc
import pickle
import sys
import uuid

import pytest

import vardel
import vardel._vardel as m
from support import Index, UMap, USeq, fail, numpy_bool

EO, DO = m.EncodeOptions, m.DecodeOptions


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


K, V, S, MK, BIG = text("key"), text("value"), text("|"), Marker(), 10**30
OPTS, SET, DOPTS = EO(S, 4), EO(), DO()
WHEN = datetime.datetime(2020, 1, 2, 3, 4, 5, 6, tzinfo=datetime.timezone(datetime.timedelta(hours=1)))
REC, ID = Record(V, WHEN), uuid.UUID(int=7)
TRACKED = [K, V, S, MK, BIG, OPTS, SET, DOPTS, WHEN, REC, ID, None, True, False, EO, DO, m.encode,
           vardel.common_types]
TOON = text("t[2]{id,name}:\n  1,Ada\n  2,Bob\nn: 18446744073709551615\nl[3]: true,null,-7")
DEEP = [{V: S}]
for _ in range(600):
    DEEP = [DEEP]

CASES = {
    "encode": lambda h: m.encode({K: [V, 3.5, 2**64 - 1, None], S: {V: (1, frozenset([K]))}}),
    "binding": lambda h: m.encode([K], OPTS, other=V),
    "options type": lambda h: m.encode([K], {V: OPTS}),
    "key not str": lambda h: m.encode({K: V, 5: S}, OPTS),
    "records then bytes": lambda h: m.encode([{K: 1, S: V}, {K: 2, S: b"x"}], OPTS),
    "unsupported": lambda h: m.encode([K, {S: MK}]),
    "keys raise": lambda h: m.encode([K, UMap({K: MK}, keys=fail(LookupError(MK)))]),
    "length changes": lambda h: m.encode([USeq([K, V], len=[3, 2].pop)]),
    "abc check raises": lambda h: m.encode([K, type("C", (), {"__class__": property(fail(LookupError(MK)))})()]),
    "too deep": lambda h: m.encode({K: DEEP}),
    "circular": lambda h: m.encode({S: (c := [K, V]).append(c) or c}),
    "invalid delimiter": lambda h: m.encode({K: [V, {S: MK}]}, OPTS),
    "borrow refused": lambda h: m.encode([UMap(keys=lambda: setattr(OPTS, "delimiter", V))], OPTS),
    "panic": lambda h: m.encode({K: [UMap({V: MK}, keys=lambda: h.panic(text("panic")))]}, OPTS),
    "default": lambda h: m.encode({K: [MK, S]}, OPTS, default=lambda o: {V: [S, MK, BIG % 7]} if o is MK else o),
    "default raises": lambda h: m.encode({K: [V, MK]}, default=fail(caused(MK))),
    "default unchanged": lambda h: m.encode({K: [V, {S: MK}]}, default=lambda o: o),
    "default too deep": lambda h: m.encode([K, MK], default=lambda o: [V, o]),
    "common types": lambda h: m.encode({K: [REC, ID, WHEN, MK]}, default=lambda o: V if o is MK
                                       else vardel.common_types(o)),
    "common types native": lambda h: m.encode({K: [REC, ID, WHEN, (REC,)]}, default=vardel.common_types),
    "common types refuse": lambda h: m.encode({K: [REC, Record(MK, K)]}, default=vardel.common_types),
    "decode": lambda h: m.decode_toon(TOON, DOPTS),
    "decoding error": lambda h: m.decode_toon(text('x: "a\\q"')),
    "constructor": lambda h: EO(S, Index(BIG % 2**64), numpy_bool(False), False),
    "index raises": lambda h: EO(S, Index(caused(MK))),
    "decode options bad value": lambda h: DO(MK),
    "setters and getters": lambda h: (setattr(SET, "delimiter", V), SET.delimiter, SET.indent, DOPTS.strict),
    "setter bad value": lambda h: setattr(SET, "indent", Index(caused(MK))),
    "delete": lambda h: delattr(SET, "indent"),
    "decode delimiter refused": lambda h: (DO(delimiter=V), setattr(DOPTS, "delimiter", S)),
    "repr and comparison": lambda h: (repr(OPTS), repr(DOPTS), OPTS == SET, OPTS != EO(S, 4), OPTS == DOPTS),
    "pickle and copy": lambda h: (pickle.loads(pickle.dumps([OPTS, DOPTS])), copy.deepcopy(OPTS), DOPTS.__reduce__()),
    "unhashable": lambda h: hash(OPTS),
    "settings hooks": lambda h: (h.encode_settings(OPTS, None), h.decode_settings(DOPTS, lambda: DO(MK))),
}


def call(fn, hooks):
    try:
        fn(hooks)
    except BaseException:  # noqa: BLE001 - every outcome is measured the same way
        pass


@pytest.mark.parametrize("name", CASES)
def test_counts_are_unchanged(hooks, capfd, monkeypatch, name):
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    call(CASES[name], hooks)  # caches that live for the process are filled
    gc.collect()
    before = [sys.getrefcount(o) for o in TRACKED]
    for _ in range(40):
        call(CASES[name], hooks)
    gc.collect()
    after = [sys.getrefcount(o) for o in TRACKED]
    capfd.readouterr()
    assert max(before[:8]) < 2**20  # mortal, so the counts can move
    assert [(repr(o)[:40], b, a) for o, b, a in zip(TRACKED, before, after) if a != b] == []
