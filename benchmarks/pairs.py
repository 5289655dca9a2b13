"""Two builds of vardel in one process, their calls alternated one by one.

    python -m benchmarks.pairs BEFORE AFTER [--op encode|decode|decode_toon]
                               [--corpus NAME ...] [--size 1MB | document] [--seconds 6]
                               [--keep | --batch N]

BEFORE and AFTER are Python interpreters (each a venv's bin/python) with a
build of vardel installed, as for benchmarks.ab. Both builds' extension
modules are loaded into this process under their own names; then, for each
corpus, a call of BEFORE and a call of AFTER follow each other for --seconds,
each build first in every other pair, each timed in process time: by default with the freeing of its result, with
--keep without it. With --batch N, a build's turn is N calls whose results are
all kept until the last has been timed, as `make bench` keeps those of a
sample: each call then writes to memory the ones before it have not given back,
which costs page faults and cache misses that --keep, whose result is freed
before the next call, does not see. Printed: the median time of
each build and the median over the pairs of BEFORE time / AFTER time (above
1.00 the AFTER build is faster).

Where benchmarks.ab compares medians of separate processes, whose state (the
machine's load, the other core's work) drifts between them, a pair of calls
here shares it: the ratio of a build against itself stays within 0.994 to
1.004 on the development machine (encode of events, nested, citm_catalog and
twitter, each result kept). Both builds read the same data, and each goes
first in every other pair: with a copy of the data each, the ratio of a build
against itself was 1.05 on citm_catalog. Differences of a few
percent are then what the builds do, which includes where the compiler put
their code.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import statistics
import subprocess
import sys
import time
from pathlib import Path
from types import ModuleType

from benchmarks import corpora
from benchmarks.ab import OPS, check_case


def extension_of(python: str) -> str:
    """The file of the vardel extension module that interpreter `python` imports."""
    code = "import vardel._vardel as m; print(m.__file__)"
    return subprocess.run([python, "-c", code], check=True, capture_output=True,
                          text=True).stdout.strip()


def load(path: str) -> ModuleType:
    """The extension module at `path`, imported afresh from the directory that holds its package."""
    root = str(Path(path).resolve().parent.parent)
    for name in [n for n in sys.modules if n == "vardel" or n.startswith("vardel.")]:
        del sys.modules[name]
    sys.path.insert(0, root)
    try:
        return importlib.import_module("vardel._vardel")
    finally:
        sys.path.remove(root)


def corpus_data(op: str, name: str, size: str):
    """The data of corpus `name` at `size` that `op` starts from."""
    if name in corpora.PUBLIC_CORPORA:
        return corpora.load_public(name) if size == "document" else corpora.public_copies(name, size)
    return (corpora.generate_flat if op == "decode_toon" else corpora.generate)(name, size)


def calls(module: ModuleType, op: str, data, text: str):
    """A call of `op` of `module` on `data`, or on `text`, vardel's text of it. Both builds get
    the same objects: two copies of the data would lie in memory differently, and one copy can be
    read some percent faster than another by the same build."""
    if op == "encode":
        return lambda: module.encode(data)
    read = module.decode if op == "decode" else module.decode_toon
    return lambda: read(text)


def time_pairs(before, after, seconds: float, keep: bool = False,
               batch: int = 0) -> tuple[list[int], list[int]]:
    """Process times of alternated calls of `before` and `after` for `seconds` of wall time;
    with `keep`, each result is freed after its call's time is taken; with `batch`, each turn is
    that many calls, their results kept until the turn's time is taken, and the time per call."""
    before()
    after()
    times: tuple[list[int], list[int]] = ([], [])
    deadline = time.perf_counter() + seconds
    gc.disable()
    try:
        pairs = ((before, times[0]), (after, times[1]))
        while time.perf_counter() < deadline or not times[0]:
            # Each build goes first in every other pair: the call that comes second finds the
            # data in cache where the first brought it, which alone can be worth 10%.
            for call, kept in pairs if len(times[0]) % 2 == 0 else pairs[::-1]:
                start = time.process_time_ns()
                if batch:
                    result = [call() for _ in range(batch)]
                elif keep:
                    result = call()
                else:
                    call()
                kept.append((time.process_time_ns() - start) // max(batch, 1))
                result = None
    finally:
        gc.enable()
    return times


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(prog="python -m benchmarks.pairs")
    p.add_argument("before")
    p.add_argument("after")
    p.add_argument("--op", choices=OPS, default="encode")
    p.add_argument("--corpus", nargs="+", default=list(corpora.CORPORA))
    p.add_argument("--size", default="1MB")
    p.add_argument("--seconds", type=float, default=6.0)
    timing = p.add_mutually_exclusive_group()
    timing.add_argument("--keep", action="store_true",
                        help="free each result after its call is timed")
    timing.add_argument("--batch", type=int, default=0, metavar="N",
                        help="time N calls at a turn, keeping their results until then")
    args = p.parse_args(argv)
    for name in args.corpus:
        check_case(name, args.size, args.op)
    before, after = (load(extension_of(python)) for python in (args.before, args.after))
    print("| case | before / after | before | after | pairs |")
    print("|---|---|---|---|---|")
    for name in args.corpus:
        data = corpus_data(args.op, name, args.size)
        text = before.encode(data)
        tb, ta = time_pairs(calls(before, args.op, data, text), calls(after, args.op, data, text),
                            args.seconds, args.keep, args.batch)
        ratio = statistics.median(b / a for b, a in zip(tb, ta))
        print(f"| {name}/{args.size} | {ratio:.3f} | {statistics.median(tb) / 1e6:.3f} ms "
              f"| {statistics.median(ta) / 1e6:.3f} ms | {len(tb)} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
