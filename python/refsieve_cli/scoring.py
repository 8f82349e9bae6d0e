"""Scoring in bounded calls, and the rows that come out.

One ``score_batch`` call cannot be interrupted, and it converts all the
records it is given. So the subjects are scored in chunks, and when the
candidates are many (or long) they are cut into blocks too, each call
kept to about :data:`CALL_BUDGET_NS` of work: Ctrl-C is then answered
within about a second. The estimate of a call's work counts the
conversion of every record, a fixed cost per pair, and the product of
the lengths of the texts compared (similarity takes time in proportion
to it).

The results of the blocks are merged per subject as one call over all
candidates would give them: a DOI match (the first candidate with the
subject's DOI) alone, otherwise the best ``top_n`` by total score.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import refsieve

from refsieve_cli.load import Records

if TYPE_CHECKING:
    from refsieve import Match, Record

    # (first subject, subject count, matches per subject) for each chunk, in subject order.
    ChunkScores = Iterator[tuple[int, int, list[list[Match]]]]
    # Scores subjects against candidates as :func:`score` does, taking the same arguments.
    Scorer = Callable[[Records, Records, int, float, int, float], ChunkScores]

# Work per call, in nanoseconds of the estimate below on two cores.
CALL_BUDGET_NS = 250_000_000
# Estimated costs, measured on DBLP-ACM and on generated long texts (two cores).
CONVERT_NS = 4_000  # one record converted into native form
PAIR_NS = 100  # one pair scored, texts aside
CHAR_PAIR_NS = 0.02  # per unit of the product of two records' text lengths

SCORES = ("total_score", "title_score", "author_score", "date_score", "bonus_score")
ROW_COLUMNS = ("subject_index", "subject_key", "candidate_index", "candidate_key", "match_type", *SCORES)


def weight(record: Record) -> int:
    """The length of the texts that similarity compares."""
    return len(record["title"]) + len(record["author"]) + len(record["publisher"] or "")


def call_cost(subjects: int, subject_weight: int, candidates: int, candidate_weight: int) -> float:
    """Estimated nanoseconds for one call on these records."""
    return (CONVERT_NS * (subjects + candidates) + PAIR_NS * subjects * candidates
            + CHAR_PAIR_NS * subject_weight * candidate_weight)


@dataclass(frozen=True)
class Plan:
    """Subject chunks and candidate blocks, as (start, stop) ranges."""

    chunks: list[tuple[int, int]]
    blocks: list[tuple[int, int]]


def plan_calls(subject_weights: Sequence[int], candidate_weights: Sequence[int], chunk_size: int,
               budget: float = CALL_BUDGET_NS) -> Plan:
    """Cuts the work so that every call stays near ``budget`` (and at most ``chunk_size`` subjects)."""
    n_subjects, n_candidates = len(subject_weights), len(candidate_weights)
    mean_subject = sum(subject_weights) / n_subjects if n_subjects else 0.0
    # Subjects per call wanted: the chunk size, unless a balanced cut of both sides is cheaper.
    wanted = max(1, min(chunk_size, n_subjects))
    total_weight = sum(candidate_weights)
    if call_cost(wanted, int(wanted * mean_subject), n_candidates, total_weight) <= budget:
        blocks = [(0, n_candidates)]
    else:
        wanted = max(1, min(wanted, _balanced(mean_subject, total_weight / max(1, n_candidates), budget)))
        blocks = _cut(candidate_weights, lambda count, heavy: call_cost(
            wanted, int(wanted * mean_subject), count, heavy) <= budget)
    heaviest = max(((stop - start, sum(candidate_weights[start:stop])) for start, stop in blocks), default=(0, 0))
    chunks = _cut(subject_weights, lambda count, heavy: count <= chunk_size and call_cost(
        count, heavy, heaviest[0], heaviest[1]) <= budget)
    return Plan(chunks, blocks)


def _balanced(subject_weight: float, candidate_weight: float, budget: float) -> int:
    """Subjects per call when subjects and candidates are cut into blocks of the same size."""
    count = 1
    while call_cost(2 * count, int(2 * count * subject_weight), 2 * count, int(2 * count * candidate_weight)) <= budget:
        count *= 2
    return count


def _cut(weights: Sequence[int], fits: Callable[[int, int], bool]) -> list[tuple[int, int]]:
    """Consecutive ranges, each as long as ``fits(count, weight)`` allows (at least one item)."""
    ranges, start, total = [], 0, 0
    for at, item in enumerate(weights):
        if at > start and not fits(at - start + 1, total + item):
            ranges.append((start, at))
            start, total = at, 0
        total += item
    if start < len(weights) or not ranges:
        ranges.append((start, len(weights)))
    return ranges


def indexed_by_position(records: Sequence[Record]) -> list[Record]:
    """Copies of the records whose ``index`` is their position.

    Candidates are scored in this form so that every match leads back to
    its record (and its key), whatever indexes the file gave.
    """
    copies = []
    for position, record in enumerate(records):
        copy = record.copy()
        copy["index"] = position
        copies.append(copy)
    return copies


def is_doi_match(subject: Record, candidate: Record) -> bool:
    """A subject and a candidate with the same DOI: the match needs no score."""
    return bool(subject["doi"]) and subject["doi"] == candidate["doi"]


def merge(subject: Record, candidates: Sequence[Record], per_block: Sequence[list[Match]], top_n: int) -> list[Match]:
    """One subject's matches from several blocks, as a single call would give them."""
    if len(per_block) == 1:
        return per_block[0]
    scored: list[Match] = []
    for matches in per_block:
        if len(matches) == 1 and is_doi_match(subject, candidates[matches[0]["candidate_index"]]):
            return matches
        scored.extend(matches)
    scored.sort(key=lambda match: -match["total_score"])
    return scored[:top_n]


def planned(subjects: Records, candidates: Records, chunk_size: int,
            budget: float = CALL_BUDGET_NS) -> tuple[list[Record], Plan]:
    """The candidates as scored (indexed by position) and the plan of calls."""
    scored = indexed_by_position(candidates.records)
    return scored, plan_calls([weight(r) for r in subjects.records], [weight(r) for r in scored], chunk_size, budget)


def score_chunk(chunk: Sequence[Record], scored: Sequence[Record], blocks: Sequence[tuple[int, int]], top_n: int,
                min_score: float) -> list[list[Match]]:
    """One chunk of subjects against every block of candidates: the matches per subject."""
    per_block: list[list[list[Match]]] = [[] for _ in chunk]
    for first, last in blocks:
        for result in refsieve.score_batch(chunk, scored[first:last], top_n, min_score):
            per_block[result["subject_index"]].append(result["matches"])
    return [merge(subject, scored, found, top_n) for subject, found in zip(chunk, per_block)]


def score(subjects: Records, candidates: Records, top_n: int, min_score: float, chunk_size: int,
          budget: float = CALL_BUDGET_NS) -> ChunkScores:
    """(first subject, subject count, matches per subject) for each chunk, in subject order.

    Candidate indexes in the matches are positions in ``candidates``.
    """
    scored, plan = planned(subjects, candidates, chunk_size, budget)
    for start, stop in plan.chunks:
        chunk = subjects.records[start:stop]
        yield start, len(chunk), score_chunk(chunk, scored, plan.blocks, top_n, min_score)


def match_type(subject: Record, candidate: Record) -> str:
    return "doi" if is_doi_match(subject, candidate) else "score"


def row_columns(include: Sequence[str] = ()) -> tuple[str, ...]:
    """The columns of a row: identifiers, how it was found, the scores, then included values."""
    return ROW_COLUMNS + tuple(f"{side}_{name}" for name in include for side in ("subject", "candidate"))


def result_rows(subjects: Records, candidates: Records, first_subject: int, matches: Iterable[Sequence[Match]],
                include: Sequence[str] = ()) -> Iterator[tuple[int, int, dict[str, Any]]]:
    """One row per match, as (subject position, candidate position, row), for subjects from ``first_subject``.

    Candidate indexes in the matches are positions in ``candidates``.
    """
    for subject, subject_matches in enumerate(matches, start=first_subject):
        for match in subject_matches:
            candidate = match["candidate_index"]
            row: dict[str, Any] = {
                "subject_index": subjects.records[subject]["index"],
                "subject_key": subjects.keys[subject],
                "candidate_index": candidates.records[candidate]["index"],
                "candidate_key": candidates.keys[candidate],
                "match_type": match_type(subjects.records[subject], candidates.records[candidate]),
            }
            for name in SCORES:
                row[name] = match[name]  # type: ignore[literal-required]
            for name in include:
                row[f"subject_{name}"] = subjects.shown[subject].get(name)
                row[f"candidate_{name}"] = candidates.shown[candidate].get(name)
            yield subject, candidate, row


def match_rows(subjects: Records, candidates: Records, top_n: int, min_score: float, chunk_size: int,
               include: Sequence[str] = (), progress: Callable[[int], None] | None = None,
               budget: float = CALL_BUDGET_NS, scorer: Scorer = score) -> Iterator[tuple[int, int, dict[str, Any]]]:
    """One row per match, as (subject position, candidate position, row), in subject order, best first.

    ``scorer`` does the scoring: :func:`score` on this machine, or one from
    :mod:`refsieve_cli.cluster` on a Dask cluster.
    """
    for start, count, chunk_matches in scorer(subjects, candidates, top_n, min_score, chunk_size, budget):
        yield from result_rows(subjects, candidates, start, chunk_matches, include)
        if progress is not None:
            progress(count)
