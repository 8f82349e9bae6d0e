"""Measures on DBLP-ACM the author form that the README's command-line section reports.

Usage: python scripts/measure_dblp_acm.py [DATA_DIR]   (default ../shared/data/dblp-acm)

1. Author forms: for each way of writing an author list tried, how often the
   author score earns its boost (ratio above 85) for the true pairs as
   published, for the true pairs with the ACM names rewritten as BibTeX
   ("Last, First and ...") against the DBLP names as initials ("F. M. Last,
   ..."), and for pairs of different DBLP authors who share a family name
   but not their first initial.

Thresholds are measured with `refsieve evaluate match` (see the README).
"""

from __future__ import annotations

import csv
import html
import re
import sys
import unicodedata
from collections.abc import Callable, Sequence
from pathlib import Path

from refsieve import token_sort_ratio
from refsieve_cli.io.formats.entry import Name
from refsieve_cli.io.truth import read_truth
from refsieve_cli.records.authors import canonical_authors, parse_names

CHECKOUT = Path(__file__).resolve().parents[1]


def words(text: str) -> list[str]:
    """Lower-case words without accents or punctuation; dots and hyphens separate words."""
    folded = ("".join(c for c in unicodedata.normalize("NFKD", part.lower()) if c.isalnum())
              for part in re.split(r"[\s.\-]+", text))
    return [word for word in folded if word]


def initials(name: Name) -> list[str]:
    return [word[0] for word in words(name.given)]


def family(name: Name) -> str:
    found = words(name.family)
    return found[-1] if found else ""


FORMS: dict[str, Callable[[list[Name]], str] | None] = {
    "as written (--raw)": None,
    "given names and family name, as words": lambda names: " ".join(
        word for name in names for word in words(f"{name.given} {name.family}")),
    "family name and each initial, as words": lambda names: " ".join(
        " ".join([family(name), *initials(name)]) for name in names),
    "first initial, a full stop, family name": lambda names: " ".join(
        "".join(initials(name)[:1]) + "." + family(name) for name in names),
    "initials and family name, one word (the command's)": canonical_authors,
}


def boosted(pairs: Sequence[tuple[str, str]], form: Callable[[list[Name]], str] | None) -> str:
    def text(value: str) -> str:
        return value if form is None else form(parse_names(value))

    kept = [(a, b) for a, b in pairs if a.strip() and b.strip()]
    hits = sum(token_sort_ratio(text(a), text(b)) > 85 for a, b in kept if text(a) and text(b))
    return f"{100 * hits / len(kept):.1f}%"


def as_bibtex(text: str) -> str:
    return " and ".join(f"{name.family}, {name.given}".strip(", ") for name in parse_names(text))


def as_initials(text: str) -> str:
    return ", ".join(" ".join([*(f"{i.upper()}." for i in initials(name)), name.family]) for name in parse_names(text))


def author_forms(data: Path) -> None:
    dblp = list(csv.DictReader((data / "DBLP2.csv").open(encoding="latin-1")))
    acm = list(csv.DictReader((data / "ACM.csv").open(encoding="utf-8")))
    dblp_authors = {row["id"]: row["authors"] for row in dblp}
    acm_authors = {row["id"]: html.unescape(row["authors"]) for row in acm}
    truth = sorted(read_truth(data / "DBLP-ACM_perfectMapping.csv").pairs)
    true_pairs = [(dblp_authors[a], acm_authors[b]) for a, b in truth]
    rewritten = [(as_bibtex(b), as_initials(a)) for a, b in true_pairs]
    by_family: dict[str, set[str]] = {}
    for row in dblp:
        for name in parse_names(row["authors"]):
            if name.given and initials(name):
                by_family.setdefault(family(name), set()).add(f"{name.given} {name.family}")
    different = [(a, b) for people in by_family.values() for a in sorted(people) for b in sorted(people)
                 if a < b and initials(parse_names(a)[0])[0] != initials(parse_names(b)[0])[0]]
    print(f"author forms: {len(true_pairs)} true pairs, {len(different)} pairs of different people")
    print("| author form | true pairs | BibTeX against initials | different people, same family name |")
    print("| --- | --- | --- | --- |")
    for label, form in FORMS.items():
        print(f"| {label} | {boosted(true_pairs, form)} | {boosted(rewritten, form)} | {boosted(different, form)} |")


def main(argv: list[str]) -> int:
    data = Path(argv[1]) if len(argv) > 1 else CHECKOUT.parent / "shared" / "data" / "dblp-acm"
    author_forms(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
