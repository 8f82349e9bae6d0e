"""Measures what a Dask worker holds per candidate, for the README's Dask section.

Usage: python scripts/measure_worker_memory.py [DATA_DIR] [COUNT]
       (default ../shared/data/dblp-acm and 200000)

The ACM side of DBLP-ACM is read and canonicalised as `refsieve match`
reads it, then repeated up to COUNT candidates. Printed, in bytes per
candidate:

1. pickled: what the broadcast sends to each worker (the engine's store
   as bytes);
2. store: the store a worker holds once it has received them
   (``Records.memory_bytes``);
3. scoring: what one engine call (2 subjects against all COUNT candidates)
   adds to the resident set at its peak (the peak is reset through
   /proc/self/clear_refs before the call).
"""

from __future__ import annotations

import gc
import pickle
import sys
from pathlib import Path

from refsieve_cli import _engine
from refsieve_cli.errors import Report
from refsieve_cli.io.sources import Source
from refsieve_cli.records.builder import LoadOptions, load_side

CHECKOUT = Path(__file__).resolve().parents[1]


def status(field: str) -> int:
    """A VmRSS-like line of /proc/self/status, in bytes."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise KeyError(field)


def main(data: Path, count: int) -> None:
    side = load_side([Source(str(data / "ACM.csv"), None, "utf-8", None, "candidates")], LoadOptions(), Report())
    base = side.store
    texts = [sum(len(text or "") for text in values) for values in
             zip(base.texts("title"), base.texts("author"), base.texts("journal"))]
    candidates = base.subset([i % len(base) for i in range(count)])
    pickled = pickle.dumps(candidates)
    gc.collect()
    subjects = base.subset([0, 1])
    Path("/proc/self/clear_refs").write_text("5")
    before = status("VmRSS")
    _engine.match(subjects, candidates, 1, 0.0)
    scoring = status("VmHWM") - before
    print(f"{count} candidates from {data / 'ACM.csv'} ({len(base)} records, title+author+venue"
          f" {sum(texts) / len(texts):.0f} characters on average)")
    print(f"pickled {len(pickled) / count:.0f} B, store {candidates.memory_bytes() / count:.0f} B,"
          f" scoring {scoring / count:.0f} B per candidate")


if __name__ == "__main__":
    directory = Path(sys.argv[1]) if len(sys.argv) > 1 else CHECKOUT.parent / "shared" / "data" / "dblp-acm"
    main(directory, int(sys.argv[2]) if len(sys.argv) > 2 else 200_000)
