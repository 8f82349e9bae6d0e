"""Candidate generation as a Python caller sees it: match --blocking keeps what scoring the proposed candidates
keeps, the engine's pair functions agree with each other, and what the keys pass over is told."""

import json
import sys
from pathlib import Path

import pytest

from _support import generated_batch, run_cli
from refsieve_cli import _engine
from refsieve_cli.engine import on_this_machine
from refsieve_cli.records.record import Record, RecordTable

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
import synthetic  # noqa: E402


def table(records):
    return RecordTable.of(Record(**record) for record in records)


def columns(found):
    return list(zip(memoryview(found["first"][1]).cast("I"), memoryview(found["second"][1]).cast("I")))


@pytest.fixture(scope="module")
def catalogues(tmp_path_factory):
    out = tmp_path_factory.mktemp("synthetic")
    synthetic.write_match(out, 1500, 600, seed=3)
    from refsieve_cli import read_records

    return read_records(out / "subjects.jsonl"), read_records(out / "candidates.jsonl")


@pytest.mark.parametrize("top_n, min_score", [(1, 0.0), (3, 60.0), (2, 125.0)])
def test_blocking_keeps_what_scoring_the_proposed_candidates_keeps(catalogues, top_n, min_score):
    subjects, candidates = catalogues
    proposed = columns(_engine.proposed_pairs(subjects.store, candidates.store))
    blocked = on_this_machine().match(subjects, candidates, top_n, min_score, blocking=True)
    among = on_this_machine_among(subjects, candidates, top_n, min_score, proposed)
    assert {name: list(values) for name, values in blocked.columns.items()} == \
        {name: list(values) for name, values in among.items()}
    # Counted for the subjects scored by their keys (one with a DOI match takes that candidate alone).
    assert 0 < blocked.counts["pairs"] <= len(proposed) and blocked.counts["keys_skipped"] == 0
    # Where every candidate is scored, the best match of a subject is the blocked one whenever the keys proposed
    # it; and they propose nearly every best match that the decision calls the same work.
    every = on_this_machine().match(subjects, candidates, top_n, min_score)
    proposed_set = set(proposed)
    best_every, first_blocked = {}, {}
    for at in range(len(every)):
        best_every.setdefault(every["subject"][at], every["candidate"][at])
    for at in range(len(blocked)):
        first_blocked.setdefault(blocked["subject"][at], blocked["candidate"][at])
    agreeing = [s for s, c in best_every.items() if (s, c) in proposed_set]
    assert all(first_blocked.get(s) == best_every[s] or _tied(every, s) for s in agreeing)
    pairs = list(best_every.items())
    verdicts = memoryview(_engine.decide_pairs(subjects.store, candidates.store, [s for s, _ in pairs],
                                               [c for _, c in pairs])["verdict"][1]).cast("B")
    same = [pair for pair, verdict in zip(pairs, verdicts) if verdict == 1]
    assert len(same) > 100 and sum(pair in proposed_set for pair in same) >= 0.99 * len(same)


def on_this_machine_among(subjects, candidates, top_n, min_score, pairs):
    found = _engine.match(subjects.store, candidates.store, top_n, min_score,
                          among=([s for s, _ in pairs], [c for _, c in pairs]))
    return {name: memoryview(data).cast(fmt) for name, (fmt, data) in found.items()}


def _tied(matches, subject):
    totals = [matches["total_score"][at] for at in range(len(matches)) if matches["subject"][at] == subject]
    return len(totals) > 1 and totals[0] == totals[1]


def test_the_pair_functions_agree_and_grouping_from_found_pairs_is_grouping(catalogues):
    _, candidates = catalogues
    store = candidates.store
    proposed = set(columns(_engine.proposed_pairs(store)))
    same = columns(_engine.same_pairs(store))
    assert all(first < second for first, second in proposed) and set(same) <= proposed
    every = set(columns(_engine.same_pairs(store, exhaustive=True)))
    assert set(same) <= every and len(same) >= 0.99 * len(every)
    here = _engine.group(store)
    found = _engine.group(store, same=([a for a, _ in same], [b for _, b in same]))
    assert bytes(here["group"][1]) == bytes(found["group"][1])
    assert columns(here) == columns(found)
    # A part of the catalogue decides as the whole does when told the whole's title frequencies.
    part = sorted({k for pair in list(proposed)[:300] for k in pair})
    subset = store.subset(part)
    frequencies = memoryview(_engine.title_frequencies(store)[1]).cast("I")
    at = {k: i for i, k in enumerate(part)}
    firsts, seconds = zip(*[(at[a], at[b]) for a, b in list(proposed)[:300]])
    local = _engine.decide_pairs(subset, subset, list(firsts), list(seconds),
                                 title_frequencies=[frequencies[k] for k in part])
    whole = _engine.decide_pairs(store, store, [a for a, _ in list(proposed)[:300]], [b for _, b in list(proposed)[:300]])
    assert bytes(local["verdict"][1]) == bytes(whole["verdict"][1])


@pytest.mark.parametrize("call, message", [
    (lambda s: _engine.match(s, s, 1, 0.0, among=([0, 1], [0])), "differ in length"),
    (lambda s: _engine.match(s, s, 1, 0.0, among=([0], [99])), "out of range"),
    (lambda s: _engine.match(s, s, 1, 0.0, among=([0], [0]), blocking=True), "exclude each other"),
    (lambda s: _engine.group(s, same=([0, 1],)), "two sequences"),
    (lambda s: _engine.decide_pairs(s, s, [0], [1], title_frequencies=[1]), "one count per record"),
    (lambda s: _engine.proposed_pairs(s, most_per_key=1), "2 or more"),
    (lambda s: _engine.decide_pairs(s, s, [0, 1], [1]), "subject_positions and candidate_positions differ"),
    (lambda s: _engine.score_pairs(s, s, [0], [1, 2]), "subject_positions and candidate_positions differ"),
    (lambda s: _engine.score_pairs(s, s, [0], [9]), "candidate_positions"),
    (lambda s: _engine.same_pairs(s, [s]), "candidates: expected Records"),
    (lambda s: _engine.proposed_pairs([s]), "records: expected Records"),
])
def test_bad_arguments_are_told(call, message):
    subjects, _ = generated_batch(n_subjects=5, n_candidates=2)
    with pytest.raises((ValueError, IndexError, TypeError), match=message):
        call(table(subjects).store)


def test_keys_held_by_too_many_records_are_told_at_the_end(tmp_path):
    # 2,100 records of one short title without authors in one year: its keys pair none of them.
    path = tmp_path / "c.jsonl"
    path.write_text("".join(json.dumps({"key": f"k{i}", "title": "Editorial notes", "year": 2001}) + "\n"
                            for i in range(2100)), encoding="utf-8")
    done = run_cli("dedupe", path)
    assert done.returncode == 0, done.stderr
    assert "2100 records had keys held by more records than a key may pair" in done.stderr
    blocked = run_cli("match", path, path, "--blocking", "--top-n", 0, "--min-score", 0)
    assert "2100 records had keys held by more records" in blocked.stderr
