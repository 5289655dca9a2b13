"""Sizes of the same data as compact JSON, indented JSON, TOON and TOON with uniform_indent.

    python -m benchmarks.sizes [--size 1MB]

For the three public corpora (benchmarks/data/*.json.xz) and the generated corpora of
benchmarks/corpora.py at SIZE, prints a Markdown table per kind of data: UTF-8 bytes and
o200k tokens (vardel.tokens, which needs the tokens extra: pip install 'vardel[tokens]'),
each also as a share of compact JSON. Compact JSON is json.dumps(data, separators=(",", ":"),
ensure_ascii=False); indented JSON is json.dumps(data, indent=2, ensure_ascii=False); TOON is
vardel.encode(data) with the default options, and with EncodeOptions(uniform_indent=True).
"""

from __future__ import annotations

import argparse
import json
import lzma
from pathlib import Path
from typing import Any

import vardel
from benchmarks import corpora
from vardel.tokens import count_tokens

DATA = Path(__file__).parent / "data"
PUBLIC = {
    "twitter": "100 tweets: nested objects, much non-ASCII text",
    "citm_catalog": "event catalogue: objects keyed by id, deep nesting",
    "canada": "GeoJSON polygon: arrays of arrays of coordinate pairs",
}
FORMS = ["compact JSON", "indented JSON", "TOON", "TOON, uniform_indent"]


def texts(data: Any) -> dict[str, str]:
    """Returns `data` in each of the four forms."""
    return {
        "compact JSON": json.dumps(data, separators=(",", ":"), ensure_ascii=False),
        "indented JSON": json.dumps(data, indent=2, ensure_ascii=False),
        "TOON": vardel.encode(data),
        "TOON, uniform_indent": vardel.encode(data, vardel.EncodeOptions(uniform_indent=True)),
    }


def measure(data: Any) -> dict[str, tuple[int, int]]:
    """Returns the UTF-8 bytes and o200k tokens of each form of `data`."""
    return {form: (len(text.encode("utf-8")), count_tokens(text)) for form, text in texts(data).items()}


def table(rows: dict[str, tuple[str, dict[str, tuple[int, int]]]]) -> str:
    """Returns a Markdown table: per corpus, bytes and tokens of each form, and their share of compact JSON."""
    out = ["| corpus | " + " | ".join(FORMS) + " |", "|---|" + "---|" * len(FORMS)]
    for name, (what, sizes) in rows.items():
        base_bytes, base_tokens = sizes["compact JSON"]
        cells = []
        for form in FORMS:
            b, t = sizes[form]
            cells.append(f"{b:,} B ({b / base_bytes:.2f}x)<br>{t:,} tokens ({t / base_tokens:.2f}x)")
        out.append(f"| **{name}**: {what} | " + " | ".join(cells) + " |")
    return "\n".join(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", default="1MB", help="size of the generated corpora (default: 1MB)")
    args = parser.parse_args()
    public = {}
    for name, what in PUBLIC.items():
        with lzma.open(DATA / f"{name}.json.xz", "rt", encoding="utf-8") as f:
            public[name] = (what, measure(json.load(f)))
    generated = {name: (corpora.DESCRIPTIONS[name], measure(corpora.generate(name, args.size)))
                 for name in corpora.CORPORA}
    print("Public corpora (benchmarks/data):\n")
    print(table(public))
    print(f"\nGenerated corpora (benchmarks/corpora.py, {args.size} of compact JSON each):\n")
    print(table(generated))


if __name__ == "__main__":
    main()
