"""Precision, recall and F1 of matches or groups against a file of true pairs.

A truth file is a CSV file (comma, semicolon or tab separated) with a
header row. By default its first two columns hold the pairs of record keys;
``columns`` names two others. For ``match`` the first column holds subject
keys and the second candidate keys; for ``dedupe`` the order does not
matter.
"""

from __future__ import annotations

import csv
import io
import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from refsieve_cli.errors import InputError


@dataclass(frozen=True)
class Truth:
    """The true pairs of a truth file, as (first column, second column) keys."""

    pairs: frozenset[tuple[str, str]]
    columns: tuple[str, str]


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


def read_truth(path: Path | str, columns: tuple[str, str] | None = None, encoding: str = "utf-8") -> Truth:
    """Reads the true pairs; a row with an empty key is an error."""
    path = Path(path)
    try:
        text = path.read_text(encoding=encoding)
    except OSError as error:
        raise InputError(path, None, f"cannot read the file: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise InputError(path, None, f"the file is not valid {encoding} text") from None
    text = text.removeprefix("\ufeff")
    first_line = text.split("\n", 1)[0]
    delimiter = max(",;\t", key=first_line.count)
    rows = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)
    header = [name.strip() for name in next(rows, [])]
    if len(header) < 2:
        raise InputError(path, 1, "expected a header row naming at least two columns of record keys")
    wanted = columns or (header[0], header[1])
    lowered = [name.lower() for name in header]
    try:
        positions = tuple(lowered.index(name.lower()) for name in wanted)
    except ValueError:
        missing = next(name for name in wanted if name.lower() not in lowered)
        raise InputError(path, 1, f"no column '{missing}' (the header names {', '.join(header)})") from None
    pairs = set()
    for row in rows:
        if not any(cell.strip() for cell in row):
            continue
        try:
            first, second = (row[position].strip() for position in positions)
        except IndexError:
            raise InputError(path, rows.line_num, f"{len(row)} cells, but the header names {len(header)}") from None
        if not first or not second:
            raise InputError(path, rows.line_num, "a true pair needs two record keys")
        pairs.add((first, second))
    return Truth(frozenset(pairs), (header[positions[0]], header[positions[1]]))


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
