"""The README's recipe for converting many JSON Lines files with Dask runs on a cluster of
processes and gives what one process gives, and what `vardel encode --jsonl` gives."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import dask
import pytest
from distributed import Client, LocalCluster, get_task_stream

from vardel import EncodeOptions

ROOT = Path(__file__).parent.parent
README = ROOT / "README.md"


def recipe():
    """Returns the names the README's recipe defines."""
    blocks = re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), re.S | re.M)
    found = [b for b in blocks if "import dask.bag as db" in b]
    if not found:
        pytest.fail("no Dask recipe (a python block with `import dask.bag as db`) in README.md")
    names = {"__name__": "readme_dask_recipe"}
    exec(compile(found[0], "README.md (Dask recipe)", "exec"), names)
    return names


def write_inputs(folder):
    folder.mkdir()
    files = []
    for n in range(6):
        rows = [{"id": i, "name": f"user {i}, nº{n}", "score": i / 4, "ok": i % 2 == 0} for i in range(n * 40)]
        if n == 3:  # records that do not share their keys: the list form
            rows += [{"id": -1, "extra": {"nested": [1, 2]}}]
        text = "\n".join(json.dumps(r, ensure_ascii=False) for r in rows)
        files.append(folder / f"part-{n}.jsonl")
        files[-1].write_text("\n" + text.replace("\n", "\n\n", 1) + "\n", encoding="utf-8")  # blank lines too
    return [str(f) for f in files]


def test_recipe_on_a_cluster_of_processes_matches_one_process(tmp_path):
    names = recipe()
    options = EncodeOptions(delimiter="\t", indent=1)  # not the defaults: they must reach the workers
    alone = write_inputs(tmp_path / "alone")
    with dask.config.set(scheduler="sync"):
        written_alone = names["convert"](alone, options)
    spread = write_inputs(tmp_path / "spread")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        with get_task_stream(client) as stream:
            written_spread = names["convert"](spread, options)
        worker_pids = client.run(os.getpid)  # worker address -> its process id
    assert len(set(worker_pids.values())) == 2 and os.getpid() not in worker_pids.values()
    ran_on = {task["worker"] for task in stream.data}
    assert ran_on and ran_on <= set(worker_pids), stream.data
    assert [Path(p).name for p in written_alone] == [Path(p).name for p in written_spread] == \
        [f"part-{n}.toon" for n in range(6)]
    for a, b in zip(written_alone, written_spread):
        assert Path(a).read_bytes() == Path(b).read_bytes()
    # the same text as the command line, options included
    for path in (alone[0], alone[3], alone[5]):
        cli = subprocess.run([sys.executable, "-m", "vardel", "encode", "--delimiter", "tab", "--indent", "1", path],
                             capture_output=True, timeout=60)
        assert cli.stdout == Path(path).with_suffix(".toon").read_bytes(), cli.stderr
