#!/usr/bin/env python3
"""Writes the Cora citations (CORA.xml) as JSON Lines that ``refsieve`` reads.

    python3 scripts/cora_to_jsonl.py ../shared/data/cora/CORA.xml > cora.jsonl
    refsieve dedupe cora.jsonl
    refsieve evaluate dedupe cora.jsonl --truth ../shared/data/cora/cora_gold.csv

Each ``<NEWREFERENCE id="N">`` becomes one record with key N (the ids that
``cora_gold.csv`` names). The tagged segments are taken as they are, tags
nested inside them dropped: title, author, journal (else booktitle),
volume, pages, publisher, and the year as the first four-digit year in
``<year>`` (else ``<date>``). The data set has no DOIs and no issue numbers.
"""

from __future__ import annotations

import html
import json
import re
import sys

_REFERENCE = re.compile(r'<NEWREFERENCE id="(\d+)">(.*?)</NEWREFERENCE>', re.S)
_SEGMENT = re.compile(r"<(\w+)>(.*?)</\1>", re.S)
_TAG = re.compile(r"<[^>]+>")
_YEAR = re.compile(r"\b(1[5-9]\d\d|20\d\d)\b")


def records(xml: str) -> list[dict[str, object]]:
    result = []
    for reference in _REFERENCE.finditer(xml):
        segments: dict[str, list[str]] = {}
        for segment in _SEGMENT.finditer(reference.group(2)):
            text = " ".join(html.unescape(_TAG.sub(" ", segment.group(2))).split())
            segments.setdefault(segment.group(1).lower(), []).append(text)

        def first(*tags: str) -> str | None:
            return next((segments[tag][0] for tag in tags if segments.get(tag)), None)

        years = (_YEAR.search(text) for tag in ("year", "date") for text in segments.get(tag, []))
        year = next((found.group(1) for found in years if found), None)
        result.append({
            "key": reference.group(1),
            "title": first("title"),
            "author": first("author"),
            "year": year,
            "journal": first("journal", "booktitle"),
            "volume": first("volume"),
            "pages": first("pages"),
            "publisher": first("publisher"),
        })
    return result


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit("usage: cora_to_jsonl.py CORA.xml > cora.jsonl")
    with open(sys.argv[1], encoding="ascii") as source:
        for record in records(source.read()):
            print(json.dumps(record))


if __name__ == "__main__":
    main()
