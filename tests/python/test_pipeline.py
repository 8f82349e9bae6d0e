"""The command's stages in process: canonical values, bounded scoring, data frames."""

import datetime
import json
from pathlib import Path

import pytest

from _support import run_cli
from refsieve_cli import match_tables
from refsieve_cli.errors import Report
from refsieve_cli.io.formats.bibtex import read_files
from refsieve_cli.records.canonical import author_text, canonical_doi, canonical_text
from refsieve_cli.records.values import read_year

DATA = Path(__file__).resolve().parent / "data"

LAMPORT = "llamport rshostak mpease"
AUTHORS = [
    # (how a source writes the authors, the canonical author text)
    ("Lamport, Leslie and Shostak, Robert and Pease, Marshall", LAMPORT),
    ("Leslie Lamport, Robert Shostak, Marshall Pease", LAMPORT),
    ("Leslie Lamport, Robert Shostak and Marshall Pease", LAMPORT),
    ("L. Lamport, R. Shostak, M. Pease", LAMPORT),
    ("Lamport, L., Shostak, R., Pease, M.", LAMPORT),
    ("Lamport, L.; Shostak, R.; Pease, M.", LAMPORT),
    ("Lamport L, Shostak R, Pease M", LAMPORT),
    ([{"family": "Lamport", "given": "Leslie"}, {"family": "Shostak", "given": "Robert"},
      {"family": "Pease", "given": "Marshall"}], LAMPORT),
    (["Lamport, Leslie", "Shostak, Robert", "Pease, Marshall"], LAMPORT),
    (("bibtex", "Lamport, Leslie and Robert Shostak and Pease, M. and others"), LAMPORT),
    (("bibtex", "de la Fontaine, Jean and {Barnes and Noble} and Cari{\\~n}o, Jr., Felipe"),
     "jfontaine noble fcarino"),
    ("Jean de la Fontaine", "jfontaine"),
    ("Felipe Cari&#241;o, Jr., Pekka Kostamaa", "fcarino pkostamaa"),
    ("Héctor García-Molina, Stefan Fischer 0003", "hmolina sfischer"),
    ("H. V. Jagadish, Kian-Lee Tan", "hvjagadish kltan"),
    ("Lamport, Leslie", "llamport"),
    ("Codd, E. F.", "efcodd"),
]


def as_read(value):
    if isinstance(value, tuple):
        [parsed] = read_files([("t.bib", f"@misc{{k, author = {{{value[1]}}}}}")], Report())
        return parsed.entries[0].values["author"]
    return value


@pytest.mark.parametrize("value, canonical", AUTHORS)
def test_every_way_of_writing_authors_gives_one_canonical_text(value, canonical):
    assert author_text(as_read(value), raw=False) == canonical


DOIS = [
    ("10.1145/362929.362947", "10.1145/362929.362947"),
    ("10.1145/X", "10.1145/x"),
    ("https://doi.org/10.1145/X", "10.1145/x"),
    ("http://dx.doi.org/10.1145/X ", "10.1145/x"),
    ("doi:10.1000/x_y%z", "10.1000/x_y%z"),
    ("DOI: 10.1000/ABC", "10.1000/abc"),
    ("doi 10.1000/ABC", "10.1000/abc"),
    ("https://www.doi.org/10.1000/ABC", "10.1000/abc"),
    ("not-a-doi", None),
    ("10.1145", None),
    ("https://example.org/paper/10.1145/x", None),
]


@pytest.mark.parametrize("text, doi", DOIS)
def test_dois_are_lower_case_without_resolver_or_dropped(text, doi):
    assert canonical_doi(text) == doi


YEARS = [
    (1970, 1970), ("1970", 1970), (1970.0, 1970), ("1970.0", 1970), ("2019a", 2019), ("-44", -44),
    ("2019-05-01", 2019), ("May 2019", 2019), ("2019///", 2019), ({"date-parts": [[2019, 5]]}, 2019),
    ({"date-parts": [["2019"]]}, 2019), ({"raw": "ca. 2019"}, 2019), (datetime.date(2019, 5, 1), 2019),
    (None, None), ("  ", None), (float("nan"), None),
    ("in press", ValueError), ("n.d.", ValueError), (1.5, ValueError), ("19x9", ValueError),
    (True, ValueError), (2**31, ValueError), ({"date-parts": [["soon"]]}, ValueError),
]


@pytest.mark.parametrize("value, year", YEARS)
def test_years_are_read_leniently(value, year):
    if year is ValueError:
        with pytest.raises(ValueError):
            read_year(value)
    else:
        assert read_year(value) == year


TEXTS = [
    ("Caf&eacute; &amp; Bar", "Café & Bar"),
    ("Bertram Lud&#228;scher", "Bertram Ludäscher"),
    ('G{\\"o}del and {\\em Data} Mining', "Gödel and Data Mining"),
    ("<i>E. coli</i> grows", "E. coli grows"),
    ("50% of  the\tdata", "50% of the data"),
    ("e\u0301tude", "\u00e9tude"),
]


@pytest.mark.parametrize("text, canonical", TEXTS)
def test_titles_and_venues_lose_their_markup(text, canonical):
    assert canonical_text(text) == canonical


def test_data_frames_and_other_tables_match_as_the_command_does():
    subjects = [json.loads(line) for line in (DATA / "subjects.jsonl").read_text(encoding="utf-8").splitlines()
                if line.strip()]
    candidates = [json.loads(line) for line in (DATA / "candidates.jsonl").read_text(encoding="utf-8").splitlines()]
    command = run_cli("match", DATA / "subjects.jsonl", DATA / "candidates.jsonl", "--min-score", 0,
                      "--include", "title")
    expected = [json.loads(line) for line in command.stdout.splitlines()]
    as_list = match_tables(subjects, candidates, min_score=0, include=["title"], as_frame=False)
    columns = {name: [row.get(name) for row in candidates] for name in {k for row in candidates for k in row}}
    as_columns = match_tables(subjects, columns, min_score=0, include=["title"], as_frame=False)
    assert as_list == as_columns == expected
    pandas = pytest.importorskip("pandas")
    frame = match_tables(pandas.DataFrame(subjects), pandas.DataFrame(candidates), min_score=0, include=["title"])
    assert isinstance(frame, pandas.DataFrame)
    assert frame.to_dict("records") == expected


def test_explain_names_the_rules_behind_the_scores_match_gives():
    done = run_cli("explain", DATA / "subjects.jsonl", DATA / "candidates.jsonl", "dijkstra68", "c-dijkstra", "-q")
    assert done.returncode == 0, done.stderr
    matched = run_cli("match", DATA / "subjects.jsonl", DATA / "candidates.jsonl", "--min-score", 0, "-q")
    row = next(row for row in map(json.loads, matched.stdout.splitlines()) if row["subject_key"] == "dijkstra68")
    lines = {line.split()[0]: line for line in done.stdout.splitlines() if line[:1] != " "}
    assert row["candidate_key"] == "c-dijkstra" and row["match_type"] == "doi"
    for name in ("title", "author", "date", "bonus", "total"):
        score = row["total_score" if name == "total" else f"{name}_score"]
        assert lines[name].split()[1] == f"{score:.2f}", done.stdout
    assert "+100 boost" in lines["title"] and "same DOI +100" in lines["bonus"] and "same DOI:" in done.stdout
