"""Scoring on a Dask cluster, for jobs too big for one machine.

The candidates go to every worker once, in the engine's compact form (a
broadcast scatter), and stay there; the subjects are cut into partitions,
and each partition is scored by one task on some worker against that
shared copy. Results come back in subject order, the same as on one
machine.

:class:`DaskEngine` is the command's engine on a cluster (``--scheduler``);
:func:`resolve_on_cluster` does the same for plain lists of record
mappings and returns what one ``refsieve.score_batch`` call would.

Needs the ``dask`` extra (``pip install 'refsieve[dask]'``), installed at
the same version on the submitting machine and on every worker.
"""

from __future__ import annotations

import contextlib
from collections.abc import Iterator, Sequence
from importlib import metadata
from typing import TYPE_CHECKING, Any

import refsieve
from distributed import Client, Future
from distributed.comm.addressing import get_address_host_port, parse_address

from refsieve_cli import _engine, defaults
from refsieve_cli.engine import Groups, Matches, Progress
from refsieve_cli.engine.local import LocalEngine
from refsieve_cli.records.record import RecordTable

if TYPE_CHECKING:
    from refsieve import Record, SubjectResult

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


def _broadcast(client: Client, value: Any) -> Future[Any]:
    """One copy of value on every worker, shared by all tasks there."""
    shared: list[Future[Any]] = client.scatter([value], broadcast=True, hash=False)
    return shared[0]


def resolve_on_cluster(client: Client, subjects: Sequence[Record], candidates: Sequence[Record], top_n: int,
                       min_score: float, partition_size: int = defaults.PARTITION_SIZE) -> list[SubjectResult]:
    """The same list as ``refsieve.score_batch(subjects, candidates, top_n, min_score)``, scored on the cluster."""
    if partition_size < 1:
        raise ValueError(f"partition_size must be 1 or more, got {partition_size}")
    starts = range(0, len(subjects), partition_size)
    partitions = client.scatter([list(subjects[start:start + partition_size]) for start in starts], hash=False)
    shared = _broadcast(client, list(candidates))
    tasks = client.map(_score_partition, partitions, list(starts), candidates=shared, top_n=top_n,
                       min_score=min_score, pure=False)
    results: list[SubjectResult] = []
    for partition in client.gather(tasks):
        results.extend(partition)
    return results


def _match_partition(subjects: _engine.Records, candidates: _engine.Records, top_n: int, min_score: float,
                     options: dict[str, Any]) -> dict[str, tuple[str, bytes]]:
    """Runs on a worker: one engine call for one partition of the subjects."""
    return dict(_engine.match(subjects, candidates, top_n, min_score, **options))


class DaskEngine:
    """The engine on the workers of a Dask cluster, one task per partition of the subjects."""

    def __init__(self, client: Client, partition_size: int = defaults.PARTITION_SIZE) -> None:
        if partition_size < 1:
            raise ValueError(f"partition_size must be 1 or more, got {partition_size}")
        self.client = client
        self.partition_size = partition_size

    def _run(self, subjects: _engine.Records, candidates: _engine.Records, top_n: int, min_score: float,
             progress: Progress | None, **options: Any) -> Matches:
        """Partitions of the subjects scored as tasks."""
        starts = range(0, len(subjects), self.partition_size)
        if not starts:
            return Matches.concatenate([])
        shared = _broadcast(self.client, candidates)
        parts = [subjects.subset(range(start, min(start + self.partition_size, len(subjects)))) for start in starts]
        tasks = [self.client.submit(_match_partition, part, shared, top_n, min_score, options, pure=False)
                 for part in parts]
        found = []
        try:
            for start, part, task in zip(starts, parts, tasks):
                found.append(Matches.from_engine(task.result()).shifted(start))
                task.release()
                if progress is not None:
                    progress(len(part))
        finally:
            self.client.cancel(tasks)
        return Matches.concatenate(found)

    def match(self, subjects: RecordTable, candidates: RecordTable, top_n: int, min_score: float, *,
              facts: bool = False, blocking: bool = False, progress: Progress | None = None) -> Matches:
        return self._run(subjects.store, candidates.store, top_n, min_score, progress, facts=facts,
                         blocking=blocking)

    def group(self, records: RecordTable, *, share: float = defaults.SHARE, exhaustive: bool = False,
              progress: Progress | None = None) -> Groups:
        # Deciding pairs takes no similarity scoring, so one machine groups what it has read.
        return LocalEngine().group(records, share=share, exhaustive=exhaustive, progress=progress)


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
