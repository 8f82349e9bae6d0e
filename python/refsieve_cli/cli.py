"""The ``refsieve`` command: resolve the references in one file against another.

``refsieve match SUBJECTS CANDIDATES`` reads both sides, maps their fields,
canonicalises the values, scores the subjects in bounded calls and writes
one row per match; ``refsieve demo`` does the same for the bundled sample.
This module only parses the command line and reports; the stages are in
:mod:`refsieve_cli.load`, :mod:`refsieve_cli.scoring` and
:mod:`refsieve_cli.output`. Malformed input ends the command with one line
on standard error that names the file, the line and the field, before
anything is written.
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
from collections.abc import Iterator, Sequence
from importlib import metadata, resources
from pathlib import Path
from types import FrameType
from typing import TYPE_CHECKING, Any

from refsieve_cli import evaluate, grouping
from refsieve_cli.dedupe import GROUP_COLUMNS, PAIR_COLUMNS, group_rows, pair_rows
from refsieve_cli.errors import InputError, Report
from refsieve_cli.explain import explain, format_explanation
from refsieve_cli.fields import FieldMap, parse_map
from refsieve_cli.load import BAD_VALUES, DEFAULT_MAX_FIELD_LENGTH, SHOWN_FIELDS, LoadOptions, Records, load_side
from refsieve_cli.output import WRITERS, OutputError, RowWriter, open_output
from refsieve_cli.progress import Progress
from refsieve_cli.readers import FORMATS, Source
from refsieve_cli.scoring import match_rows, row_columns, score

if TYPE_CHECKING:
    from refsieve_cli.scoring import Scorer

DEFAULT_TOP_N = 1
DEFAULT_MIN_SCORE = 125.0
# Groups of one catalogue: the lowest mean pair score at which two groups join.
DEFAULT_GROUP_SCORE = 95.0
DEFAULT_THRESHOLDS = "80:160:5"
DEFAULT_CHUNK_SIZE = 256
# The most that a title and a year can score together.
TITLE_AND_YEAR = 110.0
# A DOI match whose titles score below this has titles that do not agree closely.
DOI_TITLE_WARNING = 50.0


class CommandError(Exception):
    """A user error that ends the command with a one-line message."""


class Terminated(BaseException):
    """The process was asked to stop (SIGTERM)."""


def _sources(args: argparse.Namespace, side: str, first: str) -> list[Source]:
    options = vars(args)
    encoding = options[f"{side}_encoding"] or args.encoding
    fmt = options[f"{side}_format"]
    paths = [first, *options[f"{side}_also"]]
    return [Source(path, fmt, encoding, args.delimiter, side) for path in paths]


def _catalogue_sources(args: argparse.Namespace) -> list[Source]:
    """The files of a catalogue that is grouped on its own (``dedupe``)."""
    if args.files.count("-") > 1:
        raise CommandError("standard input can be read only once")
    return [Source(path, args.input_format, args.encoding, args.delimiter) for path in args.files]


def _output_format(args: argparse.Namespace, name: str | None) -> str:
    return str(args.format or ("csv" if name and name.lower().endswith(".csv") else "jsonl"))


def _load_options(args: argparse.Namespace) -> LoadOptions:
    return LoadOptions(FieldMap(args.map), args.raw, args.bad_values, args.max_field_length, tuple(args.include))


def _check_map(field_map: FieldMap, sides: Sequence[Records]) -> None:
    seen = set().union(*(side.field_names for side in sides))
    for source in field_map.overrides:
        if source not in seen:
            raise CommandError(f"--map: no input file has a field named '{source}'")


def _tell(report: Report, quiet: bool) -> None:
    if quiet:
        return
    for warning in report.warnings:
        print(f"refsieve: warning: {warning}", file=sys.stderr)
    for note in report.notes:
        print(f"refsieve: {note}", file=sys.stderr)


def run_match(args: argparse.Namespace, scorer: Scorer = score) -> int:
    report = Report()
    subjects, candidates = _load_both(args, report)
    for side, records in (("subjects", subjects), ("candidates", candidates)):
        if records.records and args.min_score > TITLE_AND_YEAR and not any(r["author"] for r in records.records):
            report.warn(f"no {side[:-1]} has an author: title and year alone score at most {TITLE_AND_YEAR:g},"
                        f" below --min-score {args.min_score:g}")

    output_format = _output_format(args, args.output)
    show_progress = not args.quiet and sys.stderr.isatty()
    written = 0
    matched: set[int] = set()
    doi_title_disagreements = 0
    with open_output(args.output) as stream:
        # Told once the output could be opened, so that a failure is the only line shown.
        _tell(report, args.quiet)
        writer: RowWriter = WRITERS[output_format](stream, row_columns(args.include))
        progress = Progress(len(subjects), sys.stderr, enabled=show_progress)
        rows = match_rows(subjects, candidates, args.top_n, args.min_score, args.chunk_size, args.include,
                          progress.advance, scorer=scorer)
        for subject, candidate, row in rows:
            writer.write(row)
            written += 1
            matched.add(subject)
            if row["match_type"] == "doi" and row["title_score"] < DOI_TITLE_WARNING:
                doi_title_disagreements += bool(subjects.records[subject]["title"]
                                                and candidates.records[candidate]["title"])
        progress.close()
    if doi_title_disagreements and not args.quiet:
        print(f"refsieve: warning: {doi_title_disagreements} DOI match(es) with titles that do not agree"
              f" (title score below {DOI_TITLE_WARNING:g}); check them, e.g. with --include title,doi", file=sys.stderr)
    if show_progress:
        print(f"refsieve: {len(subjects)} subjects against {len(candidates)} candidates:"
              f" {written} matches for {len(matched)} subjects", file=sys.stderr)
    return 0

def _load_both(args: argparse.Namespace, report: Report) -> tuple[Records, Records]:
    if args.subjects == "-" and args.candidates == "-":
        raise CommandError("only one side can be read from standard input")
    options = _load_options(args)
    subjects = load_side(_sources(args, "subjects", args.subjects), options, report)
    candidates = load_side(_sources(args, "candidates", args.candidates), options, report)
    _check_map(options.field_map, (subjects, candidates))
    return subjects, candidates


def _load_catalogue(args: argparse.Namespace, report: Report) -> Records:
    options = _load_options(args)
    records = load_side(_catalogue_sources(args), options, report)
    _check_map(options.field_map, (records,))
    return records


def _group_pairs(args: argparse.Namespace, records: Records) -> list[grouping.ScoredPair]:
    show_progress = not args.quiet and sys.stderr.isatty()
    progress = Progress(len(records), sys.stderr, enabled=show_progress, unit="records")
    with _scoring(args.scheduler) as scorer:
        pairs = grouping.scored_pairs(records, args.floor, args.neighbours, args.chunk_size, progress.advance, scorer)
    progress.close()
    return pairs


def run_dedupe(args: argparse.Namespace) -> int:
    report = Report()
    records = _load_catalogue(args, report)
    _tell(report, args.quiet)
    pairs = _group_pairs(args, records)
    groups = grouping.linkage(len(records), pairs).groups(args.min_score)
    with contextlib.ExitStack() as outputs:
        stream = outputs.enter_context(open_output(args.output))
        writer = WRITERS[_output_format(args, args.output)](stream, GROUP_COLUMNS)
        for row in group_rows(records, groups):
            writer.write(row)
        if args.pairs is not None:
            pair_stream = outputs.enter_context(open_output(args.pairs))
            pair_writer = WRITERS[_output_format(args, args.pairs)](pair_stream, PAIR_COLUMNS)
            for row in pair_rows(records, pairs, groups):
                pair_writer.write(row)
    if not args.quiet:
        shared = sum(1 for position, group in enumerate(groups) if group != position)
        print(f"refsieve: {len(records)} records in {len(set(groups))} groups;"
              f" {shared} records belong to an earlier record's group", file=sys.stderr)
    return 0


def _truth_columns(text: str) -> tuple[str, str]:
    names = [name.strip() for name in text.split(",")]
    if len(names) != 2 or not all(names):
        raise argparse.ArgumentTypeError(f"expected two column names separated by a comma, got '{text}'")
    return names[0], names[1]


def _threshold_range(text: str) -> list[float]:
    try:
        start, stop, step = (float(part) for part in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected START:STOP:STEP, e.g. {DEFAULT_THRESHOLDS}, got '{text}'") from None
    if not (math.isfinite(start) and math.isfinite(stop) and step > 0 and stop >= start):
        raise argparse.ArgumentTypeError(f"expected START <= STOP and a STEP above 0, got '{text}'")
    levels = evaluate.thresholds(start, stop, step)
    if len(levels) > 1000:
        raise argparse.ArgumentTypeError(f"{len(levels)} thresholds: use a larger STEP")
    return levels


def run_evaluate(args: argparse.Namespace) -> int:
    truth = evaluate.read_truth(args.truth, args.truth_columns, args.encoding)
    report = Report()
    if args.task == "match":
        subjects, candidates = _load_both(args, report)
        _tell(report, args.quiet)
        keys = {key for side in (subjects, candidates) for key in side.keys}
        rows = [row for _, _, row in match_rows(subjects, candidates, 1, min(args.thresholds), args.chunk_size)]
        qualities = evaluate.match_quality(rows, truth, args.thresholds)
        known = sum(1 for first, second in truth.pairs if first in keys and second in keys)
    else:
        records = _load_catalogue(args, report)
        _tell(report, args.quiet)
        keys = set(records.keys)
        link = grouping.linkage(len(records), _group_pairs(args, records))
        qualities = evaluate.group_quality(records.keys, ((level, link.groups(level)) for level in args.thresholds),
                                           truth)
        known = sum(1 for first, second in truth.pairs if first in keys and second in keys)
    if known < len(truth.pairs) and not args.quiet:
        print(f"refsieve: warning: {len(truth.pairs) - known} of {len(truth.pairs)} true pairs name a key that no"
              f" record has (columns {truth.columns[0]}, {truth.columns[1]}); they count as missed", file=sys.stderr)
    print(f"{args.task}: true pairs from columns {truth.columns[0]}, {truth.columns[1]} of {args.truth}")
    print(evaluate.format_table(qualities))
    if args.plot:
        evaluate.plot(qualities, args.plot, f"refsieve {args.task}")
    return 0


def _find(records: Records, name: str, side: str) -> int:
    """The position of the record whose key is ``name``, else whose index is ``name``."""
    for position, key in enumerate(records.keys):
        if key == name:
            return position
    if name.isdigit():
        for position, record in enumerate(records.records):
            if record["index"] == int(name):
                return position
    raise CommandError(f"no {side} has the key or index '{name}'")


def run_explain(args: argparse.Namespace) -> int:
    report = Report()
    subjects, candidates = _load_both(args, report)
    _tell(report, args.quiet)
    subject = subjects.records[_find(subjects, args.subject, "subject")]
    candidate = candidates.records[_find(candidates, args.candidate, "candidate")]
    print(format_explanation(explain(subject, candidate), subject, candidate, (args.subject, args.candidate)))
    return 0


def sample_directory() -> Path:
    """The bundled sample: installed beside this package, or in a source checkout."""
    installed = Path(str(resources.files("refsieve_cli"))) / "sample"
    if installed.is_dir():
        return installed
    return Path(__file__).resolve().parents[2] / "examples" / "sample"


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


def _score(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got '{text}'") from None
    if math.isnan(value):
        raise argparse.ArgumentTypeError("expected a number, got nan")
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


# --- the parser --------------------------------------------------------------------


def _add_scoring_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--top-n", type=_non_negative_int, default=DEFAULT_TOP_N, metavar="N",
                        help=f"matches kept per subject, best first (default {DEFAULT_TOP_N})")
    parser.add_argument("--min-score", type=_score, default=DEFAULT_MIN_SCORE, metavar="X",
                        help=f"lowest total score kept, 0 to 188 (default {DEFAULT_MIN_SCORE:g})")
    parser.add_argument("--raw", action="store_true",
                        help="score the values as read: no canonical authors, DOIs, titles or pages")
    parser.add_argument("--include", type=_field_list, action=_IncludeAction, default=[], metavar="FIELDS",
                        help="add the subject's and the candidate's values of these fields to each row "
                        f"(comma-separated: {', '.join(SHOWN_FIELDS)}, or all)")
    parser.add_argument("--output", "-o", metavar="FILE",
                        help="write the matches here (default: standard output); the file appears when complete")
    parser.add_argument("--format", choices=sorted(WRITERS),
                        help="output format (default: csv for a .csv output file, else jsonl)")
    parser.add_argument("--chunk-size", type=_positive_int, default=DEFAULT_CHUNK_SIZE, metavar="N",
                        help=f"at most N subjects scored per call; the progress bar moves per chunk "
                        f"(default {DEFAULT_CHUNK_SIZE})")
    parser.add_argument("--quiet", "-q", action="store_true", help="nothing on standard error but errors: no progress bar, notes or warnings")
    _add_scheduler_option(parser)


def _add_scheduler_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="score on the Dask cluster of this scheduler (e.g. tcp://HOST:8786); "
                        "needs refsieve[dask] here and on every worker")


def _add_grouping_options(parser: argparse.ArgumentParser, with_threshold: bool = True) -> None:
    if with_threshold:
        parser.add_argument("--min-score", type=_score, default=DEFAULT_GROUP_SCORE, metavar="X",
                            help="lowest mean pair score at which two groups join "
                            f"(default {DEFAULT_GROUP_SCORE:g})")
    parser.add_argument("--floor", type=_score, default=grouping.DEFAULT_FLOOR, metavar="X",
                        help="pairs scoring under X are not kept and count as 0 "
                        f"(default {grouping.DEFAULT_FLOOR:g})")
    parser.add_argument("--neighbours", type=_positive_int, default=grouping.DEFAULT_NEIGHBOURS, metavar="N",
                        help=f"pairs kept per record, best first (default {grouping.DEFAULT_NEIGHBOURS})")
    _add_scheduler_option(parser)


def _add_output_options(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--raw", action="store_true",
                        help="score the values as read: no canonical authors, DOIs, titles or pages")
    parser.add_argument("--output", "-o", metavar="FILE",
                        help=f"write {what} here (default: standard output); the file appears when complete")
    parser.add_argument("--format", choices=sorted(WRITERS),
                        help="output format (default: csv for a .csv output file, else jsonl)")
    parser.add_argument("--chunk-size", type=_positive_int, default=DEFAULT_CHUNK_SIZE, metavar="N",
                        help=f"at most N records scored per call (default {DEFAULT_CHUNK_SIZE})")
    parser.add_argument("--quiet", "-q", action="store_true",
                        help="nothing on standard error but errors: no progress bar, notes or warnings")
    parser.set_defaults(include=[])


def _add_reading_options(parser: argparse.ArgumentParser, sides: Sequence[str] = ("subjects", "candidates")) -> None:
    """Options that say how input files are read; without ``sides``, for one catalogue read on its own."""
    for side in sides:
        parser.add_argument(f"--{side}-also", action="append", default=[], metavar="FILE",
                            help=f"another file of {side}, read with the first (repeatable); BibTeX files of a "
                            "side share @string definitions and crossref targets")
    for side in sides:
        parser.add_argument(f"--{side}-format", choices=FORMATS,
                            help=f"format of the {side} files (default: by extension; needed for -)")
    if not sides:
        parser.add_argument("--input-format", choices=FORMATS,
                            help="format of the input files (default: by extension; needed for -)")
    parser.add_argument("--encoding", default="utf-8", type=_encoding, metavar="NAME",
                        help="text encoding of all input files (default utf-8)")
    for side in sides:
        parser.add_argument(f"--{side}-encoding", type=_encoding, metavar="NAME",
                            help=f"text encoding of the {side} files (default: --encoding)")
    parser.add_argument("--delimiter", type=_delimiter, metavar="CHAR",
                        help="delimiter of CSV input (default: read off the header row: , ; tab or |)")
    parser.add_argument("--map", action=_MapAction, default={}, metavar="SOURCE=FIELD[,...]",
                        help="read the field SOURCE as FIELD (before the built-in names); SOURCE= ignores it")
    parser.add_argument("--bad-values", choices=BAD_VALUES, default="error",
                        help="an unreadable value (a year such as 'in press'): stop with an error (default), "
                        "read it as empty, or skip its record")
    parser.add_argument("--max-field-length", type=_non_negative_int, default=DEFAULT_MAX_FIELD_LENGTH, metavar="N",
                        help=f"cut longer texts to N characters, 0 for no limit (default {DEFAULT_MAX_FIELD_LENGTH})")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="refsieve",
        description="Resolve bibliographic references against a catalogue of candidate records.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    match = commands.add_parser(
        "match",
        help="match the records of SUBJECTS against those of CANDIDATES",
        description="Match every record of SUBJECTS against the records of CANDIDATES and write one row per "
        "match. Files are read by extension: .jsonl/.ndjson (JSON Lines), .json (a JSON list, CSL-JSON too), "
        ".csv/.tsv (a header row naming the columns), .bib (BibTeX) or .ris (RIS); - reads standard input.",
    )
    match.add_argument("subjects", metavar="SUBJECTS", help="the references to resolve")
    match.add_argument("candidates", metavar="CANDIDATES", help="the records they may refer to")
    _add_reading_options(match)
    _add_scoring_options(match)

    dedupe = commands.add_parser(
        "dedupe",
        help="find the groups of records in one catalogue that describe the same work",
        description="Score the records of the catalogue against each other and group those that describe the "
        "same work; write one row per record with its group (cluster: the position of the group's first record). "
        "Two groups join when the mean score over all pairs of their records reaches --min-score; a pair scoring "
        "under --floor, or whose first pages differ, counts as 0. Records with the same DOI are grouped.",
    )
    dedupe.add_argument("files", nargs="+", metavar="FILE", help="the catalogue (several files are read as one)")
    _add_reading_options(dedupe, ())
    _add_grouping_options(dedupe)
    dedupe.add_argument("--pairs", metavar="FILE", help="also write the scored pairs inside groups to FILE")
    _add_output_options(dedupe, "the groups")

    evaluation = commands.add_parser(
        "evaluate",
        help="precision, recall and F1 against a file of true pairs, for a range of --min-score values",
        description="Score once, then compare the result at every threshold with the true pairs of --truth.",
    )
    tasks = evaluation.add_subparsers(dest="task", required=True, metavar="TASK")
    for task, about in (("match", "the best match of every subject"), ("dedupe", "the groups of one catalogue")):
        parser_of_task = tasks.add_parser(task, help=f"evaluate {about}",
                                          description=f"Evaluate {about} against true pairs.")
        if task == "match":
            parser_of_task.add_argument("subjects", metavar="SUBJECTS", help="the references to resolve")
            parser_of_task.add_argument("candidates", metavar="CANDIDATES", help="the records they may refer to")
            _add_reading_options(parser_of_task)
        else:
            parser_of_task.add_argument("files", nargs="+", metavar="FILE", help="the catalogue")
            _add_reading_options(parser_of_task, ())
            _add_grouping_options(parser_of_task, with_threshold=False)
        parser_of_task.add_argument("--truth", required=True, metavar="PAIRS.csv",
                                    help="CSV file of true pairs of record keys, with a header row; by default "
                                    "its first two columns (subject key, candidate key for match)")
        parser_of_task.add_argument("--truth-columns", type=_truth_columns, metavar="FIRST,SECOND",
                                    help="the two columns of --truth that hold the keys")
        parser_of_task.add_argument("--thresholds", type=_threshold_range, default=DEFAULT_THRESHOLDS,
                                    metavar="START:STOP:STEP",
                                    help=f"the --min-score values to evaluate (default {DEFAULT_THRESHOLDS})")
        parser_of_task.add_argument("--plot", metavar="FILE.png",
                                    help="draw precision, recall and F1 against the threshold (needs matplotlib)")
        parser_of_task.add_argument("--raw", action="store_true", help="score the values as read")
        parser_of_task.add_argument("--chunk-size", type=_positive_int, default=DEFAULT_CHUNK_SIZE, metavar="N",
                                    help=f"at most N subjects scored per call (default {DEFAULT_CHUNK_SIZE})")
        parser_of_task.add_argument("--quiet", "-q", action="store_true", help="no progress bar or warnings")
        parser_of_task.set_defaults(include=[])

    explaining = commands.add_parser(
        "explain",
        help="show why one candidate scores what it scores against one subject",
        description="Print both records as they are compared and, for each partial score, the rule that earned "
        "it. SUBJECT and CANDIDATE are record keys (or, failing that, indexes). Give one file twice to compare "
        "two records of one catalogue.",
    )
    explaining.add_argument("subjects", metavar="SUBJECTS", help="the file of the subject")
    explaining.add_argument("candidates", metavar="CANDIDATES", help="the file of the candidate")
    explaining.add_argument("subject", metavar="SUBJECT", help="the subject's key or index")
    explaining.add_argument("candidate", metavar="CANDIDATE", help="the candidate's key or index")
    _add_reading_options(explaining)
    explaining.add_argument("--raw", action="store_true", help="score the values as read")
    explaining.add_argument("--quiet", "-q", action="store_true", help="no warnings")
    explaining.set_defaults(include=[])

    demo = commands.add_parser("demo", help="match the bundled sample references against the bundled catalogue",
                               description="Match the bundled sample references against the bundled catalogue.")
    _add_scoring_options(demo)
    demo.set_defaults(subjects_also=[], candidates_also=[], subjects_format=None, candidates_format=None,
                      encoding="utf-8", subjects_encoding=None, candidates_encoding=None, delimiter=None, map={},
                      bad_values="error", max_field_length=DEFAULT_MAX_FIELD_LENGTH)
    return parser


def _version() -> str:
    try:
        return metadata.version("refsieve")
    except metadata.PackageNotFoundError:
        return "(not installed)"


@contextlib.contextmanager
def _scoring(address: str | None) -> Iterator[Scorer]:
    """Scoring on this machine, or with --scheduler on that Dask cluster."""
    if address is None:
        yield score
        return
    try:
        from refsieve_cli import cluster
    except ImportError as error:
        raise CommandError(f"--scheduler needs Dask, which cannot be imported ({error}):"
                           " install it with pip install 'refsieve[dask]'") from None
    with contextlib.ExitStack() as stack:
        try:
            client = stack.enter_context(cluster.connect(address))
        except cluster.ClusterError as error:
            raise CommandError(str(error)) from None
        yield cluster.scorer(client)


def _dispatch(args: argparse.Namespace) -> int:
    if args.command == "demo":
        sample = sample_directory()
        args.subjects, args.candidates = str(sample / "references.json"), str(sample / "catalogue.json")
    if args.command in ("match", "demo"):
        with _scoring(args.scheduler) as scorer:
            return run_match(args, scorer)
    runs = {"dedupe": run_dedupe, "evaluate": run_evaluate, "explain": run_explain}
    return runs[args.command](args)


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
            return _dispatch(args)
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
