"""``refsieve explain``: why a candidate scores what it scores against a subject.

The scores and the facts behind them (ratios, containment, keywords, the
year gap, which identifying fields agreed, which rule applied) come from
the engine, computed by the code that scores; this module only words them,
with the constants that :func:`refsieve_cli.engine.rules` reports.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass, replace
from typing import Any

from refsieve_cli.commands.common import load_both, tell
from refsieve_cli.engine import Matches, decide
from refsieve_cli.engine import rules as engine_rules
from refsieve_cli.engine.local import LocalEngine
from refsieve_cli.errors import CommandError, Report
from refsieve_cli.records.fields import SHOWN_FIELDS
from refsieve_cli.records.record import Record, RecordTable

# How each rule the engine names is worded.
_TITLE_BOOSTS = {1: "above {threshold:g}: +{boost:g} boost",
                 2: "{contains}: +{boost:g} boost"}
_CONTAINS = {1: "the subject's title contains the candidate's", 2: "the candidate's title contains the subject's",
             3: "the titles are the same"}
_DATE_RULES = {0: "a year is missing: 0", 1: "the same year ({subject})", 2: "{gap} year{s} apart ({subject}, {candidate})",
               3: "{gap} years apart in the same decade ({subject}, {candidate})",
               4: "{gap} years apart in different decades ({subject}, {candidate}): 0"}
# How each reason of the decision is worded.
_DECISION_REASONS = {
    "doi": "the same DOI", "identifiers+authors": "the same pages or issue, authors and year, similar titles",
    "title-without-authors": "the same title and year or identifiers, no authors to compare",
    "title+authors": "the title words, the authors and the year agree",
    "different-dois": "two different DOIs", "entry-types": "different kinds of entry (a volume, a paper, a report)",
    "marker-words": "one title names a correction of a work or a comment on it, the other does not",
    "venue-kinds": "a conference against a journal", "page-ranges": "page ranges apart",
    "years-apart": "years too far apart", "title-numbers": "different numbers in the titles",
    "part-numbers": "different numbered parts", "doi-with-other-title": "the same DOI but titles that do not agree",
    "title": "the title words do not agree enough", "year": "more than a year apart",
    "no-authors": "no authors on one side, and not enough else agrees", "authors": "the authors do not agree",
    "generic-title": "a generic title, without the same authors and year",
    "short-title": "a short title, without the same authors and year",
}
_IDENTIFIERS = (("doi", "same DOI"), ("journal_volume_number", "same journal, volume and number"),
                ("pages", "same pages"))


@dataclass(frozen=True)
class Line:
    """One partial score and the rules that earned it."""

    name: str
    score: float
    reason: str


@dataclass(frozen=True)
class Explanation:
    doi_match: bool
    lines: list[Line]
    total: float
    # Whether the two records are one work, and why (the engine's decision).
    decision: str = ""
    decision_reason: str = ""


def explain_pair(facts: dict[str, Any], rules: dict[str, Any]) -> Explanation:
    """The partial scores of one scored pair and the wording of the rule behind each."""
    return Explanation(
        bool(facts["doi"]),
        [Line("title", facts["title_score"], _title_reason(facts, rules)),
         Line("author", facts["author_score"], _author_reason(facts, rules)),
         Line("date", facts["date_score"], _date_reason(facts)),
         Line("bonus", facts["bonus_score"], _bonus_reason(facts, rules))],
        facts["total_score"],
    )


def _keywords(mask: int, rules: dict[str, Any]) -> str:
    return "/".join(word for bit, word in enumerate(rules["title_keywords"]) if mask >> bit & 1) or "none"


def _title_reason(facts: dict[str, Any], rules: dict[str, Any]) -> str:
    if not facts["titles_compared"]:
        return "a title is empty: 0"
    parts = [f"ratio {facts['title_ratio']:.2f}"]
    if facts["subject_keywords"] != facts["candidate_keywords"]:
        shown = (f"subject {_keywords(facts['subject_keywords'], rules)},"
                 f" candidate {_keywords(facts['candidate_keywords'], rules)}")
        penalty = facts["keyword_penalty"]
        parts.append(f"keywords differ ({shown}): no boost" + (f", -{penalty:g} before weighting" if penalty else ""))
    elif facts["title_boost"]:
        parts.append(_TITLE_BOOSTS[facts["title_boost"]].format(
            threshold=rules["similarity_threshold"], boost=rules["boost"],
            contains=_CONTAINS.get(facts["title_contains"], "")))
    else:
        parts.append(f"not above {rules['similarity_threshold']:g} and neither title contains the other: no boost")
    parts.append(f"x {rules['title_weight']:g}")
    return "; ".join(parts)


def _author_reason(facts: dict[str, Any], rules: dict[str, Any]) -> str:
    if not facts["authors_compared"]:
        return "an author is empty: 0"
    ratio, threshold, weight = facts["author_ratio"], rules["similarity_threshold"], rules["author_weight"]
    if facts["author_boost"]:
        return f"ratio {ratio:.2f}, above {threshold:g}: ({rules['boost']:g} + ratio) x {weight:g}"
    return f"ratio {ratio:.2f}, not above {threshold:g}: ratio x {weight:g}"


def _date_reason(facts: dict[str, Any]) -> str:
    gap = facts["year_gap"]
    return _DATE_RULES[facts["date_rule"]].format(gap=gap, s="s" if gap != 1 else "", subject=facts["subject_year"],
                                                  candidate=facts["candidate_year"])


def _bonus_reason(facts: dict[str, Any], rules: dict[str, Any]) -> str:
    points = rules["identifier_points"]
    agreed = facts["identifiers"]
    earned = [f"{wording} +{points[name]:g}" for bit, (name, wording) in enumerate(_IDENTIFIERS) if agreed >> bit & 1]
    if facts["journals_equal"] and not agreed >> 1 & 1:
        earned.insert(1 if agreed & 1 else 0, "same journal but not the same volume and number (no points)")
    if facts["publishers_compared"]:
        similar = agreed >> 3 & 1
        earned.append(f"publisher ratio {facts['publisher_ratio']:.2f} "
                      + (f"+{points['publisher']:g}" if similar else f"not above {rules['similarity_threshold']:g}"))
    if not earned:
        return "no identifying field agrees: 0"
    return "; ".join(earned) + f"; points x {rules['bonus_weight']:g}"


def format_explanation(explanation: Explanation, subject: Record, candidate: Record, names: tuple[str, str]) -> str:
    """The explanation as text: both records' compared fields, then one line per score."""
    lines = []
    for label, name, record in (("subject", names[0], subject), ("candidate", names[1], candidate)):
        lines.append(f"{label} {name}:")
        for field in SHOWN_FIELDS:
            value = getattr(record, field)
            if value not in (None, ""):
                lines.append(f"  {field:<9} {value}")
    if explanation.doi_match:
        lines.append("same DOI: match would return this candidate alone, whatever its score")
    for line in explanation.lines:
        lines.append(f"{line.name:<6} {line.score:7.2f}  {line.reason}")
    lines.append(f"{'total':<6} {explanation.total:7.2f}")
    if explanation.decision:
        reason = _DECISION_REASONS.get(explanation.decision_reason, explanation.decision_reason)
        lines.append(f"one work? {explanation.decision}: {reason}")
    return "\n".join(lines)


def find(table: RecordTable, name: str, side: str) -> int:
    """The position of the record whose key is ``name``, else whose index is ``name``."""
    keys = table.keys()
    if name in keys:
        return keys.index(name)
    if name.isdigit() and int(name) in (indexes := table.indexes()):
        return indexes.index(int(name))
    raise CommandError(f"no {side} has the key or index '{name}'")


def facts_of(matches: Matches, at: int, subject: Record, candidate: Record) -> dict[str, Any]:
    facts = {name: values[at] for name, values in matches.columns.items()}
    facts["subject_year"], facts["candidate_year"] = subject.year, candidate.year
    return facts


def explain(subjects: RecordTable, candidates: RecordTable, subject_at: int, candidate_at: int) -> Explanation:
    """The explanation of one pair, scored by the engine with its facts, and the engine's decision on it."""
    found = LocalEngine().pairs(subjects, candidates, [subject_at], [candidate_at], facts=True)
    facts = facts_of(found, 0, subjects.record(subject_at), candidates.record(candidate_at))
    [verdict], [reason] = decide(subjects, candidates, [subject_at], [candidate_at])
    return replace(explain_pair(facts, engine_rules()), decision=verdict, decision_reason=reason)


def run(args: argparse.Namespace) -> int:
    report = Report()
    subjects, candidates = load_both(args, report)
    tell(report, args)
    subject_at, candidate_at = find(subjects, args.subject, "subject"), find(candidates, args.candidate, "candidate")
    explanation = explain(subjects, candidates, subject_at, candidate_at)
    print(format_explanation(explanation, subjects.record(subject_at), candidates.record(candidate_at),
                             (args.subject, args.candidate)))
    return 0

