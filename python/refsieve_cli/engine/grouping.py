"""Finding the groups of records in one catalogue that describe the same work.

Two steps. First the catalogue is scored against itself by the engine
(:meth:`~refsieve_cli.engine.Engine.neighbours`): every record keeps its best
neighbours (at most ``neighbours`` of them) whose total reaches ``floor``;
a record is never paired with itself. Records with the same DOI are paired
whatever their score. Only these pairs are kept, never a matrix of all pairs.

Then groups are built by average linkage. Every record starts in a group of
its own, except that records sharing a DOI start together. Repeatedly, the
two groups with the highest *mean* score over all pairs of their records
merge, as long as that mean reaches the threshold. A pair that was not kept
(it scored under the floor) counts as 0 in the mean. So a record joins a
group only when it matches most of the group's members well: a chain of
weak links A-B, B-C, C-D cannot pull A and D together, as it would if every
pair above the threshold simply joined its two records.

Merges happen in order of decreasing mean, so the groups for any threshold
are the result of the merges whose mean reaches it: :func:`linkage` runs
once and :meth:`Linkage.groups` cuts it at any threshold.
"""

from __future__ import annotations

import heapq
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

from refsieve_cli import defaults
from refsieve_cli.engine import Engine, Progress
from refsieve_cli.engine.local import LocalEngine
from refsieve_cli.records.record import RecordTable

_NUMBER = re.compile(r"[0-9]+")


@dataclass(frozen=True)
class ScoredPair:
    """Two records of one catalogue (by position, ``first < second``) and their scores."""

    first: int
    second: int
    scores: dict[str, float]
    match_type: str  # "doi" when the two records share a DOI, else "score"
    pages_differ: bool = False  # both records give a first page, and they differ

    @property
    def total(self) -> float:
        return self.scores["total_score"]


def scored_pairs(
    records: RecordTable,
    engine: Engine,
    floor: float = defaults.FLOOR,
    neighbours: int = defaults.NEIGHBOURS,
    progress: Progress | None = None,
) -> list[ScoredPair]:
    """Every pair of records that scores at least ``floor``, or shares a DOI; each pair once.

    The records are scored as given (canonicalise them first), by ``engine``
    (on this machine or on a cluster). The result is ordered by (first, second).
    """
    pairs: dict[tuple[int, int], ScoredPair] = {}
    # Records that share a DOI are paired whatever their score.
    firsts, seconds = [], []
    for group in _doi_groups(records.store.texts("doi")):
        for at, first in enumerate(group):
            firsts.extend([first] * (len(group) - at - 1))
            seconds.extend(group[at + 1 :])
    if firsts:
        shared = LocalEngine().pairs(records, records, firsts, seconds)
        for at, (first, second) in enumerate(zip(firsts, seconds)):
            pairs[first, second] = ScoredPair(first, second, shared.scores(at), "doi")
    first_pages = [first_page(pages) for pages in records.store.texts("pages")]
    found = engine.neighbours(records, neighbours, floor, progress=progress)
    for at, (subject, other) in enumerate(zip(found["subject"], found["candidate"])):
        key = (min(subject, other), max(subject, other))
        if key not in pairs:
            differ = first_pages[subject] is not None and first_pages[other] not in (None, first_pages[subject])
            pairs[key] = ScoredPair(key[0], key[1], found.scores(at), "score", differ)
    return [pairs[key] for key in sorted(pairs)]


def first_page(pages: str | None) -> str | None:
    """The first number of a page range ("pp. 37-66" gives "37"); None when there is none."""
    found = _NUMBER.search(pages) if pages else None
    return found.group(0).lstrip("0") or "0" if found else None


def _doi_groups(dois: Sequence[str | None]) -> Iterator[list[int]]:
    """The positions of records that share a non-empty DOI, one list per DOI with two or more."""
    by_doi: dict[str, list[int]] = {}
    for position, doi in enumerate(dois):
        if doi:
            by_doi.setdefault(doi, []).append(position)
    return (group for group in by_doi.values() if len(group) > 1)


@dataclass(frozen=True)
class Merge:
    """Two groups (named by their first record) joined at a mean pair score ``height``."""

    height: float
    left: int
    right: int


@dataclass
class Linkage:
    """The merges of average linkage over ``count`` records, strongest first."""

    count: int
    merges: list[Merge]

    def groups(self, threshold: float) -> list[int]:
        """For every record, its group's id: the position of the group's first record."""
        parent = list(range(self.count))

        def find(position: int) -> int:
            while parent[position] != position:
                parent[position] = parent[parent[position]]
                position = parent[position]
            return position

        for merge in self.merges:
            if merge.height < threshold:
                break
            left, right = find(merge.left), find(merge.right)
            parent[max(left, right)] = min(left, right)
        return [find(position) for position in range(self.count)]


def linkage(count: int, pairs: Sequence[ScoredPair]) -> Linkage:
    """Average linkage over ``count`` records from their scored pairs.

    Records that share a DOI (``match_type == "doi"``) are joined first, at an
    infinite height, so that every threshold keeps them together. Ties are
    broken by the groups' ids, so the result depends only on the input.
    """
    size = [1] * count
    # links[a][b]: the sum of the scores of the kept pairs between groups a and b.
    links: list[dict[int, float]] = [{} for _ in range(count)]
    merges: list[Merge] = []
    alive = [True] * count

    def join(left: int, right: int, height: float) -> int:
        keep, gone = min(left, right), max(left, right)
        if merges:
            # Means only fall from merge to merge; rounding must not make one rise.
            height = min(height, merges[-1].height)
        merges.append(Merge(height, keep, gone))
        alive[gone] = False
        size[keep] += size[gone]
        for other, total in links[gone].items():
            del links[other][gone]
            if other != keep:
                links[keep][other] = links[other][keep] = links[keep].get(other, 0.0) + total
        links[gone] = {}
        links[keep].pop(gone, None)
        return keep

    doi_parent = list(range(count))

    def doi_root(position: int) -> int:
        while doi_parent[position] != position:
            position = doi_parent[position]
        return position

    for pair in pairs:
        if pair.pages_differ:
            continue  # different first pages: different works, whatever else agrees
        total = max(pair.total, 0.0)
        left, right = pair.first, pair.second
        links[left][right] = links[right][left] = links[left].get(right, 0.0) + total
    for pair in pairs:
        if pair.match_type == "doi":
            left, right = doi_root(pair.first), doi_root(pair.second)
            if left != right:
                doi_parent[max(left, right)] = join(left, right, float("inf"))

    def mean(left: int, right: int) -> float:
        return links[left][right] / (size[left] * size[right])

    heap = [(-mean(left, right), left, right) for left in range(count) if alive[left]
            for right in links[left] if left < right]
    heapq.heapify(heap)
    while heap:
        negative, left, right = heapq.heappop(heap)
        if not (alive[left] and alive[right] and right in links[left]) or mean(left, right) != -negative:
            continue  # stale: one of the groups has changed since this entry was pushed
        kept = join(left, right, -negative)
        for other in links[kept]:
            heapq.heappush(heap, (-mean(kept, other), min(kept, other), max(kept, other)))
    return Linkage(count, merges)
