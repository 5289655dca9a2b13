"""Benchmark corpora: deterministic whatever the hash seed; flat variants read back faithfully."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import vardel

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
from benchmarks import ab, corpora, run, scripts  # noqa: E402


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
    if run.hook_unavailable():
        pytest.skip(run.hook_unavailable())
    text = vardel.encode(data, default=vardel.common_types)
    assert text == vardel.encode(data, default=lambda o: vardel.common_types(o))
    assert data[0]["updated"].isoformat() in text


@pytest.mark.parametrize("name", corpora.PUBLIC_CORPORA)
def test_public_copies_reach_the_size_and_are_separate_objects(name):
    one = corpora.json_size(corpora.load_public(name))
    copies = corpora.public_copies(name, 3 * one)
    assert corpora.json_size(copies) >= 3 * one and len(copies) == 3
    assert copies[0] == copies[2] and copies[0] is not copies[2]


@pytest.mark.parametrize("rounds, k, expected", [
    (11, 5, {0, 2, 5, 8, 10}), (11, 11, set(range(11))), (5, 9, set(range(5))),
    (11, 1, {5}), (4, 2, {0, 3}),
])
def test_big_sizes_run_in_rounds_spread_over_the_run(rounds, k, expected):
    assert run.spread(rounds, k) == expected


def _stats(seconds):
    return {"median": seconds}


def test_targets_compare_peer_time_over_vardel_time_and_report_what_is_missing():
    """Twice orjson's time is 0.5x; scaling counts time per MB, orjson's shown beside it where
    measured; a missing figure is no pass."""
    sizes = {
        "1MB": {"json_bytes": 1_000_000, "flat_json_bytes": 1_000_000,
                "encode": {run.ENC_VARDEL: _stats(2.0), "orjson.dumps": _stats(1.0),
                           "json.dumps": _stats(10.0)},
                "decode": {run.DEC_VARDEL: _stats(1.0), "orjson.loads": _stats(1.0)}},
        "20MB": {"json_bytes": 40_000_000, "flat_json_bytes": 20_000_000,
                 "encode": {run.ENC_VARDEL: _stats(96.0), "orjson.dumps": _stats(60.0)},
                 "decode": {run.DEC_VARDEL: _stats(52.0)}},
    }
    results = {"corpora": {"records": {"sizes": sizes}}, "skipped": {"stamped": "no hook"},
               "rss": {"size": "20MB", "encode": {run.ENC_VARDEL: {"delta_kb": 150},
                                                  "orjson.dumps": {"delta_kb": 100}},
                       "decode": {}, "decode_flat": {}}}
    rows = {r["target"]: r for r in run.targets(results)}
    got = {t: (r["value"], r["met"]) for t, r in rows.items() if "records" in t or "stamped" in t}
    assert got["vardel.encode vs orjson.dumps, records (1 MB)"] == ("0.50x", False)
    assert got["vardel.encode vs json.dumps, records (1 MB)"] == ("5.00x", True)
    assert got["vardel.decode vs orjson.loads, records (1 MB)"] == ("1.00x", True)
    assert got["vardel.encode time per MB, 20 MB / 1 MB, records"] == ("1.20 (orjson.dumps: 1.50)", True)
    assert got["vardel.decode time per MB, 20 MB / 1 MB, records"] == ("1.30", False)
    assert got["peak RSS of vardel.encode vs orjson.dumps, 20 MB records"] == ("1.50x", True)
    missing = [t for t, (value, met) in got.items() if met is None]
    assert "vardel.decode_toon vs orjson.loads, records (1 MB)" in missing
    assert rows["vardel.encode default=common_types vs orjson.dumps, stamped (1 MB)"]["value"] \
        == "not measured: no hook"
    assert all(r["met"] is None for r in rows.values() if r["value"].startswith("not measured"))
    # Every corpus a target names gets its row, measured or not.
    named = {(d, n, p) for _, d, names, p, _ in run.TARGETS for n in names}
    assert len([r for r in rows if " vs " in r and "peak RSS" not in r]) == len(named)


@pytest.mark.parametrize("op, corpus, size", [
    ("encode", "records", "1KB"), ("encode", "twitter", "document"), ("decode", "nested", "1KB"),
    ("decode", "canada", "document"), ("decode_toon", "events", "1KB"),
])
def test_ab_times_both_builds_on_each_case(op, corpus, size, capsys):
    assert ab.main([sys.executable, sys.executable, "--op", op, "--corpus", corpus, "--size", size,
                    "--rounds", "2", "--min-time", "0.001"]) == 0
    rows = [[c.strip() for c in line.split("|")[1:-1]] for line in capsys.readouterr().out.splitlines()
            if line.startswith("| ") and not line.startswith("| case")]
    assert len(rows) == 1
    case, ratio, before, after = rows[0]
    assert case == f"{corpus}/{size}" and float(ratio) > 0
    assert all(t.endswith((" us", " ms")) and float(t.split()[0]) > 0 for t in (before, after))


@pytest.mark.parametrize("op, corpus, size, timing", [
    ("encode", "records", "1KB", []),
    ("decode", "twitter", "document", ["--keep"]),
    ("decode_toon", "events", "1KB", ["--batch", "3"]),
])
def test_pairs_alternates_two_builds_in_one_process(op, corpus, size, timing):
    # In a process of its own: a second copy of the extension module would share its static state.
    out = subprocess.run([sys.executable, "-m", "benchmarks.pairs", sys.executable, sys.executable, "--op", op,
                          "--corpus", corpus, "--size", size, "--seconds", "0.05", *timing],
                         cwd=ROOT, check=True, capture_output=True, text=True).stdout
    rows = [[c.strip() for c in line.split("|")[1:-1]] for line in out.splitlines()
            if line.startswith("| ") and not line.startswith("| case")]
    assert len(rows) == 1
    case, ratio, before, after, pairs = rows[0]
    assert case == f"{corpus}/{size}" and float(ratio) > 0 and int(pairs) >= 1
    assert all(t.endswith(" ms") and float(t.split()[0]) > 0 for t in (before, after))


def test_scripts_times_each_writing_system_in_both_builds():
    docs = scripts.documents()
    # The Chinese and Japanese strings are three-byte characters back to back, what their run reader takes.
    assert all(len(c.encode()) == 3 for c in docs["chinese"][0] + docs["japanese"][0])
    assert all(len(d) == 200 and 850 <= len(d[0]) <= 900 for d in docs.values())
    out = subprocess.run([sys.executable, "-m", "benchmarks.scripts", sys.executable, sys.executable],
                         cwd=ROOT, check=True, capture_output=True, text=True).stdout
    rows = [[c.strip() for c in line.split("|")[1:-1]] for line in out.splitlines()[2:]]
    assert [r[0] for r in rows] == list(scripts.SCRIPTS)
    assert all(float(r[1].split()[0]) > 0 and float(r[2].split()[0]) > 0 and float(r[3]) > 0 for r in rows)


@pytest.mark.parametrize("argv, message", [
    (["/nonexistent/python", sys.executable], "cannot run /nonexistent/python"),
    ([sys.executable, sys.executable, "--corpus", "records", "--size", "document"], "records is generated"),
    ([sys.executable, sys.executable, "--op", "decode_toon", "--corpus", "canada", "--size", "document"],
     "flat variants"),
    ([sys.executable, sys.executable, "--corpus", "recrods"], "no corpus named 'recrods'"),
    ([sys.executable, sys.executable, "--size", "2MB"], "no size '2MB'"),
])
def test_ab_refuses_what_it_cannot_time(argv, message):
    with pytest.raises(SystemExit, match=message):
        ab.main(argv + ["--rounds", "1", "--min-time", "0.001"])


@pytest.mark.parametrize("inside", [True, False])
def test_results_name_the_tree_commit_only_for_a_build_installed_in_the_tree(inside):
    where = (run.ROOT / ".venv" if inside else Path("/elsewhere/venv")) / "site-packages"
    named = run.build_name("abc1234", where / "vardel" / "__init__.py")
    assert (named == "abc1234") is inside
    assert (str(where) in named) is not inside
