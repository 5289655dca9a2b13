"""Benchmark corpora: deterministic whatever the hash seed; flat variants read back faithfully."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import vardel

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
from benchmarks import corpora  # noqa: E402


def test_generators_are_deterministic_whatever_the_hash_seed():
    code = "from benchmarks.corpora import fingerprint; print(fingerprint(3000))"
    digests = {subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONHASHSEED=seed), cwd=ROOT,
                              capture_output=True, text=True, check=True).stdout.strip() for seed in "12"}
    assert digests == {corpora.fingerprint(3000)}


@pytest.mark.parametrize("name", corpora.CORPORA)
def test_flat_variant_round_trips(name):
    flat = corpora.generate_flat(name, 5_000)
    assert corpora.json_size(flat) >= 5_000
    assert corpora.strict_equal(vardel.decode_toon(vardel.encode(flat)), flat)
    assert not corpora.strict_equal({"a": [1]}, {"a": [1.0]})


def test_hook_corpus_holds_datetimes_the_ready_made_hook_writes():
    data = corpora.generate("stamped", 5_000)
    assert corpora.json_size(data) >= 5_000 and "stamped" not in corpora.CORPORA
    assert {type(r["created"]).__name__ for r in data} == {"datetime"}
    assert all(r["created"].tzinfo is None and r["updated"].tzinfo is not None for r in data)
    text = vardel.encode(data, default=vardel.common_types)
    assert text == vardel.encode(data, default=lambda o: vardel.common_types(o))
    assert data[0]["updated"].isoformat() in text
