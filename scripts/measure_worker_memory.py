"""Measures what a Dask worker holds per candidate, for the README's Dask section.

Usage: python scripts/measure_worker_memory.py [DATA_DIR] [COUNT]
       (default ../shared/data/dblp-acm and 200000)

The ACM side of DBLP-ACM is read and canonicalised as `refsieve match`
reads it, then repeated up to COUNT candidates, each a record of its own
(as a worker has them after unpickling). Printed, in bytes per candidate:

1. pickled: what the broadcast sends to each worker;
2. objects: the Python objects unpickled from it (tracemalloc's count of
   the memory allocated while unpickling);
3. native: what one score_batch call (2 subjects against all COUNT
   candidates) adds to the resident set at its peak (the peak is reset
   through /proc/self/clear_refs before the call).
"""

from __future__ import annotations

import gc
import pickle
import sys
import tracemalloc
from pathlib import Path

import refsieve
from refsieve_cli.errors import Report
from refsieve_cli.load import LoadOptions, load_side
from refsieve_cli.readers import Source
from refsieve_cli.scoring import indexed_by_position

CHECKOUT = Path(__file__).resolve().parents[1]


def status(field: str) -> int:
    """A VmRSS-like line of /proc/self/status, in bytes."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise KeyError(field)


def main(data: Path, count: int) -> None:
    side = load_side([Source(str(data / "ACM.csv"), None, "utf-8", None, "candidates")], LoadOptions(), Report())
    base = indexed_by_position(side.records)
    text = sum(len(r["title"]) + len(r["author"]) + len(r["journal"] or "") for r in base) / len(base)
    # Each repetition pickled on its own, so that no string is shared between copies.
    pickled = pickle.dumps([pickle.loads(pickle.dumps(base[i % len(base)])) for i in range(count)])
    gc.collect()
    tracemalloc.start()
    candidates = pickle.loads(pickled)
    objects = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del pickled
    gc.collect()
    subjects = base[:2]
    Path("/proc/self/clear_refs").write_text("5")
    before = status("VmRSS")
    refsieve.score_batch(subjects, candidates, 1, 0.0)
    native = status("VmHWM") - before
    print(f"{count} candidates from {data / 'ACM.csv'} ({len(base)} records, title+author+venue"
          f" {text:.0f} characters on average)")
    print(f"pickled {len(pickle.dumps(candidates)) / count:.0f} B, objects {objects / count:.0f} B,"
          f" native {native / count:.0f} B per candidate")


if __name__ == "__main__":
    directory = Path(sys.argv[1]) if len(sys.argv) > 1 else CHECKOUT.parent / "shared" / "data" / "dblp-acm"
    main(directory, int(sys.argv[2]) if len(sys.argv) > 2 else 200_000)
