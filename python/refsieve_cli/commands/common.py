"""What the commands share: their inputs read into record tables, reports, progress and outputs."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from refsieve_cli.errors import CommandError, Report
from refsieve_cli.io.sources import STDIN, Source
from refsieve_cli.progress import Progress
from refsieve_cli.records.builder import LoadOptions, load_side
from refsieve_cli.records.fields import FieldMap
from refsieve_cli.records.record import RecordTable


def load_options(args: argparse.Namespace) -> LoadOptions:
    return LoadOptions(FieldMap(args.map), args.raw, args.bad_values, args.max_field_length,
                       tuple(getattr(args, "include", ())))


def _side_sources(args: argparse.Namespace, side: str, first: str) -> list[Source]:
    options = vars(args)
    encoding = options[f"{side}_encoding"] or args.encoding
    fmt = options[f"{side}_format"]
    return [Source(path, fmt, encoding, args.delimiter, side) for path in [first, *options[f"{side}_also"]]]


def _lookups(args: argparse.Namespace) -> list[Source]:
    return [Source(path, None, args.encoding) for path in args.lookup]


def _check_map(field_map: FieldMap, tables: Sequence[RecordTable]) -> None:
    seen = set().union(*(table.field_names for table in tables))
    for source in field_map.overrides:
        if source not in seen:
            raise CommandError(f"--map: no input file has a field named '{source}'")


def load_both(args: argparse.Namespace, report: Report) -> tuple[RecordTable, RecordTable]:
    """The subjects and the candidates of a command that matches two sides."""
    if args.subjects == STDIN and args.candidates == STDIN:
        raise CommandError("only one side can be read from standard input")
    options = load_options(args)
    subjects = load_side(_side_sources(args, "subjects", args.subjects), options, report, _lookups(args))
    candidates = load_side(_side_sources(args, "candidates", args.candidates), options, report, _lookups(args))
    _check_map(options.field_map, (subjects, candidates))
    return subjects, candidates


def load_catalogue(args: argparse.Namespace, report: Report) -> RecordTable:
    """The records of a catalogue read on its own (several files read as one)."""
    if args.files.count(STDIN) > 1:
        raise CommandError("standard input can be read only once")
    options = load_options(args)
    sources = [Source(path, args.input_format, args.encoding, args.delimiter) for path in args.files]
    table = load_side(sources, options, report, _lookups(args))
    _check_map(options.field_map, (table,))
    return table


def tell(report: Report, args: argparse.Namespace) -> None:
    """The report's warnings, then its notes (unless the command keeps them), on standard error; nothing
    with --quiet."""
    if args.quiet:
        return
    for warning in report.warnings:
        print(f"refsieve: warning: {warning}", file=sys.stderr)
    if getattr(args, "notes", True):
        for note in report.notes:
            print(f"refsieve: {note}", file=sys.stderr)


def progress_bar(args: argparse.Namespace, total: int, unit: str = "subjects") -> Progress:
    """A progress bar on standard error when it is a terminal and the command is not quiet."""
    return Progress(total, sys.stderr, enabled=shows_progress(args), unit=unit)


def shows_progress(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


def output_format(args: argparse.Namespace, name: str | None) -> str:
    """--format, else csv for a .csv output file, else JSON Lines."""
    return str(args.format or ("csv" if name and name.lower().endswith(".csv") else "jsonl"))
