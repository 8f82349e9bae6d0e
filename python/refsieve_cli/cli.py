"""The ``refsieve`` command: resolve the references in one file against another.

``refsieve match SUBJECTS CANDIDATES`` reads both files (JSON Lines, JSON,
CSV or BibTeX), scores the subjects in chunks against all candidates with
``refsieve.score_batch`` and writes one row per match. ``refsieve demo``
does the same for the bundled sample. Malformed input ends the command with
one line on standard error that names the file, the line and the field.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import csv
import json
import math
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from importlib import metadata, resources
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol, TextIO

import refsieve

from refsieve_cli.progress import Progress
from refsieve_cli.readers import InputError, Records, read_records

if TYPE_CHECKING:
    from refsieve import Record, SubjectResult

OUTPUT_COLUMNS = (
    "subject_index",
    "subject_key",
    "candidate_index",
    "candidate_key",
    "total_score",
    "title_score",
    "author_score",
    "date_score",
    "bonus_score",
)
DEFAULT_TOP_N = 1
DEFAULT_MIN_SCORE = 90.0
DEFAULT_CHUNK_SIZE = 256


class CommandError(Exception):
    """A user error that ends the command with a one-line message."""


class RowWriter(Protocol):
    def write(self, row: dict[str, Any]) -> None: ...


class JsonLinesWriter:
    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def write(self, row: dict[str, Any]) -> None:
        self.stream.write(json.dumps(row, ensure_ascii=False) + "\n")


class CsvWriter:
    def __init__(self, stream: TextIO) -> None:
        self.writer = csv.writer(stream, lineterminator="\n")
        self.writer.writerow(OUTPUT_COLUMNS)

    def write(self, row: dict[str, Any]) -> None:
        self.writer.writerow(row[column] for column in OUTPUT_COLUMNS)


WRITERS: dict[str, Callable[[TextIO], RowWriter]] = {"jsonl": JsonLinesWriter, "csv": CsvWriter}


def indexed_by_position(records: Sequence[Record]) -> list[Record]:
    """Copies of the records whose ``index`` is their position.

    Candidates are scored in this form so that every match leads back to
    its record (and its key), whatever indexes the file gave.
    """
    copies = []
    for position, record in enumerate(records):
        copy = record.copy()
        copy["index"] = position
        copies.append(copy)
    return copies


def result_rows(subjects: Records, candidates: Records, results: Iterable[SubjectResult],
                first_subject: int = 0) -> Iterator[tuple[int, dict[str, Any]]]:
    """One output row per match, as (subject position, row).

    ``results`` come from scoring ``subjects.records[first_subject:]`` against
    ``indexed_by_position(candidates.records)``.
    """
    for result in results:
        subject = first_subject + result["subject_index"]
        for match in result["matches"]:
            candidate = match["candidate_index"]
            yield subject, {
                "subject_index": subjects.records[subject]["index"],
                "subject_key": subjects.keys[subject],
                "candidate_index": candidates.records[candidate]["index"],
                "candidate_key": candidates.keys[candidate],
                "total_score": match["total_score"],
                "title_score": match["title_score"],
                "author_score": match["author_score"],
                "date_score": match["date_score"],
                "bonus_score": match["bonus_score"],
            }


def match_rows(subjects: Records, candidates: Records, top_n: int, min_score: float, chunk_size: int,
               progress: Progress | None = None) -> Iterator[tuple[int, dict[str, Any]]]:
    """Scores the subjects chunk by chunk against all candidates; rows in subject order."""
    scored = indexed_by_position(candidates.records)
    for start in range(0, len(subjects), chunk_size):
        chunk = subjects.records[start : start + chunk_size]
        yield from result_rows(subjects, candidates, refsieve.score_batch(chunk, scored, top_n, min_score), start)
        if progress is not None:
            progress.advance(len(chunk))


def run_match(args: argparse.Namespace, subjects_path: Path, candidates_path: Path) -> int:
    subjects = read_records(subjects_path, args.encoding)
    candidates = read_records(candidates_path, args.encoding)
    output_format = args.format or ("csv" if args.output and args.output.lower().endswith(".csv") else "jsonl")
    show_progress = not args.quiet and sys.stderr.isatty()
    written = 0
    matched: set[int] = set()
    with _open_output(args.output) as stream:
        writer: RowWriter = WRITERS[output_format](stream)
        progress = Progress(len(subjects), sys.stderr, enabled=show_progress)
        for subject, row in match_rows(subjects, candidates, args.top_n, args.min_score, args.chunk_size, progress):
            writer.write(row)
            written += 1
            matched.add(subject)
        progress.close()
    if show_progress:
        print(
            f"refsieve: {len(subjects)} subjects against {len(candidates)} candidates:"
            f" {written} matches for {len(matched)} subjects",
            file=sys.stderr,
        )
    return 0


@contextlib.contextmanager
def _open_output(name: str | None) -> Iterator[TextIO]:
    if name is None or name == "-":
        yield sys.stdout
        sys.stdout.flush()
        return
    try:
        stream = open(name, "w", encoding="utf-8", newline="")
    except OSError as error:
        raise CommandError(f"{name}: cannot write the file: {error.strerror or error}") from None
    with stream:
        yield stream


def sample_directory() -> Path:
    """The bundled sample: installed beside this package, or in a source checkout."""
    installed = Path(str(resources.files("refsieve_cli"))) / "sample"
    if installed.is_dir():
        return installed
    return Path(__file__).resolve().parents[2] / "examples" / "sample"


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


def _add_matching_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--top-n", type=_non_negative_int, default=DEFAULT_TOP_N, metavar="N",
                        help=f"matches kept per subject, best first (default {DEFAULT_TOP_N})")
    parser.add_argument("--min-score", type=_score, default=DEFAULT_MIN_SCORE, metavar="X",
                        help=f"lowest total score kept, 0 to 188 (default {DEFAULT_MIN_SCORE:g})")
    parser.add_argument("--output", "-o", metavar="FILE", help="write the matches here (default: standard output)")
    parser.add_argument("--format", choices=sorted(WRITERS),
                        help="output format (default: csv for a .csv output file, else jsonl)")
    parser.add_argument("--chunk-size", type=_positive_int, default=DEFAULT_CHUNK_SIZE, metavar="N",
                        help=f"subjects scored per call; the progress bar moves per chunk (default {DEFAULT_CHUNK_SIZE})")
    parser.add_argument("--encoding", default="utf-8", type=_encoding, metavar="NAME",
                        help="text encoding of the input files (default utf-8)")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress bar")


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
        "match. Files are read by extension: .jsonl/.ndjson (JSON Lines), .json (a JSON list), .csv (a header "
        "row naming the columns) or .bib (BibTeX).",
    )
    match.add_argument("subjects", type=Path, metavar="SUBJECTS", help="the references to resolve")
    match.add_argument("candidates", type=Path, metavar="CANDIDATES", help="the records they may refer to")
    _add_matching_options(match)

    demo = commands.add_parser("demo", help="match the bundled sample references against the bundled catalogue",
                               description="Match the bundled sample references against the bundled catalogue.")
    _add_matching_options(demo)
    return parser


def _version() -> str:
    try:
        return metadata.version("refsieve")
    except metadata.PackageNotFoundError:
        return "(not installed)"


def _dispatch(args: argparse.Namespace) -> int:
    if args.command == "demo":
        sample = sample_directory()
        return run_match(args, sample / "references.json", sample / "catalogue.json")
    return run_match(args, args.subjects, args.candidates)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return _dispatch(args)
    except (InputError, CommandError) as error:
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
