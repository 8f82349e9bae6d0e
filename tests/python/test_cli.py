"""The refsieve command, run as a subprocess on small files of every format."""

import csv
import io
import json
import os
import pty
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import refsieve
from _support import generated_batch, module_env, record, run_cli

DATA = Path(__file__).resolve().parent / "data"
# Benchmark data beside the checkout (never copied into it).
SHARED_DATA = Path(__file__).resolve().parents[3] / "shared" / "data"
REPO = Path(__file__).resolve().parents[2]
SCORES = ("total_score", "title_score", "author_score", "date_score", "bonus_score")

# What every tests/python/data/subjects.* file holds, written out by hand.
SUBJECTS = [
    ("codd70", record(index=10, title="A relational model of data for large shared data banks", author="Codd, E. F.",
                      year=1970, journal="Communications of the ACM", volume="13", number="6", pages="377-387")),
    ("dijkstra68", record(index=11, title="Go to statement considered harmful", author="Dijkstra, Edsger W.",
                          year=1968, doi="10.1145/362929.362947")),
    ("goedel31", record(index=12, title="Über formal unentscheidbare Sätze", author="Gödel, Kurt", year=1931,
                        journal="Monatshefte für Mathematik und Physik", volume="38", number="1", pages="173-198")),
    ("lamport78", record(index=3, title="Time, clocks and the ordering of events in a distributed system",
                         author="Lamport, Leslie", doi="10.1000/x_y%z", publisher="ACM")),
]


def candidates_from_file():
    lines = (DATA / "candidates.jsonl").read_text(encoding="utf-8").splitlines()
    return [json.loads(line) for line in lines]


def expected_rows(subjects, candidates, top_n, min_score):
    """Rows computed directly with score_batch; candidates identified by position."""
    by_position = [dict(record(**{k: v for k, v in c.items() if k != "key"}), index=i)
                   for i, c in enumerate(candidates)]
    rows = []
    for result in refsieve.score_batch([r for _, r in subjects], by_position, top_n, min_score):
        key, subject = subjects[result["subject_index"]]
        for match in result["matches"]:
            candidate = candidates[match["candidate_index"]]
            by_doi = bool(subject["doi"]) and subject["doi"] == candidate.get("doi")
            rows.append({"subject_index": subject["index"], "subject_key": key,
                         "candidate_index": candidate["index"], "candidate_key": candidate.get("key"),
                         "match_type": "doi" if by_doi else "score",
                         **{score: match[score] for score in SCORES}})
    return rows


def jsonl_rows(text):
    return [json.loads(line) for line in text.splitlines()]


DECISION_COLUMNS = ("decision", "decision_reason")


def scored_rows(text):
    """The rows of JSON Lines output without the same-work decision (score_batch does not decide)."""
    rows = jsonl_rows(text)
    assert all(row["decision"] in ("same", "different", "undecided") for row in rows)
    return [{name: value for name, value in row.items() if name not in DECISION_COLUMNS} for row in rows]


def csv_rows(text):
    rows = list(csv.DictReader(io.StringIO(text)))
    for row in rows:
        for name in ("subject_index", "candidate_index"):
            row[name] = int(row[name])
        for name in ("subject_key", "candidate_key"):
            row[name] = row[name] or None
        for name in SCORES:
            row[name] = float(row[name])
    return rows


def write_jsonl(path, records):
    path.write_text("".join(json.dumps(r) + "\n" for r in records), encoding="utf-8")


# (subjects file, options, fields it has that feed no record field): each holds the same four
# references. Authors are text in the first four (so --raw reads them exactly as SUBJECTS has
# them) and names in RIS and CSL-JSON.
SUBJECT_FILES = [
    ("subjects.jsonl", (), "extra"),
    ("subjects.json", (), None),
    ("subjects.csv", (), "Notes"),
    ("subjects.bib", (), None),
    ("subjects.ris", ("--map", "C1=index"), None),
    ("subjects.csl.json", (), "type"),
    ("-", ("--subjects-format", "jsonl"), "extra"),
]


@pytest.mark.parametrize("name, options, unused", SUBJECT_FILES)
def test_every_input_format_reads_the_same_records(name, options, unused):
    stdin = (DATA / "subjects.jsonl").read_text(encoding="utf-8") if name == "-" else None
    subjects = name if name == "-" else DATA / name
    common = (DATA / "candidates.jsonl", "--top-n", 2, "--min-score", 0)
    done = run_cli("match", subjects, *common, *options, stdin=stdin)
    assert done.returncode == 0 and "warning" not in done.stderr, done.stderr
    assert ("fields not used: " in done.stderr) == (unused is not None)
    if unused:
        assert f"fields not used: {unused} (read one with --map {unused}=FIELD)" in done.stderr
    assert jsonl_rows(done.stdout) == jsonl_rows(run_cli("match", DATA / "subjects.jsonl", *common).stdout)
    if name.endswith((".jsonl", ".json", ".csv", ".bib")) and ".csl." not in name:
        raw = run_cli("match", subjects, *common, *options, "--raw")
        assert scored_rows(raw.stdout) == expected_rows(SUBJECTS, candidates_from_file(), 2, 0.0)


def test_bibtex_candidates_keep_their_citation_keys(tmp_path):
    done = run_cli("match", DATA / "candidates.jsonl", DATA / "subjects.bib", "--min-score", 100)
    assert done.returncode == 0, done.stderr
    pairs = {(row["subject_key"], row["candidate_key"]) for row in jsonl_rows(done.stdout)}
    assert pairs == {("c-codd", "codd70"), ("c-dijkstra", "dijkstra68"), ("c-goedel", "goedel31"),
                     ("c-lamport", "lamport78")}


def test_csv_output_holds_the_same_rows_and_file_output_leaves_stdout_empty(tmp_path):
    args = ("match", DATA / "subjects.csv", DATA / "candidates.jsonl", "--top-n", 3, "--min-score", 20)
    as_jsonl = run_cli(*args)
    as_csv = run_cli(*args, "--format", "csv")
    to_file = run_cli(*args, "--output", tmp_path / "out.csv")
    assert as_csv.stdout.splitlines()[0].split(",")[:4] == ["subject_index", "subject_key", "candidate_index",
                                                            "candidate_key"]
    assert csv_rows(as_csv.stdout) == jsonl_rows(as_jsonl.stdout)
    assert (to_file.returncode, to_file.stdout) == (0, "")
    assert (tmp_path / "out.csv").read_text(encoding="utf-8") == as_csv.stdout


def test_encoding_options_read_each_file_in_its_encoding(tmp_path):
    for name in ("subjects.csv", "candidates.jsonl"):
        (tmp_path / name).write_bytes((DATA / name).read_text(encoding="utf-8").encode("cp1252"))
    options = ("--top-n", 2, "--min-score", 0)
    as_utf8 = run_cli("match", DATA / "subjects.csv", DATA / "candidates.jsonl", *options)
    both = run_cli("match", tmp_path / "subjects.csv", tmp_path / "candidates.jsonl", *options, "--encoding", "cp1252")
    one_each = run_cli("match", tmp_path / "subjects.csv", DATA / "candidates.jsonl", *options,
                       "--subjects-encoding", "cp1252")
    for done in (both, one_each):
        assert done.returncode == 0, done.stderr
        assert done.stdout == as_utf8.stdout


def without_blank_texts(records):
    """The records with texts of only white space made empty, as the command reads them."""
    def value(name, text):
        if not isinstance(text, str) or text.strip():
            return text
        return "" if name in ("title", "author") else None
    return [{name: value(name, text) for name, text in r.items()} for r in records]


@pytest.mark.parametrize("chunk_size", [1, 7, 1000])
def test_chunked_scoring_equals_one_batch(tmp_path, chunk_size):
    subjects, candidates = map(without_blank_texts, generated_batch(n_subjects=40, n_candidates=30))
    write_jsonl(tmp_path / "s.jsonl", subjects)
    write_jsonl(tmp_path / "c.jsonl", candidates)
    done = run_cli("match", tmp_path / "s.jsonl", tmp_path / "c.jsonl", "--top-n", 3, "--min-score", 40,
                   "--chunk-size", chunk_size, "--raw")
    assert done.returncode == 0, done.stderr
    keyed = [(None, s) for s in subjects]
    assert scored_rows(done.stdout) == expected_rows(keyed, candidates, 3, 40.0)


def test_demo_matches_the_bundled_sample():
    sample = Path(__file__).resolve().parents[2] / "examples" / "sample"
    subjects = json.loads((sample / "references.json").read_text(encoding="utf-8"))
    candidates = json.loads((sample / "catalogue.json").read_text(encoding="utf-8"))
    done = run_cli("demo", "--top-n", 2, "--raw", "--min-score", 90)
    assert done.returncode == 0, done.stderr
    assert scored_rows(done.stdout) == expected_rows([(None, s) for s in subjects], candidates, 2, 90.0)


MALFORMED = [
    # (file name, content, expected message start, field named)
    ("s.jsonl", '{"title": "a"}\n{"title": "b",}\n', "s.jsonl:2: not valid JSON", None),
    ("s.jsonl", '{"title": "a"}\n\n["title"]\n', "s.jsonl:3: expected a JSON object", None),
    ("s.jsonl", '{"title": "a"}\n{"title": "b", "year": "19x9"}\n', "s.jsonl:2: field 'year'", "year"),
    ("s.jsonl", '{"title": 5}\n', "s.jsonl:1: field 'title'", "title"),
    ("s.jsonl", '{"title": "a", "index": -1}\n', "s.jsonl:1: field 'index'", "index"),
    ("s.jsonl", '{"title": "a", "year": 2147483648}\n', "s.jsonl:1: field 'year'", "year"),
    ("s.jsonl", '{"title": "a\\ud800"}\n', "s.jsonl:1: field 'title'", "title"),
    ("s.jsonl", '{"title": "a", "doi": true}\n', "s.jsonl:1: field 'doi'", "doi"),
    ("s.json", '[\n {"title": "a"},\n {"title": "b",\n  "year": 1.5}\n]\n', "s.json:3: field 'year'", "year"),
    ("s.json", '{"title": "a"}\n', "s.json:1: expected a JSON list", None),
    ("s.json", '[\n {"title": "a"},\n {"title": \n', "s.json:4: not valid JSON", None),
    ("s.json", '[{"title": "a"}] x\n', "s.json:1: not valid JSON", None),
    ("s.csv", "name,author\nx,y\n", "s.csv:1: field 'title'", "title"),
    ("s.csv", "title,author\na,b\nc,d,e\n", "s.csv:3: 3 cells", None),
    ("s.csv", "title,year\na,1999\n\"b, c\",abc\n", "s.csv:3: field 'year'", "year"),
    ("s.csv", "", "s.csv:1: the file is empty", None),
    ("s.bib", "@book{a, title={A}}\n\n@article{b,\n  title = {Unclosed\n\n@book{c, title={C}}\n",
     "s.bib:3: not valid BibTeX", None),
    ("s.bib", "@book{a,\n  title = {A},\n  year = {in press}\n}\n", "s.bib:3: field 'year'", "year"),
    ("s.bib", "@book{a, title={A}}\n@book{a, title={B}}\n", "s.bib:2: not valid BibTeX", None),
    ("s.csv", b"title\nok\n\xff\xfe\n", "s.csv:3: the file is not valid utf-8 text", None),
    ("s.txt", "title\n", "s.txt: unknown file type '.txt'", None),
    # Field names are those of the file, whatever record field they feed.
    ("s.jsonl", '{"title": "a", "id": {"x": 1}}\n', "s.jsonl:1: field 'id'", "id"),
    ("s.jsonl", '{"title": "a", "Issued": {"date-parts": [["soon"]]}}\n', "s.jsonl:1: field 'Issued'", "Issued"),
    ("s.json", '[{"title": "a", "author": [{"family": "A"}, 5]}]', "s.json:1: field 'author'", "author"),
    ("s.csv", "name;author\nx;y\n", "s.csv:1: field 'title'", "title"),
    ("s.csv", "title;year\na;2001\nb;in press\n", "s.csv:3: field 'year'", "year"),
    ("s.bib", "A letter, not a bibliography.\n\nRegards\n", "s.bib:1: not valid BibTeX", None),
    ("s.bib", "@article{a,\n  title = {A} # ,\n  year = 2000\n}\n", "s.bib:2: field 'title': not valid BibTeX", "title"),
    ("s.ris", "A letter, not a bibliography.\n", "s.ris:1: not valid RIS", None),
    ("s.ris", "TY  - JOUR\nTI  - A\nER  - \n\nTY  - JOUR\nTI  - B\n", "s.ris:5: not valid RIS", None),
    ("s.ris", "TY  - JOUR\nTI  - A\nPY  - in press\nER  - \n", "s.ris:3: field 'PY'", "PY"),
]


@pytest.mark.parametrize("name, content, message, field", MALFORMED)
@pytest.mark.parametrize("position", ["subjects", "candidates"])
def test_malformed_input_ends_with_one_line_naming_file_line_and_field(tmp_path, name, content, message, field,
                                                                         position):
    bad = tmp_path / name
    bad.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
    good = DATA / "candidates.jsonl"
    files = (bad, good) if position == "subjects" else (good, bad)
    done = run_cli("match", *files, "--output", tmp_path / "out.jsonl")
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr.startswith(f"refsieve: {bad.parent / message}"), done.stderr
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr
    assert not (tmp_path / "out.jsonl").exists()


def test_unreadable_input_and_unwritable_output_are_one_line_errors(tmp_path):
    missing = run_cli("match", tmp_path / "nope.jsonl", DATA / "candidates.jsonl")
    assert missing.stderr == f"refsieve: {tmp_path / 'nope.jsonl'}: cannot read the file: No such file or directory\n"
    unwritable = run_cli("match", DATA / "subjects.jsonl", DATA / "candidates.jsonl", "-o", tmp_path / "no" / "x.csv")
    assert unwritable.stderr.startswith(f"refsieve: {tmp_path / 'no' / 'x.csv'}: cannot write the file")
    full = run_cli("demo", "--output", "/dev/full")
    assert full.stderr == "refsieve: cannot write the output: No space left on device\n"
    no_format = run_cli("match", "-", DATA / "candidates.jsonl", stdin="{}")
    assert no_format.stderr == "refsieve: <stdin>: standard input has no file name to tell its format: give " \
                               "--subjects-format\n"
    both_stdin = run_cli("match", "-", "-", "--subjects-format", "jsonl", "--candidates-format", "jsonl", stdin="")
    unknown_column = run_cli("match", DATA / "subjects.jsonl", DATA / "candidates.jsonl", "--map", "venu=journal")
    assert unknown_column.stderr == "refsieve: --map: no input file has a field named 'venu'\n"
    for done in (missing, unwritable, full, no_format, both_stdin, unknown_column):
        assert done.returncode == 1 and done.stderr.count("\n") == 1


@pytest.mark.parametrize("option", [["--top-n", "-1"], ["--top-n", "1.5"], ["--min-score", "nan"],
                                    ["--chunk-size", "0"], ["--format", "xml"], ["--encoding", "klingon"],
                                    ["--subjects-encoding", "klingon"], ["--subjects-format", "xml"],
                                    ["--map", "venue"], ["--map", "venue=place"], ["--include", "colour"],
                                    ["--bad-values", "maybe"], ["--delimiter", "::"], ["--max-field-length", "-5"]])
def test_bad_options_are_usage_errors(option):
    done = run_cli("match", DATA / "subjects.jsonl", DATA / "candidates.jsonl", *option)
    assert done.returncode == 2
    assert "usage: refsieve match" in done.stderr and "Traceback" not in done.stderr


def run_on_terminal(tmp_path, *args):
    """Runs the command with standard error on a pseudo-terminal; returns (stdout, terminal text)."""
    controller, terminal = pty.openpty()
    out = tmp_path / "terminal-run.out"
    try:
        with out.open("w") as stdout:
            process = subprocess.Popen([sys.executable, "-m", "refsieve_cli", *map(str, args)], env=module_env(),
                                       stdout=stdout, stderr=terminal)
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal closes when the process ends
                break
            if not chunk:
                break
            shown += chunk
        process.wait(timeout=60)
    finally:
        os.close(controller)
    assert process.returncode == 0
    return out.read_text(encoding="utf-8"), shown.decode("utf-8")


def test_progress_bar_on_a_terminal_only_and_not_when_quiet(tmp_path):
    subjects, candidates = generated_batch(n_subjects=30, n_candidates=10)
    write_jsonl(tmp_path / "s.jsonl", subjects)
    write_jsonl(tmp_path / "c.jsonl", candidates)
    args = ("match", tmp_path / "s.jsonl", tmp_path / "c.jsonl", "--chunk-size", 20, "--min-score", 50)
    stdout, shown = run_on_terminal(tmp_path, *args)
    assert "[" + "#" * 30 + "]" in shown and f"{len(subjects)}/{len(subjects)} subjects 100%" in shown
    assert f"{len(stdout.splitlines())} matches" in shown
    assert stdout == run_cli(*args).stdout
    quiet_stdout, quiet_shown = run_on_terminal(tmp_path, *args, "--quiet")
    assert (quiet_stdout, quiet_shown) == (stdout, "")


def test_installed_console_script_runs_the_tool():
    script = Path(sys.executable).parent / "refsieve"
    if not script.exists():
        pytest.skip("refsieve is not installed in this interpreter's environment")
    done = subprocess.run([script, "demo", "--format", "csv"], env=module_env(), capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == run_cli("demo", "--format", "csv").stdout


DIJKSTRA = {"key": "s", "title": "Go to statement considered harmful", "author": "Dijkstra, Edsger W."}
LENIENT = [
    # (fields of the subject, options, its year as read or None when it has no row, what standard error says)
    ({"year": "1968a"}, (), 1968, ""),
    ({"year": "1968.0"}, (), 1968, ""),
    ({"Year": "March 1968"}, (), 1968, ""),
    ({"date": "1968-03-01"}, (), 1968, ""),
    ({"issued": {"date-parts": [[1968, 3]]}}, (), 1968, ""),
    ({"year": "in press"}, ("--bad-values", "empty"), None, "1 unreadable value read as empty: year 1 (the first: "),
    ({"year": "in press"}, ("--bad-values", "skip"), "no row", "1 record with unreadable values skipped"),
    ({"title": "Go to statement considered harmful " * 150}, (), None, "1 value longer than 4000 characters cut"),
    ({"year": 1968, "doi": "not-a-doi"}, (), 1968, "1 DOI dropped as not a DOI: "),
]


@pytest.mark.parametrize("fields, options, year, told", LENIENT)
def test_lenient_values_are_read_and_counted(tmp_path, fields, options, year, told):
    write_jsonl(tmp_path / "s.jsonl", [{**DIJKSTRA, **fields}])
    done = run_cli("match", tmp_path / "s.jsonl", DATA / "candidates.jsonl", "--min-score", 0, "--include", "year",
                   *options)
    assert done.returncode == 0, done.stderr
    rows = jsonl_rows(done.stdout)
    assert [row["subject_year"] for row in rows] == ([] if year == "no row" else [year])
    warnings = [line for line in done.stderr.splitlines() if "warning" in line]
    assert (told in warnings[0]) if told else not warnings, done.stderr


def test_rows_say_how_they_were_found_and_show_values_as_read(tmp_path):
    write_jsonl(tmp_path / "s.jsonl", [
        {"key": "by-doi", "title": "Something else", "author": "Lamport, L.", "DOI": "https://doi.org/10.1145/362929.362947"},
        {"key": "by-score", "title": "Go To Statement Considered Harmful",
         "authors": "Dijkstra, Edsger W. and Knuth, D.", "year": 1968},
    ])
    write_jsonl(tmp_path / "c.jsonl", [
        {"id": "c1", "title": "Go to statement considered harmful", "creator": "E. W. Dijkstra, Donald E. Knuth",
         "year": 1968, "doi": "10.1145/362929.362947"},
    ])
    done = run_cli("match", tmp_path / "s.jsonl", tmp_path / "c.jsonl", "--include", "title,author,doi")
    assert done.returncode == 0, done.stderr
    by_doi, by_score = jsonl_rows(done.stdout)
    assert (by_doi["match_type"], by_doi["candidate_key"]) == ("doi", "c1")
    assert by_doi["total_score"] < 120 and "1 DOI match(es) with titles that do not agree" in done.stderr
    assert by_doi["subject_doi"] == "https://doi.org/10.1145/362929.362947"
    assert (by_score["match_type"], by_score["subject_author"]) == ("score", "Dijkstra, Edsger W. and Knuth, D.")
    assert by_score["author_score"] > 55.5
    raw = jsonl_rows(run_cli("match", tmp_path / "s.jsonl", tmp_path / "c.jsonl", "--raw", "--min-score", 0).stdout)
    assert [row["match_type"] for row in raw] == ["score", "score"] and raw[1]["author_score"] < 55.5


def test_bibtex_side_of_several_files_shares_macros_and_crossref_targets(tmp_path):
    (tmp_path / "refs.bib").write_text(
        "@inproceedings{gray81,\n  author = {Gray, Jim},\n  title = {The Transaction Concept},\n"
        "  crossref = {vldb81},\n  publisher = ieeecs # { Press}\n}\n"
        "@article{bg81,\n  author = {Bernstein, P. A. and Goodman, N.},\n  title = {Concurrency Control},\n"
        "  journal = acmcs # { (special issue)},\n  note = nosuchmacro,\n  year = 1981\n}\n", encoding="utf-8")
    (tmp_path / "procs.bib").write_text(
        '@string{ieeecs = "IEEE Computer Society"}\n'
        "@proceedings{vldb81,\n  booktitle = {Very Large Data Bases},\n  year = {1981}\n}\n", encoding="utf-8")
    write_jsonl(tmp_path / "c.jsonl", [{"title": "The Transaction Concept", "author": "J. Gray"},
                                       {"title": "Concurrency Control", "author": "P. Bernstein, N. Goodman"}])
    args = ("match", tmp_path / "refs.bib", tmp_path / "c.jsonl", "--include", "year,journal,publisher")
    done = run_cli(*args, "--subjects-also", tmp_path / "procs.bib")
    assert done.returncode == 0, done.stderr
    gray, bernstein = jsonl_rows(done.stdout)[:2]
    assert (gray["subject_year"], gray["subject_journal"], gray["subject_publisher"]) == (
        1981, "Very Large Data Bases", "IEEE Computer Society Press")
    assert bernstein["subject_journal"] == "ACM Computing Surveys (special issue)"
    assert "refs.bib:11: field 'note': undefined macro 'nosuchmacro' read as empty" in done.stderr
    alone = run_cli(*args)
    assert "refs.bib:4: crossref 'vldb81' names no entry" in alone.stderr
    assert "undefined macro 'ieeecs'" in alone.stderr


def long_job(tmp_path, count=2000):
    """Files whose matching takes many seconds: long titles make every pair slow to score."""
    words = ["graph", "methods", "in", "practice", "data", "mining", "deep", "learning", "analysis", "systems"]
    def records(offset):
        return [{"title": " ".join(words[(i * 7 + j * offset) % len(words)] for j in range(60)),
                 "author": f"Author {i % 97}"} for i in range(count)]
    write_jsonl(tmp_path / "s.jsonl", records(3))
    write_jsonl(tmp_path / "c.jsonl", records(5))


@pytest.mark.parametrize("signum, status, told", [(signal.SIGINT, 130, "interrupted"),
                                                  (signal.SIGTERM, 143, "terminated")])
def test_a_stopped_run_leaves_no_partial_file_and_an_existing_file_untouched(tmp_path, signum, status, told):
    long_job(tmp_path)
    out = tmp_path / "out.jsonl"
    out.write_text("the previous result\n", encoding="utf-8")
    args = ("match", tmp_path / "s.jsonl", tmp_path / "c.jsonl", "-o", out, "--min-score", 0, "--chunk-size", 100000)
    # The child takes Ctrl-C as Python does by default, even if this test runs where SIGINT is ignored.
    process = subprocess.Popen([sys.executable, "-m", "refsieve_cli", *map(str, args)], env=module_env(),
                               stderr=subprocess.PIPE, text=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 60
    while not list(tmp_path.glob(".out.jsonl.*.part")) and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    process.send_signal(signum)
    # Scoring runs in bounded calls, so the signal is honoured within about a call's time.
    _, stderr = process.communicate(timeout=20)
    assert process.returncode == status, stderr
    assert stderr.strip().endswith(f"refsieve: {told}")
    assert out.read_text(encoding="utf-8") == "the previous result\n"
    assert sorted(path.name for path in tmp_path.iterdir()) == ["c.jsonl", "out.jsonl", "s.jsonl"]


@pytest.mark.skipif(not (SHARED_DATA / "dblp-acm").is_dir(), reason="no ../shared/data beside the checkout")
def test_dblp_acm_as_published_resolves_with_the_defaults_and_evaluate_agrees(tmp_path):
    from refsieve_cli.commands.evaluate import match_quality
    from refsieve_cli.defaults import MIN_SCORE as DEFAULT_MIN_SCORE
    from refsieve_cli.io.truth import read_truth

    data = SHARED_DATA / "dblp-acm"
    done = run_cli("match", data / "DBLP2.csv", data / "ACM.csv", "--subjects-encoding", "latin-1",
                   "-o", tmp_path / "out.csv")
    assert done.returncode == 0, done.stderr
    rows = csv_rows((tmp_path / "out.csv").read_text(encoding="utf-8"))
    [found] = match_quality(rows, read_truth(data / "DBLP-ACM_perfectMapping.csv"), [DEFAULT_MIN_SCORE])
    assert found.f1 >= 0.955, found
    table = run_cli("evaluate", "match", data / "DBLP2.csv", data / "ACM.csv", "--subjects-encoding", "latin-1",
                    "--truth", data / "DBLP-ACM_perfectMapping.csv")
    assert table.returncode == 0, table.stderr
    line = next(line.split() for line in table.stdout.splitlines() if line.split()[:1] == [f"{DEFAULT_MIN_SCORE:g}"])
    assert line[1:6] == [str(found.found), str(found.correct), f"{found.precision:.4f}", f"{found.recall:.4f}",
                         f"{found.f1:.4f}"]


@pytest.mark.skipif(not (SHARED_DATA / "cora").is_dir(), reason="no ../shared/data beside the checkout")
def test_cora_groups_at_the_default_settings(tmp_path):
    from refsieve_cli.commands.evaluate import group_quality
    from refsieve_cli.io.truth import read_truth

    cora = tmp_path / "cora.jsonl"
    converted = subprocess.run([sys.executable, REPO / "scripts" / "cora_to_jsonl.py", SHARED_DATA / "cora" / "CORA.xml"],
                               capture_output=True, text=True, check=True)
    cora.write_text(converted.stdout, encoding="utf-8")
    done = run_cli("dedupe", cora, "-o", tmp_path / "groups.csv", "--pairs", tmp_path / "pairs.csv")
    assert done.returncode == 0, done.stderr
    groups = list(csv.DictReader((tmp_path / "groups.csv").open(encoding="utf-8")))
    [found] = group_quality([row["key"] for row in groups], [(0.0, [int(row["cluster"]) for row in groups])],
                            read_truth(SHARED_DATA / "cora" / "cora_gold.csv"))
    assert found.f1 >= 0.80, found
    pairs = [(row["first_key"], row["second_key"]) for row in csv.DictReader((tmp_path / "pairs.csv").open())]
    assert len(pairs) == len(set(pairs)) and all(first != second for first, second in pairs)


def test_scheduler_without_dask_is_one_line_and_exit_1():
    # Dask hidden from the command, as where the dask extra is not installed.
    code = ("import sys; sys.modules['distributed'] = sys.modules['dask'] = None;"
            "from refsieve_cli.cli import main; sys.exit(main(sys.argv[1:]))")
    done = subprocess.run([sys.executable, "-c", code, "demo", "--scheduler", "tcp://127.0.0.1:8786"],
                          env=module_env(), capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (1, "")
    [line] = done.stderr.splitlines()
    assert line.startswith("refsieve: --scheduler needs Dask") and "refsieve[dask]" in line
