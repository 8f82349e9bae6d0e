"""Resolve a large reference list on a Dask cluster.

The subjects are cut into partitions, the candidates are sent to every
worker once, and each partition is scored on a worker with one
``refsieve.score_batch`` call. The gathered result equals one
``score_batch`` call over all subjects.

Usage:
    python examples/dask_resolve.py SUBJECTS CANDIDATES [--scheduler ADDRESS]
        [--workers N] [--partition-size N] [--top-n N] [--min-score X]
        [--output FILE] [--format jsonl|csv]

Without --scheduler a local cluster of --workers processes is started. With
--scheduler tcp://HOST:8786 the job runs on that cluster; every worker needs
the same refsieve installed. Files are read, and rows written, as by
``refsieve match``.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING

from dask.distributed import Client, LocalCluster

import refsieve
from refsieve_cli.cli import DEFAULT_MIN_SCORE
from refsieve_cli.errors import InputError
from refsieve_cli.load import read_records
from refsieve_cli.output import WRITERS
from refsieve_cli.scoring import indexed_by_position, result_rows, row_columns

if TYPE_CHECKING:
    from refsieve import Record, SubjectResult

# Subjects per task. One score_batch call holds the worker's interpreter lock
# until it returns, so keep a call to seconds, not minutes.
DEFAULT_PARTITION_SIZE = 2000


def score_partition(
    subjects: list[Record], first: int, candidates: list[Record], top_n: int, min_score: float
) -> list[SubjectResult]:
    """Runs on a worker: one score_batch call, subject positions made global."""
    results = refsieve.score_batch(subjects, candidates, top_n, min_score)
    for result in results:
        result["subject_index"] += first
    return results


def resolve_on_cluster(
    client: Client,
    subjects: Sequence[Record],
    candidates: Sequence[Record],
    top_n: int,
    min_score: float,
    partition_size: int = DEFAULT_PARTITION_SIZE,
) -> list[SubjectResult]:
    """The same list as ``refsieve.score_batch(subjects, candidates, top_n, min_score)``."""
    starts = range(0, len(subjects), partition_size)
    partitions = client.scatter([list(subjects[start : start + partition_size]) for start in starts])
    # One copy of the candidates per worker, shared by all its tasks.
    [shared_candidates] = client.scatter([list(candidates)], broadcast=True)
    tasks = client.map(
        score_partition, partitions, list(starts),
        candidates=shared_candidates, top_n=top_n, min_score=min_score, pure=False,
    )
    results: list[SubjectResult] = []
    for partition_results in client.gather(tasks):
        results.extend(partition_results)
    return results


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("subjects")
    parser.add_argument("candidates")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://HOST:8786")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes without --scheduler")
    parser.add_argument("--partition-size", type=int, default=DEFAULT_PARTITION_SIZE, metavar="N")
    parser.add_argument("--top-n", type=int, default=1, metavar="N")
    parser.add_argument("--min-score", type=float, default=DEFAULT_MIN_SCORE, metavar="X")
    parser.add_argument("--output", "-o", metavar="FILE")
    parser.add_argument("--format", choices=sorted(WRITERS), default="jsonl")
    args = parser.parse_args(argv)

    try:
        subjects = read_records(args.subjects)
        candidates = read_records(args.candidates)
    except InputError as error:
        print(f"dask_resolve: {error}", file=sys.stderr)
        return 1

    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))
        else:
            # One thread per worker: refsieve runs its own threads inside each call.
            cluster = stack.enter_context(LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                                       processes=True, dashboard_address=None))
            client = stack.enter_context(Client(cluster))
        results = resolve_on_cluster(client, subjects.records, indexed_by_position(candidates.records),
                                     args.top_n, args.min_score, args.partition_size)

    with contextlib.ExitStack() as stack:
        stream = stack.enter_context(open(args.output, "w", encoding="utf-8", newline="")) if args.output else sys.stdout
        writer = WRITERS[args.format](stream, row_columns())
        for _, _, row in result_rows(subjects, candidates, 0, (result["matches"] for result in results)):
            writer.write(row)
    return 0


if __name__ == "__main__":
    sys.exit(main())
