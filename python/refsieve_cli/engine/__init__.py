"""Scoring: the engine module on this machine (:mod:`.local`) or on a Dask cluster (:mod:`.dask`).

Both offer the :class:`Engine` interface and give the same :class:`Matches`.
The rules and constants of scoring are the engine's own; :func:`rules`
hands them to the code that explains scores.
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

from refsieve_cli import _engine, defaults
from refsieve_cli.errors import CommandError
from refsieve_cli.records.record import RecordTable

SCORES = ("total_score", "title_score", "author_score", "date_score", "bonus_score")
# How a match was found: the candidate with the subject's DOI, or by its total score.
MATCH_TYPES = ("score", "doi")

Progress = Callable[[int], None]


@dataclass(frozen=True)
class Matches:
    """Matches as columns, one entry per match: in subject order, best first within a subject.

    ``subject`` and ``candidate`` are positions in the two tables, ``doi``
    is 1 for a match found by its DOI. ``facts``, when asked for, holds the
    facts behind each partial score (see :func:`rules` for their names).
    """

    columns: dict[str, Sequence[Any]]
    # With blocking: the pairs the keys proposed, and the keys passed over (see :func:`rules`).
    counts: dict[str, int] = field(default_factory=dict)

    @classmethod
    def from_engine(cls, found: dict[str, Any]) -> Matches:
        """The engine's columns, each (struct format, bytes), as sequences of numbers."""
        columns: dict[str, Sequence[Any]] = {name: memoryview(data).cast(fmt) for name, value in found.items()
                                             if name != "candidates" for fmt, data in [value]}
        return cls(columns, dict(found.get("candidates", {})))

    @classmethod
    def concatenate(cls, parts: Sequence[Matches]) -> Matches:
        if len(parts) == 1:
            return parts[0]
        names = parts[0].columns.keys() if parts else ("subject", "candidate", "doi", *SCORES)
        counts: dict[str, int] = {}
        for part in parts:
            for name, count in part.counts.items():
                counts[name] = counts.get(name, 0) + count
        return cls({name: [value for part in parts for value in part.columns[name]] for name in names}, counts)

    def __len__(self) -> int:
        return len(self.columns["subject"])

    def __getitem__(self, name: str) -> Sequence[Any]:
        return self.columns[name]

    def match_type(self, at: int) -> str:
        return MATCH_TYPES[self.columns["doi"][at]]

    def scores(self, at: int) -> dict[str, float]:
        return {name: self.columns[name][at] for name in SCORES}

    def shifted(self, first_subject: int) -> Matches:
        """The same matches with subject positions counted from ``first_subject``."""
        columns = dict(self.columns)
        columns["subject"] = [first_subject + subject for subject in self.columns["subject"]]
        return Matches(columns, self.counts)


@dataclass(frozen=True)
class Groups:
    """The groups of a catalogue: each record's group (the position of its first record), the pairs decided
    SAME inside groups (positions, the reason, the strength), and what finding and deciding the pairs counted."""

    group: Sequence[int]
    first: Sequence[int]
    second: Sequence[int]
    reason: Sequence[str]
    strength: Sequence[float]
    counts: dict[str, int]

    @classmethod
    def from_engine(cls, found: dict[str, Any]) -> Groups:
        columns: dict[str, Any] = {name: memoryview(data).cast(fmt)
                                   for name, value in found.items() if name != "counts" for fmt, data in [value]}
        reasons = decision_names()["reasons"]
        return cls(columns["group"], columns["first"], columns["second"],
                   [reasons[code] for code in columns["reason"]], columns["strength"], dict(found["counts"]))


class Engine(Protocol):
    def match(self, subjects: RecordTable, candidates: RecordTable, top_n: int, min_score: float, *,
              facts: bool = False, blocking: bool = False, progress: Progress | None = None) -> Matches:
        """What one ``refsieve.score_batch`` call over all candidates keeps for each subject, ties included;
        with ``blocking``, over the candidates that share a key with the subject."""
        ...

    def group(self, records: RecordTable, *, share: float = defaults.SHARE, exhaustive: bool = False,
              progress: Progress | None = None) -> Groups:
        """The groups of records that are one work (see the README's dedupe section)."""
        ...


def rules() -> dict[str, Any]:
    """The scoring constants and rules, as the engine applies them."""
    return dict(_engine.rules())


def decision_names() -> dict[str, tuple[str, ...]]:
    """The names of the same-work decision's verdicts and reasons, by their numbers."""
    return dict(_engine.decision_names())


def decide(subjects: RecordTable, candidates: RecordTable, subject_positions: Sequence[int],
           candidate_positions: Sequence[int]) -> tuple[list[str], list[str]]:
    """The same-work decision for the given pairs: each pair's verdict and reason."""
    found = _engine.decide_pairs(subjects.store, candidates.store, list(subject_positions), list(candidate_positions))
    names = decision_names()
    verdicts = [names["verdicts"][code] for code in memoryview(found["verdict"][1]).cast("B")]
    reasons = [names["reasons"][code] for code in memoryview(found["reason"][1]).cast("B")]
    return verdicts, reasons


def most_total(fields: Sequence[str]) -> float:
    """The largest total that two records can reach when only these fields are present in both."""
    return _engine.most_total(list(fields))


def on_this_machine() -> Engine:
    from refsieve_cli.engine.local import LocalEngine

    return LocalEngine()


@contextlib.contextmanager
def connected(address: str | None, partition_size: int = defaults.PARTITION_SIZE) -> Iterator[Engine]:
    """The engine on this machine, or with ``address`` on the workers of that Dask scheduler."""
    if address is None:
        yield on_this_machine()
        return
    try:
        from refsieve_cli.engine import dask as on_dask
    except ImportError as error:
        raise CommandError(f"--scheduler needs Dask, which cannot be imported ({error}):"
                           " install it with pip install 'refsieve[dask]'") from None
    with contextlib.ExitStack() as stack:
        try:
            client = stack.enter_context(on_dask.connect(address))
        except on_dask.ClusterError as error:
            raise CommandError(str(error)) from None
        yield on_dask.DaskEngine(client, partition_size)
