"""The decision whether two records are one work, and dedupe's groups built on it."""

import json
from collections import Counter
from pathlib import Path

import pytest

from _support import run_cli
from refsieve_cli.engine import decide, on_this_machine
from refsieve_cli.frames import load_table
from refsieve_cli.records.builder import LoadOptions

SHARED_DATA = Path(__file__).resolve().parents[3] / "shared" / "data"

LAMPORT = {"title": "Time, Clocks, and the Ordering of Events in a Distributed System", "author": "Leslie Lamport",
           "year": 1978, "journal": "Communications of the ACM", "volume": "21", "number": "7", "pages": "558-565"}
AHA = {"title": "Instance-based learning algorithms", "author": "Aha, D. W. and Kibler, D. and Albert, M. K.",
       "year": 1991, "journal": "Machine Learning"}


def decision(first, second):
    """The engine's decision on two records read as the command reads them."""
    tables = [load_table(name, [record], LoadOptions()) for name, record in (("a", first), ("b", second))]
    [verdict], [reason] = decide(tables[0], tables[1], [0], [0])
    return verdict, reason


PAIRS = [
    # The same work written by two sources.
    (LAMPORT, dict(LAMPORT, title="Time, clocks and the ordering of events in a distributed system",
                   author="Lamport, L.", pages="558--565"), ("same", "identifiers+authors")),
    (AHA, dict(AHA, title="Instance based learning algorithms.", author="D. Aha, D. Kibler, M. Albert"),
     ("same", "title+authors")),
    (AHA, dict(AHA, title="Instance-based learnign algorithms", journal=None), ("same", "title+authors")),
    ({"title": "Learning internal representations by error back propagation", "author": "D. Rumelhart, G. Hinton",
      "year": 1986},
     {"title": "Learning internal representations by error backpropagation", "author": "Rumelhart, D. E. and "
      "Hinton, G. E.", "year": 1986}, ("same", "title+authors")),
    ({"title": "Mining association rules between sets of items in large databases", "author": "R. Agrawal",
      "year": 1993},
     {"title": "Mining association rules between sets of items in large databases", "year": 1993},
     ("same", "title-without-authors")),
    (dict(LAMPORT, doi="10.1145/359545.359563"), dict(LAMPORT, title="Time clocks", doi="10.1145/359545.359563"),
     ("same", "doi")),
    # A title that only begins alike is not the same work, nor are the same authors alone.
    ({"title": "Proof Complexity", "author": "A. Razborov", "year": 2003},
     {"title": "Complexity of Concurrent Temporal Planning", "author": "J. Rintanen", "year": 2015},
     ("different", "years-apart")),
    (AHA, dict(AHA, title="Tolerating noisy, irrelevant and novel attributes in instance-based learning"),
     ("undecided", "title")),
    # Facts that two versions of one work cannot have.
    (dict(LAMPORT, doi="10.1145/1"), dict(LAMPORT, doi="10.1145/2"), ("different", "different-dois")),
    (LAMPORT, dict(LAMPORT, pages="100-107"), ("different", "page-ranges")),
    (LAMPORT, dict(LAMPORT, title="Erratum: " + LAMPORT["title"]), ("different", "marker-words")),
    ({"title": "On interprocess communication. Part I: Basic formalism", "author": "L. Lamport", "year": 1986},
     {"title": "On interprocess communication. Part II: Algorithms", "author": "L. Lamport", "year": 1986},
     ("different", "title-numbers")),
    ({"title": "Proceedings of the Twenty-Fifth AAAI Conference on Artificial Intelligence", "year": 2011},
     {"title": "Proceedings of the 26th AAAI Conference on Artificial Intelligence", "year": 2012},
     ("different", "title-numbers")),
    (dict(AHA, journal="Proceedings of the Eighth International Workshop on Machine Learning"),
     dict(AHA, journal="Machine Learning Journal"), ("different", "venue-kinds")),
    (dict(LAMPORT, doi="10.1145/359545.359563"), dict(LAMPORT, title="A new solution of the mutual exclusion "
     "problem", doi="10.1145/359545.359563"), ("undecided", "doi-with-other-title")),
    # A short or generic title by one person names a column as often as a work.
    ({"title": "Editor's Notes", "author": "M. Winslett", "year": 2002},
     {"title": "Editor's notes", "author": "Marianne Winslett", "year": 2003}, ("undecided", "generic-title")),
]


@pytest.mark.parametrize("first, second, expected", PAIRS)
def test_the_decision_on_pairs_of_records(first, second, expected):
    assert decision(first, second) == expected


BIBLIOGRAPHY = r"""
@proceedings{aaai11, title = {Proceedings of the Twenty-Fifth {AAAI} Conference on Artificial Intelligence},
  year = 2011, publisher = {AAAI Press}}
@proceedings{aaai12, title = {Proceedings of the Twenty-Sixth {AAAI} Conference on Artificial Intelligence},
  year = 2012, publisher = {AAAI Press}}
@inproceedings{helmert11, author = {Helmert, Malte and Domshlak, Carmel}, year = 2011,
  title = {Landmarks, Critical Paths and Abstractions: What's the Difference Anyway?},
  booktitle = {Proceedings of the Twenty-Fifth {AAAI} Conference on Artificial Intelligence}, pages = {162--169}}
@inproceedings{helmert11b, author = {M. Helmert and C. Domshlak}, year = 2011,
  title = {Landmarks, critical paths and abstractions: what's the difference anyway},
  booktitle = {AAAI}, pages = {162-169}}
@book{aima2, author = {Russell, Stuart and Norvig, Peter}, title = {Artificial Intelligence: A Modern Approach},
  edition = {2nd}, year = 2003}
@book{aima3, author = {Russell, Stuart and Norvig, Peter}, title = {Artificial Intelligence: A Modern Approach},
  edition = {3rd}, year = 2010}
@article{proof, author = {Razborov, Alexander}, title = {Proof Complexity}, year = 2003, journal = {Some Journal}}
@inproceedings{planning, author = {Rintanen, Jussi}, title = {Complexity of Concurrent Temporal Planning},
  year = 2007, booktitle = {Proceedings of ICAPS}}
"""


def test_dedupe_keeps_volumes_editions_and_lookalike_titles_apart(tmp_path):
    bib = tmp_path / "lit.bib"
    bib.write_text(BIBLIOGRAPHY, encoding="utf-8")
    done = run_cli("dedupe", bib, "--pairs", tmp_path / "pairs.jsonl", "-q")
    assert done.returncode == 0, done.stderr
    groups = {}
    for row in map(json.loads, done.stdout.splitlines()):
        groups.setdefault(row["cluster"], []).append(row["key"])
    assert sorted(sorted(group) for group in groups.values() if len(group) > 1) == [["helmert11", "helmert11b"]]
    [pair] = [json.loads(line) for line in (tmp_path / "pairs.jsonl").read_text().splitlines()]
    assert (pair["first_key"], pair["second_key"], pair["reason"]) == ("helmert11", "helmert11b", "identifiers+authors")


def test_grouping_never_joins_two_works_and_decides_what_blocking_proposes(tmp_path):
    # Four versions of one work; a fifth agrees with the last but gives other pages than the first.
    base = {"title": "Graph methods in practice for sparse problems", "author": "Doe, J. and Roe, R.", "year": 2001}
    records = [dict(base, key=f"v{i}") for i in range(4)] + [dict(base, key="other", pages="90-99")]
    records[0]["pages"] = "1-10"
    path = tmp_path / "c.jsonl"
    path.write_text("".join(json.dumps(r) + "\n" for r in records), encoding="utf-8")
    for extra in ((), ("--exhaustive",)):
        done = run_cli("dedupe", path, *extra, "-q")
        clusters = {row["key"]: row["cluster"] for row in map(json.loads, done.stdout.splitlines())}
        assert clusters["v0"] == clusters["v1"] == clusters["v2"] == clusters["v3"] == 0
        assert clusters["other"] != 0


@pytest.mark.skipif(not (SHARED_DATA / "dblp-acm").is_dir(), reason="no ../shared/data beside the checkout")
@pytest.mark.parametrize("name, encoding", [("DBLP2.csv", "latin-1"), ("ACM.csv", "utf-8")])
def test_catalogues_without_duplicates_stay_nearly_ungrouped(name, encoding):
    table = load_table(name, _rows(SHARED_DATA / "dblp-acm" / name, encoding), LoadOptions())
    groups = on_this_machine().group(table)
    sizes = Counter(groups.group)
    assert sum(size for size in sizes.values() if size > 1) <= 30
    # What blocking proposes holds every pair that deciding all pairs calls the same work.
    everything = on_this_machine().group(table, exhaustive=True)
    assert list(everything.group) == list(groups.group)


def _rows(path, encoding):
    import csv

    with open(path, encoding=encoding, newline="") as f:
        return list(csv.DictReader(f))
