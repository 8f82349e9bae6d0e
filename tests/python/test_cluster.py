"""Scoring on a Dask cluster: a local cluster of two worker processes."""

import json
import os
import pickle
import random

import pytest

import refsieve
from _support import generated_batch, module_env, record, run_cli

distributed = pytest.importorskip("dask.distributed")
cluster_module = pytest.importorskip("refsieve_cli.engine.dask")

from refsieve_cli import _engine  # noqa: E402
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


@pytest.mark.parametrize("command", ["match", "match-blocking", "dedupe"])
def test_commands_with_scheduler_write_what_one_machine_writes(cluster, tmp_path, command):
    subjects, candidates = generated_batch(n_subjects=80, n_candidates=50)
    for name, records in (("s.jsonl", subjects), ("c.jsonl", candidates)):
        (tmp_path / name).write_text("".join(json.dumps(r) + "\n" for r in records), encoding="utf-8")
    if command.startswith("match"):
        args = ("match", tmp_path / "s.jsonl", tmp_path / "c.jsonl", "--top-n", 3, "--min-score", 40,
                "--chunk-size", 9, "--include", "title", "--format", "csv")
        args += ("--blocking",) if command == "match-blocking" else ()
    else:
        args = ("dedupe", tmp_path / "s.jsonl", tmp_path / "c.jsonl", "--chunk-size", 9, "--format", "csv",
                "--pairs", tmp_path / "pairs.csv")
    here = run_cli(*args)
    pairs_here = (tmp_path / "pairs.csv").read_text() if command == "dedupe" else ""
    there = run_cli(*args, "--scheduler", cluster.scheduler_address)
    assert here.returncode == 0 and there.returncode == 0, there.stderr
    assert there.stdout == here.stdout and there.stdout.count("\n") > 20
    assert there.stderr == here.stderr
    assert command != "dedupe" or (tmp_path / "pairs.csv").read_text() == pairs_here



def crowded_batch(seed=7, crowd=2100):
    """generated_batch's records (ties, shared DOIs) and a crowd of one year, one journal issue and titles
    that begin alike: more records than a key may pair, so the keys pass over them. Some of the crowd are
    written twice, and some are subjects."""
    rng = random.Random(seed)
    syllables = ["ka", "lo", "mi", "ner", "sto", "vu", "pra", "ge", "tin", "dro"]

    def word():
        return "".join(rng.choice(syllables) for _ in range(3))

    subjects, candidates = generated_batch(n_subjects=200, n_candidates=150)
    members = [record(index=20000 + i, title=f"Neural network methods image analysis {word()} {word()}",
                      author=f"{word().title()}, A.", year=2001, journal="Crowd Letters", volume="3", number="1",
                      pages=f"{i + 1}-{i + 5}") for i in range(crowd)]
    members += [dict(member, index=member["index"] + 10000, title=member["title"].upper()) for member in members[:60]]
    subjects += [dict(member, index=member["index"] + 50000) for member in members[100:160]]
    return (RecordTable.of(Record(**fields) for fields in side) for side in (subjects, candidates + members))


@pytest.fixture(scope="module")
def crowded():
    return tuple(crowded_batch())


def columns(found):
    return {name: list(values) for name, values in found.columns.items()}


@pytest.mark.parametrize("partition_size, facts", [(1, False), (37, True), (64, False), (100_000, False)])
def test_blocked_match_on_the_cluster_equals_one_machine(client, crowded, partition_size, facts):
    subjects, candidates = crowded
    here = on_this_machine().match(subjects, candidates, 3, 30.0, facts=facts, blocking=True)
    engine = cluster_module.DaskEngine(client, partition_size=partition_size)
    done = []
    there = engine.match(subjects, candidates, 3, 30.0, facts=facts, blocking=True, progress=done.append)
    # The data has what makes blocking differ from scoring every pair: keys passed over, ties between
    # candidates, subjects that take the candidate with their DOI.
    assert here.counts["keys_skipped"] > 0 and sum(here["doi"]) > 0
    assert any(here["subject"][at] == here["subject"][at - 1]
               and here["total_score"][at] == here["total_score"][at - 1] for at in range(1, len(here)))
    assert columns(there) == columns(here) and there.counts == here.counts
    assert sum(done) == len(subjects)
    # No task is sent the whole catalogue; small partitions make several tasks.
    assert engine.loads and all(load.records < len(candidates) for load in engine.loads)
    assert len(engine.loads) > 1 or partition_size >= len(subjects)


@pytest.mark.parametrize("partition_size", [1, 50, 700, 100_000])
def test_grouping_on_the_cluster_equals_one_machine(client, crowded, partition_size):
    records = crowded[1]
    here = on_this_machine().group(records)
    engine = cluster_module.DaskEngine(client, partition_size=partition_size)
    done = []
    there = engine.group(records, progress=done.append)
    assert here.counts["keys_skipped"] > 0 and here.counts["same_pairs"] > 0
    assert (list(there.group), list(there.first), list(there.second), list(there.reason), list(there.strength)) == \
        (list(here.group), list(here.first), list(here.second), list(here.reason), list(here.strength))
    assert there.counts == here.counts
    assert sum(done) == len(records)
    assert engine.loads and all(load.records < len(records) for load in engine.loads)
    # The SAME pairs the workers found are those one machine decides SAME.
    first, second, counts = engine.same_pairs(records)
    alone = _engine.same_pairs(records.store)
    assert (list(first), list(second)) == tuple(list(memoryview(alone[name][1]).cast(alone[name][0]))
                                                for name in ("first", "second"))
    assert counts == {name: alone["counts"][name] for name in counts}


def distinct_records(count, **fields):
    words = "alpha beta gamma delta epsilon zeta eta theta".split()
    return [record(index=i, title=f"{words[i % 8]} {i}", author=f"Person{i}, A.", year=1950 + i, **fields)
            for i in range(count)]


@pytest.mark.parametrize("subjects, candidates", [
    pytest.param([], distinct_records(5), id="no subjects"),
    pytest.param([record(index=1, title="Nothing Alike Here", author="Nobody, N.", year=1700)], distinct_records(5),
                 id="no pair at all"),
    pytest.param([dict(r, doi=f"10.9/{r['index']}", title="Other") for r in distinct_records(5)],
                 [dict(r, doi=f"10.9/{r['index']}") for r in distinct_records(5)] * 2, id="every subject by DOI"),
])
def test_blocked_match_without_tasks_to_run(client, subjects, candidates):
    subjects, candidates = (RecordTable.of(Record(**fields) for fields in side) for side in (subjects, candidates))
    here = on_this_machine().match(subjects, candidates, 2, 0.0, facts=True, blocking=True)
    there = cluster_module.DaskEngine(client, partition_size=2).match(subjects, candidates, 2, 0.0, facts=True,
                                                                     blocking=True)
    assert columns(there) == columns(here) and there.counts == here.counts


@pytest.mark.parametrize("count", [0, 1, 6])
def test_grouping_of_catalogues_without_pairs(client, count):
    records = RecordTable.of(Record(**fields) for fields in distinct_records(count))
    here = on_this_machine().group(records)
    there = cluster_module.DaskEngine(client, partition_size=2).group(records)
    assert (list(there.group), there.counts) == (list(here.group), here.counts)


def test_a_failing_task_stops_the_call_and_cancels_the_rest(client, crowded, monkeypatch):
    subjects, candidates = crowded
    proposal = cluster_module.propose_for_match(subjects.store, candidates.store)
    blocks = list(cluster_module.match_blocks(subjects.store, candidates.store, proposal, 8))
    broken = next(at for at, block in enumerate(blocks) if block.shipped is not None)
    blocks[broken] = cluster_module.Block(0, 8, 1, 1, [0], pickle.dumps("not a block"))
    monkeypatch.setattr(cluster_module, "match_blocks", lambda *args: iter(blocks))
    with pytest.raises(ValueError):
        cluster_module.DaskEngine(client, partition_size=8).match(subjects, candidates, 3, 30.0, blocking=True)
    # Every task was let go: none is left on the cluster for this client.
    assert not client.futures
