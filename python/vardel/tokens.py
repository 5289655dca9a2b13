"""Token counts, for choosing between JSON and TOON before putting data into a prompt.

    from vardel.tokens import count_tokens
    count_tokens(vardel.encode(data)), count_tokens(json.dumps(data))

Counts are in the o200k vocabulary of OpenAI's current models, read from the
`bpe-openai` package (no network access), which the optional extra installs:
``pip install 'vardel[tokens]'``. Without it, `count_tokens` raises
`ModuleNotFoundError` with that hint and `available()` is False.
"""

from __future__ import annotations

import importlib
import re
from functools import cache
from typing import Any

__all__ = ["ENCODING", "INSTALL_HINT", "available", "count_tokens"]

ENCODING = "o200k_base"
INSTALL_HINT = "pip install 'vardel[tokens]'"

# The tokenizer takes at most 200,000 tokens per call, so longer texts are
# counted in pieces cut where the tokenizer's own pre-splitting always ends a
# piece (the count of the whole is then the sum of the pieces): after an ASCII
# letter followed by ASCII other than a letter or an apostrophe, after a run of
# ASCII digits followed by other ASCII, before a run of digits that follows
# visible ASCII, and before a space that follows visible ASCII. A piece never
# ends in white space: how a run of it is split depends on what comes next.
_CUT = re.compile(
    r"(?<=[A-Za-z])(?=[\x00-\x26\x28-\x40\x5b-\x60\x7b-\x7f])"
    r"|(?<=[0-9])(?=[\x00-\x2f\x3a-\x7f])"
    r"|(?<=[!-/:-~])(?=[0-9])"
    r"|(?<=[!-~])(?= )"
)
_PIECE = 100_000  # characters per call, aimed at
_MAX_PIECE = 190_000  # and never more (the tokenizer takes at most 200,000 tokens a call)


@cache
def _encoding() -> Any:
    try:
        module = importlib.import_module("bpe_openai")
    except ImportError:
        raise ModuleNotFoundError(
            f"token counts need the optional extra: {INSTALL_HINT}", name="bpe_openai"
        ) from None
    return module.get_encoding(ENCODING)


def available() -> bool:
    """Returns whether token counts can be had (the `tokens` extra is installed)."""
    try:
        _encoding()
    except ModuleNotFoundError:
        return False
    return True


def _pieces(text: str, piece: int) -> list[str]:
    """Returns `text` cut into pieces of about `piece` characters at safe places."""
    out = []
    start = 0
    while len(text) - start > piece:
        found = _CUT.search(text, start + piece // 2, start + piece + 1) or _CUT.search(
            text, start + piece, start + _MAX_PIECE + 1)
        if found is not None:
            end = found.start()
        elif len(text) - start <= _MAX_PIECE:
            end = len(text)
        else:
            # No safe place in 190,000 characters (a very long run of non-ASCII
            # letters): the cut falls anywhere and the count may be off by one or two.
            end = start + piece
        out.append(text[start:end])
        start = end
    out.append(text[start:])
    return out


def count_tokens(text: str, *, _piece: int = _PIECE) -> int:
    """Returns the number of o200k tokens of `text` (special tokens read as plain text).

    Raises ModuleNotFoundError when the `tokens` extra is not installed.
    """
    encoding = _encoding()
    return sum(len(encoding.encode_ordinary(p)) for p in _pieces(text, _piece) if p)
