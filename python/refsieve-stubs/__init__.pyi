"""Types of the refsieve extension module.

The record, match and subject-result shapes below exist only for type
checkers: at run time records are plain mappings and results plain dicts.
Import them under ``typing.TYPE_CHECKING``.
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypedDict, type_check_only

__all__ = ["token_sort_ratio", "score_batch"]

@type_check_only
class Record(TypedDict):
    """One bibliographic record, subject or candidate. Every key is required."""

    index: int
    """The caller's identifier, 0 to 2**64 - 1; returned as ``candidate_index``."""
    title: str
    author: str
    year: int | None
    """A signed 32-bit year, or None when unknown."""
    doi: str | None
    journal: str | None
    volume: str | None
    number: str | None
    pages: str | None
    publisher: str | None

@type_check_only
class Match(TypedDict):
    """One candidate's scores against a subject."""

    candidate_index: int
    """The candidate's ``index`` field."""
    total_score: float
    """Sum of the four partial scores, 0.0 to 188.0."""
    title_score: float
    """0.0 to 100.0."""
    author_score: float
    """0.0 to 60.0."""
    date_score: float
    """0.0, 3.0, 7.0, 8.0, 9.0 or 10.0."""
    bonus_score: float
    """0.0 to 18.0: DOI, journal/volume/number, pages and publisher agreement."""

@type_check_only
class SubjectResult(TypedDict):
    """The best candidates for one subject."""

    subject_index: int
    """The subject's position in ``subjects`` (not its ``index`` field)."""
    matches: list[Match]
    """At most ``top_n`` matches, best first; a lone DOI match otherwise."""
    candidates_searched: int
    """Always ``len(candidates)``."""

def token_sort_ratio(s1: str, s2: str) -> float:
    """Token sort ratio for Python: returns float 0.0-100.0"""

def score_batch(
    subjects: Sequence[Record],
    candidates: Sequence[Record],
    top_n: SupportsIndex,
    min_score: SupportsFloat | SupportsIndex,
) -> list[SubjectResult]:
    """Batch score multiple subjects against candidates in parallel."""
