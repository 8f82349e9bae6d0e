"""``refsieve match``: one row per match of each subject among the candidates, in subject order, best first."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator, Sequence
from typing import Any

from refsieve_cli import defaults
from refsieve_cli.commands.common import load_both, output_format, progress_bar, shows_progress, tell
from refsieve_cli.engine import SCORES, Engine, Matches, connected, decide, most_total
from refsieve_cli.errors import CommandError, Report
from refsieve_cli.io.output import WRITERS, open_output
from refsieve_cli.records.fields import SCORED_FIELDS
from refsieve_cli.records.record import RecordTable

ROW_COLUMNS = ("subject_index", "subject_key", "candidate_index", "candidate_key", "match_type", *SCORES, "decision",
               "decision_reason")
# Rows made at a time: their Python objects exist only while they are written.
_ROWS_AT_ONCE = 65536


def row_columns(include: Sequence[str] = ()) -> tuple[str, ...]:
    """The columns of a row: identifiers, how it was found, the scores, then included values."""
    return ROW_COLUMNS + tuple(f"{side}_{name}" for name in include for side in ("subject", "candidate"))


def rows(subjects: RecordTable, candidates: RecordTable, matches: Matches,
         include: Sequence[str] = ()) -> Iterator[dict[str, Any]]:
    """One row per match, in the order of ``matches``, with the decision whether the two records are one work."""
    verdicts, reasons = decide(subjects, candidates, matches["subject"], matches["candidate"])
    for start in range(0, len(matches), _ROWS_AT_ONCE):
        stop = min(len(matches), start + _ROWS_AT_ONCE)
        subject_at = list(matches["subject"][start:stop])
        candidate_at = list(matches["candidate"][start:stop])
        columns: dict[str, Sequence[Any]] = {
            "subject_index": subjects.indexes(subject_at),
            "subject_key": subjects.keys(subject_at),
            "candidate_index": candidates.indexes(candidate_at),
            "candidate_key": candidates.keys(candidate_at),
            "match_type": [matches.match_type(at) for at in range(start, stop)],
        }
        for name in SCORES:
            columns[name] = matches[name][start:stop]
        columns["decision"] = verdicts[start:stop]
        columns["decision_reason"] = reasons[start:stop]
        for name in include:
            columns[f"subject_{name}"] = subjects.shown(name, subject_at)
            columns[f"candidate_{name}"] = candidates.shown(name, candidate_at)
        names = list(columns)
        for values in zip(*columns.values()):
            yield dict(zip(names, values))


def check_reachable(subjects: RecordTable, candidates: RecordTable, min_score: float) -> None:
    """Refuses a run in which no pair can reach min_score: the fields that could lift a total above it are
    present on one side only, or on none (often a field the input names in a way not mapped)."""
    if not len(subjects) or not len(candidates):
        return
    shared = [name for name in SCORED_FIELDS[1:]
              if subjects.store.present(name) and candidates.store.present(name)]
    most = most_total(shared)
    if most < min_score:
        raise CommandError(f"no pair can reach --min-score {min_score:g}: with the fields that both sides have"
                           f" ({', '.join(shared) or 'none'}) totals reach at most {most:g}. Read the missing"
                           " fields with --map SOURCE=FIELD (see the fields read and not used above), or lower"
                           " --min-score")


def _doi_matches_with_other_titles(subjects: RecordTable, candidates: RecordTable, matches: Matches) -> int:
    """DOI matches whose titles both exist and do not agree: often a mistyped DOI."""
    suspect = [at for at in range(len(matches))
               if matches["doi"][at] and matches["title_score"][at] < defaults.DOI_TITLE_WARNING]
    subject_titles = subjects.store.texts("title", [matches["subject"][at] for at in suspect])
    candidate_titles = candidates.store.texts("title", [matches["candidate"][at] for at in suspect])
    return sum(1 for first, second in zip(subject_titles, candidate_titles) if first and second)


def score(engine: Engine, subjects: RecordTable, candidates: RecordTable, top_n: int, min_score: float,
          args: argparse.Namespace) -> Matches:
    """The matches, with a progress bar as ``args`` allow."""
    bar = progress_bar(args, len(subjects))
    matches = engine.match(subjects, candidates, top_n, min_score, blocking=getattr(args, "blocking", False),
                           progress=bar.advance)
    bar.close()
    tell_skipped(matches.counts, args)
    return matches


def tell_skipped(counts: dict[str, int], args: argparse.Namespace) -> None:
    """Keys held by too many records, which paired none of them: what candidate generation left out."""
    if counts.get("keys_skipped") and not args.quiet:
        print(f"refsieve: {counts['records_skipped']} records had keys held by more records than a key may pair"
              f" ({counts['keys_skipped']} keys in all); those keys paired none of them", file=sys.stderr)


def run(args: argparse.Namespace) -> int:
    report = Report()
    subjects, candidates = load_both(args, report)
    with connected(args.scheduler, args.chunk_size) as engine, open_output(args.output) as stream:
        # Told once the output could be opened, so that a failure to open it is the only line shown.
        tell(report, args)
        check_reachable(subjects, candidates, args.min_score)
        matches = score(engine, subjects, candidates, args.top_n, args.min_score, args)
        writer = WRITERS[output_format(args, args.output)](stream, row_columns(args.include))
        for row in rows(subjects, candidates, matches, args.include):
            writer.write(row)
    disagreements = _doi_matches_with_other_titles(subjects, candidates, matches)
    if disagreements and not args.quiet:
        print(f"refsieve: warning: {disagreements} DOI match(es) with titles that do not agree"
              f" (title score below {defaults.DOI_TITLE_WARNING:g}); check them, e.g. with --include title,doi",
              file=sys.stderr)
    if shows_progress(args):
        print(f"refsieve: {len(subjects)} subjects against {len(candidates)} candidates:"
              f" {len(matches)} matches for {len(set(matches['subject']))} subjects", file=sys.stderr)
    return 0
