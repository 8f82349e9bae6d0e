"""``refsieve dedupe``: the groups of records in one catalogue that describe the same work.

The engine finds the pairs worth deciding, decides whether each pair is one
work, and groups the records along the pairs it calls the same work (see
:meth:`refsieve_cli.engine.Engine.group`). This writes one row per record
with its group and, when asked, the pairs inside groups with their scores.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
from collections import Counter
from collections.abc import Iterator, Sequence
from typing import Any

from refsieve_cli.commands.common import load_catalogue, output_format, progress_bar, tell
from refsieve_cli.engine import SCORES, Groups, connected
from refsieve_cli.engine.local import LocalEngine
from refsieve_cli.errors import Report
from refsieve_cli.io.output import WRITERS, open_output
from refsieve_cli.records.record import RecordTable

GROUP_COLUMNS = ("index", "key", "cluster", "cluster_size")
PAIR_COLUMNS = ("first_index", "first_key", "second_index", "second_key", "reason", "strength", *SCORES)


def group_rows(records: RecordTable, groups: Sequence[int]) -> Iterator[dict[str, Any]]:
    """One row per record, in input order; ``cluster`` is the position of the group's first record."""
    sizes = Counter(groups)
    for index, key, group in zip(records.indexes(), records.keys(), groups):
        yield {"index": index, "key": key, "cluster": group, "cluster_size": sizes[group]}


def pair_rows(records: RecordTable, groups: Groups) -> Iterator[dict[str, Any]]:
    """The pairs decided the same work inside groups, each once, with their scores."""
    firsts, seconds = list(groups.first), list(groups.second)
    scored = LocalEngine().pairs(records, records, firsts, seconds)
    columns = zip(records.indexes(firsts), records.keys(firsts), records.indexes(seconds), records.keys(seconds),
                  groups.reason, groups.strength)
    for at, (first_index, first_key, second_index, second_key, reason, strength) in enumerate(columns):
        yield {"first_index": first_index, "first_key": first_key, "second_index": second_index,
               "second_key": second_key, "reason": reason, "strength": strength, **scored.scores(at)}


def find_groups(args: argparse.Namespace, records: RecordTable) -> Groups:
    """The groups of the catalogue, on this machine or with --scheduler on that cluster."""
    bar = progress_bar(args, len(records), unit="records")
    with connected(args.scheduler, args.chunk_size) as engine:
        groups = engine.group(records, share=args.share, exhaustive=args.exhaustive, progress=bar.advance)
    bar.close()
    return groups


def tell_counts(groups: Groups, args: argparse.Namespace) -> None:
    """What finding and deciding the pairs left out, when it left something out."""
    counts = groups.counts
    if args.quiet:
        return
    if counts["keys_skipped"]:
        print(f"refsieve: {counts['records_skipped']} records had keys held by more records than a key may pair"
              f" ({counts['keys_skipped']} keys in all); those keys paired none of them, --exhaustive decides"
              " every pair", file=sys.stderr)
    if counts["components_from_candidates"]:
        print(f"refsieve: {counts['components_from_candidates']} sets of linked records were too large to decide"
              f" every pair in them (the largest holds {counts['largest_component']} records); they were grouped"
              " from the pairs found", file=sys.stderr)


def run(args: argparse.Namespace) -> int:
    report = Report()
    records = load_catalogue(args, report)
    tell(report, args)
    groups = find_groups(args, records)
    with contextlib.ExitStack() as outputs:
        stream = outputs.enter_context(open_output(args.output))
        writer = WRITERS[output_format(args, args.output)](stream, GROUP_COLUMNS)
        for row in group_rows(records, groups.group):
            writer.write(row)
        if args.pairs is not None:
            pair_stream = outputs.enter_context(open_output(args.pairs))
            pair_writer = WRITERS[output_format(args, args.pairs)](pair_stream, PAIR_COLUMNS)
            for row in pair_rows(records, groups):
                pair_writer.write(row)
    tell_counts(groups, args)
    if not args.quiet:
        shared = sum(1 for position, group in enumerate(groups.group) if group != position)
        print(f"refsieve: {len(records)} records in {len(set(groups.group))} groups;"
              f" {shared} records belong to an earlier record's group ({groups.counts['pairs_decided']} pairs"
              f" decided, {groups.counts['same_pairs']} of them the same work)", file=sys.stderr)
    return 0
