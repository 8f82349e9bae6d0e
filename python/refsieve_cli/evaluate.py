"""Precision, recall and F1 of match rows against a file of true pairs."""

from __future__ import annotations

import csv
import io
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path

from refsieve_cli.errors import InputError


@dataclass(frozen=True)
class Evaluation:
    true_positives: int
    false_positives: int
    false_negatives: int

    @property
    def precision(self) -> float:
        found = self.true_positives + self.false_positives
        return self.true_positives / found if found else 0.0

    @property
    def recall(self) -> float:
        wanted = self.true_positives + self.false_negatives
        return self.true_positives / wanted if wanted else 0.0

    @property
    def f1(self) -> float:
        total = self.precision + self.recall
        return 2 * self.precision * self.recall / total if total else 0.0


def read_truth(path: Path | str, encoding: str = "utf-8", header: bool = True) -> set[tuple[str, str]]:
    """(subject key, candidate key) pairs from the first two columns of a CSV file."""
    try:
        text = Path(path).read_text(encoding=encoding)
    except (OSError, UnicodeDecodeError) as error:
        raise InputError(path, None, f"cannot read the file: {getattr(error, 'strerror', None) or error}") from None
    pairs = set()
    rows = csv.reader(io.StringIO(text, newline=""))
    for number, row in enumerate(rows, start=1):
        if (header and number == 1) or not any(cell.strip() for cell in row):
            continue
        if len(row) < 2:
            raise InputError(path, rows.line_num, "expected two columns: a subject key and a candidate key")
        pairs.add((row[0].strip(), row[1].strip()))
    return pairs


def evaluate(rows: Iterable[Mapping[str, object]], truth: set[tuple[str, str]]) -> Evaluation:
    """Every row is a claimed pair (``subject_key``, ``candidate_key``); each is true or false."""
    found = {(str(row["subject_key"]), str(row["candidate_key"])) for row in rows}
    hits = len(found & truth)
    return Evaluation(hits, len(found) - hits, len(truth) - hits)
