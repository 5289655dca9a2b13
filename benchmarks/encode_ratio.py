"""vardel.encode against orjson.dumps(OPT_SORT_KEYS), one interleaved run.

For every corpus the two encoders (and, with --before, a second build of the
extension) are timed in turn, round after round, so that a change in the load
of the machine falls on all of them alike. Prints the median time per call and
the ratio orjson time / vardel time (above 1.0x, vardel is faster).

    python -m benchmarks.encode_ratio [--size 1MB] [--rounds 15] [--before path/to/_vardel.so]
"""

from __future__ import annotations

import argparse
import gc
import importlib.util
import lzma
import statistics
import time
from pathlib import Path

import orjson

import vardel
from benchmarks import corpora

DATA = Path(__file__).parent / "data"
PUBLIC = ("twitter", "citm_catalog", "canada")


def load(name: str, size: str):
    if name in PUBLIC:
        with lzma.open(DATA / f"{name}.json.xz", "rt", encoding="utf-8") as f:
            return orjson.loads(f.read())
    return corpora.generate(name, size)


def load_build(path: str):
    """The extension module built at `path`, loaded beside the installed one."""
    found = importlib.util.spec_from_file_location("before._vardel", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def timed(fn, data, calls: int) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        fn(data)
    return (time.perf_counter() - start) / calls


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", default="1MB")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--before", help="another build of _vardel to time alongside")
    parser.add_argument("corpus", nargs="*", default=[*corpora.CORPORA, *PUBLIC])
    args = parser.parse_args()

    encoders = {"vardel": vardel.encode}
    if args.before:
        encoders["before"] = load_build(args.before).encode
    encoders["orjson"] = lambda d: orjson.dumps(d, option=orjson.OPT_SORT_KEYS)

    datasets = {name: load(name, args.size) for name in args.corpus}
    for name, data in datasets.items():
        if "before" in encoders and encoders["before"](data) != vardel.encode(data):
            raise SystemExit(f"{name}: the two builds write different text")
    calls = {name: max(1, round(0.05 / timed(vardel.encode, d, 1))) for name, d in datasets.items()}
    times = {(name, e): [] for name in datasets for e in encoders}
    gc.disable()
    for _ in range(args.rounds):
        for name, data in datasets.items():
            for e, fn in encoders.items():
                times[name, e].append(timed(fn, data, calls[name]))
    gc.enable()

    head = f"{'corpus':14} {'vardel ms':>10} {'orjson ms':>10} {'ratio':>7}"
    if "before" in encoders:
        head += f" {'before ms':>10} {'ratio':>7}"
    print(f"size {args.size}, {args.rounds} rounds, medians\n{head}")
    for name in datasets:
        m = {e: statistics.median(times[name, e]) for e in encoders}
        line = f"{name:14} {m['vardel'] * 1e3:10.3f} {m['orjson'] * 1e3:10.3f} {m['orjson'] / m['vardel']:6.2f}x"
        if "before" in encoders:
            line += f" {m['before'] * 1e3:10.3f} {m['orjson'] / m['before']:6.2f}x"
        print(line)


if __name__ == "__main__":
    main()
