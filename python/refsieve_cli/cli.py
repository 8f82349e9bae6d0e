"""The ``refsieve`` command line: its commands, their options, and how a run ends.

Each group of options is declared once here and given to every command
that takes it; defaults come from :mod:`refsieve_cli.defaults`. The
commands themselves are in :mod:`refsieve_cli.commands`. Malformed input
ends the command with one line on standard error that names the file, the
line and the field, before anything is written.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import math
import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from importlib import metadata
from types import FrameType
from typing import Any

from refsieve_cli import defaults
from refsieve_cli.commands import dedupe, demo, evaluate, explain, match
from refsieve_cli.engine import most_total
from refsieve_cli.errors import CommandError, InputError
from refsieve_cli.io.output import WRITERS, OutputError
from refsieve_cli.io.sources import FORMATS
from refsieve_cli.records.builder import BAD_VALUES
from refsieve_cli.records.fields import SCORED_FIELDS, SHOWN_FIELDS, parse_map


class Terminated(BaseException):
    """The process was asked to stop (SIGTERM)."""


# --- option values ---------------------------------------------------------------


def _non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got '{text}'") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected 0 or more, got {value}")
    return value


def _positive_int(text: str) -> int:
    value = _non_negative_int(text)
    if value == 0:
        raise argparse.ArgumentTypeError("expected 1 or more, got 0")
    return value


def _largest_total() -> float:
    return most_total(SCORED_FIELDS)


def _score(text: str) -> float:
    """A total score: from 0 to the largest total there is."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got '{text}'") from None
    if not 0 <= value <= _largest_total():
        raise argparse.ArgumentTypeError(f"expected a score from 0 to {_largest_total():g}, got {text}")
    return value


def _encoding(name: str) -> str:
    try:
        codecs.lookup(name)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding '{name}'") from None
    return name


def _delimiter(text: str) -> str:
    named = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";"}
    value = named.get(text.lower(), text)
    if len(value) != 1:
        raise argparse.ArgumentTypeError(f"expected one character (or 'tab'), got '{text}'")
    return value


def _field_list(text: str) -> list[str]:
    names = [name.strip().lower() for name in text.split(",") if name.strip()]
    if names == ["all"]:
        return list(SHOWN_FIELDS)
    for name in names:
        if name not in SHOWN_FIELDS:
            raise argparse.ArgumentTypeError(f"unknown field '{name}' (use {', '.join(SHOWN_FIELDS)} or all)")
    return names


def _truth_columns(text: str) -> tuple[str, str]:
    names = [name.strip() for name in text.split(",")]
    if len(names) != 2 or not all(names):
        raise argparse.ArgumentTypeError(f"expected two column names separated by a comma, got '{text}'")
    return names[0], names[1]


def _threshold_range(text: str) -> tuple[float, float, float]:
    try:
        start, stop, step = (float(part) for part in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected START:STOP:STEP, e.g. {defaults.THRESHOLDS}, got '{text}'") from None
    if not (math.isfinite(start) and math.isfinite(stop) and step > 0 and stop >= start):
        raise argparse.ArgumentTypeError(f"expected START <= STOP and a STEP above 0, got '{text}'")
    if start < 0 or stop > _largest_total():
        raise argparse.ArgumentTypeError(f"expected thresholds from 0 to {_largest_total():g}, got '{text}'")
    if len(evaluate.thresholds(0.0, _largest_total(), step)) > 1000:
        raise argparse.ArgumentTypeError(f"a step of {step:g} gives too many thresholds: use a larger STEP")
    return start, stop, step


class _MapAction(argparse.Action):
    """Collects --map SOURCE=FIELD[,SOURCE=FIELD...], repeatable."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        try:
            pairs = parse_map([str(values)])
        except ValueError as error:
            raise argparse.ArgumentError(self, str(error)) from None
        setattr(namespace, self.dest, {**getattr(namespace, self.dest), **pairs})


class _IncludeAction(argparse.Action):
    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        names = [*getattr(namespace, self.dest), *values]
        setattr(namespace, self.dest, list(dict.fromkeys(names)))


# --- option groups, each declared once ---------------------------------------------

Group = Callable[[argparse.ArgumentParser], None]
TWO_SIDES = ("subjects", "candidates")


def reading(sides: Sequence[str] = TWO_SIDES) -> Group:
    """How input files are read and their values made canonical; without ``sides``, one catalogue."""

    def add(parser: argparse.ArgumentParser) -> None:
        group = parser.add_argument_group("reading the input")
        for side in sides:
            group.add_argument(f"--{side}-also", action="append", default=[], metavar="FILE",
                               help=f"another file of {side}, read with the first (repeatable); BibTeX files of a "
                               "side share @string definitions and crossref targets")
        for side in sides:
            group.add_argument(f"--{side}-format", choices=FORMATS,
                               help=f"format of the {side} files (default: by extension; needed for -)")
        if not sides:
            group.add_argument("--input-format", choices=FORMATS,
                               help="format of the input files (default: by extension; needed for -)")
        group.add_argument("--lookup", action="append", default=[], metavar="FILE.bib",
                           help="a BibTeX file whose @string definitions and entries serve as macros and crossref "
                           "targets, not as records (repeatable)")
        group.add_argument("--encoding", default=defaults.ENCODING, type=_encoding, metavar="NAME",
                           help=f"text encoding of all input files (default {defaults.ENCODING})")
        for side in sides:
            group.add_argument(f"--{side}-encoding", type=_encoding, metavar="NAME",
                               help=f"text encoding of the {side} files (default: --encoding)")
        group.add_argument("--delimiter", type=_delimiter, metavar="CHAR",
                           help="delimiter of CSV input (default: read off the header row: , ; tab or |)")
        group.add_argument("--map", action=_MapAction, default={}, metavar="SOURCE=FIELD[,...]",
                           help="read the field SOURCE as FIELD (before the built-in names); SOURCE= ignores it")
        group.add_argument("--bad-values", choices=BAD_VALUES, default=defaults.BAD_VALUES,
                           help="an unreadable value (a year such as 'in press'): stop with an error (default), "
                           "read it as empty, or skip its record")
        group.add_argument("--max-field-length", type=_non_negative_int, default=defaults.MAX_FIELD_LENGTH,
                           metavar="N", help="cut longer texts to N characters, 0 for no limit "
                           f"(default {defaults.MAX_FIELD_LENGTH})")

    return add


def raw_values(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--raw", action="store_true",
                        help="score the values as read: no canonical authors, DOIs, titles or pages")


def matching(parser: argparse.ArgumentParser) -> None:
    """Which matches are kept, and what is shown beside them."""
    group = parser.add_argument_group("matches")
    group.add_argument("--top-n", type=_non_negative_int, default=defaults.TOP_N, metavar="N",
                       help=f"matches kept per subject, best first (default {defaults.TOP_N})")
    group.add_argument("--min-score", type=_score, default=defaults.MIN_SCORE, metavar="X",
                       help=f"lowest total score kept, 0 to {_largest_total():g} (default {defaults.MIN_SCORE:g})")
    group.add_argument("--include", type=_field_list, action=_IncludeAction, default=[], metavar="FIELDS",
                       help="add the subject's and the candidate's values of these fields to each row "
                       f"(comma-separated: {', '.join(SHOWN_FIELDS)}, or all)")


def blocking(parser: argparse.ArgumentParser) -> None:
    """Which candidates each subject is scored against."""
    group = parser.add_argument_group("candidates")
    group.add_argument("--blocking", action="store_true",
                       help="score each subject only against the candidates that share a key with it (a DOI, rare "
                       "title words with a family name, a family name with a first page, a journal issue): much "
                       "faster for large catalogues; a match whose records share no key is not found")


def _share(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got '{text}'") from None
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"expected a share above 0 and at most 1, got {text}")
    return value


def grouping(parser: argparse.ArgumentParser) -> None:
    """How the records of one catalogue are grouped."""
    group = parser.add_argument_group("groups")
    group.add_argument("--share", type=_share, default=defaults.SHARE, metavar="X",
                       help="two groups join when this share of the pairs across them are the same work and none "
                       f"is two works (default {defaults.SHARE:g})")
    group.add_argument("--exhaustive", action="store_true",
                       help="decide every pair of records, not only those that share a key (slow for large files)")


def writing(what: str) -> Group:
    """Where and how the output is written."""

    def add(parser: argparse.ArgumentParser) -> None:
        group = parser.add_argument_group("output")
        group.add_argument("--output", "-o", metavar="FILE",
                           help=f"write {what} here (default: standard output); the file appears when complete")
        group.add_argument("--format", choices=sorted(WRITERS),
                           help="output format (default: csv for a .csv output file, else jsonl)")

    return add


def running(parser: argparse.ArgumentParser) -> None:
    """Where scoring runs, and what is told on the way."""
    group = parser.add_argument_group("running")
    group.add_argument("--scheduler", metavar="ADDRESS",
                       help="score on the Dask cluster of this scheduler (e.g. tcp://HOST:8786); "
                       "needs refsieve[dask] here and on every worker")
    group.add_argument("--chunk-size", type=_positive_int, default=defaults.PARTITION_SIZE, metavar="N",
                       help="subjects (for dedupe: records whose pairs are decided) per task on a Dask cluster "
                       f"(default {defaults.PARTITION_SIZE}); on one machine all are done in one call")
    quiet(parser)


def quiet(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--quiet", "-q", action="store_true",
                        help="nothing on standard error but errors: no progress bar, notes or warnings")


def truth(parser: argparse.ArgumentParser) -> None:
    """The true pairs to evaluate against."""
    group = parser.add_argument_group("evaluation")
    group.add_argument("--truth", required=True, metavar="PAIRS.csv",
                       help="CSV file of true pairs of record keys, with a header row; by default "
                       "its first two columns (subject key, candidate key for match)")
    group.add_argument("--truth-columns", type=_truth_columns, metavar="FIRST,SECOND",
                       help="the two columns of --truth that hold the keys")


def thresholds(parser: argparse.ArgumentParser) -> None:
    """The thresholds to evaluate a match at."""
    group = parser.add_argument_group("thresholds")
    group.add_argument("--thresholds", type=_threshold_range, default=defaults.THRESHOLDS, metavar="START:STOP:STEP",
                       help=f"the --min-score values to evaluate (default {defaults.THRESHOLDS})")
    group.add_argument("--plot", metavar="FILE.png",
                       help="draw precision, recall and F1 against the threshold (needs matplotlib)")


def two_sides(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("subjects", metavar="SUBJECTS", help="the references to resolve")
    parser.add_argument("candidates", metavar="CANDIDATES", help="the records they may refer to")


def catalogue(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="the catalogue (several files are read as one)")


def _defaults_of(*groups: Group) -> dict[str, Any]:
    """The values that these groups give when none of their options is used."""
    parser = argparse.ArgumentParser(add_help=False)
    for add in groups:
        add(parser)
    return vars(parser.parse_args([]))


# --- the parser --------------------------------------------------------------------


def _command(commands: Any, name: str, run: Callable[[argparse.Namespace], int], groups: Sequence[Group],
             **about: str) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(name, **about)
    for add in groups:
        add(parser)
    parser.set_defaults(run=run, include=[])
    return parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="refsieve",
        description="Resolve bibliographic references against a catalogue of candidate records.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    _command(
        commands, "match", match.run,
        [two_sides, reading(), raw_values, matching, blocking, writing("the matches"), running],
        help="match the records of SUBJECTS against those of CANDIDATES",
        description="Match every record of SUBJECTS against the records of CANDIDATES and write one row per "
        "match. Files are read by extension: .jsonl/.ndjson (JSON Lines), .json (a JSON list, CSL-JSON too), "
        ".csv/.tsv (a header row naming the columns), .bib (BibTeX) or .ris (RIS); - reads standard input.",
    )

    dedupe_parser = _command(
        commands, "dedupe", dedupe.run, [catalogue, reading(()), raw_values, grouping, writing("the groups"), running],
        help="find the groups of records in one catalogue that describe the same work",
        description="Find the groups of records of the catalogue that describe the same work; write one row per "
        "record with its group (cluster: the position of the group's first record). Pairs of records that share a "
        "key (a DOI, rare title words, a family name with a first page, a journal issue) are decided: the same "
        "work, two works (different DOIs, distant years, pages apart, a volume against a paper in it ...) or "
        "undecided. Records are grouped along the pairs decided the same work, never across two works.",
    )
    dedupe_parser.add_argument("--pairs", metavar="FILE",
                               help="also write the pairs decided the same work inside groups, with their scores, to FILE")

    evaluating = commands.add_parser(
        "evaluate",
        help="precision, recall and F1 against a file of true pairs",
        description="Compare matches (at a range of --min-score values) or groups with the true pairs of --truth.",
    )
    tasks = evaluating.add_subparsers(dest="task", required=True, metavar="TASK")
    _command(tasks, "match", evaluate.run, [two_sides, reading(), raw_values, blocking, truth, thresholds, running],
             help="evaluate the best match of every subject",
             description="Evaluate the best match of every subject against true pairs.")
    _command(tasks, "dedupe", evaluate.run, [catalogue, reading(()), raw_values, grouping, truth, running],
             help="evaluate the groups of one catalogue", description="Evaluate the groups of one catalogue against "
             "true pairs: every two records in one group count as a found pair.")

    explaining = _command(
        commands, "explain", explain.run, [two_sides, reading(), raw_values, quiet],
        help="show why one candidate scores what it scores against one subject",
        description="Print both records as they are compared and, for each partial score, the rule that earned "
        "it. SUBJECT and CANDIDATE are record keys (or, failing that, indexes). Give one file twice to compare "
        "two records of one catalogue.",
    )
    explaining.add_argument("subject", metavar="SUBJECT", help="the subject's key or index")
    explaining.add_argument("candidate", metavar="CANDIDATE", help="the candidate's key or index")

    demo_parser = _command(commands, "demo", demo.run, [raw_values, matching, writing("the matches"), running],
                           help="match the bundled sample references against the bundled catalogue",
                           description="Match the bundled sample references against the bundled catalogue.")
    # The bundled files need no notes on how they were read.
    demo_parser.set_defaults(**_defaults_of(reading()), notes=False)
    return parser


def _version() -> str:
    try:
        return metadata.version("refsieve")
    except metadata.PackageNotFoundError:
        return "(not installed)"


def _terminate(signum: int, frame: FrameType | None) -> None:
    raise Terminated


@contextlib.contextmanager
def _sigterm_raises() -> Iterator[None]:
    """SIGTERM raises :class:`Terminated` (between calls), so that cleanup runs."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        with _sigterm_raises():
            return int(args.run(args))
    except (InputError, CommandError, OutputError) as error:
        print(f"refsieve: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as error:
        # Writing the output failed, e.g. a full disk.
        print(f"refsieve: cannot write the output: {error.strerror or error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\nrefsieve: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print("refsieve: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
