"""``refsieve evaluate``: precision, recall and F1 of matches or groups against a file of true pairs.

The records are scored once; the result is then compared with the true
pairs (:mod:`refsieve_cli.io.truth`) at every threshold asked for.
"""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from refsieve_cli.commands import dedupe, match
from refsieve_cli.commands.common import load_both, load_catalogue, tell
from refsieve_cli.engine import connected, most_total
from refsieve_cli.errors import InputError, Report
from refsieve_cli.io.truth import Truth, read_truth
from refsieve_cli.records.fields import SCORED_FIELDS
from refsieve_cli.records.record import RecordTable


@dataclass(frozen=True)
class Quality:
    """How a set of found pairs compares with the true pairs, at one threshold."""

    threshold: float
    found: int
    correct: int
    true: int

    @property
    def precision(self) -> float:
        return self.correct / self.found if self.found else 0.0

    @property
    def recall(self) -> float:
        return self.correct / self.true if self.true else 0.0

    @property
    def f1(self) -> float:
        total = self.precision + self.recall
        return 2 * self.precision * self.recall / total if total else 0.0


def thresholds(start: float, stop: float, step: float) -> list[float]:
    """``start``, ``start + step``, ... up to ``stop`` included."""
    count = math.floor((stop - start) / step + 1e-9) + 1
    return [round(start + step * i, 10) for i in range(max(count, 0))]


def match_quality(rows: Iterable[Mapping[str, Any]], truth: Truth, levels: Sequence[float]) -> list[Quality]:
    """Quality of ``match`` rows at each threshold: a row is a found (subject key, candidate key) pair.

    A DOI match is found at every threshold, as ``match`` keeps it whatever its score.
    """
    found = [(str(row["subject_key"]), str(row["candidate_key"]), row["total_score"], row["match_type"])
             for row in rows]
    result = []
    for level in levels:
        kept = {(subject, candidate) for subject, candidate, total, kind in found if kind == "doi" or total >= level}
        result.append(Quality(level, len(kept), len(kept & truth.pairs), len(truth.pairs)))
    return result


def group_quality(keys: Sequence[str | None], groups_at: Iterable[tuple[float, Sequence[int]]],
                  truth: Truth) -> list[Quality]:
    """Pairwise quality of groupings: every two records in one group count as a found pair.

    ``groups_at`` gives, per threshold, each record's group id; ``keys`` the
    records' keys, which the truth file names. Self-pairs in the truth file
    are ignored.
    """
    position = {key: at for at, key in enumerate(keys) if key is not None}
    true_pairs = {
        (min(position[a], position[b]), max(position[a], position[b]))
        for a, b in truth.pairs
        if a in position and b in position and position[a] != position[b]
    }
    true_count = len({frozenset(pair) for pair in truth.pairs if pair[0] != pair[1]})
    result = []
    for level, groups in groups_at:
        sizes: dict[int, int] = {}
        for group in groups:
            sizes[group] = sizes.get(group, 0) + 1
        found = sum(size * (size - 1) // 2 for size in sizes.values())
        correct = sum(1 for a, b in true_pairs if groups[a] == groups[b])
        result.append(Quality(level, found, correct, true_count))
    return result


def best(qualities: Sequence[Quality]) -> Quality:
    """The threshold with the highest F1; the lowest such threshold on a tie."""
    return max(qualities, key=lambda quality: (quality.f1, -quality.threshold))


def format_table(qualities: Sequence[Quality]) -> str:
    """A plain-text table, the best threshold marked with '*'."""
    top = best(qualities)
    lines = [f"{'min_score':>9}  {'found':>7}  {'correct':>7}  {'precision':>9}  {'recall':>6}  {'F1':>6}"]
    for quality in qualities:
        mark = "  *" if quality is top else ""
        lines.append(
            f"{quality.threshold:>9g}  {quality.found:>7}  {quality.correct:>7}  {quality.precision:>9.4f}"
            f"  {quality.recall:>6.4f}  {quality.f1:>6.4f}{mark}"
        )
    lines.append(f"true pairs: {top.true}; best F1 {top.f1:.4f} at min_score {top.threshold:g}")
    return "\n".join(lines)


def format_groups(quality: Quality) -> str:
    """The quality of one grouping as text."""
    return "\n".join([
        f"{'found':>7}  {'correct':>7}  {'precision':>9}  {'recall':>6}  {'F1':>6}",
        f"{quality.found:>7}  {quality.correct:>7}  {quality.precision:>9.4f}  {quality.recall:>6.4f}  {quality.f1:>6.4f}",
        f"true pairs: {quality.true}; pairs of records in one group: {quality.found}",
    ])


def plot(qualities: Sequence[Quality], path: Path | str, title: str) -> None:
    """Draws precision, recall and F1 against the threshold into a PNG file (needs matplotlib)."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as pyplot
    except ImportError:
        raise InputError(path, None, "--plot needs matplotlib (pip install 'refsieve[plot]')") from None
    levels = [quality.threshold for quality in qualities]
    figure, axes = pyplot.subplots(figsize=(6.4, 4.0), dpi=100)
    axes.plot(levels, [q.precision for q in qualities], label="precision")
    axes.plot(levels, [q.recall for q in qualities], label="recall")
    axes.plot(levels, [q.f1 for q in qualities], label="F1", linestyle="--")
    top = best(qualities)
    axes.axvline(top.threshold, color="grey", linewidth=0.8)
    axes.set_xlabel("min_score")
    lowest = min(min(q.precision, q.recall, q.f1) for q in qualities)
    axes.set_ylim(max(0.0, math.floor((lowest - 0.02) * 10) / 10), 1.0)
    axes.set_title(title)
    axes.legend(loc="lower left")
    axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(path)
    pyplot.close(figure)


def widened(qualities_at: Callable[[Sequence[float]], list[Quality]], start: float, stop: float, step: float,
            lowest: float, highest: float) -> tuple[list[Quality], str | None]:
    """The qualities from start to stop, the range widened so that it holds the best threshold there is on
    the grid of start and step from lowest to highest (with a step to spare where there is one); and a note
    when it was widened, or when the best lies at the end of all thresholds."""
    below = math.floor((start - lowest) / step + 1e-9)
    above = math.floor((highest - stop) / step + 1e-9)
    grid = thresholds(start - below * step, stop + above * step, step)
    top = best(qualities_at(grid))
    first, last = start, stop
    if top.threshold < start:
        first = max(grid[0], top.threshold - step)
    elif top.threshold > stop:
        last = min(grid[-1], top.threshold + step)
    qualities = qualities_at(thresholds(first, last, step))
    notes = []
    if (first, last) != (start, stop):
        notes.append(f"the best F1 lies outside {start:g}:{stop:g}: the range was widened to {first:g}:{last:g}")
    if top.threshold in (grid[0], grid[-1]) and len(grid) > 1:
        notes.append(f"the best F1 is at {top.threshold:g}, the {'lowest' if top.threshold == grid[0] else 'highest'}"
                     " threshold there is")
    return qualities, "; ".join(notes) or None


def _match_rows(args: argparse.Namespace, report: Report) -> tuple[list[dict[str, Any]], RecordTable, RecordTable]:
    subjects, candidates = load_both(args, report)
    tell(report, args)
    with connected(args.scheduler, args.chunk_size) as engine:
        # Every subject's best candidate, whatever its score: any threshold is then a filter of these.
        matches = match.score(engine, subjects, candidates, 1, 0.0, args)
    return list(match.rows(subjects, candidates, matches)), subjects, candidates


def _oriented(truth: Truth, subject_keys: set[str], candidate_keys: set[str]) -> tuple[Truth, str | None]:
    """The truth with its columns as (subject key, candidate key): swapped, with a note, when its first
    column holds candidate keys and its second subject keys."""
    as_given = sum(1 for first, second in truth.pairs if first in subject_keys and second in candidate_keys)
    swapped = sum(1 for first, second in truth.pairs if first in candidate_keys and second in subject_keys)
    if swapped <= as_given:
        return truth, None
    turned = Truth(frozenset((second, first) for first, second in truth.pairs), (truth.columns[1], truth.columns[0]))
    return turned, (f"column {truth.columns[0]} of the truth file holds candidate keys and column {truth.columns[1]}"
                    " subject keys: read the other way round")


def _missing_keys(truth: Truth, first_keys: set[str], second_keys: set[str]) -> str | None:
    missed = [pair for pair in truth.pairs if pair[0] not in first_keys or pair[1] not in second_keys]
    if not missed:
        return None
    firsts = len({first for first, _ in missed if first not in first_keys})
    seconds = len({second for _, second in missed if second not in second_keys})
    return (f"{len(missed)} of {len(truth.pairs)} true pairs name a key that no record has ({firsts} keys of column"
            f" {truth.columns[0]}, {seconds} of column {truth.columns[1]} not found); they count as missed")


def run(args: argparse.Namespace) -> int:
    truth = read_truth(args.truth, args.truth_columns, args.encoding)
    report = Report()
    notes: list[str] = []
    if args.task == "match":
        found, subjects, candidates = _match_rows(args, report)
        subject_keys = {key for key in subjects.keys() if key is not None}
        candidate_keys = {key for key in candidates.keys() if key is not None}
        truth, swap = _oriented(truth, subject_keys, candidate_keys)
        notes += [swap] if swap else []
        missing = _missing_keys(truth, subject_keys, candidate_keys)

        def qualities_at(levels: Sequence[float]) -> list[Quality]:
            return match_quality(found, truth, levels)
        start, stop, step = args.thresholds
        qualities, widening = widened(qualities_at, start, stop, step, 0.0, most_total(SCORED_FIELDS))
        notes += [note for note in (missing, widening) if note]
    else:
        records = load_catalogue(args, report)
        tell(report, args)
        keys = {key for key in records.keys() if key is not None}
        missing = _missing_keys(truth, keys, keys)
        groups = dedupe.find_groups(args, records)
        [quality] = group_quality(records.keys(), [(args.share, groups.group)], truth)
        notes += [missing] if missing else []
    if not args.quiet:
        for note in notes:
            print(f"refsieve: {note}", file=sys.stderr)
    print(f"{args.task}: true pairs from columns {truth.columns[0]}, {truth.columns[1]} of {args.truth}")
    if args.task == "match":
        print(format_table(qualities))
        if args.plot:
            plot(qualities, args.plot, f"refsieve {args.task}")
    else:
        print(format_groups(quality))
    return 0
