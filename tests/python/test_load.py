"""Large batches: 100,000 subjects against 1,000 candidates, and a batch that
keeps every candidate (top_n = 2**64 - 1).

They take about half a minute and much memory, so they run only when
REFSIEVE_LOAD=1 is set (scripts/test sets it once, for the default
interpreter):

    REFSIEVE_LOAD=1 python -m pytest -s tests/python/test_load.py

With -s each test prints its duration and the growth of resident memory.
"""

import os
import random
import time

import pytest

from refsieve import score_batch

pytestmark = pytest.mark.skipif(os.environ.get("REFSIEVE_LOAD") != "1", reason="set REFSIEVE_LOAD=1 to run")

WORDS = ("graph methods practice data mining learning deep networks analysis distributed systems query "
         "optimisation review errata survey theory model inference parallel database index search web "
         "semantic evaluation benchmark efficient scalable approach").split()
NAMES = ["Smith", "Müller", "Zhang", "García", "Okafor", "Lamport", "Ng", "Dupont", "Ivanova", "Kowalski"]
INITIALS = "ABCDEFGHJKLMNPRSTW"


def resident_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def catalogue(rng, count, start):
    """Candidate-like records with realistic lengths and a few shared DOIs."""
    records = []
    for i in range(count):
        authors = ", ".join(f"{rng.choice(INITIALS)}. {rng.choice(NAMES)}" for _ in range(rng.randint(1, 4)))
        records.append({
            "index": start + i,
            "title": " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12))).capitalize(),
            "author": authors,
            "year": rng.choice([None] + list(range(1990, 2025))),
            "doi": f"10.{1000 + i % 50}/{i}" if rng.random() < 0.5 else None,
            "journal": rng.choice([None, "Journal of Tests", "Data Mining Letters"]),
            "volume": rng.choice([None, "1", "12"]),
            "number": rng.choice([None, "3", "4"]),
            "pages": rng.choice([None, "1-10", "11-20"]),
            "publisher": rng.choice([None, "Example Press", "Other House"]),
        })
    return records


def references_to(rng, candidates, count):
    """Subjects made from candidates: some exact, some altered, some without a DOI."""
    subjects = []
    for i in range(count):
        source = dict(rng.choice(candidates), index=i)
        if rng.random() < 0.7:
            source["doi"] = None
        if rng.random() < 0.5:
            words = source["title"].split()
            rng.shuffle(words)
            source["title"] = " ".join(words).upper()
        if rng.random() < 0.3 and source["year"] is not None:
            source["year"] += rng.randint(-3, 3)
        subjects.append(source)
    return subjects


def report(label, started, rss_before):
    print(f"\n{label}: {time.perf_counter() - started:.1f} s, "
          f"resident memory +{(resident_bytes() - rss_before) / 2**20:.0f} MiB")


def test_100000_subjects_against_1000_candidates():
    rng = random.Random(100_000)
    candidates = catalogue(rng, 1000, start=10**6)
    subjects = references_to(rng, candidates, 100_000)
    rss_before = resident_bytes()
    started = time.perf_counter()
    results = score_batch(subjects, candidates, 5, 60.0)
    report("100,000 x 1,000, top_n 5", started, rss_before)

    assert len(results) == len(subjects)
    assert all(r["subject_index"] == i and r["candidates_searched"] == 1000 for i, r in enumerate(results))
    assert all(len(r["matches"]) <= 5 for r in results)
    # Spot checks: a subject scored alone gets the same answer as in the batch.
    for position in rng.sample(range(len(subjects)), 100):
        (alone,) = score_batch([subjects[position]], candidates, 5, 60.0)
        assert alone["matches"] == results[position]["matches"], position


def test_top_n_of_2_64_minus_1_keeps_every_candidate():
    rng = random.Random(2**64 - 1)
    candidates = catalogue(rng, 1000, start=0)
    subjects = references_to(rng, candidates, 1000)
    rss_before = resident_bytes()
    started = time.perf_counter()
    results = score_batch(subjects, candidates, 2**64 - 1, float("-inf"))
    report("1,000 x 1,000, top_n 2**64-1, min_score -inf", started, rss_before)

    dois = {c["doi"] for c in candidates if c["doi"]}
    for subject, result in zip(subjects, results):
        totals = [m["total_score"] for m in result["matches"]]
        if subject["doi"] in dois:
            assert len(totals) == 1  # the DOI shortcut
        else:
            assert len(totals) == len(candidates)
            assert totals == sorted(totals, reverse=True)
