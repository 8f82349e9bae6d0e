"""What the command tells and refuses: fields read, lookup files, summarised warnings, unreachable
thresholds, option ranges, and evaluate's range and truth columns."""

import json
from pathlib import Path

import pytest

from _support import run_cli

DATA = Path(__file__).resolve().parent / "data"
SHARED_DATA = Path(__file__).resolve().parents[3] / "shared" / "data"


def write(path, text):
    path.write_text(text, encoding="utf-8")
    return path


def rows(text):
    return [json.loads(line) for line in text.splitlines()]


def test_each_file_says_which_field_became_which_and_quiet_keeps_it_back(tmp_path):
    refs = write(tmp_path / "refs.csv", "ID;Titel;Autoren;Year;source\nr1;A relational model;Codd, E. F.;1970;CACM\n")
    done = run_cli("match", refs, DATA / "candidates.jsonl", "--map", "Titel=title,Autoren=author", "--min-score", 0)
    assert done.returncode == 0, done.stderr
    assert f"refsieve: {refs}: fields read: ID as key, Titel as title, Autoren as author, Year, source as journal\n" \
        in done.stderr
    quiet = run_cli("match", refs, DATA / "candidates.jsonl", "--map", "Titel=title,Autoren=author", "--min-score", 0,
                    "-q")
    assert quiet.stderr == "" and quiet.stdout == done.stdout


@pytest.mark.parametrize("header, mapping", [("ID;Titel;Autoren;Jahr", "Titel=title"), ("title;who", "")])
def test_a_run_that_no_pair_can_pass_stops_instead_of_writing_an_empty_file(tmp_path, header, mapping):
    refs = write(tmp_path / "refs.csv", f"{header}\nr1;Go to statement considered harmful;Dijkstra, E. W.;1968\n"
                 if header.startswith("ID") else f"{header}\nGo to statement considered harmful;Dijkstra\n")
    options = ("--map", mapping) if mapping else ()
    done = run_cli("match", refs, DATA / "candidates.jsonl", *options, "-o", tmp_path / "out.csv")
    assert done.returncode == 1
    assert "no pair can reach --min-score 125" in done.stderr and "--map" in done.stderr
    assert not (tmp_path / "out.csv").exists()


@pytest.mark.parametrize("command, option, value", [
    ("match", "--min-score", "200"), ("match", "--min-score", "-1"), ("dedupe", "--share", "0"),
    ("dedupe", "--share", "1.5"), ("evaluate", "--thresholds", "100:200:5"), ("evaluate", "--thresholds", "0:100:0.001"),
])
def test_option_values_outside_their_range_are_refused(tmp_path, command, option, value):
    files = {"match": ("match", DATA / "subjects.jsonl", DATA / "candidates.jsonl"),
             "dedupe": ("dedupe", DATA / "candidates.jsonl"),
             "evaluate": ("evaluate", "match", DATA / "subjects.jsonl", DATA / "candidates.jsonl", "--truth",
                          tmp_path / "t.csv")}[command]
    done = run_cli(*files, option, value)
    assert done.returncode == 2 and f"argument {option}" in done.stderr and done.stdout == ""


BIBLIOGRAPHY = """@inproceedings{helmert10, author = {Helmert, Malte}, title = {Landmark Heuristics},
  crossref = {aaai10}, pages = {1--8}}
@inproceedings{helmert10b, author = {M. Helmert}, title = {Landmark heuristics}, crossref = {aaai10}}
@article{other, author = {Smith, J.}, title = {Another Work}, journal = jair, note = {%s}, year = 2011}
"""
MACROS = '@string{aaai = "Proceedings of the AAAI Conference on Artificial Intelligence"}\n@string{jair = "JAIR"}\n'
VOLUMES = "".join(f'@proceedings{{aaai{year % 100:02d}, title = aaai # " {year}", booktitle = aaai # " {year}",'
                  f" year = {year}}}\n" for year in range(2005, 2015))


def test_lookup_files_serve_macros_and_crossref_targets_without_becoming_records(tmp_path):
    bib = write(tmp_path / "lit.bib", BIBLIOGRAPHY % "")
    macros, volumes = write(tmp_path / "abbrv.bib", MACROS), write(tmp_path / "crossref.bib", VOLUMES)
    done = run_cli("dedupe", bib, "--lookup", macros, "--lookup", volumes)
    assert done.returncode == 0, done.stderr
    assert [row["key"] for row in rows(done.stdout)] == ["helmert10", "helmert10b", "other"]
    assert "warning" not in done.stderr
    # The crossref target gave its venue and year; the macro its journal.
    matched = run_cli("match", bib, bib, "--lookup", macros, "--lookup", volumes, "--include", "journal,year",
                      "--min-score", 0, "-q")
    first = rows(matched.stdout)[0]
    assert (first["subject_journal"], first["subject_year"]) == (
        "Proceedings of the AAAI Conference on Artificial Intelligence 2010", 2010)
    # Read as records, the volumes that a crossref names are still not records; the others are.
    together = run_cli("dedupe", bib, volumes, macros)
    keys = [row["key"] for row in rows(together.stdout)]
    assert "aaai10" not in keys and "aaai11" in keys and "helmert10" in keys
    assert "crossref.bib: 1 entry named by crossref" in together.stderr


def test_lookup_reads_bibtex_only(tmp_path):
    done = run_cli("dedupe", DATA / "subjects.bib", "--lookup", DATA / "subjects.jsonl")
    assert done.returncode == 1 and "--lookup reads BibTeX files" in done.stderr


def test_warnings_of_one_kind_are_told_five_times_then_counted(tmp_path):
    entries = "".join(f"@misc{{k{i}, title = {{Work {i}}}, note = undefined{i}}}\n" for i in range(12))
    done = run_cli("dedupe", write(tmp_path / "many.bib", entries))
    told = [line for line in done.stderr.splitlines() if "undefined macro" in line]
    assert len(told) == 6 and told[-1].endswith("7 more of this kind (undefined macro); 12 in all")


def truth(path, pairs, header="s,c"):
    return write(path, header + "\n" + "".join(f"{a},{b}\n" for a, b in pairs))


def evaluate(*args):
    done = run_cli("evaluate", "match", DATA / "subjects.jsonl", DATA / "candidates.jsonl", *args)
    assert done.returncode == 0, done.stderr
    table = [line.split() for line in done.stdout.splitlines()[2:-1]]
    return done, [float(line[0]) for line in table]


@pytest.mark.parametrize("asked, widened", [("20:40:5", (20, 165)), ("175:185:5", (155, 185)),
                                            ("150:170:5", (150, 170))])
def test_evaluate_widens_its_range_until_it_holds_the_best_threshold(tmp_path, asked, widened):
    # Goedel's match (158.5) is false: the best thresholds lie above it and up to Codd's (177).
    pairs = truth(tmp_path / "t.csv", [("codd70", "c-codd"), ("dijkstra68", "c-dijkstra")])
    done, levels = evaluate("--truth", pairs, "--thresholds", asked)
    assert (levels[0], levels[-1]) == widened, done.stdout
    assert ("widened" in done.stderr) == (widened != tuple(float(x) for x in asked.split(":")[:2]))
    best = next(float(line.split()[0]) for line in done.stdout.splitlines() if line.endswith("*"))
    assert 158.5 < best <= 177 and levels[0] < best < levels[-1]


def test_evaluate_reads_swapped_truth_columns_and_counts_keys_it_cannot_find(tmp_path):
    straight = [("codd70", "c-codd"), ("dijkstra68", "c-dijkstra"), ("goedel31", "c-goedel")]
    as_given, _ = evaluate("--truth", truth(tmp_path / "a.csv", straight), "-q")
    swapped, _ = evaluate("--truth", truth(tmp_path / "b.csv", [(b, a) for a, b in straight] + [("nobody", "x")]))
    assert "holds candidate keys" in swapped.stderr and "read the other way round" in swapped.stderr
    assert "1 of 4 true pairs name a key that no record has" in swapped.stderr
    assert swapped.stdout.splitlines()[2:-1] != [] and \
        [line.split()[:3] for line in swapped.stdout.splitlines()[2:-1]] == \
        [line.split()[:3] for line in as_given.stdout.splitlines()[2:-1]]
