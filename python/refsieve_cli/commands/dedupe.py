"""``refsieve dedupe``: the groups of records in one catalogue that describe the same work.

Writes one row per record with its group, and, when asked, the scored
pairs inside groups. The grouping itself is :mod:`refsieve_cli.engine.grouping`.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
from collections import Counter
from collections.abc import Iterator, Sequence
from typing import Any

from refsieve_cli.commands.common import load_catalogue, output_format, progress_bar, tell
from refsieve_cli.engine import SCORES, connected
from refsieve_cli.engine.grouping import ScoredPair, linkage, scored_pairs
from refsieve_cli.errors import Report
from refsieve_cli.io.output import WRITERS, open_output
from refsieve_cli.records.record import RecordTable

GROUP_COLUMNS = ("index", "key", "cluster", "cluster_size")
PAIR_COLUMNS = ("first_index", "first_key", "second_index", "second_key", "match_type", *SCORES)


def group_rows(records: RecordTable, groups: Sequence[int]) -> Iterator[dict[str, Any]]:
    """One row per record, in input order; ``cluster`` is the position of the group's first record."""
    sizes = Counter(groups)
    for index, key, group in zip(records.indexes(), records.keys(), groups):
        yield {"index": index, "key": key, "cluster": group, "cluster_size": sizes[group]}


def pair_rows(records: RecordTable, pairs: Sequence[ScoredPair], groups: Sequence[int]) -> Iterator[dict[str, Any]]:
    """The scored pairs whose two records ended in one group, each once, in input order."""
    inside = [pair for pair in pairs if groups[pair.first] == groups[pair.second]]
    firsts, seconds = [pair.first for pair in inside], [pair.second for pair in inside]
    for pair, first_index, first_key, second_index, second_key in zip(
            inside, records.indexes(firsts), records.keys(firsts), records.indexes(seconds), records.keys(seconds)):
        yield {"first_index": first_index, "first_key": first_key, "second_index": second_index,
               "second_key": second_key, "match_type": pair.match_type, **pair.scores}


def find_pairs(args: argparse.Namespace, records: RecordTable) -> list[ScoredPair]:
    """The scored pairs of the catalogue, on this machine or on the cluster of --scheduler."""
    bar = progress_bar(args, len(records), unit="records")
    with connected(args.scheduler, args.chunk_size) as engine:
        pairs = scored_pairs(records, engine, args.floor, args.neighbours, bar.advance)
    bar.close()
    return pairs


def run(args: argparse.Namespace) -> int:
    report = Report()
    records = load_catalogue(args, report)
    tell(report, args)
    pairs = find_pairs(args, records)
    groups = linkage(len(records), pairs).groups(args.min_score)
    with contextlib.ExitStack() as outputs:
        stream = outputs.enter_context(open_output(args.output))
        writer = WRITERS[output_format(args, args.output)](stream, GROUP_COLUMNS)
        for row in group_rows(records, groups):
            writer.write(row)
        if args.pairs is not None:
            pair_stream = outputs.enter_context(open_output(args.pairs))
            pair_writer = WRITERS[output_format(args, args.pairs)](pair_stream, PAIR_COLUMNS)
            for row in pair_rows(records, pairs, groups):
                pair_writer.write(row)
    if not args.quiet:
        shared = sum(1 for position, group in enumerate(groups) if group != position)
        print(f"refsieve: {len(records)} records in {len(set(groups))} groups;"
              f" {shared} records belong to an earlier record's group", file=sys.stderr)
    return 0
