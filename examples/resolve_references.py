"""Resolve a list of references against a catalogue and print the best matches.

Usage: python examples/resolve_references.py [REFERENCES.json CATALOGUE.json]
           [--top-n N] [--min-score X]

Both files hold a JSON list of records with the ten keys index, title,
author, year, doi, journal, volume, number, pages and publisher. Without
file arguments the bundled sample in examples/sample/ is used.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

import refsieve

SAMPLE = Path(__file__).resolve().parent / "sample"


def load(path: Path) -> list[dict]:
    with path.open(encoding="utf-8") as f:
        return json.load(f)


def clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 1] + "…"


def print_table(references: list[dict], catalogue: list[dict], results: list[dict]) -> None:
    by_index = {record["index"]: record for record in catalogue}
    header = f"{'ref':>3}  {'reference title':<38}  {'best match':<38}  {'total':>6} {'title':>6} {'author':>6} {'date':>5} {'bonus':>5}"
    print(header)
    print("-" * len(header))
    for result in results:
        reference = references[result["subject_index"]]
        matches = result["matches"]
        if not matches:
            print(f"{reference['index']:>3}  {clip(reference['title'], 38):<38}  {'(no match above the threshold)':<38}")
            continue
        for rank, match in enumerate(matches):
            label = f"{reference['index']:>3}  {clip(reference['title'], 38):<38}" if rank == 0 else " " * 43
            candidate = by_index[match["candidate_index"]]
            title = clip(candidate["title"], 38)
            same_doi = reference["doi"] and reference["doi"] == candidate["doi"]
            print(
                f"{label}  {title:<38}  {match['total_score']:6.1f} {match['title_score']:6.1f}"
                f" {match['author_score']:6.1f} {match['date_score']:5.1f} {match['bonus_score']:5.1f}"
                + ("  same DOI" if same_doi else "")
            )
    searched = results[0]["candidates_searched"] if results else 0
    print(f"\n{len(references)} references resolved against {searched} catalogue records.")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("references", nargs="?", type=Path, default=SAMPLE / "references.json")
    parser.add_argument("catalogue", nargs="?", type=Path, default=SAMPLE / "catalogue.json")
    parser.add_argument("--top-n", type=int, default=2, help="matches kept per reference (default 2)")
    parser.add_argument("--min-score", type=float, default=90.0, help="lowest total score kept (default 90)")
    args = parser.parse_args(argv)

    references = load(args.references)
    catalogue = load(args.catalogue)
    results = refsieve.score_batch(references, catalogue, args.top_n, args.min_score)
    print_table(references, catalogue, results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
