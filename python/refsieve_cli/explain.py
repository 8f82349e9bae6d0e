"""Why a candidate scores what it scores against a subject.

The four partial scores come from ``refsieve.score_batch`` itself; this
module only says which rule earned each of them, retracing the rules with
``refsieve.token_sort_ratio`` for the ratios.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import TYPE_CHECKING

import refsieve

if TYPE_CHECKING:
    from refsieve import Match, Record

SIMILAR = 85.0
TITLE_KEYWORDS = ("errata", "review")
# The characters that separate words when texts are compared.
_WHITESPACE = re.compile("[\t-\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+")


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


def normalized(text: str) -> str:
    """Lower-cased, words separated by single spaces: the form in which titles and journals are compared."""
    return " ".join(word for word in _WHITESPACE.split(text.lower()) if word)


def explain(subject: Record, candidate: Record) -> Explanation:
    """The partial scores of ``candidate`` against ``subject`` and the rule behind each."""
    [result] = refsieve.score_batch([subject], [candidate], 1, float("-inf"))
    match: Match = result["matches"][0]
    doi_match = bool(subject["doi"]) and subject["doi"] == candidate["doi"]
    lines = [
        Line("title", match["title_score"], _title_reason(subject["title"], candidate["title"])),
        Line("author", match["author_score"], _author_reason(subject["author"], candidate["author"])),
        Line("date", match["date_score"], _date_reason(subject["year"], candidate["year"])),
        Line("bonus", match["bonus_score"], _bonus_reason(subject, candidate)),
    ]
    return Explanation(doi_match, lines, match["total_score"])


def _ratio(first: str, second: str) -> float:
    return refsieve.token_sort_ratio(first, second)


def _title_reason(subject: str, candidate: str) -> str:
    if not subject or not candidate:
        return "a title is empty: 0"
    ns, nc = normalized(subject), normalized(candidate)
    ratio = _ratio(ns, nc) if ns and nc else 0.0
    contains = nc in ns or ns in nc
    ks = [word for word in TITLE_KEYWORDS if word in ns]
    kc = [word for word in TITLE_KEYWORDS if word in nc]
    parts = [f"ratio {ratio:.2f}"]
    if set(ks) != set(kc):
        difference = abs(len(ks) - len(kc))
        shown = f"subject {'/'.join(ks) or 'none'}, candidate {'/'.join(kc) or 'none'}"
        if difference:
            parts.append(f"keywords differ ({shown}): no boost, -{50 * difference} before halving")
        else:
            parts.append(f"keywords differ ({shown}): no boost")
    elif ratio > SIMILAR:
        parts.append(f"above {SIMILAR:g}: +100 boost")
    elif contains:
        which = "the subject's title contains the candidate's" if nc in ns else "the candidate's title contains the subject's"
        parts.append(f"{which}: +100 boost")
    else:
        parts.append(f"not above {SIMILAR:g} and neither title contains the other: no boost")
    parts.append("halved")
    return "; ".join(parts)


def _author_reason(subject: str, candidate: str) -> str:
    if not subject or not candidate:
        return "an author is empty: 0"
    ratio = _ratio(subject, candidate)
    if ratio > SIMILAR:
        return f"ratio {ratio:.2f}, above {SIMILAR:g}: (100 + ratio) x 0.3"
    return f"ratio {ratio:.2f}, not above {SIMILAR:g}: ratio x 0.3"


def _date_reason(subject: int | None, candidate: int | None) -> str:
    if subject is None or candidate is None:
        return "a year is missing: 0"
    apart = abs(subject - candidate)
    if apart == 0:
        return f"the same year ({subject})"
    if apart <= 3:
        return f"{apart} year{'s' if apart > 1 else ''} apart ({subject}, {candidate})"
    if int(subject / 10) == int(candidate / 10):
        return f"{apart} years apart in the same decade ({subject}, {candidate})"
    return f"{apart} years apart in different decades ({subject}, {candidate}): 0"


def _bonus_reason(subject: Record, candidate: Record) -> str:
    earned = []
    if subject["doi"] and subject["doi"] == candidate["doi"]:
        earned.append("same DOI +100")
    sj, cj = subject["journal"], candidate["journal"]
    if sj and cj and normalized(sj) and normalized(sj) == normalized(cj):
        same = [name for name in ("volume", "number") if subject[name] and subject[name] == candidate[name]]
        if len(same) == 2:
            earned.append("same journal, volume and number +50")
        else:
            missing = " and ".join(name for name in ("volume", "number") if name not in same)
            earned.append(f"same journal but not the same {missing} (no points)")
    if subject["pages"] and subject["pages"] == candidate["pages"]:
        earned.append("same pages +20")
    sp, cp = subject["publisher"], candidate["publisher"]
    if sp and cp:
        ratio = _ratio(sp, cp)
        earned.append(f"publisher ratio {ratio:.2f} " + ("+10" if ratio > SIMILAR else f"not above {SIMILAR:g}"))
    if not earned:
        return "no identifying field agrees: 0"
    return "; ".join(earned) + "; points x 0.1"


def format_explanation(explanation: Explanation, subject: Record, candidate: Record,
                       names: tuple[str, str]) -> str:
    """The explanation as text: both records' compared fields, then one line per score."""
    lines = []
    for label, name, record in (("subject", names[0], subject), ("candidate", names[1], candidate)):
        lines.append(f"{label} {name}:")
        for field in ("title", "author", "year", "doi", "journal", "volume", "number", "pages", "publisher"):
            value = record[field]
            if value not in (None, ""):
                lines.append(f"  {field:<9} {value}")
    if explanation.doi_match:
        lines.append("same DOI: match would return this candidate alone, whatever its score")
    for line in explanation.lines:
        lines.append(f"{line.name:<6} {line.score:7.2f}  {line.reason}")
    lines.append(f"{'total':<6} {explanation.total:7.2f}")
    return "\n".join(lines)
