"""Scoring and grouping on a Dask cluster, for jobs too big for one machine.

A blocked match (``--blocking``) and grouping (``dedupe``) find their pairs
on the submitting machine with the candidates' keys, then cut the work into
blocks: each task receives one partition of the subjects (for grouping, of
the pairs, by ranges of their first records), the records its pairs name,
and its pairs in positions local to those records, so no worker holds the
whole catalogue. A match without blocking scores every subject against
every candidate: the candidates go to every worker once, in the engine's
compact form (a broadcast scatter), and each partition of the subjects is
scored by one task against that shared copy. Either way the results are
those of one machine, in the same order.

:class:`DaskEngine` is the command's engine on a cluster (``--scheduler``);
:func:`resolve_on_cluster` does the same for plain lists of record
mappings and returns what one ``refsieve.score_batch`` call would.

Needs the ``dask`` extra (``pip install 'refsieve[dask]'``), installed at
the same version on the submitting machine and on every worker.
"""

from __future__ import annotations

import contextlib
import pickle
import time
from array import array
from bisect import bisect_left
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, replace
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
# What the candidates' keys counted, as a blocked match and grouping report it.
KEY_COUNTS = ("keys", "keys_skipped", "records_skipped")
# What grouping counts of the components it found along the SAME pairs.
COMPONENT_COUNTS = ("components", "largest_component", "components_from_candidates")


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


def _match_block(shipped: bytes, top_n: int, min_score: float, facts: bool) -> dict[str, tuple[str, bytes]]:
    """Runs on a worker: a block's subjects, each scored against the candidates its pairs name."""
    subjects, candidates, pair_subjects, pair_candidates = pickle.loads(shipped)
    return dict(_engine.match(subjects, candidates, top_n, min_score, facts=facts,
                              among=(pair_subjects, pair_candidates)))


def _decide_block(shipped: bytes) -> tuple[array[int], int]:
    """Runs on a worker: the decision on a block's pairs. Returns the offsets of the pairs decided
    SAME among them, and how many were decided DIFFERENT."""
    records, firsts, seconds, frequencies = pickle.loads(shipped)
    found = _engine.decide_pairs(records, records, firsts, seconds, title_frequencies=frequencies)
    verdicts = _engine.decision_names()["verdicts"]
    same, different = verdicts.index("same"), verdicts.index("different")
    decided = memoryview(found["verdict"][1]).cast("B")
    return array("I", [at for at, verdict in enumerate(decided) if verdict == same]), decided.tolist().count(different)


def _pickled(value: Any) -> bytes:
    """A task's data as it is sent: pickled here, so that what it costs to send is known."""
    return pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)


@dataclass(frozen=True)
class Block:
    """One task's share of a blocked call: what it is sent, and what it takes to put its answer in place.

    ``start`` is the first subject (for grouping, the offset of the first pair) of the block and
    ``size`` the subjects (records) it answers for; ``positions`` are the global positions of the
    catalogue's records sent with them (the candidates, or for grouping the records), ascending, and
    ``records`` their number; ``shipped`` is what the task receives, pickled, or None when the block
    has no pair and needs no task.
    """

    start: int
    size: int
    records: int
    pairs: int
    positions: Sequence[int]
    shipped: bytes | None


@dataclass(frozen=True)
class MatchProposal:
    """The pairs that the candidates' keys propose for the subjects, as one machine's blocked match takes them.

    A subject whose DOI a candidate has takes that candidate alone (``shortcut``) and is not searched,
    so its pairs are neither proposed nor counted. ``searched`` are the other subjects; ``first``
    (positions in ``searched``, ascending) and ``second`` (candidate positions) are the pairs.
    """

    searched: Sequence[int]
    shortcut: dict[int, int]
    first: Sequence[int]
    second: Sequence[int]
    counts: dict[str, int]


def propose_for_match(subjects: _engine.Records, candidates: _engine.Records) -> MatchProposal:
    """The DOI shortcuts of the subjects, found as the engine finds them (the first candidate with the
    same non-empty DOI), and the pairs the keys propose for the other subjects, with their counts."""
    dois = subjects.texts("doi")
    wanted = {doi for doi in dois if doi}
    first_with: dict[str, int] = {}
    if wanted:
        for position, doi in enumerate(candidates.texts("doi")):
            if doi in wanted and doi not in first_with:
                first_with[doi] = position
    shortcut = {subject: first_with[doi] for subject, doi in enumerate(dois) if doi and doi in first_with}
    searched: Sequence[int] = range(len(subjects))
    searched_store = subjects
    if shortcut:
        searched = [subject for subject in range(len(subjects)) if subject not in shortcut]
        searched_store = subjects.subset(searched)
    found = _engine.proposed_pairs(searched_store, candidates)
    first, second = (memoryview(found[name][1]).cast(found[name][0]) for name in ("first", "second"))
    counts = found["counts"]
    return MatchProposal(searched, shortcut, first, second,
                         {"pairs": len(first), **{name: counts[name] for name in KEY_COUNTS}})


def match_blocks(subjects: _engine.Records, candidates: _engine.Records, proposal: MatchProposal,
                 partition_size: int) -> Iterator[Block]:
    """The subjects cut into partitions, each with the candidates that its pairs and DOIs name and its pairs
    in local positions. The candidates keep their order, which breaks ties between equal scores."""
    for start in range(0, len(subjects), partition_size):
        end = min(start + partition_size, len(subjects))
        lo, hi = bisect_left(proposal.searched, start), bisect_left(proposal.searched, end)
        at, until = bisect_left(proposal.first, lo), bisect_left(proposal.first, hi)
        pair_candidates = proposal.second[at:until]
        named = set(pair_candidates)
        named.update(proposal.shortcut[subject] for subject in range(start, end) if subject in proposal.shortcut)
        positions = sorted(named)
        if not positions:
            yield Block(start, end - start, 0, 0, positions, None)
            continue
        local = {position: place for place, position in enumerate(positions)}
        searched = proposal.searched
        pair_subjects = array("I", [searched[subject] - start for subject in proposal.first[at:until]])
        shipped = (subjects.subset(range(start, end)), candidates.subset(positions), pair_subjects,
                   array("I", [local[candidate] for candidate in pair_candidates]))
        yield Block(start, end - start, len(positions), until - at, positions, _pickled(shipped))


def group_blocks(records: _engine.Records, first: Sequence[int], second: Sequence[int],
                 title_frequencies: Sequence[int], partition_size: int) -> Iterator[Block]:
    """The proposed pairs (first < second, sorted) cut by ranges of partition_size first records, each block
    with the records its pairs name, their title frequencies in the whole catalogue, and its pairs in local
    positions. ``start`` is the offset of the block's first pair."""
    at = 0
    for begin in range(0, len(records), partition_size):
        end = min(begin + partition_size, len(records))
        until = bisect_left(first, end, at)
        firsts, seconds = first[at:until], second[at:until]
        positions = sorted(set(firsts).union(seconds))
        shipped = None
        if positions:
            local = {position: place for place, position in enumerate(positions)}
            part = (records.subset(positions), array("I", [local[k] for k in firsts]),
                    array("I", [local[k] for k in seconds]), array("I", [title_frequencies[k] for k in positions]))
            shipped = _pickled(part)
        yield Block(at, end - begin, len(positions), until - at, positions, shipped)
        at = until


@dataclass(frozen=True)
class Load:
    """What one task of a blocked call was sent: the catalogue's records (the candidates, for a match;
    a match's partition of subjects comes besides), the pairs, and the bytes (pickled)."""

    records: int
    pairs: int
    bytes: int


class DaskEngine:
    """The engine on the workers of a Dask cluster, one task per partition of the subjects.

    With blocking, and for grouping, each task receives only its partition and the records that the
    partition's pairs name, so no worker holds the whole catalogue. For the last such call, ``loads``
    tells what each task received and ``seconds`` where the time went: on this machine ``propose``
    (the pairs), ``blocks`` (cutting and packing them), ``collect`` (putting the answers in place) and
    ``group``; ``tasks``, shipping the blocks and waiting for the workers.
    """

    def __init__(self, client: Client, partition_size: int = defaults.PARTITION_SIZE) -> None:
        if partition_size < 1:
            raise ValueError(f"partition_size must be 1 or more, got {partition_size}")
        self.client = client
        self.partition_size = partition_size
        self.loads: list[Load] = []
        self.seconds: dict[str, float] = {}

    def _run(self, subjects: _engine.Records, candidates: _engine.Records, top_n: int, min_score: float,
             progress: Progress | None, **options: Any) -> Matches:
        """Partitions of the subjects scored as tasks, each against every candidate."""
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

    def _run_blocks(self, function: Callable[..., Any], blocks: Iterable[Block], options: dict[str, Any],
                    take: Callable[[Block, Any], None], progress: Progress | None) -> None:
        """One task per block that has pairs, with a few more in flight than the workers have threads, so
        that only the blocks on their way, not every block at once, take this machine's memory.
        take(block, result) receives the tasks' results in the order of the blocks."""
        window = max(2, 2 * sum(self.client.nthreads().values()))
        # Each block in flight: its task, and its data, sent to a worker ahead of the task rather than inside
        # the task graph, which goes through the scheduler.
        running: deque[tuple[Block, Future[Any], Future[Any]]] = deque()
        started = time.perf_counter()
        local = {"blocks": 0.0, "collect": 0.0}

        def finish_first() -> None:
            block, task, data = running[0]
            found = task.result()
            # Taken off only once answered: a task that failed is still let go below.
            running.popleft()
            task.release()
            data.release()
            taken = time.perf_counter()
            take(block, found)
            local["collect"] += time.perf_counter() - taken
            if progress is not None:
                progress(block.size)

        try:
            remaining = iter(blocks)
            while True:
                cut = time.perf_counter()
                block = next(remaining, None)
                local["blocks"] += time.perf_counter() - cut
                if block is None:
                    break
                if block.shipped is None:
                    if progress is not None:
                        progress(block.size)
                    continue
                while len(running) >= window:
                    finish_first()
                self.loads.append(Load(block.records, block.pairs, len(block.shipped)))
                data = self.client.scatter(block.shipped, hash=False)
                running.append((block, self.client.submit(function, data, pure=False, **options), data))
            while running:
                finish_first()
        finally:
            self.client.cancel([future for _, task, data in running for future in (task, data)])
        self.seconds.update(local, tasks=time.perf_counter() - started - sum(local.values()))

    def _began(self) -> float:
        self.loads = []
        self.seconds = {}
        return time.perf_counter()

    def match(self, subjects: RecordTable, candidates: RecordTable, top_n: int, min_score: float, *,
              facts: bool = False, blocking: bool = False, progress: Progress | None = None) -> Matches:
        if not blocking:
            # Every subject against every candidate: each worker needs them all.
            return self._run(subjects.store, candidates.store, top_n, min_score, progress, facts=facts)
        began = self._began()
        proposal = propose_for_match(subjects.store, candidates.store)
        self.seconds["propose"] = time.perf_counter() - began
        empty = Matches.from_engine(_engine.match(subjects.store.subset([]), candidates.store.subset([]), top_n,
                                                  min_score, facts=facts))
        parts = [empty]

        def take(block: Block, found: dict[str, tuple[str, bytes]]) -> None:
            part = Matches.from_engine(found)
            columns = dict(part.columns)
            columns["subject"] = [block.start + subject for subject in part["subject"]]
            columns["candidate"] = [block.positions[candidate] for candidate in part["candidate"]]
            parts.append(Matches(columns))

        self._run_blocks(_match_block, match_blocks(subjects.store, candidates.store, proposal, self.partition_size),
                         {"top_n": top_n, "min_score": min_score, "facts": facts}, take, progress)
        found = Matches.concatenate(parts[1:] or parts)
        return Matches(found.columns, proposal.counts)

    def same_pairs(self, records: RecordTable, progress: Progress | None = None) -> tuple[
            array[int], array[int], dict[str, int]]:
        """The pairs the keys propose within the catalogue that the decision calls SAME (first < second,
        sorted), decided on the workers, and what proposing and deciding them counted."""
        began = self._began()
        found = _engine.proposed_pairs(records.store)
        first, second = (memoryview(found[name][1]).cast(found[name][0]) for name in ("first", "second"))
        fmt, data = _engine.title_frequencies(records.store)
        frequencies = array(fmt, data)
        self.seconds["propose"] = time.perf_counter() - began
        same_first, same_second = array("I"), array("I")
        different = 0

        def take(block: Block, decided: tuple[array[int], int]) -> None:
            nonlocal different
            offsets, count = decided
            same_first.extend(first[block.start + at] for at in offsets)
            same_second.extend(second[block.start + at] for at in offsets)
            different += count

        self._run_blocks(_decide_block, group_blocks(records.store, first, second, frequencies, self.partition_size),
                         {}, take, progress)
        counts = {name: found["counts"][name] for name in KEY_COUNTS}
        counts.update(pairs_decided=len(first), same_pairs=len(same_first), different_pairs=different)
        return same_first, same_second, counts

    def group(self, records: RecordTable, *, share: float = defaults.SHARE, exhaustive: bool = False,
              progress: Progress | None = None) -> Groups:
        if exhaustive:
            # Every pair of the catalogue is decided: too many to send, so one machine decides them.
            return LocalEngine().group(records, share=share, exhaustive=True, progress=progress)
        first, second, counts = self.same_pairs(records, progress)
        began = time.perf_counter()
        groups = Groups.from_engine(_engine.group(records.store, share=share, same=(first, second)))
        self.seconds["group"] = time.perf_counter() - began
        # Finding the components counts here; finding and deciding the pairs counted on the cluster.
        return replace(groups, counts={**counts, **{name: groups.counts[name] for name in COMPONENT_COUNTS}})


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
