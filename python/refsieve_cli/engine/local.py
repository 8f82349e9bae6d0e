"""Scoring on this machine: one call of the engine module over all records.

The engine scores with the interpreter lock released, on every core, and
answers Ctrl-C within a fraction of a second at any catalogue size, so the
command needs no chunks and no merging: what a call keeps for each subject
is what one ``refsieve.score_batch`` call over all candidates keeps, ties
included.
"""

from __future__ import annotations

from collections.abc import Sequence

from refsieve_cli import _engine, defaults
from refsieve_cli.engine import Groups, Matches, Progress
from refsieve_cli.records.record import RecordTable


class LocalEngine:
    """The engine on this machine."""

    def match(self, subjects: RecordTable, candidates: RecordTable, top_n: int, min_score: float, *,
              facts: bool = False, blocking: bool = False, progress: Progress | None = None) -> Matches:
        return Matches.from_engine(_engine.match(subjects.store, candidates.store, top_n, min_score,
                                                 facts=facts, blocking=blocking, progress=progress))

    def pairs(self, first: RecordTable, second: RecordTable, first_positions: Sequence[int],
              second_positions: Sequence[int], *, facts: bool = False) -> Matches:
        """The scores of the given pairs: record first_positions[i] of ``first`` against
        second_positions[i] of ``second``."""
        return Matches.from_engine(_engine.score_pairs(first.store, second.store, list(first_positions),
                                                       list(second_positions), facts=facts))

    def group(self, records: RecordTable, *, share: float = defaults.SHARE, exhaustive: bool = False,
              progress: Progress | None = None) -> Groups:
        return Groups.from_engine(_engine.group(records.store, share=share, exhaustive=exhaustive, progress=progress))
