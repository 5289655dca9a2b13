"""Fast checks of the benchmark suite: deterministic corpora, faithful decoder
variants, and the runner's arithmetic. No timing is asserted here."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from benchmarks import corpora  # noqa: E402
from benchmarks import run  # noqa: E402

import vardel  # noqa: E402

TINY = 3_000


def test_generators_are_deterministic_whatever_the_hash_seed():
    code = ("import sys; sys.path.insert(0, sys.argv[1]); "
            "from benchmarks.corpora import fingerprint; print(fingerprint(int(sys.argv[2])))")
    digests = set()
    for seed in ("1", "2"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        out = subprocess.run([sys.executable, "-c", code, str(ROOT), str(TINY)], env=env,
                             capture_output=True, text=True, check=True, cwd=ROOT)
        digests.add(out.stdout.strip())
    assert digests == {corpora.fingerprint(TINY)}


@pytest.mark.parametrize("name", corpora.CORPORA)
@pytest.mark.parametrize("target", [1_000, 20_000])
def test_corpus_reaches_about_its_target_size(name, target):
    size = corpora.json_size(corpora.generate(name, target))
    assert target <= size < target * 1.6
    flat = corpora.json_size(corpora.generate_flat(name, target))
    assert target <= flat < target * 3


def test_smaller_corpus_is_a_prefix_of_a_larger_one():
    small, large = corpora.generate("records", 2_000), corpora.generate("records", 20_000)
    assert corpora.strict_equal(small, large[:len(small)])


def _depth(x):
    if isinstance(x, (dict, list)):
        return isinstance(x, dict) + max(map(_depth, x.values() if isinstance(x, dict) else x), default=0)
    return 0


def test_corpora_reach_the_paths_they_are_for():
    records = corpora.generate("records", 20_000)
    assert {type(v) for r in records for v in r.values()} == {int, float, str, bool, type(None)}
    assert max(map(_depth, corpora.generate("nested", 20_000).values())) == 5
    bodies = "".join(d["body"] + d["note"] for d in corpora.generate("text", 20_000))
    assert max(map(ord, bodies)) > 0xFFFF and any(0x400 <= ord(c) < 0x500 for c in bodies)
    assert all(ch in bodies for ch in '"\\\n\t')
    numeric = corpora.generate("numeric", 20_000)
    assert {type(x) for v in numeric.values() for x in v} == {int, float}


@pytest.mark.parametrize("name", corpora.CORPORA)
@pytest.mark.parametrize("target", [1_000, 20_000])
def test_flat_variant_round_trips(name, target):
    flat = corpora.generate_flat(name, target)
    back = vardel.decode_toon(vardel.encode(flat))
    assert corpora.first_difference(back, flat) is None
    assert corpora.strict_equal(back, flat)


@pytest.mark.parametrize("a, b", [(1, 1.0), ({"a": True}, {"a": 1}), ([0.0], [-0.0]),
                                  ({"a": 1}, {"a": 1, "b": 2}), ([1, 2], [1, 2, 3])])
def test_strict_equal_tells_types_apart(a, b):
    assert corpora.strict_equal(a, a) and not corpora.strict_equal(a, b)
    assert corpora.first_difference({"a": [1, 2]}, {"a": [1, 2.0]}) == "$['a'][1]: int 2 vs float 2.0"


def _stats(median):
    return {"median": median, "min": median, "number": 1, "samples": [median]}


def _fake_results():
    def entry(scale):
        return {
            "json_bytes": 1_000_000 * scale, "json_default_bytes": 1_100_000 * scale,
            "toon_bytes": 900_000 * scale, "flat_json_bytes": 1_000_000 * scale,
            "flat_toon_bytes": 950_000 * scale, "flat_roundtrip": True,
            "encode": {"vardel.encode": _stats(0.002 * scale * (1.5 if scale > 1 else 1)),
                       "json.dumps": _stats(0.020 * scale), "orjson.dumps": _stats(0.001 * scale)},
            "decode": {"vardel.decode_toon": _stats(0.004 * scale), "json.loads": _stats(0.016 * scale),
                       "orjson.loads": _stats(0.004 * scale)},
        }
    return {
        "env": {"cpu_model": "test CPU", "cpus": 2, "load_average_at_start": (0.0, 0.0, 0.0),
                "python": "3.12.0", "platform": "test", "compiler": "g++",
                "versions": {"vardel": "0", "orjson": "1", "msgspec": None},
                "vardel_commit": "abc", "command": "make bench", "date": "today"},
        "settings": {"repeats": 11, "min_time": 0.05},
        "corpora": {"records": {"description": "d", "flat_description": "f",
                                "sizes": {"1MB": entry(1), "20MB": entry(20)}}},
        "rss": {"size": "20MB", "encode": {
            "vardel.encode": {"delta_kb": 3072, "baseline_kb": 100, "output_bytes": 10},
            "orjson.dumps": {"delta_kb": 1024, "baseline_kb": 100, "output_bytes": 10}},
            "decode": {}},
    }


def test_report_ratios_are_peer_time_over_vardel_time():
    results = _fake_results()
    rows = {r["target"]: r for r in run.targets(results)}
    assert rows["encode vs json.dumps, 1 MB records"]["value"] == "10.00x"
    assert rows["encode vs json.dumps, 1 MB records"]["met"]
    assert rows["encode vs orjson.dumps, 1 MB records"]["value"] == "0.50x"
    assert not rows["encode vs orjson.dumps, 1 MB records"]["met"]
    assert rows["decode_toon vs json.loads, 1 MB records"]["value"] == "4.00x"
    assert rows["decode_toon vs orjson.loads, 1 MB records"]["met"]
    # 20 MB takes 1.5 times as long per MB as 1 MB for the encoder, the same for the decoder.
    assert rows["vardel.encode scaling 1 MB -> 20 MB, records"]["value"] == "1.50"
    assert not rows["vardel.encode scaling 1 MB -> 20 MB, records"]["met"]
    assert rows["vardel.decode_toon scaling 1 MB -> 20 MB, records"]["value"] == "1.00"
    assert rows["peak RSS of encode, 20 MB records, vs orjson"]["value"] == "3.00x"
    assert not rows["peak RSS of encode, 20 MB records, vs orjson"]["met"]


def test_report_tables():
    md = run.markdown(_fake_results())
    assert "| 1 MB | 2.00 ms, 500 MB/s | 20.00 ms, 50 MB/s, **10.00x** |" in md
    assert "| time/MB 20 MB ÷ 1 MB | 1.50 | 1.00 | 1.00 |" in md
    assert "| encode | vardel.encode | 3.0 MB | 3.00x |" in md
    assert "Command: `make bench`" in md
