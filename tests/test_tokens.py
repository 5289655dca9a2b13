"""Token counts: exact o200k counts with the tokens extra, a clear hint without it."""

import json
import lzma
import subprocess
import sys
from pathlib import Path

import pytest

import vardel
from vardel import tokens

CORPORA = Path(__file__).parent.parent / "benchmarks" / "data"


@pytest.mark.parametrize("text, count", [
    ("", 0), ("hello world", 2), ("<|endoftext|>", 7),  # special tokens are read as plain text
    ("a\ud800b", 3),  # a lone surrogate is counted as the replacement character
])
def test_known_counts(text, count):
    assert tokens.count_tokens(text) == count


def texts():
    for name in ("twitter", "citm_catalog", "canada"):
        data = json.loads(lzma.open(CORPORA / f"{name}.json.xz", "rt", encoding="utf-8").read())
        for kind, text in [("compact", json.dumps(data, separators=(",", ":"), ensure_ascii=False)),
                           ("indented", json.dumps(data, indent=2, ensure_ascii=False)),
                           ("toon", vardel.encode(data))]:
            yield pytest.param(text[:300_000], id=f"{name}-{kind}")  # one call takes the whole
    # white space runs before digits and letters, line feeds, apostrophes, non-ASCII words
    tricky = "".join(f"{' ' * (i % 7)}{i}\n\n{'x' * (i % 5)}'s  é{i}\t{i % 3 * '/'}日本 " for i in range(5000))
    yield pytest.param(tricky, id="tricky")


@pytest.mark.parametrize("text", list(texts()))
def test_long_texts_counted_in_pieces_give_the_count_of_the_whole(text):
    whole = tokens.count_tokens(text, _piece=len(text))
    assert whole > 0
    for piece in (17, 1000, 40_000):
        assert tokens.count_tokens(text, _piece=piece) == whole, piece


def test_texts_beyond_one_call_are_counted():
    text = "[" + ",".join(f'{{"id":{i},"name":"user {i}"}}' for i in range(150_000)) + "]"
    assert len(text) > 3_000_000
    piece = "".join(f'{{"id":{i},"name":"user {i}"}},' for i in range(1000, 1100))
    assert tokens.count_tokens(text) > 150_000 * tokens.count_tokens(piece) // 100 * 0.9


def test_without_the_extra_the_hint_says_how_to_get_it(monkeypatch):
    tokens._encoding.cache_clear()
    try:
        with monkeypatch.context() as patch:
            patch.setitem(sys.modules, "bpe_openai", None)  # the import fails, as on a machine without it
            assert not tokens.available()
            with pytest.raises(ModuleNotFoundError, match=r"^token counts need the optional extra: "
                                                          r"pip install 'vardel\[tokens\]'$"):
                tokens.count_tokens("x")
    finally:
        tokens._encoding.cache_clear()
    assert tokens.available() and tokens.count_tokens("x") == 1


def test_the_extra_is_declared():
    meta = subprocess.run([sys.executable, "-c", "import importlib.metadata as m; "
                           "print('\\n'.join(m.requires('vardel')))"], capture_output=True, text=True, timeout=60)
    assert "bpe-openai>=0.1.4; extra == \"tokens\"" in meta.stdout.splitlines(), meta.stdout
