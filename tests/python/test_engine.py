"""The command's engine: what it keeps equals one score_batch call, its facts explain its scores, its store."""

import ast
import json
import math
import pickle
import random
from pathlib import Path

import pytest

import refsieve
from _support import generated_batch, record, run_cli
from refsieve_cli import _engine, match_tables
from refsieve_cli.commands.explain import explain
from refsieve_cli.engine import SCORES, on_this_machine, rules
from refsieve_cli.records.record import Record, RecordTable

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "refsieve_cli"


def table(records):
    return RecordTable.of(Record(**record) for record in records)


def with_ties(n_subjects=40, n_candidates=30, copies=6):
    """A batch whose candidates come in identical copies, so that many totals tie at any cut."""
    subjects, candidates = generated_batch(seed=7, n_subjects=n_subjects, n_candidates=n_candidates)
    tied = [dict(candidate, index=len(candidates) * copy + at)
            for copy in range(copies) for at, candidate in enumerate(candidates)]
    return subjects, tied


@pytest.mark.parametrize("top_n, min_score", [(1, 0.0), (3, 30.0), (5, -math.inf), (0, 0.0), (1000, 60.0),
                                              (4, math.nan)])
def test_the_engine_keeps_what_one_score_batch_call_keeps_ties_included(top_n, min_score):
    subjects, candidates = with_ties()
    expected = refsieve.score_batch(subjects, candidates, top_n, min_score)
    found = on_this_machine().match(table(subjects), table(candidates), top_n, min_score)
    got = [[] for _ in subjects]
    for at in range(len(found)):
        got[found["subject"][at]].append(
            {"candidate_index": candidates[found["candidate"][at]]["index"], **found.scores(at)})
    assert got == [result["matches"] for result in expected]
    assert any(found["doi"]) or top_n == 0 and not min_score >= 0


def test_a_hundred_thousand_tied_candidates_come_out_as_one_call_orders_them(tmp_path):
    subjects = [{"key": f"s{i}", "title": "Graph methods", "year": 2001} for i in range(3)]
    candidates = [{"key": f"c{i}", "title": "Graph Methods", "year": 2001} for i in range(100_000)]
    for name, records in (("s.jsonl", subjects), ("c.jsonl", candidates)):
        (tmp_path / name).write_text("".join(json.dumps(r) + "\n" for r in records), encoding="utf-8")
    done = run_cli("match", tmp_path / "s.jsonl", tmp_path / "c.jsonl", "--top-n", 9, "--min-score", 0, "-q")
    assert done.returncode == 0, done.stderr
    rows = [json.loads(line) for line in done.stdout.splitlines()]
    # The same records (their values are canonical as written), handed to score_batch in one call.
    scored = [[record(index=at, title=r["title"], author="", year=r["year"]) for at, r in enumerate(side)]
              for side in (subjects, candidates)]
    expected = refsieve.score_batch(scored[0], scored[1], 9, 0.0)
    assert len({row["total_score"] for row in rows}) == 1
    assert [row["candidate_index"] for row in rows] == \
        [match["candidate_index"] for result in expected for match in result["matches"]]
    assert [row["candidate_index"] for row in rows[:9]] != list(range(9))  # the heap's order, not input order


def score_from_facts(facts, constants):
    """The four partial scores, from the facts alone, by the rules the README states."""
    threshold, boost = constants["similarity_threshold"], constants["boost"]
    title = 0.0
    if facts["titles_compared"]:
        ratio = facts["title_ratio"]
        raw = ratio + boost if facts["title_boost"] else ratio - facts["keyword_penalty"]
        title = max(raw, 0.0) * constants["title_weight"]
    author = 0.0
    if facts["authors_compared"]:
        ratio = facts["author_ratio"]
        author = ((boost + ratio) if ratio > threshold else ratio) * constants["author_weight"]
    gap = facts["year_gap"]
    date = {0: 0.0, 1: 10.0, 2: (100.0 - 10 * gap) * 0.1, 3: 3.0, 4: 0.0}[facts["date_rule"]]
    points = sum(constants["identifier_points"][name] for bit, name in
                 enumerate(("doi", "journal_volume_number", "pages", "publisher")) if facts["identifiers"] >> bit & 1)
    return title, author, date, points * constants["bonus_weight"]


def test_facts_and_explain_give_the_engines_scores_on_random_pairs():
    subjects, candidates = generated_batch(seed=11, n_subjects=60, n_candidates=60)
    subject_table, candidate_table = table(subjects), table(candidates)
    found = on_this_machine().match(subject_table, candidate_table, 5, -math.inf, facts=True)
    constants = rules()
    rng = random.Random(3)
    for at in rng.sample(range(len(found)), 150):
        facts = {name: values[at] for name, values in found.columns.items()}
        scores = tuple(facts[name] for name in SCORES[1:])
        assert score_from_facts(facts, constants) == scores
        explanation = explain(subject_table, candidate_table, facts["subject"], facts["candidate"])
        assert [line.score for line in explanation.lines] == list(scores)
        assert explanation.total == facts["total_score"]


@pytest.mark.parametrize("missing", [None, float("nan"), "", "   "])
def test_missing_values_read_alike_through_match_tables(missing):
    subjects = [{"title": "Graph Methods in Practice", "author": "Doe, J.", "journal": missing,
                 "venue": "Journal of Tests", "volume": "3", "number": "1", "pages": missing, "year": missing}]
    candidates = [{"title": "Graph methods in practice", "author": "J. Doe", "journal": "Journal of Tests",
                   "volume": "3", "number": "1", "doi": missing, "year": 2001}]
    rows = match_tables(subjects, candidates, min_score=0, include=["journal", "pages"], as_frame=False)
    assert rows == match_tables([{k: v for k, v in subjects[0].items() if k not in ("journal", "pages", "year")}],
                                [{k: v for k, v in candidates[0].items() if k != "doi"}],
                                min_score=0, include=["journal", "pages"], as_frame=False)
    assert rows[0]["bonus_score"] == 5.0  # journal (from venue), volume and number agree
    pandas = pytest.importorskip("pandas")
    frame = match_tables(pandas.DataFrame(subjects), pandas.DataFrame(candidates), min_score=0, as_frame=False)
    assert [row["total_score"] for row in frame] == [row["total_score"] for row in rows]


def test_records_keep_their_values_and_travel_whole():
    records = _engine.Records(("key",))
    columns = {"index": [5, 2**64 - 1], "title": ["Tïtle", ""], "author": ["", "A"], "year": [None, -2**31],
               "doi": [None, ""], "journal": ["J", None], "volume": [None, "1"], "number": [None, None],
               "pages": ["1-2", None], "publisher": [None, "P"], "key": ["k", None]}
    records.append(columns)
    assert len(records) == 2 and records.indexes() == columns["index"] and records.years() == columns["year"]
    for name in ("title", "author", "doi", "journal", "volume", "number", "pages", "publisher", "key"):
        assert records.texts(name) == columns[name]
    copy = pickle.loads(pickle.dumps(records))
    assert copy.texts("title", [1, 0]) == ["", "Tïtle"] and copy.subset([1]).indexes() == [2**64 - 1]
    assert records.present("doi") == 0 and records.present("title") == 1


@pytest.mark.parametrize("column, value, error", [("year", "1999", TypeError), ("year", 2**40, OverflowError),
                                                  ("title", 5, TypeError), ("index", -1, ValueError),
                                                  ("key", b"k", TypeError)])
def test_a_bad_column_value_appends_nothing(column, value, error):
    records = _engine.Records(("key",))
    good = {"index": 1, "title": "T", "author": "A", "year": 2000, "doi": None, "journal": None, "volume": None,
            "number": None, "pages": None, "publisher": None, "key": "k"}
    with pytest.raises(error, match=column):
        records.append({name: [value_, (value if name == column else value_)] for name, value_ in good.items()})
    assert len(records) == 0
    with pytest.raises(IndexError):
        records.texts("title", [0])


def test_an_interrupt_while_scoring_stops_the_call_with_the_exception():
    subjects, candidates = generated_batch(n_subjects=300, n_candidates=2000)
    calls = []

    def progress(count):
        calls.append(count)
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        _engine.match(table(subjects).store, table(candidates).store, 1, 0.0, progress=progress)
    assert len(calls) <= 1


def literals(path):
    tree = ast.parse(path.read_text(encoding="utf-8"))
    for node in ast.walk(tree):
        if isinstance(node, ast.Constant) and not isinstance(node.value, bool):
            yield node.value


def test_no_scoring_rule_or_constant_is_stated_in_the_command():
    forbidden_numbers = {85, 110, 188}  # the similarity threshold, title and year's most, the largest total
    forbidden_words = {"errata", "review"}  # the title keywords
    for path in PACKAGE.rglob("*.py"):
        for value in literals(path):
            if isinstance(value, (int, float)):
                assert value not in forbidden_numbers, f"{path}: {value}"
            elif isinstance(value, str):
                assert not forbidden_words & set(value.lower().split()), f"{path}: {value!r}"
                assert "\u3000" not in value and "\\u3000" not in value, f"{path}: a whitespace rule"
        assert "token_sort_ratio" not in path.read_text(encoding="utf-8"), f"{path} scores texts itself"
    assert rules()["title_keywords"] == ("errata", "review")
