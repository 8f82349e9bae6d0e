"""The rows that ``refsieve dedupe`` writes: one per record, and the scored pairs inside groups."""

from __future__ import annotations

from collections import Counter
from collections.abc import Iterator, Sequence
from typing import Any

from refsieve_cli.grouping import ScoredPair
from refsieve_cli.load import Records
from refsieve_cli.scoring import SCORES

GROUP_COLUMNS = ("index", "key", "cluster", "cluster_size")
PAIR_COLUMNS = ("first_index", "first_key", "second_index", "second_key", "match_type", *SCORES)


def group_rows(records: Records, groups: Sequence[int]) -> Iterator[dict[str, Any]]:
    """One row per record, in input order; ``cluster`` is the position of the group's first record."""
    sizes = Counter(groups)
    for position, group in enumerate(groups):
        yield {
            "index": records.records[position]["index"],
            "key": records.keys[position],
            "cluster": group,
            "cluster_size": sizes[group],
        }


def pair_rows(records: Records, pairs: Sequence[ScoredPair], groups: Sequence[int]) -> Iterator[dict[str, Any]]:
    """The scored pairs whose two records ended in one group, each once, in input order."""
    for pair in pairs:
        if groups[pair.first] != groups[pair.second]:
            continue
        row: dict[str, Any] = {
            "first_index": records.records[pair.first]["index"],
            "first_key": records.keys[pair.first],
            "second_index": records.records[pair.second]["index"],
            "second_key": records.keys[pair.second],
            "match_type": pair.match_type,
        }
        for name in SCORES:
            row[name] = pair.match[name]  # type: ignore[literal-required]
        yield row
