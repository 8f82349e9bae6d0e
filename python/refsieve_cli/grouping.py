"""Finding the groups of records in one catalogue that describe the same work.

Two steps. First the catalogue is scored against itself, a chunk of records
at a time, with ``refsieve.score_batch``: every record keeps its best
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
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import refsieve

from refsieve_cli import scoring
from refsieve_cli.load import Records

if TYPE_CHECKING:
    from refsieve import Match, Record

    from refsieve_cli.scoring import Scorer

_NUMBER = re.compile(r"[0-9]+")

DEFAULT_FLOOR = 70.0
DEFAULT_NEIGHBOURS = 1000


@dataclass(frozen=True)
class ScoredPair:
    """Two records of one catalogue (by position, ``first < second``) and their scores."""

    first: int
    second: int
    match: Match
    match_type: str  # "doi" when the two records share a DOI, else "score"
    pages_differ: bool = False  # both records give a first page, and they differ

    @property
    def total(self) -> float:
        return self.match["total_score"]


def scored_pairs(
    records: Records,
    floor: float = DEFAULT_FLOOR,
    neighbours: int = DEFAULT_NEIGHBOURS,
    chunk_size: int = 256,
    progress: Callable[[int], None] | None = None,
    scorer: Scorer = scoring.score,
) -> list[ScoredPair]:
    """Every pair of records that scores at least ``floor``, or shares a DOI; each pair once.

    The records are scored as given (canonicalise them first), in bounded
    calls as ``match`` scores them, by ``scorer`` (on this machine or on a
    cluster). The result is ordered by (first, second).
    """
    by_position = [_at_position(record, position) for position, record in enumerate(records.records)]
    pairs: dict[tuple[int, int], ScoredPair] = {}
    for group in _doi_groups(records.records):
        # Records that share a DOI are paired whatever their score; the DOI
        # shortcut scores one candidate, so each pair is scored on its own.
        for at, first in enumerate(group):
            for second in group[at + 1 :]:
                [result] = refsieve.score_batch([by_position[first]], [by_position[second]], 1, float("-inf"))
                pairs[first, second] = ScoredPair(first, second, result["matches"][0], "doi")
    # Subjects keep no DOI: otherwise the DOI shortcut would return the
    # subject itself (or the first record with its DOI) instead of its neighbours.
    subjects = Records(records=[_without_doi(record) for record in records.records])
    first_pages = [first_page(record["pages"]) for record in records.records]
    for start, count, matches in scorer(subjects, records, neighbours + 1, floor, chunk_size, scoring.CALL_BUDGET_NS):
        for subject, subject_matches in enumerate(matches, start=start):
            for match in subject_matches:
                other = match["candidate_index"]
                key = (min(subject, other), max(subject, other))
                if other != subject and key not in pairs:
                    differ = first_pages[subject] is not None and first_pages[other] not in (None, first_pages[subject])
                    pairs[key] = ScoredPair(key[0], key[1], match, "score", differ)
        if progress is not None:
            progress(count)
    return [pairs[key] for key in sorted(pairs)]


def first_page(pages: str | None) -> str | None:
    """The first number of a page range ("pp. 37-66" gives "37"); None when there is none."""
    found = _NUMBER.search(pages) if pages else None
    return found.group(0).lstrip("0") or "0" if found else None


def _at_position(record: Record, position: int) -> Record:
    copy = record.copy()
    copy["index"] = position
    return copy


def _without_doi(record: Record) -> Record:
    copy = record.copy()
    copy["doi"] = None
    return copy


def _doi_groups(records: Sequence[Record]) -> Iterator[list[int]]:
    """The positions of records that share a non-empty DOI, one list per DOI with two or more."""
    by_doi: dict[str, list[int]] = {}
    for position, record in enumerate(records):
        doi = record["doi"]
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
