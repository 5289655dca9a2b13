"""The command line on a large file: `vardel encode` and `vardel decode` against `jq -c .`.

    python -m benchmarks.cli_large [--size-mb 200] [--dir DIR]

Generates (once, kept in DIR) a JSON file of about SIZE MB: the `records` corpus of
benchmarks/corpora.py, 20 MB of it repeated with fresh ids, written as compact JSON. Then
runs each command once, in a fresh process, output to a file in DIR, and reports its wall
time and peak resident memory (GNU time's %e and %M):

  jq -c . big.json > jq.json            the reference
  vardel encode big.json -o big.toon    targets: <= 0.5x jq's time, <= 1.0x its memory
  vardel decode big.toon -o back.json   targets: <= 0.5x jq's time, <= 1.2x its memory

and checks that back.json holds the data of big.json (keys sorted, as encode writes them).
It needs jq and GNU time (apt-get install jq time). Results also go to
benchmarks/results/cli_large.json.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import time
from pathlib import Path

import orjson

from benchmarks import corpora

HERE = Path(__file__).parent
TARGETS = {"encode": (0.5, 1.0), "decode": (0.5, 1.2)}  # (time, memory) as shares of jq's


def generate(path: Path, size_mb: int) -> None:
    """Writes about `size_mb` MB of compact JSON records to `path`."""
    base = corpora.generate("records", "20MB")
    copies = max(1, round(size_mb / 20))
    with open(path, "wb") as f:
        f.write(b"[")
        for k in range(copies):
            for i, record in enumerate(base):
                row = dict(record, id=k * len(base) + i)
                f.write((b"," if k or i else b"") + orjson.dumps(row))
        f.write(b"]")


def measure(command: list[str], stdout: Path | None = None) -> dict[str, float]:
    """Runs `command` once under GNU time; returns its wall time (s) and peak RSS (MB)."""
    out = open(stdout, "wb") if stdout else subprocess.DEVNULL
    try:
        proc = subprocess.run(["/usr/bin/time", "-f", "%e %M", *command], stdout=out,
                              stderr=subprocess.PIPE, check=False)
    finally:
        if stdout:
            out.close()
    if proc.returncode != 0:
        sys.exit(f"failed: {' '.join(command)}\n{proc.stderr.decode()}")
    wall, kib = proc.stderr.decode().strip().splitlines()[-1].split()
    return {"seconds": float(wall), "peak_mb": int(kib) / 1024}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size-mb", type=int, default=200)
    parser.add_argument("--dir", type=Path, default=HERE / "results" / "large")
    args = parser.parse_args()
    for tool in ("jq", "/usr/bin/time"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is needed: apt-get install jq time")
    args.dir.mkdir(parents=True, exist_ok=True)
    big = args.dir / f"big-{args.size_mb}mb.json"
    if not big.exists():
        start = time.perf_counter()
        generate(big, args.size_mb)
        print(f"generated {big} in {time.perf_counter() - start:.0f} s", file=sys.stderr)
    vardel = [sys.executable, "-m", "vardel"]
    toon, back = args.dir / "big.toon", args.dir / "back.json"
    runs = {
        "jq": measure(["jq", "-c", ".", str(big)], stdout=args.dir / "jq.json"),
        "encode": measure([*vardel, "encode", str(big), "-o", str(toon)]),
        "decode": measure([*vardel, "decode", str(toon), "-o", str(back)]),
    }
    same = orjson.loads(back.read_bytes()) == orjson.loads(big.read_bytes())
    sizes = {p.name: p.stat().st_size for p in (big, toon, back)}
    jq = runs["jq"]
    print(f"input: {big.name}, {sizes[big.name] / 1e6:.1f} MB; TOON {sizes[toon.name] / 1e6:.1f} MB; "
          f"JSON written back {sizes[back.name] / 1e6:.1f} MB; same data: {same}")
    print("| command | wall time | vs jq | target | peak RSS | vs jq | target |")
    print("|---|---|---|---|---|---|---|")
    print(f"| `jq -c .` | {jq['seconds']:.1f} s | 1.00x | | {jq['peak_mb']:.0f} MB | 1.00x | |")
    for name, (t_target, m_target) in TARGETS.items():
        r = runs[name]
        t, m = r["seconds"] / jq["seconds"], r["peak_mb"] / jq["peak_mb"]
        print(f"| `vardel {name}` | {r['seconds']:.1f} s | {t:.2f}x | <= {t_target}x {'yes' if t <= t_target else '**no**'} "
              f"| {r['peak_mb']:.0f} MB | {m:.2f}x | <= {m_target}x {'yes' if m <= m_target else '**no**'} |")
    record = {"runs": runs, "sizes": sizes, "same_data": same, "python": sys.version.split()[0],
              "machine": platform.platform(), "cpus": os.cpu_count(),
              "load_average": os.getloadavg(), "when": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}
    (HERE / "results").mkdir(exist_ok=True)
    (HERE / "results" / "cli_large.json").write_text(json.dumps(record, indent=2) + "\n")


if __name__ == "__main__":
    main()
