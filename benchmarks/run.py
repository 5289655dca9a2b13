"""vardel against the JSON codecs: encode and decode speed, sizes, scaling, peak RSS, targets.

Usage (from the repository root, with vardel, orjson, msgspec and matplotlib
installed; ``make bench`` does all of it)::

    python -m benchmarks.run              # full run: 1 KB, 1 MB, 20 MB (about 6 minutes)
    python -m benchmarks.run --quick      # smoke run: 1 KB and 1 MB, few repeats
    python -m benchmarks.run --report benchmarks/results/latest.json   # tables only

Corpora. The five generated corpora of benchmarks/corpora.py (records,
nested, events, text, numeric) at 1 KB, 1 MB and 20 MB of compact JSON; the
three public documents (twitter, citm_catalog, canada) as they are and as a
list of copies reaching 20 MB; and ``stamped``, records holding datetime
objects, at 1 KB, 1 MB and 20 MB.

Method. For each corpus all codecs of one direction, at every size, are
timed in this one process, round-robin: each round runs one sample of every
(size, codec) pair, and the starting pair rotates from round to round, so
load that changes during the run touches every pair alike (the scaling from
1 MB to 20 MB included). The 20 MB pairs take part in fewer rounds
(``--big-repeats``, 5 by default against 11) spread evenly over the run, to
keep a full run within about six minutes on two cores. A sample times a loop
of enough calls to last ``--min-time`` (a single call when one lasts longer);
results are kept until the loop ends, so freeing them is not timed. The
cyclic garbage collector is off inside a sample (as timeit does). Reported:
the median and the minimum of the per-call times over the rounds.

Directions and peers. Encoding: ``vardel.encode(data)`` against
``json.dumps(data, sort_keys=True)`` with its default separators and
``ensure_ascii`` (the call most code makes), the same with compact
separators and ``ensure_ascii=False``, ``orjson.dumps(data,
option=OPT_SORT_KEYS)`` and ``msgspec.json.Encoder(order="sorted").encode``:
vardel writes object members sorted by key, so every peer sorts too.
Decoding, two ways, each against ``json.loads``, ``orjson.loads`` and
``msgspec.json.Decoder().decode`` on the compact JSON text (a str, as
vardel's decoders get a str) of the same data:

* ``decode``: ``vardel.decode`` (the reader of nested text) on vardel's text
  of the corpus itself, checked to read back equal to the data before timing;
* ``decode_toon``: ``vardel.decode_toon`` on vardel's text of the corpus's
  flat variant (the one decode_toon reads back faithfully, checked before
  timing); the public documents have no flat variant.

``stamped`` is only encoded: ``vardel.encode(data,
default=vardel.common_types)`` against ``orjson.dumps(data,
option=OPT_SORT_KEYS)``, which writes datetimes itself (skipped, with a
message, when vardel has no ``default=``).

Ratios are peer time / vardel time (above 1: vardel is faster). MB/s is the
size of the data's compact JSON (decimal MB) divided by the median time, in
both directions, so that every codec is measured against the same volume.
Scaling is the time per MB at 20 MB divided by the time per MB at 1 MB (for
the public documents: at the document's own size); each scaling target shows
orjson's scaling in the same run beside vardel's.

Peak RSS: each codec encodes the 20 MB records corpus (1 MB with --quick) in
a fresh process (benchmarks/rss.py), which reports its peak RSS above the
RSS it had after loading the data; each decoder reads the text of the same
records in a fresh process (``decode_toon`` and its peers the flat variant's).

Targets: every target of the performance issues is reported with the figure
it needs, the figure measured and whether it is met (TARGETS below); a target
whose figure this run did not measure (the 20 MB ones with --quick) says so.

Results go to benchmarks/results/ as JSON (everything, with every sample),
Markdown (the tables) and a chart of the per-corpus ratios (chart.svg, and
chart.png to look at); the Markdown is printed too. ``--readme`` writes the
tables into README.md between the benchmark markers, with the chart above
them, copied to benchmarks/chart.svg.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import gc
import json
import math
import os
import pickle
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from functools import partial
from pathlib import Path
from typing import Any, Callable

from benchmarks import corpora

ROOT = Path(__file__).resolve().parent.parent
RESULTS_DIR = ROOT / "benchmarks" / "results"
README_CHART = ROOT / "benchmarks" / "chart.svg"
README_START = "<!-- benchmarks:start -->"
README_END = "<!-- benchmarks:end -->"

ENC_VARDEL = "vardel.encode"
ENC_HOOKED = "vardel.encode default=common_types"
DEC_VARDEL = "vardel.decode"
DEC_FLAT = "vardel.decode_toon"
ENC_PEERS = ("json.dumps", "json.dumps compact", "orjson.dumps", "msgspec.encode")
DEC_PEERS = ("json.loads", "orjson.loads", "msgspec.decode")
PEERS = {"encode": ENC_PEERS, "decode": DEC_PEERS, "decode_flat": DEC_PEERS}
# What each direction calls itself in the tables, and the size its MB/s counts.
DIRECTION_TITLES = {"encode": "encode", "decode": "decode", "decode_flat": "decode_toon"}
VOLUME = {"encode": "json_bytes", "decode": "json_bytes", "decode_flat": "flat_json_bytes"}

GENERATED = corpora.CORPORA
PUBLIC = corpora.PUBLIC_CORPORA
ALL_CORPORA = GENERATED + PUBLIC + corpora.HOOK_CORPORA
BIG = "20MB"
BASE_LABEL = "doc"  # the size label of a public document as it is

# (issue, direction, corpora, peer, minimum ratio peer time / vardel time), at 1 MB (the
# public documents at their own size). Earlier targets stay where no later one replaced them.
TARGETS = [
    ("15", "encode", ("records",), "orjson.dumps", 1.0),
    ("15", "encode", ("nested", "events", "numeric"), "orjson.dumps", 0.8),
    ("15", "encode", ("text",), "orjson.dumps", 0.6),
    ("15", "encode", PUBLIC, "orjson.dumps", 0.6),
    ("15", "encode", ("stamped",), "orjson.dumps", 1 / 1.5),
    ("6", "encode", ("records", "nested", "events"), "json.dumps", 5.0),
    ("15", "decode_flat", ("records", "events"), "orjson.loads", 1.2),
    ("15", "decode_flat", ("nested", "text", "numeric"), "orjson.loads", 1.0),
    ("6", "decode_flat", ("records",), "json.loads", 3.0),
    ("12", "decode", ("records", "events"), "orjson.loads", 1.0),
    ("12", "decode", ("nested",) + PUBLIC, "orjson.loads", 0.8),
    ("12", "decode", GENERATED + PUBLIC, "json.loads", 3.0),
]
SCALING_LIMIT = 1.25
# Whose scaling each scaling row shows beside vardel's, measured in the same run: what the
# machine's memory does to any codec at 20 MB (fresh pages for the results kept, caches
# outgrown) shows in the peer's figure too.
SCALING_PEER = {"encode": "orjson.dumps", "decode": "orjson.loads", "decode_flat": "orjson.loads"}
# (direction, vardel codec, peer, maximum ratio of peak RSS vardel / peer), 20 MB records
RSS_TARGETS = [
    ("encode", ENC_VARDEL, "orjson.dumps", 1.5),
    ("decode", DEC_VARDEL, "orjson.loads", 1.2),
    ("decode_flat", DEC_FLAT, "orjson.loads", 1.2),
]


# --------------------------------------------------------------------------
# codecs

def _optional(module: str):
    try:
        return __import__(module)
    except ImportError:
        return None


def _peer_encoders(data: Any) -> dict[str, Callable[[], Any]]:
    out: dict[str, Callable[[], Any]] = {
        "json.dumps": partial(json.dumps, data, sort_keys=True),
        "json.dumps compact": partial(json.dumps, data, sort_keys=True,
                                      separators=(",", ":"), ensure_ascii=False),
    }
    orjson = _optional("orjson")
    if orjson is not None:
        out["orjson.dumps"] = partial(orjson.dumps, data, option=orjson.OPT_SORT_KEYS)
    msgspec = _optional("msgspec")
    if msgspec is not None:
        out["msgspec.encode"] = partial(msgspec.json.Encoder(order="sorted").encode, data)
    return out


def encoders(data: Any) -> dict[str, Callable[[], Any]]:
    import vardel

    return {ENC_VARDEL: partial(vardel.encode, data), **_peer_encoders(data)}


def hook_unavailable() -> str | None:
    """Why encode(default=vardel.common_types) cannot be measured, or None if it can."""
    import vardel

    if not hasattr(vardel, "common_types"):
        return "this vardel has no vardel.common_types"
    try:
        vardel.encode({"a": 1}, default=vardel.common_types)
    except TypeError as e:
        return f"this vardel's encode takes no default= ({e})"
    return None


def hooked_encoders(data: Any) -> dict[str, Callable[[], Any]]:
    """vardel with the ready-made hook, and the peer that writes datetimes natively."""
    import vardel

    out: dict[str, Callable[[], Any]] = {
        ENC_HOOKED: partial(vardel.encode, data, default=vardel.common_types),
    }
    orjson = _optional("orjson")
    if orjson is not None:
        out["orjson.dumps"] = partial(orjson.dumps, data, option=orjson.OPT_SORT_KEYS)
    return out


def decoders(vardel_fn: Callable[[str], Any], name: str, toon: str,
             json_text: str) -> dict[str, Callable[[], Any]]:
    out: dict[str, Callable[[], Any]] = {
        name: partial(vardel_fn, toon),
        "json.loads": partial(json.loads, json_text),
    }
    orjson = _optional("orjson")
    if orjson is not None:
        out["orjson.loads"] = partial(orjson.loads, json_text)
    msgspec = _optional("msgspec")
    if msgspec is not None:
        out["msgspec.decode"] = partial(msgspec.json.Decoder().decode, json_text)
    return out


# --------------------------------------------------------------------------
# timing

def _sample(fn: Callable[[], Any], number: int) -> float:
    """Seconds per call over a loop of ``number`` calls."""
    keep = [None] * number
    gc_was_on = gc.isenabled()
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        for i in range(number):
            keep[i] = fn()
        t1 = time.perf_counter_ns()
    finally:
        if gc_was_on:
            gc.enable()
    del keep
    return (t1 - t0) / number / 1e9


def spread(rounds: int, k: int) -> set[int]:
    """``k`` of the round numbers 0..rounds-1, spread evenly, the first and last included."""
    if k >= rounds:
        return set(range(rounds))
    if k <= 1:
        return {rounds // 2} if k == 1 else set()
    return {round(i * (rounds - 1) / (k - 1)) for i in range(k)}


def measure(funcs: dict[Any, Callable[[], Any]], repeats: dict[Any, int], min_time: float,
            max_number: int) -> dict[Any, dict]:
    """Times every function round-robin, each in ``repeats[key]`` rounds spread over the run."""
    numbers = {}
    for key, fn in funcs.items():
        fn()  # warm up (and fill caches such as a str's UTF-8 form, for every codec)
        once = _sample(fn, 1)
        numbers[key] = max(1, min(max_number, math.ceil(min_time / max(once, 1e-9))))
    rounds = max(repeats.values())
    runs_in = {key: spread(rounds, repeats[key]) for key in funcs}
    samples: dict[Any, list[float]] = {key: [] for key in funcs}
    keys = list(funcs)
    for rnd in range(rounds):
        k = rnd % len(keys)
        for key in keys[k:] + keys[:k]:
            if rnd in runs_in[key]:
                samples[key].append(_sample(funcs[key], numbers[key]))
        gc.collect()
    return {
        key: {"median": statistics.median(s), "min": min(s), "number": numbers[key],
              "samples": s}
        for key, s in samples.items()
    }


# --------------------------------------------------------------------------
# environment

def _run(cmd: list[str]) -> str:
    try:
        return subprocess.run(cmd, capture_output=True, text=True, check=False,
                              cwd=ROOT).stdout.strip()
    except OSError:
        return ""


def build_name(tree_commit: str, installed: Path) -> str:
    """Names the measured build: the tree's commit when vardel (its ``__init__.py`` at
    ``installed``) was installed from this tree's venv, else the place it was installed in
    (another commit's build, for a comparison)."""
    if ROOT in installed.parents:
        return tree_commit
    return f"unknown commit (installed in {installed.parent.parent}; benchmarks at {tree_commit})"


def environment(command: str) -> dict:
    lscpu = {}
    for line in _run(["lscpu"]).splitlines():
        if ":" in line:
            key, value = line.split(":", 1)
            lscpu[key.strip()] = value.strip()
    versions = {}
    for mod in ("orjson", "msgspec"):
        m = _optional(mod)
        versions[mod] = getattr(m, "__version__", "?") if m else None
    try:
        from importlib.metadata import version
        versions["vardel"] = version("vardel")
    except Exception:  # noqa: BLE001 - the version is informative only
        versions["vardel"] = "?"
    commit = _run(["git", "rev-parse", "--short", "HEAD"])
    if _run(["git", "status", "--porcelain", "--untracked-files=no"]):
        commit += " (with local changes)"
    import vardel
    commit = build_name(commit, Path(vardel.__file__).resolve())
    return {
        "cpu_model": lscpu.get("Model name", platform.processor() or "?"),
        "cpus": os.cpu_count(),
        "cores_per_socket": lscpu.get("Core(s) per socket"),
        "threads_per_core": lscpu.get("Thread(s) per core"),
        "load_average_at_start": os.getloadavg(),
        "python": platform.python_version(),
        "python_build": " ".join(platform.python_build()),
        "platform": platform.platform(),
        "compiler": _run(["g++", "--version"]).splitlines()[0] if _run(["g++", "--version"]) else "?",
        "versions": versions,
        "vardel_commit": commit,
        "command": command,
        "corpora_fingerprint_1KB": corpora.fingerprint("1KB"),
        "date": _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


# --------------------------------------------------------------------------
# one corpus at every size

def _compact_json(data: Any) -> str:
    return json.dumps(data, separators=(",", ":"), ensure_ascii=False)


def directions_of(name: str) -> dict[str, str]:
    """The directions a corpus is measured in, each with its vardel codec."""
    if name in corpora.HOOK_CORPORA:
        return {"encode": ENC_HOOKED}
    if name in PUBLIC:
        return {"encode": ENC_VARDEL, "decode": DEC_VARDEL}
    return {"encode": ENC_VARDEL, "decode": DEC_VARDEL, "decode_flat": DEC_FLAT}


def base_label(name: str) -> str:
    """The size the 1 MB targets and the scaling refer to."""
    return BASE_LABEL if name in PUBLIC else "1MB"


def corpus_sizes(name: str, sizes: list[str]) -> list[str]:
    """The size labels to measure ``name`` at: a public document has its own size and 20 MB."""
    if name in PUBLIC:
        return [BASE_LABEL] + [BIG for s in sizes if s == BIG]
    return sizes


def _data(name: str, label: str) -> tuple[Any, Any]:
    """The data of a corpus at a size, and its flat variant (None when it has none)."""
    if name in PUBLIC:
        if label == BASE_LABEL:
            return corpora.load_public(name), None
        return corpora.public_copies(name, label), None
    if name in corpora.HOOK_CORPORA:
        return corpora.generate(name, label), None
    return corpora.generate(name, label), corpora.generate_flat(name, label)


def _prepare(name: str, label: str, log: Callable[[str], None]
             ) -> tuple[dict, dict[str, dict[str, Callable[[], Any]]]]:
    """Sizes and checks of a corpus at one size, and the functions to time per direction."""
    import vardel

    t0 = time.perf_counter()
    data, flat = _data(name, label)
    log(f"  {_label(label)}: made in {time.perf_counter() - t0:.1f}s")
    funcs: dict[str, dict[str, Callable[[], Any]]] = {}
    if name in corpora.HOOK_CORPORA:
        toon = vardel.encode(data, default=vardel.common_types)
        entry: dict[str, Any] = {"json_bytes": corpora.json_size(data),
                                 "toon_bytes": len(toon.encode("utf-8"))}
        funcs["encode"] = hooked_encoders(data)
        return entry, funcs
    json_text = _compact_json(data)
    toon = vardel.encode(data)
    if vardel.encode(data) != toon:
        raise SystemExit(f"{name} {label}: vardel.encode is not deterministic")
    entry = {
        "json_bytes": len(json_text.encode("utf-8")),
        "json_default_bytes": len(json.dumps(data, sort_keys=True)),
        "toon_bytes": len(toon.encode("utf-8")),
    }
    funcs["encode"] = encoders(data)
    back = vardel.decode(toon)
    entry["roundtrip"] = back == data
    if not entry["roundtrip"]:
        entry["roundtrip_difference"] = corpora.first_difference(back, data)
        log(f"  WARNING: decode(encode(data)) differs: {entry['roundtrip_difference']}")
    del back
    funcs["decode"] = decoders(vardel.decode, DEC_VARDEL, toon, json_text)
    if flat is not None:
        flat_json = _compact_json(flat)
        flat_toon = vardel.encode(flat)
        entry["flat_json_bytes"] = len(flat_json.encode("utf-8"))
        entry["flat_toon_bytes"] = len(flat_toon.encode("utf-8"))
        diff = corpora.first_difference(vardel.decode_toon(flat_toon), flat)
        entry["flat_roundtrip"] = diff is None
        if diff is not None:
            entry["flat_roundtrip_difference"] = diff
            log(f"  WARNING: decode_toon(encode(flat)) differs: {diff}")
        funcs["decode_flat"] = decoders(vardel.decode_toon, DEC_FLAT, flat_toon, flat_json)
    return entry, funcs


def bench_corpus(name: str, sizes: list[str], repeats: int, big_repeats: int, min_time: float,
                 log: Callable[[str], None]) -> dict[str, dict]:
    """Measures one corpus at every size; returns an entry per size label.

    All sizes are timed in the same rounds (one round runs a sample of every
    codec at every size, the 20 MB ones in ``big_repeats`` rounds spread over
    the run), so that the scaling from 1 MB to 20 MB is not skewed by load
    that changes while the run goes on.
    """
    dirs = directions_of(name)
    entries: dict[str, dict] = {}
    funcs: dict[str, dict[tuple[str, str], Callable[[], Any]]] = {d: {} for d in dirs}
    for label in corpus_sizes(name, sizes):
        entries[label], per_direction = _prepare(name, label, log)
        for direction, codecs in per_direction.items():
            for codec, fn in codecs.items():
                funcs[direction][(label, codec)] = fn
        del per_direction
    gc.collect()

    for direction, base in dirs.items():
        reps = {key: big_repeats if key[0] == BIG else repeats for key in funcs[direction]}
        load_before = os.getloadavg()[0]
        stats = measure(funcs[direction], reps, min_time, 200_000)
        load_after = os.getloadavg()[0]
        for label, entry in entries.items():
            entry[direction] = {codec: st for (lab, codec), st in stats.items() if lab == label}
            entry.setdefault("load_average", []).extend([load_before, load_after])
            log(f"  {_label(label)} {DIRECTION_TITLES[direction]}: "
                + _brief(entry[direction], base))
        funcs[direction].clear()
        gc.collect()
    return entries


def _brief(stats: dict, base: str) -> str:
    b = stats[base]["median"]
    parts = [f"{base} {_fmt_time(b)}"]
    parts += [f"{k} {stats[k]['median'] / b:.2f}x" for k in stats if k != base]
    return ", ".join(parts)


# --------------------------------------------------------------------------
# peak RSS

def bench_rss(size_label: str, log: Callable[[str], None]) -> dict:
    import vardel

    data = corpora.generate("records", size_label)
    flat = corpora.generate_flat("records", size_label)
    out: dict[str, Any] = {"corpus": "records", "size": size_label,
                           "encode": {}, "decode": {}, "decode_flat": {}}
    with tempfile.TemporaryDirectory(prefix="vardel-bench-") as tmp:
        paths = {name: Path(tmp) / name for name in
                 ("data.pickle", "data.toon", "data.json", "flat.toon", "flat.json")}
        with open(paths["data.pickle"], "wb") as f:
            pickle.dump(data, f, protocol=pickle.HIGHEST_PROTOCOL)
        paths["data.toon"].write_text(vardel.encode(data), encoding="utf-8")
        paths["data.json"].write_text(_compact_json(data), encoding="utf-8")
        paths["flat.toon"].write_text(vardel.encode(flat), encoding="utf-8")
        paths["flat.json"].write_text(_compact_json(flat), encoding="utf-8")
        del data, flat
        gc.collect()
        jobs = [("encode", c, "data.pickle") for c in (ENC_VARDEL,) + ENC_PEERS
                if c != "json.dumps compact"]
        jobs += [("decode", DEC_VARDEL, "data.toon")]
        jobs += [("decode", c, "data.json") for c in DEC_PEERS]
        jobs += [("decode_flat", DEC_FLAT, "flat.toon")]
        jobs += [("decode_flat", c, "flat.json") for c in DEC_PEERS]
        for direction, codec, path in jobs:
            mod = codec.split(".")[0]
            if mod in ("orjson", "msgspec") and _optional(mod) is None:
                continue
            proc = subprocess.run([sys.executable, "-m", "benchmarks.rss", codec,
                                   str(paths[path])],
                                  capture_output=True, text=True, cwd=ROOT, check=False)
            if proc.returncode != 0:
                log(f"  rss {codec} failed: {proc.stderr.strip()[-500:]}")
                continue
            res = json.loads(proc.stdout.strip().splitlines()[-1])
            out[direction][codec] = res
            log(f"  rss {DIRECTION_TITLES[direction]} {codec}: {res['delta_kb'] / 1024:.1f} MB "
                f"above a baseline of {res['baseline_kb'] / 1024:.1f} MB")
    return out


# --------------------------------------------------------------------------
# report

def _fmt_time(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:.1f} µs"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def _fmt_bytes(n: int) -> str:
    if n < 10_000:
        return f"{n} B"
    if n < 10_000_000:
        return f"{n / 1e3:.0f} KB"
    return f"{n / 1e6:.1f} MB"


def _label(label: str) -> str:
    """"20MB" -> "20 MB"; a public document's own size -> "document"."""
    return "document" if label == BASE_LABEL else label[:-2] + " " + label[-2:]


def _size_key(label: str) -> int:
    return corpora.SIZES.get(label, 0)


def _scaling(sizes: dict, direction: str, codec: str, base: str) -> float | None:
    """Time per MB at 20 MB over time per MB at the base size, or None if either is missing."""
    a, b = sizes.get(base), sizes.get(BIG)
    if not a or not b or codec not in a.get(direction, {}) or codec not in b.get(direction, {}):
        return None
    vol = VOLUME[direction]
    per_a = a[direction][codec]["median"] / a[vol]
    per_b = b[direction][codec]["median"] / b[vol]
    return per_b / per_a


def _ratio_value(results: dict, name: str, direction: str, peer: str) -> tuple[float | None, str]:
    """Peer time / vardel time for a corpus at its base size, or None and why it is missing."""
    corpus = results["corpora"].get(name)
    if corpus is None:
        return None, results.get("skipped", {}).get(name, "corpus not in this run")
    entry = corpus["sizes"].get(base_label(name))
    if not entry or direction not in entry:
        return None, "size not in this run"
    stats = entry[direction]
    vardel_codec = directions_of(name)[direction]
    if peer not in stats or vardel_codec not in stats:
        return None, f"{peer} not installed"
    return stats[peer]["median"] / stats[vardel_codec]["median"], ""


def _fmt_need(x: float) -> str:
    return f"{x:.3g}x"


def targets(results: dict) -> list[dict]:
    """Every target: what it needs, what was measured and whether it is met (None: not measured)."""
    rows = []
    for issue, direction, names, peer, need in TARGETS:
        for name in names:
            value, why = _ratio_value(results, name, direction, peer)
            codec = directions_of(name)[direction]
            size = "1 MB" if base_label(name) == "1MB" else "document"
            rows.append({"issue": issue, "target": f"{codec} vs {peer}, {name} ({size})",
                         "need": f">= {_fmt_need(need)}",
                         "value": f"{value:.2f}x" if value is not None else f"not measured: {why}",
                         "met": None if value is None else value >= need})
    for name in ALL_CORPORA:
        for direction, codec in directions_of(name).items():
            issue = {"encode": "15", "decode": "12, 15", "decode_flat": "15"}[direction]
            corpus = results["corpora"].get(name)
            s = peer_s = None
            why = results.get("skipped", {}).get(name, "corpus not in this run")
            if corpus is not None:
                s = _scaling(corpus["sizes"], direction, codec, base_label(name))
                peer_s = _scaling(corpus["sizes"], direction, SCALING_PEER[direction],
                                  base_label(name))
                why = "no 20 MB run"
            value = f"{s:.2f}" if s is not None else f"not measured: {why}"
            if s is not None and peer_s is not None:
                value += f" ({SCALING_PEER[direction]}: {peer_s:.2f})"
            rows.append({"issue": issue,
                         "target": f"{codec} time per MB, 20 MB / {_label(base_label(name))}, "
                                   f"{name}",
                         "need": f"<= {SCALING_LIMIT:.2f}",
                         "value": value,
                         "met": None if s is None else s <= SCALING_LIMIT})
    rss = results.get("rss") or {}
    for direction, codec, peer, limit in RSS_TARGETS:
        size = _label(rss["size"]) if rss else "20 MB"
        v = rss.get(direction, {}).get(codec, {}).get("delta_kb")
        o = rss.get(direction, {}).get(peer, {}).get("delta_kb")
        ratio = None if v is None or not o else v / o
        why = "no peak RSS run" if not rss else f"{codec} or {peer} failed"
        rows.append({"issue": "15", "target": f"peak RSS of {codec} vs {peer}, {size} records",
                     "need": f"<= {_fmt_need(limit)}",
                     "value": f"{ratio:.2f}x" if ratio is not None else f"not measured: {why}",
                     "met": None if ratio is None else ratio <= limit})
    return rows


def _load_note(results: dict) -> str:
    loads = [x for c in results["corpora"].values()
             for e in c["sizes"].values() for x in e.get("load_average", [])]
    if not loads:
        loads = [results["env"]["load_average_at_start"][0]]
    return (f"Load average (1 min) while measuring: {min(loads):.1f} to {max(loads):.1f} "
            f"on {results['env']['cpus']} CPUs (other work was running).")


def _met(m: bool | None) -> str:
    return "-" if m is None else ("yes" if m else "**no**")


def _sizes_table(name: str, sizes: dict, labels: list[str]) -> list[str]:
    out = ["| size | compact JSON | json.dumps | TOON | TOON / compact JSON "
           "| flat variant: JSON | flat: TOON |", "|---|---|---|---|---|---|---|"]
    for lab in labels:
        e = sizes[lab]
        cells = [_fmt_bytes(e["json_bytes"]),
                 _fmt_bytes(e["json_default_bytes"]) if "json_default_bytes" in e else "-",
                 _fmt_bytes(e["toon_bytes"]), f"{e['toon_bytes'] / e['json_bytes']:.2f}",
                 _fmt_bytes(e["flat_json_bytes"]) if "flat_json_bytes" in e else "-",
                 _fmt_bytes(e["flat_toon_bytes"]) if "flat_toon_bytes" in e else "-"]
        out.append(f"| {_label(lab)} | " + " | ".join(cells) + " |")
    return out


def _speed_table(sizes: dict, labels: list[str], direction: str, base: str,
                 scaling_base: str) -> list[str]:
    present = [p for p in PEERS[direction]
               if any(p in sizes[lab].get(direction, {}) for lab in labels)]
    cols = [base] + present
    out = ["| size | " + " | ".join(cols) + " |", "|---" * (len(cols) + 1) + "|"]
    vol = VOLUME[direction]
    for lab in labels:
        e = sizes[lab]
        stats = e.get(direction)
        if not stats:
            continue
        b = stats[base]["median"]
        cells = []
        for col in cols:
            if col not in stats:
                cells.append("-")
                continue
            m = stats[col]["median"]
            cell = f"{_fmt_time(m)}, {e[vol] / 1e6 / m:.0f} MB/s"
            if col != base:
                cell += f", **{b and m / b:.2f}x**"
            cells.append(cell)
        ok = {"decode": "roundtrip", "decode_flat": "flat_roundtrip"}.get(direction)
        note = " (round trip differs!)" if ok and not e.get(ok, True) else ""
        out.append(f"| {_label(lab)}{note} | " + " | ".join(cells) + " |")
    scal = [_scaling(sizes, direction, col, scaling_base) for col in cols]
    if any(s is not None for s in scal):
        out.append(f"| time/MB 20 MB ÷ {_label(scaling_base)} | " + " | ".join(
            "-" if s is None else f"{s:.2f}" for s in scal) + " |")
    return out


def markdown(results: dict, chart: str | None = None) -> str:
    env = results["env"]
    st = results["settings"]
    v = env["versions"]
    out = []
    if chart:
        out += [f"![Speed ratios per corpus: peer time / vardel time, encode and decode against "
                f"each peer]({chart})", ""]
    out.append(f"Machine: {env['cpu_model']}, {env['cpus']} CPUs; Python {env['python']} "
               f"({env['platform']}); vardel {v.get('vardel')} at {env['vardel_commit']} "
               f"built with {env['compiler']}; orjson {v.get('orjson')}; "
               f"msgspec {v.get('msgspec')}. " + _load_note(results))
    out.append("")
    big = (f"; the 20 MB sizes in {st['big_repeats']} of those rounds, spread over the run"
           if BIG in st["sizes"] else "")
    out.append(
        f"Command: `{env['command']}` ({env['date']}). Times are medians of "
        f"{st['repeats']} interleaved runs in one process{big}: each round runs one sample of "
        "every codec at every size of a corpus, in a rotating order; a sample times a "
        f"loop of calls lasting at least {st['min_time'] * 1e3:.0f} ms (a single call "
        "when one call takes longer), garbage collector off inside a sample. "
        "Ratio = peer time / vardel time: above 1.00x vardel is faster. "
        "MB/s = compact JSON size of the data / median time. `json.dumps` is "
        "`json.dumps(data, sort_keys=True)` with its default separators and "
        "`ensure_ascii`; `json.dumps compact` adds `separators=(',', ':'), "
        "ensure_ascii=False`; `orjson.dumps` uses `OPT_SORT_KEYS`; `msgspec.encode` is "
        "`msgspec.json.Encoder(order=\"sorted\")`. Decoders read the compact JSON text "
        "(a str) of the same data: `vardel.decode` reads vardel's text of the corpus, "
        "`decode_toon` vardel's text of its flat variant (the JSON decoders then read the "
        "flat variant's JSON). The public documents are measured as they are and as a list "
        "of copies reaching 20 MB.")
    out.append("")
    for name, why in results.get("skipped", {}).items():
        out += [f"Not measured: {name} ({why}).", ""]

    out += ["#### Targets", "",
            "| issue | target | needed | measured | met |", "|---|---|---|---|---|"]
    for r in targets(results):
        out.append(f"| {r['issue']} | {r['target']} | {r['need']} | {r['value']} | "
                   f"{_met(r['met'])} |")
    out.append("")

    for name, c in results["corpora"].items():
        sizes = c["sizes"]
        labels = sorted(sizes, key=_size_key)
        out += [f"#### {name}: {c['description']}", ""]
        out += _sizes_table(name, sizes, labels) + [""]
        for direction, base in directions_of(name).items():
            if direction == "encode" and base == ENC_HOOKED:
                title = ("Encode with `default=vardel.common_types` against `orjson.dumps` "
                         "(which writes datetimes itself; MB/s of the compact JSON with datetimes "
                         "as isoformat())")
            elif direction == "decode_flat":
                title = f"decode_toon (flat variant: {c['flat_description']})"
            else:
                title = DIRECTION_TITLES[direction]
            out += [f"{title[0].upper() + title[1:]}: median time, MB/s and ratio", ""]
            out += _speed_table(sizes, labels, direction, base, base_label(name)) + [""]

    rss = results.get("rss")
    if rss:
        out.append(f"#### Peak RSS, {_label(rss['size'])} records corpus (fresh process per codec)")
        out.append("")
        out.append("Peak RSS of one call above the RSS the child had after loading the input: "
                   "VmHWM of /proc/self/status, reset to the current RSS just before the call; "
                   "the result is kept alive, so its size counts. (The child's ru_maxrss is not "
                   "used: it keeps the peak of the process image it was started from.) "
                   "`decode` and its peers read the records' text, `decode_toon` and its peers "
                   "the flat variant's.")
        out.append("")
        out.append("| direction | codec | peak above baseline | vs orjson | baseline | output |")
        out.append("|---|---|---|---|---|---|")
        for direction, ref in (("encode", "orjson.dumps"), ("decode", "orjson.loads"),
                               ("decode_flat", "orjson.loads")):
            ref_kb = rss.get(direction, {}).get(ref, {}).get("delta_kb")
            for codec, r in rss.get(direction, {}).items():
                rel = f"{r['delta_kb'] / ref_kb:.2f}x" if ref_kb else "-"
                size = _fmt_bytes(r["output_bytes"]) if r.get("output_bytes") is not None else "-"
                out.append(f"| {DIRECTION_TITLES[direction]} | {codec} | "
                           f"{r['delta_kb'] / 1024:.1f} MB | {rel} | "
                           f"{r['baseline_kb'] / 1024:.1f} MB | {size} |")
        out.append("")
    return "\n".join(out).rstrip() + "\n"


# --------------------------------------------------------------------------
# chart

# One colour per peer family, lighter for the second member of a family.
_PEER_COLOURS = {
    "json.dumps": "#4c72b0", "json.dumps compact": "#a1b9e0", "json.loads": "#4c72b0",
    "orjson.dumps": "#dd8452", "orjson.loads": "#dd8452",
    "msgspec.encode": "#55a868", "msgspec.decode": "#55a868",
}


def target_need(direction: str, name: str, peer: str) -> float | None:
    """The highest ratio a target asks of vardel against ``peer`` on a corpus, or None."""
    needs = [need for _, d, names, p, need in TARGETS if d == direction and p == peer
             and name in names]
    return max(needs) if needs else None


def chart_data(results: dict
               ) -> list[tuple[str, str, list[str], dict[str, list[float | None]]]]:
    """Per panel (encode, decode, decode_toon): direction, title, corpus names, ratios per peer."""
    panels = []
    for direction in ("encode", "decode", "decode_flat"):
        names = [n for n in results["corpora"] if direction in directions_of(n)
                 and direction in results["corpora"][n]["sizes"].get(base_label(n), {})]
        if not names:
            continue
        ratios: dict[str, list[float | None]] = {}
        for peer in PEERS[direction]:
            row = [_ratio_value(results, n, direction, peer)[0] for n in names]
            if any(r is not None for r in row):
                ratios[peer] = row
        title = {
            "encode": "encode: vardel.encode against the JSON encoders, on the same data",
            "decode": "decode: vardel.decode on vardel's text against the JSON decoders on the "
                      "compact JSON",
            "decode_flat": "decode_toon on the flat variant's text against the JSON decoders on "
                           "its compact JSON",
        }[direction]
        panels.append((direction, title, names, ratios))
    return panels


def draw_chart(results: dict, svg: Path, png: Path | None = None) -> bool:
    """Draws the per-corpus ratios as horizontal bars; False when matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    panels = chart_data(results)
    if not panels:
        return False
    plt.rcParams["svg.hashsalt"] = "vardel-bench"
    heights = [len(names) * max(1, len(ratios)) * 0.16 + 1.0 for _, _, names, ratios in panels]
    fig, axes = plt.subplots(len(panels), 1, figsize=(10.5, sum(heights) + 1.2),
                             gridspec_kw={"height_ratios": heights}, squeeze=False)
    values = [r for _, _, _, ratios in panels for row in ratios.values() for r in row if r]
    lo = min(values + [0.5]) / 1.4
    hi = max(values + [2.0]) * 1.6
    for ax, (direction, title, names, ratios) in zip(axes[:, 0], panels):
        n_peers = max(1, len(ratios))
        bar = 0.8 / n_peers
        marked = False
        for j, (peer, row) in enumerate(ratios.items()):
            ys = [i - 0.4 + bar * (j + 0.5) for i in range(len(names))]
            xs = [r if r is not None else 0 for r in row]
            ax.barh(ys, xs, height=bar * 0.92, left=0, color=_PEER_COLOURS.get(peer, "#8172b3"),
                    label=peer)
            for y, r, name in zip(ys, row, names):
                if r is not None:
                    ax.text(r * 1.03, y, f"{r:.2f}x", va="center", fontsize=7, zorder=4,
                            bbox={"facecolor": "white", "edgecolor": "none", "pad": 0.3,
                                  "alpha": 0.7})
                need = target_need(direction, name, peer)
                if need is not None:
                    ax.vlines(need, y - bar * 0.6, y + bar * 0.6, colors="black", linewidth=1.6,
                              zorder=3, label="target" if not marked else None)
                    marked = True
        ax.axvline(1.0, color="#c44e52", linewidth=1.2, linestyle="--")
        ax.text(1.0, -0.75, " 1.0x: as fast as the peer", color="#c44e52", fontsize=8,
                va="bottom")
        ax.set_xscale("log")
        ax.set_xlim(lo, hi)
        ax.set_ylim(len(names) - 0.5, -0.9)
        ax.set_yticks(range(len(names)))
        size_note = {n: " (document)" if n in PUBLIC else
                     " (default=common_types)" if n in corpora.HOOK_CORPORA else "" for n in names}
        ax.set_yticklabels([n + size_note[n] for n in names], fontsize=9)
        ticks = [t for t in (0.125, 0.25, 0.5, 1, 2, 4, 8, 16, 32, 64) if lo <= t <= hi]
        ax.set_xticks(ticks)
        ax.set_xticklabels([f"{t:g}x" for t in ticks])
        ax.minorticks_off()
        ax.set_xlabel("peer time / vardel time (log scale; above 1.0x vardel is faster)")
        ax.set_title(title, fontsize=10, loc="left")
        ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0), frameon=False)
        ax.grid(axis="x", color="#dddddd", linewidth=0.6)
        ax.set_axisbelow(True)
    fig.suptitle(f"vardel against the JSON codecs, 1 MB corpora and the public documents "
                 f"({results['env']['date']}, medians)", fontsize=11)
    fig.tight_layout(rect=(0, 0, 1, 0.985))
    svg.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(svg, format="svg", metadata={"Date": None})
    if png is not None:
        fig.savefig(png, format="png", dpi=110)
    plt.close(fig)
    return True


def write_readme(md: str) -> None:
    path = ROOT / "README.md"
    text = path.read_text(encoding="utf-8")
    block = f"{README_START}\n{md}{README_END}"
    if README_START in text and README_END in text:
        a = text.index(README_START)
        b = text.index(README_END) + len(README_END)
        text = text[:a] + block + text[b:]
    else:
        text = text.rstrip("\n") + "\n\n## Benchmarks\n\n" + block + "\n"
    path.write_text(text, encoding="utf-8")


def publish(results: dict, readme: bool, stems: list[str]) -> str:
    """Writes the tables and the chart to RESULTS_DIR (and README.md); returns the tables."""
    RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    drawn = draw_chart(results, RESULTS_DIR / "chart.svg", RESULTS_DIR / "chart.png")
    if not drawn:
        print("no chart: matplotlib is not installed", file=sys.stderr)
    md = markdown(results, "chart.svg" if drawn else None)
    for stem in stems:
        (RESULTS_DIR / f"{stem}.md").write_text(md)
    if drawn:
        for stem in stems:
            if stem != "latest":
                shutil.copyfile(RESULTS_DIR / "chart.svg", RESULTS_DIR / f"{stem}.svg")
    if readme:
        if drawn:
            shutil.copyfile(RESULTS_DIR / "chart.svg", README_CHART)
        write_readme(markdown(results, README_CHART.relative_to(ROOT).as_posix()
                              if drawn else None))
    return md


# --------------------------------------------------------------------------

def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="python -m benchmarks.run", description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true",
                   help="smoke run: 1 KB and 1 MB only, few repeats, RSS at 1 MB")
    p.add_argument("--corpora", default=",".join(ALL_CORPORA),
                   help="comma-separated corpus names (default: all)")
    p.add_argument("--sizes", default=None, help="comma-separated sizes among "
                   + ", ".join(corpora.SIZES) + " (the public documents: their own and 20MB)")
    p.add_argument("--repeats", type=int, default=None, help="rounds per measurement")
    p.add_argument("--big-repeats", type=int, default=None,
                   help="rounds of the 20 MB sizes (default 5)")
    p.add_argument("--min-time", type=float, default=None, help="seconds per timed loop")
    p.add_argument("--no-rss", action="store_true", help="skip the peak-RSS children")
    p.add_argument("--readme", action="store_true",
                   help="write the chart and the tables into README.md between the markers")
    p.add_argument("--report", metavar="RESULTS_JSON",
                   help="print the tables (and draw the chart) of an earlier run and exit")
    return p.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.report:
        results = json.loads(Path(args.report).read_text())
        print(publish(results, args.readme, []))
        return 0

    names = [n for n in args.corpora.split(",") if n]
    for n in names:
        if n not in ALL_CORPORA:
            raise SystemExit(f"unknown corpus {n!r}; known: {', '.join(ALL_CORPORA)}")
    sizes = args.sizes.split(",") if args.sizes else (
        ["1KB", "1MB"] if args.quick else list(corpora.SIZES))
    for s in sizes:
        if s not in corpora.SIZES:
            raise SystemExit(f"unknown size {s!r}; known: {', '.join(corpora.SIZES)}")
    min_time = args.min_time if args.min_time is not None else (0.01 if args.quick else 0.05)
    repeats = args.repeats if args.repeats is not None else (5 if args.quick else 11)
    big_repeats = min(repeats, args.big_repeats if args.big_repeats is not None else 5)

    command = os.environ.get("BENCH_COMMAND") or "python -m benchmarks.run " + " ".join(
        sys.argv[1:] if argv is None else argv)
    results: dict[str, Any] = {
        "env": environment(command.strip()),
        "settings": {"sizes": sizes, "repeats": repeats, "big_repeats": big_repeats,
                     "min_time": min_time},
        "corpora": {},
        "skipped": {},
    }

    def log(msg: str) -> None:
        print(msg, file=sys.stderr, flush=True)

    started = time.perf_counter()
    for name in names:
        if name in corpora.HOOK_CORPORA:
            why = hook_unavailable()
            if why is not None:
                results["skipped"][name] = why
                log(f"{name}: SKIPPED, {why}; its targets are reported as not measured")
                continue
        log(name)
        results["corpora"][name] = {
            "description": corpora.DESCRIPTIONS[name],
            "flat_description": corpora.FLAT_DESCRIPTIONS.get(name),
            "sizes": bench_corpus(name, sizes, repeats, big_repeats, min_time, log),
        }
        gc.collect()

    if not args.no_rss:
        rss_size = "1MB" if args.quick else BIG
        log(f"peak RSS, records {rss_size}")
        results["rss"] = bench_rss(rss_size, log)
    results["targets"] = targets(results)
    results["elapsed_s"] = time.perf_counter() - started

    RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    stamp = _dt.datetime.now().strftime("%Y%m%d-%H%M%S")
    kind = "quick" if args.quick else "full"
    stems = [f"bench-{kind}-{stamp}", "latest"]
    for stem in stems:
        (RESULTS_DIR / f"{stem}.json").write_text(json.dumps(results, indent=1) + "\n")
    print(publish(results, args.readme, stems))
    met = [r["met"] for r in results["targets"]]
    log(f"targets: {met.count(True)} met, {met.count(False)} not met, "
        f"{met.count(None)} not measured")
    log(f"results in {RESULTS_DIR.relative_to(ROOT)}/ (bench-{kind}-{stamp}.json, latest.md, "
        f"chart.svg); {results['elapsed_s']:.0f}s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
