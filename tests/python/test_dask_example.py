"""examples/dask_resolve.py on a local cluster of two worker processes."""

import importlib
import os
import sys
from pathlib import Path

import pytest

import refsieve
from _support import generated_batch, module_env

distributed = pytest.importorskip("dask.distributed")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_cluster_result_equals_one_score_batch_call(monkeypatch):
    # The worker processes import the example (and refsieve) by name.
    path = os.pathsep.join([str(EXAMPLES), module_env()["PYTHONPATH"]])
    monkeypatch.setenv("PYTHONPATH", path)
    monkeypatch.syspath_prepend(str(EXAMPLES))
    example = importlib.import_module("dask_resolve")

    subjects, candidates = generated_batch(n_subjects=200, n_candidates=60)
    expected = refsieve.score_batch(subjects, candidates, 3, 30.0)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        worker_pids = set(client.run(os.getpid).values())
        # Uneven partitions, more of them than workers.
        results = example.resolve_on_cluster(client, subjects, candidates, 3, 30.0, partition_size=37)
    assert len(worker_pids) == 2 and os.getpid() not in worker_pids
    assert results == expected
    sys.modules.pop("dask_resolve", None)
