"""Times vardel.decode on strings of one writing system each, for two builds side by side.

    python -m benchmarks.scripts                     # this interpreter's vardel
    python -m benchmarks.scripts OLD_PYTHON NEW_PYTHON

Each document is a list of 200 strings of about 900 characters of one script (Chinese,
Japanese, Korean, and a mix of Latin, Chinese, Korean and Cyrillic words), which is where
the decoders' reading of UTF-8 into strs is most of a call. Each time is the best of 30
loops of 10 calls that keep their results. Given two interpreters (each with its own
vardel installed), each runs the whole set in turn, twice, old first, and the ratios are
old time / new time (above 1 the new build is faster).
"""

from __future__ import annotations

import subprocess
import sys
import time

SCRIPTS = {
    "chinese": "中文文本的解码速度测试，这是一个很长的句子。",
    "japanese": "日本語のテキスト、ひらがなとカタカナ。テスト",
    "korean": "한국어 텍스트 디코딩 속도 시험 문장입니다. ",
    "mixed": "Ação é 中文 한국어 ок ",
}


def documents() -> dict[str, list[str]]:
    """Each script's document: 200 strings of its sample repeated to about 900 characters."""
    return {name: [sample * (900 // len(sample))] * 200 for name, sample in SCRIPTS.items()}


def best_time(text: str, loops: int = 30, calls: int = 10) -> float:
    """Seconds per vardel.decode call of ``text``, the best loop of ``loops``."""
    import vardel

    best = float("inf")
    for _ in range(loops):
        t0 = time.perf_counter()
        keep = [vardel.decode(text) for _ in range(calls)]
        best = min(best, (time.perf_counter() - t0) / calls)
        del keep
    return best


def times() -> dict[str, float]:
    import vardel

    out = {}
    for name, doc in documents().items():
        text = vardel.encode(doc)
        if vardel.decode(text) != doc:
            raise SystemExit(f"{name}: the document does not read back")
        out[name] = best_time(text)
    return out


def _child(python: str) -> dict[str, float]:
    code = "import json; from benchmarks import scripts; print(json.dumps(scripts.times()))"
    run = subprocess.run([python, "-c", code], capture_output=True, text=True, check=True)
    import json

    return json.loads(run.stdout)


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if not args:
        for name, t in times().items():
            print(f"{name}: {t * 1e6:.1f} µs")
        return 0
    if len(args) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    old, new = args
    rounds = [(_child(old), _child(new)) for _ in range(2)]
    print("| script | old | new | old / new |")
    print("|---|---|---|---|")
    for name in SCRIPTS:
        a = min(r[0][name] for r in rounds)
        b = min(r[1][name] for r in rounds)
        print(f"| {name} | {a * 1e6:.1f} µs | {b * 1e6:.1f} µs | {a / b:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
