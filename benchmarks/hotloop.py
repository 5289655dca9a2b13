"""Calls one codec on one corpus in a loop, for profilers.

    python -m benchmarks.hotloop encode records 1MB --seconds 5
    python -m benchmarks.hotloop decode records 1MB --calls 20

``encode`` calls vardel.encode on the corpus; ``decode`` calls
vardel.decode_toon on vardel's text of the corpus's flat variant. The data is
made and the codec called once before the loop starts, so a profile of the
whole process is dominated by the loop.

With perf (Debian's linux-perf), on a build that keeps its symbols and frame
pointers (an installed wheel is stripped)::

    pip install --no-build-isolation --no-deps -Cbuild-dir=build/prof \\
        -Cinstall.strip=false -Ccmake.define.CMAKE_CXX_FLAGS="-g -fno-omit-frame-pointer" .
    perf record -e cpu-clock -F 2000 -g -o perf.data -- \\
        python -m benchmarks.hotloop encode records 1MB --seconds 5
    perf script -i perf.data | python -m benchmarks.perf_breakdown encode

or with callgrind (instruction counts; start at the loop with
``--toggle-collect``)::

    valgrind --tool=callgrind --toggle-collect='*vardel*encode*' \\
        python -m benchmarks.hotloop encode records 1MB --calls 3
"""

from __future__ import annotations

import argparse
import sys
import time

from benchmarks import corpora


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(prog="python -m benchmarks.hotloop")
    p.add_argument("direction", choices=("encode", "decode"))
    p.add_argument("corpus", choices=corpora.CORPORA)
    p.add_argument("size", choices=tuple(corpora.SIZES))
    p.add_argument("--seconds", type=float, default=None)
    p.add_argument("--calls", type=int, default=None)
    args = p.parse_args(argv)

    import vardel

    if args.direction == "encode":
        data = corpora.generate(args.corpus, args.size)

        def call():
            return vardel.encode(data)
    else:
        text = vardel.encode(corpora.generate_flat(args.corpus, args.size))

        def call():
            return vardel.decode_toon(text)

    call()
    calls = 0
    start = time.perf_counter()
    if args.calls is None and args.seconds is None:
        args.seconds = 5.0
    while True:
        if args.calls is not None and calls >= args.calls:
            break
        if args.seconds is not None and time.perf_counter() - start >= args.seconds:
            break
        call()
        calls += 1
    elapsed = time.perf_counter() - start
    print(f"{args.direction} {args.corpus} {args.size}: {calls} calls, "
          f"{elapsed / max(calls, 1) * 1e3:.3f} ms per call", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
