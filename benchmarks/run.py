"""vardel against the JSON codecs: encode and decode speed, sizes, scaling, peak RSS.

Usage (from the repository root, with vardel, orjson and msgspec installed;
``make bench`` does all of it)::

    python -m benchmarks.run              # full run: 1 KB, 1 MB, 20 MB (a few minutes)
    python -m benchmarks.run --quick      # smoke run: 1 KB and 1 MB, few repeats
    python -m benchmarks.run --report benchmarks/results/latest.json   # tables only

Method. For each corpus all codecs of one direction, at every size, are
timed in this one process, round-robin: each round runs one sample of every
(size, codec) pair, and the starting pair rotates from round to round, so
load that changes during the run touches every pair alike (the scaling from
1 MB to 20 MB included). A sample times a loop of enough calls to last
``--min-time`` (a single call when one lasts longer); results are kept until
the loop ends, so freeing them is not timed. The
cyclic garbage collector is off inside a sample (as timeit does). Reported:
the median and the minimum of the per-call times over the rounds.

Peers. Encoding: ``vardel.encode(data)`` against ``json.dumps(data,
sort_keys=True)`` with its default separators and ``ensure_ascii`` (the
call most code makes), the same with compact separators and
``ensure_ascii=False``, ``orjson.dumps(data, option=OPT_SORT_KEYS)`` and
``msgspec.json.Encoder(order="sorted").encode``: vardel writes object
members sorted by key, so every peer sorts too. Decoding: ``decode_toon`` on
vardel's text of the corpus's flat variant (the one ``decode_toon`` reads
back faithfully, checked before timing) against ``json.loads``,
``orjson.loads`` and ``msgspec.json.Decoder().decode`` on the compact JSON
text (a str, as decode_toon gets a str) of the same data. The corpora that
hold datetime objects (corpora.HOOK_CORPORA) are only encoded:
``vardel.encode(data, default=vardel.common_types)`` against
``orjson.dumps(data, option=OPT_SORT_KEYS)``, which writes datetimes itself.

Ratios are peer time / vardel time (above 1: vardel is faster). MB/s is the
size of the data's compact JSON (decimal MB) divided by the median time, in
both directions, so that every codec is measured against the same volume.
Scaling is the time per MB at 20 MB divided by the time per MB at 1 MB.

Peak RSS: each codec encodes the 20 MB records corpus (1 MB with --quick) in
a fresh process (benchmarks/rss.py), which reports its peak RSS above the
RSS it had after loading the data.

Results go to benchmarks/results/ as JSON (everything, with every sample) and
Markdown (the tables); the Markdown is printed too. ``--readme`` writes the
tables into README.md between the benchmark markers.
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
README_START = "<!-- benchmarks:start -->"
README_END = "<!-- benchmarks:end -->"

ENC_VARDEL = "vardel.encode"
DEC_VARDEL = "vardel.decode_toon"
ENC_PEERS = ("json.dumps", "json.dumps compact", "orjson.dumps", "msgspec.encode")
DEC_PEERS = ("json.loads", "orjson.loads", "msgspec.decode")

# (corpus, direction, peer, minimum ratio peer/vardel) at 1 MB
SPEED_TARGETS = [
    ("records", "encode", "orjson.dumps", 1.0),
    ("records", "encode", "json.dumps", 5.0),
    ("nested", "encode", "orjson.dumps", 1.0),
    ("nested", "encode", "json.dumps", 5.0),
    ("events", "encode", "orjson.dumps", 1.0),
    ("events", "encode", "json.dumps", 5.0),
    ("records", "decode", "orjson.loads", 1.0),
    ("records", "decode", "json.loads", 3.0),
]
# (corpus, peer, minimum ratio peer/vardel) at 1 MB, vardel encoding with
# default=vardel.common_types: orjson writes datetimes itself.
HOOK_TARGETS = [
    ("stamped", "orjson.dumps", 1 / 1.5),
]
ENC_HOOKED = "vardel.encode default=common_types"
SCALING_LIMIT = 1.25
RSS_LIMIT = 2.0


# --------------------------------------------------------------------------
# codecs

def _optional(module: str):
    try:
        return __import__(module)
    except ImportError:
        return None


def encoders(data: Any) -> dict[str, Callable[[], Any]]:
    import vardel

    out: dict[str, Callable[[], Any]] = {
        ENC_VARDEL: partial(vardel.encode, data),
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


def decoders(toon: str, json_text: str) -> dict[str, Callable[[], Any]]:
    import vardel

    out: dict[str, Callable[[], Any]] = {
        DEC_VARDEL: partial(vardel.decode_toon, toon),
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


def measure(funcs: dict[str, Callable[[], Any]], repeats: int, min_time: float,
            max_number: int) -> dict[str, dict]:
    """Times every function round-robin; returns per-function stats and samples."""
    numbers = {}
    for name, fn in funcs.items():
        fn()  # warm up (and fill caches such as a str's UTF-8 form, for every codec)
        once = _sample(fn, 1)
        numbers[name] = max(1, min(max_number, math.ceil(min_time / max(once, 1e-9))))
    samples: dict[str, list[float]] = {name: [] for name in funcs}
    names = list(funcs)
    for rnd in range(repeats):
        k = rnd % len(names)
        for name in names[k:] + names[:k]:
            samples[name].append(_sample(funcs[name], numbers[name]))
        gc.collect()
    return {
        name: {
            "median": statistics.median(s),
            "min": min(s),
            "number": numbers[name],
            "samples": s,
        }
        for name, s in samples.items()
    }


# --------------------------------------------------------------------------
# environment

def _run(cmd: list[str]) -> str:
    try:
        return subprocess.run(cmd, capture_output=True, text=True, check=False,
                              cwd=ROOT).stdout.strip()
    except OSError:
        return ""


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
# one corpus at one size

def _compact_json(data: Any) -> str:
    return json.dumps(data, separators=(",", ":"), ensure_ascii=False)


def bench_corpus(name: str, sizes: list[str], repeats: int, min_time: float,
                 log: Callable[[str], None]) -> dict[str, dict]:
    """Measures one corpus at every size; returns an entry per size label.

    All sizes are timed in the same rounds (one round runs a sample of every
    codec at every size), so that the scaling from 1 MB to 20 MB is not
    skewed by load that changes while the run goes on.
    """
    import vardel

    entries: dict[str, dict] = {}
    enc: dict[tuple[str, str], Callable[[], Any]] = {}
    dec: dict[tuple[str, str], Callable[[], Any]] = {}
    for label in sizes:
        t0 = time.perf_counter()
        data = corpora.generate(name, label)
        flat = corpora.generate_flat(name, label)
        log(f"  {_label(label)}: generated in {time.perf_counter() - t0:.1f}s")
        json_text = _compact_json(data)
        toon = vardel.encode(data)
        if vardel.encode(data) != toon:
            raise SystemExit(f"{name} {label}: vardel.encode is not deterministic")
        flat_json = _compact_json(flat)
        flat_toon = vardel.encode(flat)
        entry: dict[str, Any] = {
            "json_bytes": len(json_text.encode("utf-8")),
            "json_default_bytes": len(json.dumps(data, sort_keys=True)),
            "toon_bytes": len(toon.encode("utf-8")),
            "flat_json_bytes": len(flat_json.encode("utf-8")),
            "flat_toon_bytes": len(flat_toon.encode("utf-8")),
        }
        del json_text, toon
        diff = corpora.first_difference(vardel.decode_toon(flat_toon), flat)
        entry["flat_roundtrip"] = diff is None
        if diff is not None:
            entry["flat_roundtrip_difference"] = diff
            log(f"  WARNING: decode_toon(encode(flat)) differs: {diff}")
        del flat
        for codec, fn in encoders(data).items():
            enc[(label, codec)] = fn
        for codec, fn in decoders(flat_toon, flat_json).items():
            dec[(label, codec)] = fn
        entries[label] = entry
        del data, flat_json, flat_toon
    gc.collect()

    max_number = 200_000
    for direction, funcs, base in (("encode", enc, ENC_VARDEL), ("decode", dec, DEC_VARDEL)):
        load_before = os.getloadavg()[0]
        stats = measure(funcs, repeats, min_time, max_number)
        load_after = os.getloadavg()[0]
        for label in sizes:
            entries[label][direction] = {codec: st for (lab, codec), st in stats.items()
                                         if lab == label}
            entries[label].setdefault("load_average", []).extend([load_before, load_after])
            log(f"  {_label(label)} {direction}: " + _brief(entries[label][direction], base))
    del enc, dec
    gc.collect()
    return entries


def bench_hooked(name: str, sizes: list[str], repeats: int, min_time: float,
                 log: Callable[[str], None]) -> dict[str, dict]:
    """Measures the encoding of a HOOK_CORPORA corpus at every size, as bench_corpus does."""
    entries: dict[str, dict] = {}
    enc: dict[tuple[str, str], Callable[[], Any]] = {}
    for label in sizes:
        data = corpora.generate(name, label)
        entries[label] = {"json_bytes": corpora.json_size(data)}
        for codec, fn in hooked_encoders(data).items():
            enc[(label, codec)] = fn
        del data
    gc.collect()
    stats = measure(enc, repeats, min_time, 200_000)
    for label in sizes:
        entries[label]["encode"] = {codec: st for (lab, codec), st in stats.items() if lab == label}
        log(f"  {_label(label)} encode: " + _brief(entries[label]["encode"], ENC_HOOKED))
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
    out: dict[str, Any] = {"corpus": "records", "size": size_label, "encode": {}, "decode": {}}
    with tempfile.TemporaryDirectory(prefix="vardel-bench-") as tmp:
        data_path = Path(tmp) / "data.pickle"
        with open(data_path, "wb") as f:
            pickle.dump(data, f, protocol=pickle.HIGHEST_PROTOCOL)
        toon_path = Path(tmp) / "flat.toon"
        toon_path.write_text(vardel.encode(flat), encoding="utf-8")
        json_path = Path(tmp) / "flat.json"
        json_path.write_text(_compact_json(flat), encoding="utf-8")
        del data, flat
        gc.collect()
        jobs = [("encode", c, data_path) for c in (ENC_VARDEL, "json.dumps", "orjson.dumps",
                                                   "msgspec.encode")]
        jobs += [("decode", DEC_VARDEL, toon_path)]
        jobs += [("decode", c, json_path) for c in DEC_PEERS]
        for direction, codec, path in jobs:
            mod = codec.split(".")[0]
            if mod in ("orjson", "msgspec") and _optional(mod) is None:
                continue
            proc = subprocess.run([sys.executable, "-m", "benchmarks.rss", codec, str(path)],
                                  capture_output=True, text=True, cwd=ROOT, check=False)
            if proc.returncode != 0:
                log(f"  rss {codec} failed: {proc.stderr.strip()[-500:]}")
                continue
            res = json.loads(proc.stdout.strip().splitlines()[-1])
            out[direction][codec] = res
            log(f"  rss {codec}: {res['delta_kb'] / 1024:.1f} MB above a baseline of "
                f"{res['baseline_kb'] / 1024:.1f} MB")
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
    """"20MB" -> "20 MB"."""
    return label[:-2] + " " + label[-2:]


def _size_key(label: str) -> int:
    return corpora.SIZES.get(label, 0)


def _scaling(sizes: dict, direction: str, codec: str) -> float | None:
    """Time per MB at 20 MB over time per MB at 1 MB, or None if either is missing."""
    a, b = sizes.get("1MB"), sizes.get("20MB")
    if not a or not b or codec not in a[direction] or codec not in b[direction]:
        return None
    vol = "json_bytes" if direction == "encode" else "flat_json_bytes"
    per_a = a[direction][codec]["median"] / a[vol]
    per_b = b[direction][codec]["median"] / b[vol]
    return per_b / per_a


def targets(results: dict) -> list[dict]:
    rows = []
    corp = results["corpora"]
    for name, direction, peer, need in SPEED_TARGETS:
        entry = corp.get(name, {}).get("sizes", {}).get("1MB")
        if not entry or peer not in entry[direction]:
            continue
        base = ENC_VARDEL if direction == "encode" else DEC_VARDEL
        ratio = entry[direction][peer]["median"] / entry[direction][base]["median"]
        label = f"{'encode' if direction == 'encode' else 'decode_toon'} vs {peer}, 1 MB {name}"
        rows.append({"target": label, "need": f">= {need:.1f}x", "value": f"{ratio:.2f}x",
                     "met": ratio >= need})
    for name, peer, need in HOOK_TARGETS:
        entry = results.get("hooked", {}).get(name, {}).get("sizes", {}).get("1MB")
        if not entry or peer not in entry["encode"]:
            continue
        ratio = entry["encode"][peer]["median"] / entry["encode"][ENC_HOOKED]["median"]
        rows.append({"target": f"encode(default=common_types) vs {peer}, 1 MB {name}",
                     "need": f">= {need:.2f}x", "value": f"{ratio:.2f}x", "met": ratio >= need})
    for name, c in corp.items():
        for direction, base in (("encode", ENC_VARDEL), ("decode", DEC_VARDEL)):
            s = _scaling(c["sizes"], direction, base)
            if s is None:
                continue
            rows.append({"target": f"{base} scaling 1 MB -> 20 MB, {name}",
                         "need": f"<= {SCALING_LIMIT:.2f}", "value": f"{s:.2f}",
                         "met": s <= SCALING_LIMIT})
    rss = results.get("rss")
    if rss and ENC_VARDEL in rss["encode"] and "orjson.dumps" in rss["encode"]:
        v = rss["encode"][ENC_VARDEL]["delta_kb"]
        o = rss["encode"]["orjson.dumps"]["delta_kb"]
        ratio = v / o if o else float("inf")
        rows.append({"target": f"peak RSS of encode, {_label(rss['size'])} records, vs orjson",
                     "need": f"<= {RSS_LIMIT:.1f}x", "value": f"{ratio:.2f}x",
                     "met": ratio <= RSS_LIMIT})
    return rows


def _load_note(results: dict) -> str:
    loads = [x for c in results["corpora"].values()
             for e in c["sizes"].values() for x in e.get("load_average", [])]
    if not loads:
        loads = [results["env"]["load_average_at_start"][0]]
    return (f"Load average (1 min) while measuring: {min(loads):.1f} to {max(loads):.1f} "
            f"on {results['env']['cpus']} CPUs (other work was running).")


def markdown(results: dict) -> str:
    env = results["env"]
    st = results["settings"]
    v = env["versions"]
    out = []
    out.append(f"Machine: {env['cpu_model']}, {env['cpus']} CPUs; Python {env['python']} "
               f"({env['platform']}); vardel {v.get('vardel')} at {env['vardel_commit']} "
               f"built with {env['compiler']}; orjson {v.get('orjson')}; "
               f"msgspec {v.get('msgspec')}. " + _load_note(results))
    out.append("")
    out.append(f"Command: `{env['command']}` ({env['date']}). Times are medians of "
               f"{st['repeats']} interleaved runs in one process: each round runs one sample of "
               "every codec at every size of a corpus, in a rotating order; a sample times a "
               f"loop of calls lasting at least {st['min_time'] * 1e3:.0f} ms (a single call "
               "when one call takes longer), garbage collector off inside a sample. Ratio = peer time / vardel time: above 1.00x vardel is faster. "
               "MB/s = compact JSON size of the data / median time. `json.dumps` is "
               "`json.dumps(data, sort_keys=True)` with its default separators and "
               "`ensure_ascii`; `json.dumps compact` adds `separators=(',', ':'), "
               "ensure_ascii=False`; `orjson.dumps` uses `OPT_SORT_KEYS`; `msgspec.encode` is "
               "`msgspec.json.Encoder(order=\"sorted\")`. Decoders read the compact JSON text "
               "(a str) of the flat variant; `decode_toon` reads vardel's text of it.")
    out.append("")

    rows = targets(results)
    if rows:
        out.append("#### Targets")
        out.append("")
        out.append("| target | needed | measured | met |")
        out.append("|---|---|---|---|")
        for r in rows:
            out.append(f"| {r['target']} | {r['need']} | {r['value']} | "
                       f"{'yes' if r['met'] else '**no**'} |")
        out.append("")

    for name, c in results["corpora"].items():
        sizes = c["sizes"]
        labels = sorted(sizes, key=_size_key)
        out.append(f"#### {name}: {c['description']}")
        out.append("")
        out.append("| size | compact JSON | json.dumps | TOON | TOON / compact JSON "
                   "| flat variant: JSON | flat: TOON |")
        out.append("|---|---|---|---|---|---|---|")
        for lab in labels:
            e = sizes[lab]
            out.append(f"| {_label(lab)} | {_fmt_bytes(e['json_bytes'])} | "
                       f"{_fmt_bytes(e['json_default_bytes'])} | {_fmt_bytes(e['toon_bytes'])} | "
                       f"{e['toon_bytes'] / e['json_bytes']:.2f} | "
                       f"{_fmt_bytes(e['flat_json_bytes'])} | {_fmt_bytes(e['flat_toon_bytes'])} |")
        out.append("")
        for direction, base, peers in (("encode", ENC_VARDEL, ENC_PEERS),
                                       ("decode", DEC_VARDEL, DEC_PEERS)):
            present = [p for p in peers if any(p in sizes[lab][direction] for lab in labels)]
            cols = [base] + present
            title = "encode" if direction == "encode" else f"decode (flat variant: {c['flat_description']})"
            out.append(f"{title.capitalize()}: median time, MB/s and ratio")
            out.append("")
            out.append("| size | " + " | ".join(cols) + " |")
            out.append("|---" * (len(cols) + 1) + "|")
            vol = "json_bytes" if direction == "encode" else "flat_json_bytes"
            for lab in labels:
                e = sizes[lab]
                stats = e[direction]
                b = stats[base]["median"]
                cells = []
                for col in cols:
                    if col not in stats:
                        cells.append("-")
                        continue
                    m = stats[col]["median"]
                    mbs = e[vol] / 1e6 / m
                    cell = f"{_fmt_time(m)}, {mbs:.0f} MB/s"
                    if col != base:
                        cell += f", **{b and m / b:.2f}x**"
                    cells.append(cell)
                note = ""
                if direction == "decode" and not e.get("flat_roundtrip", True):
                    note = " (round trip differs!)"
                out.append(f"| {_label(lab)}{note} | " + " | ".join(cells) + " |")
            scal = [_scaling(sizes, direction, col) for col in cols]
            if any(s is not None for s in scal):
                out.append("| time/MB 20 MB ÷ 1 MB | " + " | ".join(
                    "-" if s is None else f"{s:.2f}" for s in scal) + " |")
            out.append("")

    for name, c in results.get("hooked", {}).items():
        sizes = c["sizes"]
        labels = sorted(sizes, key=_size_key)
        out.append(f"#### {name}: {c['description']}")
        out.append("")
        out.append(f"Encode with `default=vardel.common_types` against `orjson.dumps` (which writes "
                   "datetimes itself): median time, MB/s (of the compact JSON, datetimes as "
                   "isoformat()) and ratio")
        out.append("")
        cols = [ENC_HOOKED] + [p for p in ("orjson.dumps",) if any(p in sizes[lab]["encode"] for lab in labels)]
        out.append("| size | " + " | ".join(cols) + " |")
        out.append("|---" * (len(cols) + 1) + "|")
        for lab in labels:
            stats = sizes[lab]["encode"]
            b = stats[ENC_HOOKED]["median"]
            cells = []
            for col in cols:
                m = stats[col]["median"]
                cell = f"{_fmt_time(m)}, {sizes[lab]['json_bytes'] / 1e6 / m:.0f} MB/s"
                if col != ENC_HOOKED:
                    cell += f", **{m / b:.2f}x**"
                cells.append(cell)
            out.append(f"| {_label(lab)} | " + " | ".join(cells) + " |")
        out.append("")

    rss = results.get("rss")
    if rss:
        out.append(f"#### Peak RSS, {_label(rss['size'])} records corpus (fresh process per codec)")
        out.append("")
        out.append("Peak RSS of one call above the RSS the child had after loading the input: "
                   "VmHWM of /proc/self/status, reset to the current RSS just before the call; "
                   "the result is kept alive, so its size counts. (The child's ru_maxrss is not "
                   "used: it keeps the peak of the process image it was started from.) "
                   "Decoders read the flat variant's text.")
        out.append("")
        out.append("| direction | codec | peak above baseline | vs orjson | baseline | output |")
        out.append("|---|---|---|---|---|---|")
        for direction, ref in (("encode", "orjson.dumps"), ("decode", "orjson.loads")):
            ref_kb = rss[direction].get(ref, {}).get("delta_kb")
            for codec, r in rss[direction].items():
                rel = f"{r['delta_kb'] / ref_kb:.2f}x" if ref_kb else "-"
                size = _fmt_bytes(r["output_bytes"]) if r.get("output_bytes") is not None else "-"
                out.append(f"| {direction} | {codec} | {r['delta_kb'] / 1024:.1f} MB | {rel} | "
                           f"{r['baseline_kb'] / 1024:.1f} MB | {size} |")
        out.append("")
    return "\n".join(out).rstrip() + "\n"


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


# --------------------------------------------------------------------------

def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="python -m benchmarks.run", description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true",
                   help="smoke run: 1 KB and 1 MB only, few repeats, RSS at 1 MB")
    p.add_argument("--corpora", default=",".join(corpora.CORPORA + corpora.HOOK_CORPORA),
                   help="comma-separated corpus names (default: all)")
    p.add_argument("--sizes", default=None, help="comma-separated sizes among "
                   + ", ".join(corpora.SIZES))
    p.add_argument("--repeats", type=int, default=None, help="rounds per measurement")
    p.add_argument("--min-time", type=float, default=None, help="seconds per timed loop")
    p.add_argument("--no-rss", action="store_true", help="skip the peak-RSS children")
    p.add_argument("--readme", action="store_true",
                   help="write the tables into README.md between the benchmark markers")
    p.add_argument("--report", metavar="RESULTS_JSON",
                   help="print the tables of an earlier run and exit")
    return p.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.report:
        results = json.loads(Path(args.report).read_text())
        md = markdown(results)
        print(md)
        if args.readme:
            write_readme(md)
        return 0

    names = [n for n in args.corpora.split(",") if n]
    known = corpora.CORPORA + corpora.HOOK_CORPORA
    for n in names:
        if n not in known:
            raise SystemExit(f"unknown corpus {n!r}; known: {', '.join(known)}")
    sizes = args.sizes.split(",") if args.sizes else (
        ["1KB", "1MB"] if args.quick else list(corpora.SIZES))
    for s in sizes:
        if s not in corpora.SIZES:
            raise SystemExit(f"unknown size {s!r}; known: {', '.join(corpora.SIZES)}")
    min_time = args.min_time if args.min_time is not None else (0.01 if args.quick else 0.05)

    repeats = args.repeats if args.repeats is not None else (5 if args.quick else 11)

    command = os.environ.get("BENCH_COMMAND") or "python -m benchmarks.run " + " ".join(
        sys.argv[1:] if argv is None else argv)
    results: dict[str, Any] = {
        "env": environment(command.strip()),
        "settings": {
            "sizes": sizes,
            "repeats": repeats,
            "min_time": min_time,
        },
        "corpora": {},
    }

    def log(msg: str) -> None:
        print(msg, file=sys.stderr, flush=True)

    started = time.perf_counter()
    for name in [n for n in names if n in corpora.HOOK_CORPORA]:
        log(name)
        results.setdefault("hooked", {})[name] = {
            "description": corpora.DESCRIPTIONS[name],
            "sizes": bench_hooked(name, sizes, repeats, min_time, log),
        }
    for name in [n for n in names if n in corpora.CORPORA]:
        results["corpora"][name] = {
            "description": corpora.DESCRIPTIONS[name],
            "flat_description": corpora.FLAT_DESCRIPTIONS[name],
            "sizes": {},
        }
        log(name)
        results["corpora"][name]["sizes"] = bench_corpus(name, sizes, repeats, min_time, log)
        gc.collect()

    if not args.no_rss:
        rss_size = "1MB" if args.quick else "20MB"
        log(f"peak RSS, records {rss_size}")
        results["rss"] = bench_rss(rss_size, log)
    results["targets"] = targets(results)
    results["elapsed_s"] = time.perf_counter() - started

    RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    stamp = _dt.datetime.now().strftime("%Y%m%d-%H%M%S")
    kind = "quick" if args.quick else "full"
    md = markdown(results)
    for stem in (f"bench-{kind}-{stamp}", "latest"):
        (RESULTS_DIR / f"{stem}.json").write_text(json.dumps(results, indent=1) + "\n")
        (RESULTS_DIR / f"{stem}.md").write_text(md)
    print(md)
    log(f"results in {RESULTS_DIR.relative_to(ROOT)}/ (bench-{kind}-{stamp}.json, latest.md); "
        f"{results['elapsed_s']:.0f}s")
    if args.readme:
        write_readme(md)
    return 0


if __name__ == "__main__":
    sys.exit(main())
