"""Measures the same-work decision and dedupe's groups on every labelled set, for the README's "How good is it".

Usage: python scripts/measure_decisions.py [--data DIR] [--sweep] [--synthetic N]
       (default ../shared/data; --synthetic 20000 records of benchmarks/synthetic.py, seed 1)

Prints markdown tables:

1. the defaults on each set: Cora deduplicated (pairwise precision, recall,
   F1 of the groups against cora_gold.csv), DBLP2.csv alone and ACM.csv
   alone deduplicated (records put in a group: neither file has more than a
   few duplicates), DBLP2 matched against ACM (top-1 by total score at the
   default --min-score, and the same best candidates kept only where the
   decision says the same work), the bibliography of volumes and papers in
   tests/python/data/volumes.bib (pairs wrongly joined and missed), and a
   synthetic catalogue with its truth;
2. random unrelated DBLP x ACM pairs: how many the decision calls one work;
3. what candidate generation (the keys that propose the pairs to decide)
   leaves out on each set: the share of the pairs that deciding every pair
   calls the same work which the keys still propose, and the quality
   figures of 1. with every pair decided;
4. with --sweep, each threshold of the decision varied alone: the value
   Cora prefers, the value the DBLP-ACM sets prefer (the best match F1
   among the values that keep DBLP2 and ACM alone at 30 grouped records or
   fewer), and what each choice gives on the other set.
"""

from __future__ import annotations

import argparse
import csv
import random
import re
import subprocess
import sys
import tempfile
from collections import Counter
from itertools import combinations
from pathlib import Path

from refsieve_cli import _engine, defaults, read_records
from refsieve_cli.commands.evaluate import group_quality, match_quality
from refsieve_cli.commands.match import rows
from refsieve_cli.engine import on_this_machine
from refsieve_cli.io.truth import read_truth
from refsieve_cli.records.record import RecordTable

CHECKOUT = Path(__file__).resolve().parents[1]
VOLUMES = CHECKOUT / "tests" / "python" / "data" / "volumes.bib"
SWEEP = {
    "title_agreement": [0.6, 0.7, 0.75, 0.8, 0.85, 0.9, 1.0],
    "prefix_words": [0, 3, 4, 5, 8],
    "title_agreement_with_identifiers": [0.3, 0.4, 0.5, 0.6, 0.8],
    "prefix_words_with_identifiers": [0, 1, 2, 3, 4],
    "author_agreement": [0.25, 0.34, 0.5, 0.67, 0.75, 1.0],
    "same_years": [0, 1, 2],
    "different_years": [2, 3, 5, 1000],
    "short_title_words": [1, 2, 3, 4],
    "weak_title_authors": [1, 2, 3],
    "recurring_title": [2, 3, 5, 1000],
    "fuzzy_letters": [0, 4, 5, 6],
}


def groups_of(table: RecordTable, settings: dict[str, float] | None = None, exhaustive: bool = False) -> list[int]:
    found = _engine.group(table.store, settings=settings, exhaustive=exhaustive)
    return list(memoryview(found["group"][1]).cast("I"))


def grouped_records(groups: list[int]) -> int:
    sizes = Counter(groups)
    return sum(size for size in sizes.values() if size > 1)


class Sets:
    """The labelled sets, read once."""

    def __init__(self, data: Path, synthetic: int) -> None:
        self.data = data
        with tempfile.TemporaryDirectory() as scratch:
            cora = Path(scratch) / "cora.jsonl"
            converted = subprocess.run([sys.executable, CHECKOUT / "scripts" / "cora_to_jsonl.py",
                                        data / "cora" / "CORA.xml"], capture_output=True, text=True, check=True)
            cora.write_text(converted.stdout, encoding="utf-8")
            self.cora = read_records(cora)
            self.synthetic = None
            if synthetic:
                sys.path.insert(0, str(CHECKOUT / "benchmarks"))
                import synthetic as generator

                out = Path(scratch) / "synthetic"
                generator.write_dedupe(out, synthetic, 1)
                self.synthetic = read_records(out / "catalogue.jsonl")
                self.synthetic_truth = read_truth(out / "truth.csv")
                # A synthetic reference list against a catalogue, a tenth of its size.
                matched = Path(scratch) / "synthetic-match"
                generator.write_match(matched, synthetic, synthetic // 10, 1)
                self.synthetic_subjects = read_records(matched / "subjects.jsonl")
                self.synthetic_candidates = read_records(matched / "candidates.jsonl")
        self.cora_truth = read_truth(data / "cora" / "cora_gold.csv")
        dblp_acm = data / "dblp-acm"
        self.dblp = read_records(dblp_acm / "DBLP2.csv", "latin-1")
        self.acm = read_records(dblp_acm / "ACM.csv")
        self.mapping = read_truth(dblp_acm / "DBLP-ACM_perfectMapping.csv")
        self.volumes = read_records(VOLUMES)
        text = VOLUMES.read_text(encoding="utf-8")
        self.volume_work = dict(re.findall(r"@\w+\s*\{\s*([^,\s]+)\s*,(?:[^@]*?)group\s*=\s*\{([^}]*)\}", text, re.S))
        # Each DBLP record's best ACM candidate by total score, whatever the score.
        self.best = on_this_machine().match(self.dblp, self.acm, 1, 0.0)

    def cora_quality(self, settings: dict[str, float] | None = None):  # type: ignore[no-untyped-def]
        [quality] = group_quality(self.cora.keys(), [(0.0, groups_of(self.cora, settings))], self.cora_truth)
        return quality

    def match_decided(self, settings: dict[str, float] | None = None):  # type: ignore[no-untyped-def]
        found = _engine.decide_pairs(self.dblp.store, self.acm.store, list(self.best["subject"]),
                                     list(self.best["candidate"]), settings=settings)
        same = memoryview(found["verdict"][1]).cast("B")
        kept = [row for row, verdict in zip(rows(self.dblp, self.acm, self.best), same) if verdict == 1]
        [quality] = match_quality(kept, self.mapping, [0.0])
        return quality

    def match_by_score(self):  # type: ignore[no-untyped-def]
        [quality] = match_quality(rows(self.dblp, self.acm, self.best), self.mapping, [defaults.MIN_SCORE])
        return quality

    def volumes_wrong_and_missed(self) -> tuple[int, int]:
        groups = groups_of(self.volumes)
        keys = self.volumes.keys()
        wrong = missed = 0
        for a, b in combinations(range(len(keys)), 2):
            together = groups[a] == groups[b]
            same = self.volume_work[keys[a]] == self.volume_work[keys[b]]
            wrong += together and not same
            missed += same and not together
        return wrong, missed


def defaults_table(sets: Sets) -> None:
    print("| set | measure | value |\n| --- | --- | --- |")
    cora = sets.cora_quality()
    print(f"| Cora, dedupe | pairwise precision / recall / F1 | {cora.precision:.4f} / {cora.recall:.4f} /"
          f" {cora.f1:.4f} |")
    for name, table in (("DBLP2.csv alone", sets.dblp), ("ACM.csv alone", sets.acm)):
        print(f"| {name}, dedupe | records put in a group | {grouped_records(groups_of(table))} of {len(table)} |")
    score = sets.match_by_score()
    print(f"| DBLP2 against ACM, match | top-1, total >= {defaults.MIN_SCORE:g}: precision / recall / F1 |"
          f" {score.precision:.4f} / {score.recall:.4f} / {score.f1:.4f} |")
    decided = sets.match_decided()
    print(f"| DBLP2 against ACM, match | top-1 decided the same work: precision / recall / F1 |"
          f" {decided.precision:.4f} / {decided.recall:.4f} / {decided.f1:.4f} |")
    wrong, missed = sets.volumes_wrong_and_missed()
    print(f"| volumes.bib (36 entries), dedupe | pairs wrongly joined / missed | {wrong} / {missed} |")
    if sets.synthetic is not None:
        [synthetic] = group_quality(sets.synthetic.keys(), [(0.0, groups_of(sets.synthetic))], sets.synthetic_truth)
        print(f"| synthetic, {len(sets.synthetic):,} records (seed 1), dedupe | pairwise precision / recall / F1 |"
              f" {synthetic.precision:.4f} / {synthetic.recall:.4f} / {synthetic.f1:.4f} |")


def random_pairs(sets: Sets, count: int = 200_000, seed: int = 1) -> None:
    rng = random.Random(seed)
    truth = sets.mapping.pairs
    dblp_keys, acm_keys = sets.dblp.keys(), sets.acm.keys()
    pairs = [(rng.randrange(len(dblp_keys)), rng.randrange(len(acm_keys))) for _ in range(count)]
    pairs = [(a, b) for a, b in pairs if (dblp_keys[a], acm_keys[b]) not in truth]
    found = _engine.decide_pairs(sets.dblp.store, sets.acm.store, [a for a, _ in pairs], [b for _, b in pairs])
    same = sum(memoryview(found["verdict"][1]).cast("B")[k] == 1 for k in range(len(pairs)))
    print(f"\n{len(pairs):,} random DBLP x ACM pairs that are not true pairs: {same} decided the same work"
          f" ({same / len(pairs):.4%})")


def same_pairs(table: RecordTable, other: RecordTable | None = None, exhaustive: bool = False) -> tuple[set[tuple[int, int]], int]:
    """The pairs decided the same work (positions), and how many pairs were decided."""
    found = _engine.same_pairs(table.store, None if other is None else other.store, exhaustive=exhaustive)
    pairs = set(zip(memoryview(found["first"][1]).cast("I"), memoryview(found["second"][1]).cast("I")))
    return pairs, found["counts"]["pairs_decided"]


def blocking_table(sets: Sets) -> None:
    print("\n| set | same-work pairs, every pair decided | of them proposed by the keys (recall) |"
          " pairs decided: every pair / keys | keys passed over |\n| --- | --- | --- | --- | --- |")
    tables = [("Cora", sets.cora, None), ("DBLP2.csv alone", sets.dblp, None), ("ACM.csv alone", sets.acm, None),
              ("DBLP2 against ACM", sets.dblp, sets.acm), ("volumes.bib", sets.volumes, None)]
    if sets.synthetic is not None:
        tables.append((f"synthetic, {len(sets.synthetic):,} records", sets.synthetic, None))
        tables.append((f"synthetic, {len(sets.synthetic_subjects):,} references against"
                       f" {len(sets.synthetic_candidates):,} records", sets.synthetic_subjects,
                       sets.synthetic_candidates))
    for name, table, other in tables:
        every, every_count = same_pairs(table, other, exhaustive=True)
        found = _engine.same_pairs(table.store, None if other is None else other.store)
        keyed = set(zip(memoryview(found["first"][1]).cast("I"), memoryview(found["second"][1]).cast("I")))
        counts = found["counts"]
        recall = len(keyed & every) / len(every) if every else 1.0
        print(f"| {name} | {len(every):,} | {len(keyed & every):,} ({recall:.4f}) | {every_count:,} /"
              f" {counts['pairs_decided']:,} | {counts['keys_skipped']} |")
    print("\nThe quality figures with every pair decided (exhaustive), against the default (keys):\n")
    print("| set | measure | every pair | keys |\n| --- | --- | --- | --- |")
    every = group_quality(sets.cora.keys(), [(0.0, groups_of(sets.cora, exhaustive=True))], sets.cora_truth)[0]
    keys = sets.cora_quality()
    print(f"| Cora, dedupe | F1 | {every.f1:.4f} | {keys.f1:.4f} |")
    if sets.synthetic is not None:
        [every] = group_quality(sets.synthetic.keys(), [(0.0, groups_of(sets.synthetic, exhaustive=True))],
                                sets.synthetic_truth)
        [keys] = group_quality(sets.synthetic.keys(), [(0.0, groups_of(sets.synthetic))], sets.synthetic_truth)
        print(f"| synthetic, dedupe | F1 | {every.f1:.4f} | {keys.f1:.4f} |")
    blocked = on_this_machine().match(sets.dblp, sets.acm, 1, 0.0, blocking=True)
    [every] = match_quality(rows(sets.dblp, sets.acm, sets.best), sets.mapping, [defaults.MIN_SCORE])
    [keys] = match_quality(rows(sets.dblp, sets.acm, blocked), sets.mapping, [defaults.MIN_SCORE])
    print(f"| DBLP2 against ACM, match | top-1 F1, total >= {defaults.MIN_SCORE:g} | {every.f1:.4f} | {keys.f1:.4f} |")


def sweep(sets: Sets) -> None:
    print("\n| threshold | default | Cora prefers | DBLP-ACM at Cora's choice: match F1, DBLP2/ACM grouped |"
          " DBLP-ACM prefers | Cora F1 at DBLP-ACM's choice |\n| --- | --- | --- | --- | --- | --- |")
    for name, values in SWEEP.items():
        results = {}
        for value in values:
            settings = {name: value}
            results[value] = (sets.cora_quality(settings).f1, sets.match_decided(settings).f1,
                              grouped_records(groups_of(sets.dblp, settings)),
                              grouped_records(groups_of(sets.acm, settings)))
        cora_best = max(results[v][0] for v in values)
        cora_choice = [v for v in values if results[v][0] >= cora_best - 0.0005]
        allowed = [v for v in values if results[v][2] <= 30 and results[v][3] <= 30] or values
        dblp_best = max(results[v][1] for v in allowed)
        dblp_choice = [v for v in allowed if results[v][1] >= dblp_best - 0.0005]
        at_cora = results[cora_choice[0]]
        at_dblp = results[dblp_choice[0]]
        default = _default(name)
        print(f"| {name} | {default:g} | {', '.join(f'{v:g}' for v in cora_choice)} | {at_cora[1]:.4f},"
              f" {at_cora[2]}/{at_cora[3]} | {', '.join(f'{v:g}' for v in dblp_choice)} | {at_dblp[0]:.4f} |")


def _default(name: str) -> float:
    return float(_engine.decision_defaults()[name])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, default=CHECKOUT.parent / "shared" / "data")
    parser.add_argument("--sweep", action="store_true")
    parser.add_argument("--synthetic", type=int, default=20_000)
    args = parser.parse_args()
    sets = Sets(args.data, args.synthetic)
    defaults_table(sets)
    random_pairs(sets)
    blocking_table(sets)
    if args.sweep:
        sweep(sets)


if __name__ == "__main__":
    main()
