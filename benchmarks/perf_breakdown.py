"""Where a vardel call spends its time, from ``perf script`` output with call chains.

    perf script -i perf.data | python -m benchmarks.perf_breakdown encode

Only samples with a frame of the extension module on their stack count (the
set-up of benchmarks/hotloop.py is left out). Each of them is given to the
phase whose function stands outermost on its stack (conversion of the Python
data, the codec itself, making the result str, ...), and its leaf frame to a
kind of work (the kernel, the allocator, memory copies, the interpreter's
own functions, vardel's code). The top leaf functions follow.
"""

from __future__ import annotations

import argparse
import re
import sys
from collections import Counter

PHASES = {
    "encode": [
        ("conversion: Python data -> value tree", r"deserialize_any|Converter::"),
        ("encoder: value tree -> text", r"encode_value|encode_into|Encoder::"),
        ("result str creation", r"text_to_str|PyUnicode_DecodeUTF8|unicode_decode_utf8"),
        ("teardown: freeing the tree and buffers", r"~|Arena|free"),
    ],
    "decode": [
        ("reading the str's UTF-8", r"PyUnicode_AsUTF8AndSize"),
        ("decoder: text -> value tree", r"decode_document|Decoder|parse_value|decode_array"),
        ("conversion: value tree -> Python", r"value_to_python|to_python"),
        ("teardown: freeing the tree", r"~|Arena|free"),
    ],
}

KINDS = [
    ("kernel (page faults, mmap/munmap, brk)", lambda sym, dso: "kernel" in dso),
    ("allocator (malloc/free/realloc)", lambda sym, dso: re.search(
        r"^(_int_|__libc_|)(malloc|free|realloc|calloc)|^cfree|malloc_consolidate|"
        r"_int_free|unlink_chunk|sysmalloc|tcache|operator new|operator delete",
        sym) is not None),
    ("memcpy/memmove/memset/memcmp/memchr", lambda sym, dso: re.search(
        r"mem(cpy|move|set|cmp|chr)", sym) is not None),
    ("vardel code", lambda sym, dso: "_vardel" in dso),
    ("CPython runtime", lambda sym, dso: _base(dso).startswith(("libpython", "python"))),
    ("C++ runtime (libstdc++)", lambda sym, dso: _base(dso).startswith("libstdc++")),
]


def _base(dso: str) -> str:
    return dso.rsplit("/", 1)[-1]

FRAME = re.compile(r"^\s+[0-9a-f]+\s+(.*?)\s+\((.*)\)\s*$")


def samples(lines):
    frames: list[tuple[str, str]] = []
    for line in lines:
        if not line.strip():
            if frames:
                yield frames
            frames = []
            continue
        m = FRAME.match(line)
        if m:
            sym = re.sub(r"\+0x[0-9a-f]+$", "", m.group(1))
            frames.append((sym, m.group(2)))
        elif frames:
            yield frames
            frames = []
    if frames:
        yield frames


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(prog="python -m benchmarks.perf_breakdown")
    p.add_argument("direction", choices=tuple(PHASES))
    p.add_argument("--top", type=int, default=20)
    args = p.parse_args(argv)

    phases = [(label, re.compile(rx)) for label, rx in PHASES[args.direction]]
    phase_count: Counter = Counter()
    kind_count: Counter = Counter()
    leaf_count: Counter = Counter()
    total = 0
    for frames in samples(sys.stdin):
        if not any("_vardel" in dso for _, dso in frames):
            continue
        total += 1
        phase = "other, inside the call"
        outer = max(i for i, (_, dso) in enumerate(frames) if "_vardel" in dso)
        for sym, dso in reversed(frames[:outer + 1]):  # from the entry towards the leaf
            hit = next((label for label, rx in phases if rx.search(sym)), None)
            if hit:
                phase = hit
                break
        phase_count[phase] += 1
        sym, dso = frames[0]
        # With --call-graph dwarf, inlined functions show as frames of their own:
        # the kind of work is the one of the function they were inlined into.
        dso = next((d for _, d in frames if d != "inlined"), dso)
        kind = next((label for label, test in KINDS if test(sym, dso)), "other")
        kind_count[kind] += 1
        leaf_count[f"{sym} [{dso.rsplit('/', 1)[-1]}]"] += 1

    if not total:
        print("no samples inside the extension module", file=sys.stderr)
        return 1
    print(f"{total} samples inside vardel's {args.direction} call\n")
    print("By phase (outermost vardel function on the stack):")
    for label, n in phase_count.most_common():
        print(f"  {100 * n / total:5.1f}%  {label}")
    print("\nBy kind of work (leaf frame):")
    for label, n in kind_count.most_common():
        print(f"  {100 * n / total:5.1f}%  {label}")
    print(f"\nTop {args.top} leaf functions:")
    for label, n in leaf_count.most_common(args.top):
        print(f"  {100 * n / total:5.1f}%  {label}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
