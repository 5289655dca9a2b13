"""Bytes of TOON in the default and the uniform layout on the public corpora.

    python -m benchmarks.layout_sizes [CORPORA_DIR]

Reads every *.json.xz in CORPORA_DIR (default /work/shared/corpora), encodes it
at indent 2, 1 and 0 in both layouts, and prints a Markdown table of UTF-8 sizes
beside compact JSON. Sizes only: token counts are measured separately.
"""

from __future__ import annotations

import json
import lzma
import pathlib
import sys

from vardel import EncodeOptions, encode


INDENTS = (2, 1, 0)


def sizes(data: object) -> dict[str, int]:
    out = {"json": len(json.dumps(data, separators=(",", ":"), ensure_ascii=False).encode())}
    for indent in INDENTS:
        for uniform in (False, True):
            text = encode(data, EncodeOptions(indent=indent, uniform_indent=uniform))
            out[f"{'uniform' if uniform else 'default'} {indent}"] = len(text.encode())
    return out


def main(directory: str = "/work/shared/corpora") -> None:
    head = "".join(f" default, indent {i} | uniform, indent {i} | saved |" for i in INDENTS)
    print("| corpus | compact JSON |" + head)
    print("|---|--:|" + "--:|--:|--:|" * len(INDENTS))
    for path in sorted(pathlib.Path(directory).glob("*.json.xz")):
        with lzma.open(path, "rt", encoding="utf-8") as f:
            s = sizes(json.load(f))
        cells = [path.name.removesuffix(".json.xz"), f"{s['json']:,}"]
        for indent in INDENTS:
            d, u = s[f"default {indent}"], s[f"uniform {indent}"]
            cells += [f"{d:,}", f"{u:,}", f"{(d - u) / d:.1%}"]
        print("| " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main(*sys.argv[1:])
