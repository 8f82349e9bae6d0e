"""Typed use of refsieve, checked with ``mypy --strict`` (never run).

The ``type: ignore[...]`` lines are calls the stubs must reject: under
--strict an ignore that is no longer needed is itself an error, so a stub
that became too permissive fails the check.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, assert_type

import refsieve
from refsieve import score_batch, token_sort_ratio

if TYPE_CHECKING:
    from refsieve import Match, Record, SubjectResult


def make_record(index: int, title: str, author: str, year: int | None = None) -> Record:
    return {
        "index": index,
        "title": title,
        "author": author,
        "year": year,
        "doi": None,
        "journal": None,
        "volume": None,
        "number": None,
        "pages": None,
        "publisher": None,
    }


def best_matches(subjects: list[Record], candidates: tuple[Record, ...]) -> dict[int, Match]:
    results = score_batch(subjects, candidates, 1, 90.0)
    assert_type(results, list[SubjectResult])
    best: dict[int, Match] = {}
    for result in results:
        assert_type(result["subject_index"], int)
        assert_type(result["candidates_searched"], int)
        for match in result["matches"]:
            assert_type(match["candidate_index"], int)
            assert_type(match["total_score"], float)
            best[result["subject_index"]] = match
    return best


def keyword_calls(records: list[Record]) -> None:
    assert_type(token_sort_ratio(s1="a b", s2="b a"), float)
    score_batch(subjects=records, candidates=records, top_n=True, min_score=50)
    refsieve.score_batch(records, records, top_n=3, min_score=float("-inf"))


def rejected_calls(records: list[Record], result: SubjectResult) -> None:
    token_sort_ratio(1, "a")  # type: ignore[arg-type]
    token_sort_ratio("a", s3="b")  # type: ignore[call-arg]
    score_batch(records, records, 1.5, 0.0)  # type: ignore[arg-type]
    score_batch(records, records, 1, "50")  # type: ignore[arg-type]
    score_batch("abc", records, 1, 0.0)  # type: ignore[arg-type]
    score_batch([{"index": 1, "title": "t"}], records, 1, 0.0)  # type: ignore[typeddict-item]
    score_batch(records, records, 1)  # type: ignore[call-arg]
    result["matches"][0]["score"]  # type: ignore[typeddict-item]
    make_record(0, "t", "a")["year"] = "1999"  # type: ignore[typeddict-item]
