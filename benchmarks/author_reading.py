"""Time spent reading author lists when a catalogue is loaded; prints JSON.

    PYTHONPATH=build/dev:python python benchmarks/author_reading.py CATALOGUE.jsonl [--python] [--repeat 3]

Two measurements, each the best of --repeat runs with every cache of the
author reader emptied before the run:

- ``read_records``: the whole catalogue read as ``refsieve`` reads it;
- ``read_authors``: the author values alone (taken from the file first),
  each read as the loader reads it (``read_authors(value, raw=False)``);
  ``read_plain_authors`` the same for the values that the engine reads
  (plain ASCII texts) alone.

``--python`` makes the engine decline every author text, so that the
Python parser reads them all: the cost without the native reader, on the
same build (a build without the native reader reads them all in Python
anyway). ``native_share`` is the share of author texts that the engine
reads.
"""

from __future__ import annotations

import argparse
import gc
import json
import time

from refsieve_cli import _engine
from refsieve_cli.records import authors, builder, canonical


def empty_caches() -> None:
    for cached in (canonical._names_in, authors.name_from_text, authors.canonical_name, authors._family_word):
        cached.cache_clear()


def best_of(repeat: int, call) -> float:
    best = float("inf")
    for _ in range(repeat):
        empty_caches()
        gc.collect()
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("catalogue")
    parser.add_argument("--python", action="store_true", help="the Python parser reads every author text")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    # A build from before the native reader has none: every text is read in Python.
    native = getattr(_engine, "read_authors", lambda text: None)
    with open(args.catalogue, encoding="utf-8") as f:
        values = [value for line in f if (value := json.loads(line).get("author")) is not None]
    texts = [value for value in values if isinstance(value, str)]
    plain = [text for text in texts if native(text) is not None]
    native_share = len(plain) / len(texts) if texts else 0.0
    if args.python:
        _engine.read_authors = lambda text: None  # type: ignore[assignment]

    read = canonical.read_authors
    authors_seconds = best_of(args.repeat, lambda: [read(value, False) for value in values])
    plain_seconds = best_of(args.repeat, lambda: [read(text, False) for text in plain]) if plain else 0.0
    records: list[int] = []
    records_seconds = best_of(args.repeat, lambda: records.append(len(builder.read_records(args.catalogue))))
    print(json.dumps({
        "catalogue": args.catalogue,
        "path": "python" if args.python else "native where it can",
        "records": records[-1],
        "author_values": len(values),
        "native_share": round(native_share, 4) if not args.python else 0.0,
        "read_records_us_per_record": round(records_seconds / records[-1] * 1e6, 2),
        "read_authors_us_per_value": round(authors_seconds / len(values) * 1e6, 2),
        "read_plain_authors_us_per_value": round(plain_seconds / max(len(plain), 1) * 1e6, 2),
    }))


if __name__ == "__main__":
    main()
