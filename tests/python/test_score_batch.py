"""score_batch end to end: shortcut, threshold, selection, ordering, threads."""

import json
import math
import operator
import os
import textwrap

import pytest

from refsieve import score_batch
from _support import (
    generated_batch,
    record,
    reference_candidate,
    reference_record,
    run_python,
    score_one,
)

INF = float("inf")
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def indices(entry):
    return [m["candidate_index"] for m in entry["matches"]]


def tied(count, **fields):
    """Candidates that score the same against any subject, told apart by index."""
    return [record(index=100 + i, **fields) for i in range(count)]


# --- whole records ---------------------------------------------------------------

NO_EXTRAS = dict(year=None, doi=None, journal=None, volume=None, number=None,
                 pages=None, publisher=None)

WHOLE_RECORDS = [
    # subject, candidate, (index, title, author, date, bonus, total)
    (reference_record(), reference_candidate(index=42),
     (42, 100.0, 60.0, 10.0, 18.0, 188.0)),
    (reference_record(),
     reference_candidate(index=43, title="graph  methods in PRACTICE", **NO_EXTRAS),
     (43, 100.0, 60.0, 0.0, 0.0, 160.0)),
    (reference_record(), reference_candidate(index=44, number=None),
     (44, 100.0, 60.0, 10.0, 13.0, 183.0)),
    (reference_record(), reference_candidate(index=45, doi="10.1000/EXAMPLE", year=2016),
     (45, 100.0, 60.0, 7.0, 8.0, 175.0)),
    (reference_record(), reference_candidate(index=46, title="", author=""),
     (46, 0.0, 0.0, 10.0, 18.0, 28.0)),
    (reference_record(title="   "), reference_candidate(title="Graph Methods"),
     (42, 50.0, 60.0, 10.0, 18.0, 138.0)),
    (reference_record(title="   "), reference_candidate(title="Review"),
     (42, 0.0, 60.0, 10.0, 18.0, 88.0)),
]


@pytest.mark.parametrize(
    "subject, candidate, expected",
    WHOLE_RECORDS,
    ids=["42", "43", "44", "45", "46", "blank-title", "blank-title-vs-review"],
)
def test_whole_record_scores(subject, candidate, expected):
    match = score_one(subject, candidate)
    assert match == dict(zip(
        ["candidate_index", "total_score", "title_score", "author_score",
         "date_score", "bonus_score"],
        (expected[0], expected[5], expected[1], expected[2], expected[3], expected[4]),
    ))


def _reference_candidates():
    return [c for _, c, _ in WHOLE_RECORDS[:5]]


def test_doi_shortcut_takes_first_equal_doi_in_candidate_order():
    # 43 has no DOI, 45 differs in letter case, 46 is the first equal DOI.
    by_index = {c["index"]: c for c in _reference_candidates()}
    candidates = [by_index[i] for i in (43, 45, 46, 44, 42)]
    (entry,) = score_batch([reference_record()], candidates, 5, 100.0)
    assert entry["subject_index"] == 0
    assert entry["candidates_searched"] == 5
    assert entry["matches"] == [{
        "candidate_index": 46, "total_score": 28.0, "title_score": 0.0,
        "author_score": 0.0, "date_score": 10.0, "bonus_score": 18.0,
    }]


def test_without_subject_doi_every_candidate_is_scored_and_ranked():
    # Without the DOI the bonus loses 10.0 wherever the DOIs were equal.
    subject = reference_record(doi=None)
    (entry,) = score_batch([subject], _reference_candidates(), 10, -INF)
    assert [(m["candidate_index"], m["total_score"]) for m in entry["matches"]] == [
        (42, 178.0), (45, 175.0), (44, 173.0), (43, 160.0), (46, 18.0),
    ]
    assert entry["candidates_searched"] == 5


@pytest.mark.parametrize(
    "top_n, min_score, expected",
    [
        (10, 160.0, [42, 45, 44, 43]),
        (10, 160, [42, 45, 44, 43]),  # an int threshold acts as a float
        (10, 175.0, [42, 45]),  # equal to the threshold is kept
        (10, 175.00000000000003, [42]),
        (2, -INF, [42, 45]),
        (1, 0.0, [42]),
        (0, -INF, []),
        (5, INF, []),
        (5, math.nan, []),
        (5, -1.0, [42, 45, 44, 43, 46]),  # -1.0 is a value, not an error marker
        (5, 178.0, [42]),
        (5, 178.5, []),
        (2**64 - 1, -INF, [42, 45, 44, 43, 46]),
        (True, -INF, [42]),
    ],
)
def test_threshold_and_top_n(top_n, min_score, expected):
    subject = reference_record(doi=None)
    (entry,) = score_batch([subject], _reference_candidates(), top_n, min_score)
    assert indices(entry) == expected
    assert entry["candidates_searched"] == 5


class FloatLike:
    def __init__(self, value):
        self._value = value

    def __float__(self):
        return self._value


class IndexLike:
    def __init__(self, value):
        self._value = value

    def __index__(self):
        return self._value


class IntSubclass(int):
    pass


class FloatSubclass(float):
    pass


@pytest.mark.parametrize(
    "top_n, min_score, expected",
    [
        (IndexLike(2), 0.0, [42, 45]),
        (IntSubclass(3), 0.0, [42, 45, 44]),
        (1, FloatLike(175.0), [42]),
        (10, FloatLike(-1.0), [42, 45, 44, 43, 46]),
        (10, FloatSubclass(170.0), [42, 45, 44]),
        (10, IndexLike(170), [42, 45, 44]),
        (10, True, [42, 45, 44, 43, 46]),
    ],
    ids=["index-top_n", "int-subclass-top_n", "float-like", "float-like-minus-one",
         "float-subclass", "index-min_score", "bool-min_score"],
)
def test_numeric_argument_kinds(top_n, min_score, expected):
    (entry,) = score_batch([reference_record(doi=None)], _reference_candidates(),
                           top_n, min_score)
    assert indices(entry) == expected


def test_zero_total_is_kept_by_zero_and_negative_zero_thresholds():
    subject = record(title="", author="")
    candidate = record(index=5, title="", author="")
    for threshold in (0.0, -0.0, 0):
        (entry,) = score_batch([subject], [candidate], 3, threshold)
        assert entry["matches"] == [{
            "candidate_index": 5, "total_score": 0.0, "title_score": 0.0,
            "author_score": 0.0, "date_score": 0.0, "bonus_score": 0.0,
        }]
    (entry,) = score_batch([subject], [candidate], 3, 5e-324)
    assert entry["matches"] == []


# --- DOI shortcut -------------------------------------------------------------------


def _doi_candidates():
    return [
        record(index=1, title="Unrelated Words Entirely"),
        record(index=2, title="Weak Match", doi="10.5/abc"),
        record(index=3, title="Graph Methods", doi="10.5/abc", year=2019),
        record(index=4, title="Graph Methods", year=2019),
    ]


@pytest.mark.parametrize(
    "top_n, min_score",
    [(5, -INF), (5, 180.0), (0, -INF), (0, math.nan), (1, INF)],
)
def test_doi_shortcut_ignores_threshold_and_top_n(top_n, min_score):
    subject = record(title="Graph Methods", year=2019, doi="10.5/abc")
    (entry,) = score_batch([subject], _doi_candidates(), top_n, min_score)
    assert indices(entry) == [2]
    assert entry["candidates_searched"] == 4
    match = entry["matches"][0]
    assert match["bonus_score"] == 10.0
    assert match["date_score"] == 0.0


@pytest.mark.parametrize(
    "subject_doi",
    ["10.5/ABC", " 10.5/abc", "10.5/abc ", "10.5/ab", "", None],
    ids=["case", "leading-space", "trailing-space", "prefix", "empty", "absent"],
)
def test_doi_shortcut_needs_an_exact_non_empty_doi(subject_doi):
    subject = record(title="Graph Methods", year=2019, doi=subject_doi)
    (entry,) = score_batch([subject], _doi_candidates(), 10, -INF)
    assert sorted(indices(entry)) == [1, 2, 3, 4]
    assert indices(entry)[:2] in ([3, 4], [4, 3])


def test_doi_comparison_covers_every_byte():
    subject = record(title="Graph Methods", doi="10.5/a\x00b")
    candidates = [record(index=1, title="Other", doi="10.5/a\x00c"),
                  record(index=2, title="Graph Methods", doi="10.5/a\x00")]
    (entry,) = score_batch([subject], candidates, 10, -INF)
    assert indices(entry) == [2, 1]


def test_empty_doi_on_both_sides_does_not_shortcut():
    subject = record(title="Graph Methods", doi="")
    candidates = [record(index=1, title="Other", doi=""),
                  record(index=2, title="Graph Methods", doi="")]
    (entry,) = score_batch([subject], candidates, 10, -INF)
    assert indices(entry) == [2, 1]


def test_doi_shortcut_with_top_n_zero_among_other_subjects():
    subjects = [
        record(title="Graph Methods", doi="10.5/abc"),
        record(title="Graph Methods", doi="10.5/zzz"),
        record(title="Graph Methods"),
    ]
    result = score_batch(subjects, _doi_candidates(), 0, -INF)
    assert [indices(e) for e in result] == [[2], [], []]
    assert [e["candidates_searched"] for e in result] == [4, 4, 4]


# --- sizes ----------------------------------------------------------------------------


def test_empty_subjects_give_empty_list():
    assert score_batch([], _doi_candidates(), 5, 0.0) == []
    assert score_batch([], [], 0, math.nan) == []


def test_empty_candidates_give_empty_matches():
    subjects = [record(doi="10.5/abc"), record(), record(doi="")]
    assert score_batch(subjects, [], 5, -INF) == [
        {"subject_index": i, "matches": [], "candidates_searched": 0} for i in range(3)
    ]


def test_top_n_larger_than_kept_returns_all_best_first():
    subject = record(title="Graph Methods", year=2019)
    candidates = [record(index=2019 - d, title="Graph Methods", year=2019 - d)
                  for d in (3, 0, 25, 1, 2, 5)]
    (entry,) = score_batch([subject], candidates, 100, 165.0)
    # year differences 0, 1, 2, 3 give 10, 9, 8, 7 on top of 160; 5 years
    # apart in the same decade gives 3; another decade gives nothing.
    assert [(m["candidate_index"], m["date_score"]) for m in entry["matches"]] == [
        (2019, 10.0), (2018, 9.0), (2017, 8.0), (2016, 7.0),
    ]
    (entry,) = score_batch([subject], candidates, 100, -INF)
    assert indices(entry) == [2019, 2018, 2017, 2016, 2014, 1994]


def test_subject_index_is_the_position_not_the_index_field():
    subjects = [record(index=7, title="Graph"), record(index=3, title="Graph")]
    result = score_batch(subjects, [record(index=11, title="Graph")], 5, 0.0)
    assert [e["subject_index"] for e in result] == [0, 1]
    assert [indices(e) for e in result] == [[11], [11]]


def test_candidate_index_is_the_index_field_not_the_position():
    candidates = [record(index=500, title="Other"), record(index=9, title="Graph")]
    (entry,) = score_batch([record(title="Graph")], candidates, 5, -INF)
    assert indices(entry) == [9, 500]


# --- equal scores ------------------------------------------------------------------


@pytest.mark.parametrize(
    "count, top_n, expected_positions",
    [
        (2, 10, [0, 1]),
        (3, 10, [0, 1, 2]),
        (4, 10, [0, 2, 1, 3]),
        (5, 10, [0, 2, 4, 1, 3]),
        (4, 2, [0, 2]),
        (5, 3, [0, 2, 4]),
    ],
)
def test_equal_scores_follow_the_heap_order(count, top_n, expected_positions):
    subject = record(title="Graph Methods", year=2019)
    candidates = tied(count, title="Graph Methods", year=2019)
    (entry,) = score_batch([subject], candidates, top_n, 0.0)
    assert indices(entry) == [100 + p for p in expected_positions]
    assert {m["total_score"] for m in entry["matches"]} == {170.0}


def test_ties_below_the_threshold_do_not_enter_the_order():
    # Candidates that fail the threshold are never pushed, so the kept four
    # still come out as A, C, B, D.
    subject = record(title="Graph Methods", year=2019)
    weak = record(index=1, title="Graph Methods", year=1900)
    candidates = [weak] + tied(2, title="Graph Methods", year=2019) + [weak] \
        + [record(index=102 + i, title="Graph Methods", year=2019) for i in range(2)]
    (entry,) = score_batch([subject], candidates, 10, 165.0)
    assert indices(entry) == [100, 102, 101, 103]


# --- argument conversion -------------------------------------------------------


@pytest.mark.parametrize(
    "top_n",
    [1.0, 2.5, "3", None, [1]],
    ids=["float-whole", "float", "str", "None", "list"],
)
def test_top_n_of_the_wrong_kind_names_top_n(top_n):
    with pytest.raises(TypeError) as info:
        score_batch([record()], [record()], top_n, 0.0)
    err = info.value
    assert type(err) is TypeError
    try:
        operator.index(top_n)
    except TypeError as exc:
        expected = str(exc)
    assert str(err) == f"argument 'top_n': {expected}"


@pytest.mark.parametrize("top_n", [-1, -(2**70), 2**64, 2**100, IndexLike(-1)],
                         ids=["-1", "-2**70", "2**64", "2**100", "index-negative"])
def test_top_n_out_of_range_is_the_interpreters_overflow(top_n):
    with pytest.raises(OverflowError) as info:
        score_batch([record()], [record()], top_n, 0.0)
    assert type(info.value) is OverflowError
    assert "top_n" not in str(info.value)
    assert "argument" not in str(info.value)


@pytest.mark.parametrize(
    "min_score",
    ["50", None, 1j, [1.0], object()],
    ids=["str", "None", "complex", "list", "object"],
)
def test_min_score_of_the_wrong_kind_names_min_score(min_score):
    with pytest.raises(TypeError) as info:
        score_batch([record()], [record()], 1, min_score)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'min_score': ")
    assert type(min_score).__name__ in str(info.value)


class BadFloat:
    def __init__(self, error):
        self._error = error

    def __float__(self):
        raise self._error


def test_min_score_conversion_errors():
    boom = ValueError("no float here")
    with pytest.raises(ValueError) as info:
        score_batch([record()], [record()], 1, BadFloat(boom))
    assert info.value is boom

    with pytest.raises(OverflowError) as info:
        score_batch([record()], [record()], 1, 10**400)
    assert "min_score" not in str(info.value)

    with pytest.raises(TypeError) as info:
        score_batch([record()], [record()], 1, BadFloat(TypeError("nope")))
    assert str(info.value) == "argument 'min_score': nope"


BAD_RECORDS = [record(title=None)]


@pytest.mark.parametrize(
    "args, exc_type, prefix",
    [
        (("abc", BAD_RECORDS, -1, "x"), TypeError, "argument 'subjects': "),
        (([record()], BAD_RECORDS, -1, "x"), TypeError, "argument 'candidates': "),
        (([record()], 5, 1, "x"), TypeError, "argument 'candidates': "),
        (([record()], [record()], 1.5, "x"), TypeError, "argument 'top_n': "),
        (([record()], [record()], -1, "x"), OverflowError, ""),
        (([record()], [record()], 1, "x"), TypeError, "argument 'min_score': "),
        (([{}], BAD_RECORDS, 1, 0.0), KeyError, ""),
    ],
    ids=["subjects-first", "candidates-before-min_score", "candidates-not-sequence",
         "top_n-before-min_score", "top_n-overflow-before-min_score", "min_score-last",
         "subject-key-error-first"],
)
def test_arguments_are_checked_in_order(args, exc_type, prefix):
    with pytest.raises(exc_type) as info:
        score_batch(*args)
    assert type(info.value) is exc_type
    assert str(info.value).startswith(prefix)
    if exc_type is KeyError:
        assert info.value.args == ("index",)


# --- determinism across threads and batch shapes ----------------------------------

BATCH_SCRIPT = textwrap.dedent(
    """
    import json, sys
    sys.path.insert(0, {tests_dir!r})
    import refsieve
    from _support import generated_batch
    subjects, candidates = generated_batch()
    results = [refsieve.score_batch(subjects, candidates, top_n, min_score)
               for top_n, min_score in ((5, 40.0), (1000, float("-inf")), (0, 0.0))]
    print(json.dumps(results))
    """
)


def _batch_in_subprocess(**env):
    proc = run_python(BATCH_SCRIPT.format(tests_dir=TESTS_DIR), **env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.fixture(scope="module")
def generated_results():
    subjects, candidates = generated_batch()
    result = score_batch(subjects, candidates, 5, 40.0)
    # The data must exercise the interesting paths for the comparison to mean much.
    shortcut = sum(1 for e in result if len(e["matches"]) == 1)
    totals = [m["total_score"] for e in result for m in e["matches"]]
    assert shortcut > 10
    assert len(totals) > 300
    assert len(set(totals)) < len(totals)  # ties present
    return subjects, candidates, result


@pytest.mark.parametrize(
    "env",
    [
        {"RAYON_NUM_THREADS": "1", "RAYON_RS_NUM_CPUS": None},
        {"RAYON_NUM_THREADS": "4", "RAYON_RS_NUM_CPUS": None},
    ],
    ids=["1-thread", "4-threads"],
)
def test_same_results_for_any_thread_count(generated_results, env):
    subjects, candidates, result = generated_results
    in_process = [
        result,
        score_batch(subjects, candidates, 1000, -INF),
        score_batch(subjects, candidates, 0, 0.0),
    ]
    assert _batch_in_subprocess(**env) == json.loads(json.dumps(in_process))


def test_one_subject_at_a_time_matches_the_batch(generated_results):
    subjects, candidates, result = generated_results
    for position, subject in enumerate(subjects):
        (alone,) = score_batch([subject], candidates, 5, 40.0)
        assert alone["subject_index"] == 0
        assert alone["matches"] == result[position]["matches"], position
        assert alone["candidates_searched"] == len(candidates)


def test_repeated_calls_give_identical_results(generated_results):
    subjects, candidates, result = generated_results
    for _ in range(3):
        assert score_batch(subjects, candidates, 5, 40.0) == result


def test_calls_from_several_python_threads(generated_results):
    import threading

    subjects, candidates, result = generated_results
    outcomes = []

    def worker():
        for _ in range(3):
            outcomes.append(score_batch(subjects, candidates, 5, 40.0) == result)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert outcomes == [True] * 12


# --- the worker pool ----------------------------------------------------------------

POOL_SCRIPT = textwrap.dedent(
    """
    import os
    import refsieve
    def threads():
        return len(os.listdir("/proc/self/task"))
    before = threads()
    refsieve.token_sort_ratio("a", "b")
    after_ratio = threads()
    refsieve.score_batch([], [], 0, 0.0)
    after_batch = threads()
    refsieve.score_batch([{{"index": 0, "title": "t", "author": "a", "year": None,
        "doi": None, "journal": None, "volume": None, "number": None,
        "pages": None, "publisher": None}}] * 8, [], 1, 0.0)
    print(before, after_ratio, after_batch, threads())
    """
)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize(
    "num_threads, num_cpus, expected",
    [
        ("1", None, 1),
        ("4", None, 4),
        ("+3", None, 3),
        ("4", "2", 4),
        (None, "3", 3),
        ("abc", "3", 3),
        (" 2", "3", 3),
        ("-2", "3", 3),
        ("", "3", 3),
        ("+", "3", 3),
        ("2.0", "3", 3),
        ("\u0663", "3", 3),  # a digit, but not an ASCII one
        (str(2**64), "3", 3),  # too large to parse
        ("00", "3", "default"),
        ("+0", "3", "default"),
        ("0", "3", "default"),
        (None, None, "default"),
        (None, "0", "default"),
    ],
)
def test_pool_size_is_read_once_from_the_environment(num_threads, num_cpus, expected):
    if expected == "default":
        expected = os.sysconf("SC_NPROCESSORS_ONLN") or 1
    proc = run_python(POOL_SCRIPT.format(),
                      RAYON_NUM_THREADS=num_threads, RAYON_RS_NUM_CPUS=num_cpus)
    assert proc.returncode == 0, proc.stderr
    before, after_ratio, after_batch, later = map(int, proc.stdout.split())
    assert after_ratio == before  # token_sort_ratio never starts the pool
    assert after_batch == before + expected  # even an empty batch starts it
    assert later == after_batch  # the pool is reused, never resized

