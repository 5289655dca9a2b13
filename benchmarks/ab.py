"""Two builds of vardel against each other: process time per call, interleaved.

    python -m benchmarks.ab BEFORE AFTER [--op encode|decode|decode_toon]
                            [--corpus NAME ...] [--size 1KB 1MB ...] [--rounds 3]

BEFORE and AFTER are Python interpreters (each a venv's bin/python) with a
build of vardel installed, say the tree before a change and after it. Each
round runs one child process per build, the two in turn (which goes first
alternates from round to round), and each child times every corpus at every
size: the median of five samples, a sample being a loop of calls lasting at
least --min-time seconds of process time, with the garbage collector off.
Process time leaves out what other processes take, though not all of what
they disturb: compare on a quiet machine.

Printed, per corpus and size: the median over the rounds of the ratio
BEFORE time / AFTER time (above 1.00 the AFTER build is faster), and the
median time of each build. A run of one build against itself shows the noise
of the machine; on the development machine it is within 0.97 to 1.03.

The corpora are those of benchmarks/corpora.py: the generated ones at the
given sizes, and the public documents as they are ("document") or as copies
reaching a size. decode_toon reads the flat variant of a generated corpus.
Each child encodes the data with its own build, so decode reads that build's
text.
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OPS = ("encode", "decode", "decode_toon")
DEFAULT_SIZES = ("1KB", "1MB")
SAMPLES = 5


def check_case(name: str, size: str, op: str) -> None:
    """Raises SystemExit with the reason when `op` cannot be timed on corpus `name` at `size`."""
    from benchmarks import corpora

    if name in corpora.PUBLIC_CORPORA:
        if op == "decode_toon":
            raise SystemExit(f"decode_toon reads flat variants, which {name} has none of")
    elif name in corpora.CORPORA:
        if size == "document":
            raise SystemExit(f"{name} is generated: give it a size such as 1KB, not 'document'")
    else:
        raise SystemExit(f"no corpus named {name!r}: "
                         f"one of {', '.join(corpora.CORPORA + corpora.PUBLIC_CORPORA)}")
    if size != "document" and size not in corpora.SIZES:
        raise SystemExit(f"no size {size!r}: one of {', '.join(corpora.SIZES)} (or 'document')")


def _data(name: str, size: str, op: str):
    from benchmarks import corpora

    if name in corpora.PUBLIC_CORPORA:
        return corpora.load_public(name) if size == "document" else corpora.public_copies(name, size)
    return corpora.generate_flat(name, size) if op == "decode_toon" else corpora.generate(name, size)


def _median_time(call, min_time: float) -> float:
    """The median over SAMPLES samples of the process time of one call."""
    gc.disable()
    try:
        samples = []
        for _ in range(SAMPLES):
            calls = 0
            start = time.process_time()
            while True:
                call()
                calls += 1
                spent = time.process_time() - start
                if spent >= min_time:
                    break
            samples.append(spent / calls)
    finally:
        gc.enable()
    return statistics.median(samples)


def child(op: str, cases: list[tuple[str, str]], min_time: float) -> dict[str, float]:
    """Times `op` of this interpreter's vardel on every case; returns seconds per call."""
    import vardel

    out = {}
    for name, size in cases:
        data = _data(name, size, op)
        if op == "encode":
            call = lambda: vardel.encode(data)  # noqa: E731
        else:
            text = vardel.encode(data)
            read = vardel.decode if op == "decode" else vardel.decode_toon
            call = lambda: read(text)  # noqa: E731
        out[f"{name}/{size}"] = _median_time(call, min_time)
    return out


def _run_child(python: str, args: argparse.Namespace) -> dict[str, float]:
    command = [python, "-m", "benchmarks.ab", "--child", "--op", args.op, "--min-time", str(args.min_time),
               "--corpus", *args.corpus, "--size", *args.size]
    try:
        proc = subprocess.run(command, cwd=ROOT, capture_output=True, text=True, check=False)
    except OSError as e:
        raise SystemExit(f"cannot run {python}: {e.strerror}") from None
    if proc.returncode != 0:
        raise SystemExit(f"{python} failed:\n{proc.stderr.strip()[-2000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def compare(args: argparse.Namespace) -> list[tuple[str, float, float, float]]:
    """Runs the rounds; returns (case, ratio, before seconds, after seconds) per case."""
    before_runs, after_runs = [], []
    for r in range(args.rounds):
        order = [(args.before, before_runs), (args.after, after_runs)]
        for python, runs in order if r % 2 == 0 else order[::-1]:
            runs.append(_run_child(python, args))
    rows = []
    for case in before_runs[0]:
        ratios = [b[case] / a[case] for b, a in zip(before_runs, after_runs)]
        rows.append((case, statistics.median(ratios),
                     statistics.median(b[case] for b in before_runs),
                     statistics.median(a[case] for a in after_runs)))
    return rows


def _seconds(s: float) -> str:
    return f"{s * 1e6:.1f} us" if s < 1e-3 else f"{s * 1e3:.2f} ms"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m benchmarks.ab", description=__doc__.split("\n\n")[0])
    parser.add_argument("before", nargs="?", help="interpreter with the build to compare against")
    parser.add_argument("after", nargs="?", help="interpreter with the build being measured")
    parser.add_argument("--op", choices=OPS, default="encode")
    parser.add_argument("--corpus", nargs="+", default=["records", "nested", "events", "text", "numeric"])
    parser.add_argument("--size", nargs="+", default=list(DEFAULT_SIZES))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--min-time", type=float, default=0.1, help="seconds of process time per sample")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    cases = [(name, size) for name in args.corpus for size in args.size]
    if args.child:
        print(json.dumps(child(args.op, cases, args.min_time)))
        return 0
    if args.before is None or args.after is None:
        parser.error("give the two interpreters, BEFORE and AFTER")
    if args.rounds < 1 or args.min_time <= 0:
        parser.error("--rounds must be at least 1 and --min-time above 0")
    for name, size in cases:
        check_case(name, size, args.op)
    rows = compare(args)
    print(f"{args.op}: {args.before} / {args.after}, {args.rounds} rounds, process time per call")
    print("| case | before / after | before | after |")
    print("|---|---|---|---|")
    for case, ratio, before, after in rows:
        print(f"| {case} | {ratio:.2f} | {_seconds(before)} | {_seconds(after)} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
