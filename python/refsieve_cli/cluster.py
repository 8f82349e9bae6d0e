"""Scoring on a Dask cluster, for jobs too big for one machine.

The candidates go to every worker once (a broadcast scatter) and stay
there; the subjects are cut into pieces, and each piece is scored on some
worker against that shared copy. Results come back in subject order.

:func:`resolve_on_cluster` does this for a plain list of subjects and
returns what one ``refsieve.score_batch`` call would. :func:`connect` and
:func:`scorer` serve ``refsieve match --scheduler``: there the pieces are
the very chunks (and candidate blocks) that the command scores on one
machine (:func:`refsieve_cli.scoring.score_chunk`), so the rows written are
the same, in the same order.

Needs the ``dask`` extra (``pip install 'refsieve[dask]'``), installed at
the same version on the submitting machine and on every worker.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator, Sequence
from importlib import metadata
from typing import TYPE_CHECKING

import refsieve
from distributed import Client, Future
from distributed.comm.addressing import get_address_host_port, parse_address

from refsieve_cli.load import Records
from refsieve_cli.scoring import CALL_BUDGET_NS, planned, score_chunk

if TYPE_CHECKING:
    from refsieve import Match, Record, SubjectResult
    from refsieve_cli.scoring import ChunkScores, Scorer

# Subjects per task in resolve_on_cluster. One score_batch call holds its
# worker's interpreter lock until it returns, and a worker that cannot
# answer the scheduler for long is taken for dead: keep a call to seconds.
DEFAULT_PARTITION_SIZE = 2000
# Seconds to wait for the scheduler to answer.
CONNECT_TIMEOUT = 10.0


class ClusterError(Exception):
    """The cluster cannot be used: unreachable, without workers, or with another refsieve."""


def _score_partition(subjects: list[Record], first: int, candidates: list[Record], top_n: int,
                     min_score: float) -> list[SubjectResult]:
    """Runs on a worker: one score_batch call, subject positions made global."""
    results = refsieve.score_batch(subjects, candidates, top_n, min_score)
    for result in results:
        result["subject_index"] += first
    return results


def _broadcast(client: Client, records: Sequence[Record]) -> Future[list[Record]]:
    """One copy of the records on every worker, shared by all tasks there."""
    shared: list[Future[list[Record]]] = client.scatter([list(records)], broadcast=True, hash=False)
    return shared[0]


def resolve_on_cluster(client: Client, subjects: Sequence[Record], candidates: Sequence[Record], top_n: int,
                       min_score: float, partition_size: int = DEFAULT_PARTITION_SIZE) -> list[SubjectResult]:
    """The same list as ``refsieve.score_batch(subjects, candidates, top_n, min_score)``, scored on the cluster."""
    if partition_size < 1:
        raise ValueError(f"partition_size must be 1 or more, got {partition_size}")
    starts = range(0, len(subjects), partition_size)
    partitions = client.scatter([list(subjects[start:start + partition_size]) for start in starts], hash=False)
    shared = _broadcast(client, candidates)
    tasks = client.map(_score_partition, partitions, list(starts), candidates=shared, top_n=top_n,
                       min_score=min_score, pure=False)
    results: list[SubjectResult] = []
    for partition in client.gather(tasks):
        results.extend(partition)
    return results


def score_on_cluster(client: Client, subjects: Records, candidates: Records, top_n: int, min_score: float,
                     chunk_size: int, budget: float = CALL_BUDGET_NS) -> ChunkScores:
    """What :func:`refsieve_cli.scoring.score` yields, each chunk scored by a task on the cluster."""
    scored, plan = planned(subjects, candidates, chunk_size, budget)
    if not subjects.records:
        # Nothing to send: the one empty chunk has no matches.
        yield from ((start, stop - start, []) for start, stop in plan.chunks)
        return
    shared = _broadcast(client, scored)
    chunks = client.scatter([subjects.records[start:stop] for start, stop in plan.chunks], hash=False)
    tasks = client.map(score_chunk, chunks, scored=shared, blocks=plan.blocks, top_n=top_n, min_score=min_score,
                       pure=False)
    for (start, stop), task in zip(plan.chunks, tasks):
        matches: list[list[Match]] = task.result()
        task.release()
        yield start, stop - start, matches


def scorer(client: Client) -> Scorer:
    """A scorer for :func:`refsieve_cli.scoring.match_rows` that runs on the client's cluster."""
    def run(subjects: Records, candidates: Records, top_n: int, min_score: float, chunk_size: int,
            budget: float) -> ChunkScores:
        return score_on_cluster(client, subjects, candidates, top_n, min_score, chunk_size, budget)
    return run


def _installed_version() -> str | None:
    try:
        return metadata.version("refsieve")
    except metadata.PackageNotFoundError:
        return None


def check_workers(client: Client, address: str) -> None:
    """Raises :class:`ClusterError` unless the cluster has workers, each with this machine's refsieve."""
    found = client.run(metadata.version, "refsieve", on_error="return")
    if not found:
        raise ClusterError(f"the Dask scheduler at {address} has no workers")
    here = _installed_version()
    for worker, version in sorted(found.items()):
        there = None if isinstance(version, BaseException) else version
        if there != here:
            raise ClusterError(f"Dask worker {worker} has refsieve {there or '(not installed)'}, this machine"
                               f" {here or '(not installed)'}: install the same version on every worker")


@contextlib.contextmanager
def connect(address: str, timeout: float = CONNECT_TIMEOUT) -> Iterator[Client]:
    """A client of the scheduler at ``address``, checked with :func:`check_workers`; closed on leaving."""
    try:
        # A network address without a port is told at once (a client made with one lingers on closing).
        if parse_address(address)[0] in ("tcp", "tls"):
            get_address_host_port(address)
        client = Client(address, timeout=timeout, set_as_default=False)
    except (OSError, ValueError) as error:
        raise ClusterError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    with client:
        check_workers(client, address)
        yield client
