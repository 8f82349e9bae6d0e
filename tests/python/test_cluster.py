"""Scoring on a Dask cluster: a local cluster of two worker processes."""

import json
import os

import pytest

import refsieve
from _support import generated_batch, module_env, run_cli

distributed = pytest.importorskip("dask.distributed")
cluster_module = pytest.importorskip("refsieve_cli.engine.dask")

from refsieve_cli.engine import on_this_machine  # noqa: E402
from refsieve_cli.records.record import Record, RecordTable  # noqa: E402


@pytest.fixture(scope="module")
def cluster():
    # The worker processes import refsieve and refsieve_cli from where this process does.
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = module_env()["PYTHONPATH"]
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as local:
            yield local
    finally:
        if saved is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = saved


@pytest.fixture
def client(cluster):
    with distributed.Client(cluster) as connected:
        yield connected


def test_cluster_result_equals_one_score_batch_call(client):
    subjects, candidates = generated_batch(n_subjects=200, n_candidates=60)
    expected = refsieve.score_batch(subjects, candidates, 3, 30.0)
    worker_pids = set(client.run(os.getpid).values())
    # Uneven partitions, more of them than workers.
    results = cluster_module.resolve_on_cluster(client, subjects, candidates, 3, 30.0, partition_size=37)
    assert len(worker_pids) == 2 and os.getpid() not in worker_pids
    assert results == expected


def test_the_commands_partitions_score_on_the_cluster_as_here(client):
    subjects, candidates = (RecordTable.of(Record(**record) for record in side)
                            for side in generated_batch(n_subjects=60, n_candidates=40))
    here = on_this_machine().match(subjects, candidates, 3, 30.0)
    # Small partitions: more tasks than workers, each partition's subjects counted from its start.
    there = cluster_module.DaskEngine(client, partition_size=7).match(subjects, candidates, 3, 30.0)
    assert len(here) > 20
    assert {name: list(values) for name, values in there.columns.items()} == \
        {name: list(values) for name, values in here.columns.items()}
    # Groups of one catalogue: the same on the cluster.
    here_groups = on_this_machine().group(candidates)
    there_groups = cluster_module.DaskEngine(client, partition_size=7).group(candidates)
    assert list(there_groups.group) == list(here_groups.group)


@pytest.mark.parametrize("command", ["match", "dedupe"])
def test_commands_with_scheduler_write_what_one_machine_writes(cluster, tmp_path, command):
    subjects, candidates = generated_batch(n_subjects=80, n_candidates=50)
    for name, records in (("s.jsonl", subjects), ("c.jsonl", candidates)):
        (tmp_path / name).write_text("".join(json.dumps(r) + "\n" for r in records), encoding="utf-8")
    if command == "match":
        args = ("match", tmp_path / "s.jsonl", tmp_path / "c.jsonl", "--top-n", 3, "--min-score", 40,
                "--chunk-size", 9, "--include", "title", "--format", "csv")
    else:
        args = ("dedupe", tmp_path / "s.jsonl", tmp_path / "c.jsonl", "--chunk-size", 9, "--format", "csv",
                "--pairs", tmp_path / "pairs.csv")
    here = run_cli(*args)
    pairs_here = (tmp_path / "pairs.csv").read_text() if command == "dedupe" else ""
    there = run_cli(*args, "--scheduler", cluster.scheduler_address)
    assert here.returncode == 0 and there.returncode == 0, there.stderr
    assert there.stdout == here.stdout and there.stdout.count("\n") > 20
    assert there.stderr == here.stderr
    assert command == "match" or (tmp_path / "pairs.csv").read_text() == pairs_here

