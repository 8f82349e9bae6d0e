"""The partial scores of one subject against one candidate, seen through score_batch.

Each pair is scored alone (one subject, one candidate), so the DOI shortcut,
when it applies, returns the same single match as full scoring would.
"""

import pytest

from _support import record, score_one


def jaro(m, A, B, t=0):
    return ((m / A + m / B) + (m - t) / m) / 3.0


def winkler(sim, prefix):
    assert sim > 0.7
    return sim + (0.1 * prefix) * (1.0 - sim)


def title_score(subject_title, candidate_title):
    match = score_one(record(title=subject_title, author=""),
                      record(title=candidate_title, author=""))
    assert match["total_score"] == match["title_score"]
    return match["title_score"]


# --- title -----------------------------------------------------------------------

# 'aaaa' against 'aaaa errata': the four a's match (radius 4), prefix 4.
R_ONE_KEYWORD = 100.0 * winkler(jaro(4, 4, 11), 4)
# 'aaaa' against 'aaaa errata review': four matches of 18 (radius 8), prefix 4.
R_TWO_KEYWORDS = 100.0 * winkler(jaro(4, 4, 18), 4)


@pytest.mark.parametrize(
    "subject, candidate, expected",
    [
        ("Data Mining", "Data Minning", 98.25757575757575),
        ("Data Mining", "Data Mining for the Web", 94.78260869565219),
        ("Data Mining", "Data Mining and Knowledge Discovery in Large Databases",
         77.52525252525253),
        ("Mining of Data", "Data Mining", 97.85714285714286),
        ("Errata: Data Mining", "Data Mining", 20.789473684210527),
        ("Data Mining", "Data Mining: A Review", 14.03318903318904),
        ("Errata", "Review", 19.444444444444443),
        # letter case and spacing vanish in normalisation
        ("Graph Methods in Practice", "graph  methods in PRACTICE", 100.0),
        # empty titles (as given) score nothing
        ("", "Graph Methods", 0.0),
        ("Graph Methods", "", 0.0),
        ("", "", 0.0),
        # a blank title is not empty: ratio 0.0, but containment through ''
        ("   ", "\t", 50.0),
        ("   ", "Graph Methods", 50.0),
        ("Graph Methods", "  ", 50.0),
        ("   ", "Review", 0.0),
        # both keywords on both sides: equal sets, boosted
        ("Errata and Review", "review and ERRATA", 100.0),
    ],
)
def test_title_rule_examples(subject, candidate, expected):
    assert title_score(subject, candidate) == expected


@pytest.mark.parametrize(
    "candidate, expected",
    [
        # The sort key of the candidate starts with a word that has no 'x'
        # in its first four letters, so the ratio against 'x' is 0.0 and only
        # containment (boost) and keywords (penalty) decide the score.
        ("x review", 0.0),
        ("x preview", 0.0),
        ("x reviewers", 0.0),
        ("x peer-reviewed", 0.0),
        ("x REVIEW", 0.0),
        ("x errata", 0.0),
        ("x ERRATA", 0.0),
        ("x errata review", 0.0),
        ("x overview", 50.0),
        ("x interview", 50.0),
        ("x erratum", 50.0),
        ("x revie", 50.0),
    ],
)
def test_keywords_are_found_inside_words(candidate, expected):
    assert title_score("x", candidate) == expected


def test_one_keyword_of_difference_costs_fifty_points_and_the_boost():
    assert R_ONE_KEYWORD > 50.0  # so the penalty does not clamp to zero
    expected = max(R_ONE_KEYWORD - 50.0, 0.0) * 0.5
    assert title_score("aaaa", "aaaa errata") == expected
    assert title_score("aaaa", "aaaa ERRATA") == expected
    # the same holds with the keyword on the subject's side
    assert title_score("aaaa errata", "aaaa") == expected


def test_two_keywords_of_difference_cost_a_hundred_points():
    assert R_TWO_KEYWORDS > 50.0  # a fifty-point penalty alone would leave points
    assert title_score("aaaa", "aaaa errata review") == 0.0


def test_equal_keyword_sets_keep_the_boost():
    assert title_score("aaaa review", "aaaa review") == 100.0
    assert title_score("REVIEW aaaa", "aaaa review") == 100.0


# --- author ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "subject, candidate, expected",
    [
        ("Smith, John", "john smith", 59.45454545454545),
        ("Smith J", "Smith John", 23.44285714285714),
        ("John  Smith", "smith john", 60.0),
        ("   ", "\t", 60.0),  # both blank: ratio 100.0
        ("   ", "Smith", 0.0),
        ("", "Smith", 0.0),
        ("Smith", "", 0.0),
        ("", "", 0.0),
        ("ab", "ba", 0.0),
    ],
)
def test_author_score(subject, candidate, expected):
    match = score_one(record(title="", author=subject), record(title="", author=candidate))
    assert match["author_score"] == expected
    assert match["total_score"] == expected


def test_author_without_boost_is_ratio_times_weight():
    # 'martha' / 'marhta' has ratio 96.11...; above 85 it earns the boost.
    ratio = 0.9611111111111111 * 100.0
    match = score_one(record(title="", author="Martha"), record(title="", author="marhta"))
    assert match["author_score"] == (100.0 + ratio) * 0.3
    # 'abcxyz' / 'abcpqr' stays below 85: no boost.
    ratio = 0.6666666666666666 * 100.0
    match = score_one(record(title="", author="abcxyz"), record(title="", author="abcpqr"))
    assert match["author_score"] == ratio * 0.3


# --- date ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "subject_year, candidate_year, expected",
    [
        (2019, 2019, 10.0),
        (2019, 2018, 9.0),
        (2018, 2019, 9.0),
        (2019, 2017, 8.0),
        (2019, 2016, 7.0),
        (2019, 2015, 3.0),
        (2010, 2019, 3.0),
        (2019, 2009, 0.0),
        (2009, 2013, 0.0),
        (2009, 2010, 9.0),
        (-5, 5, 3.0),  # both divide to 0
        (-9, 9, 3.0),
        (-10, -19, 3.0),
        (-10, -1, 0.0),  # -1 and 0 are different decades (truncation)
        (-1, 2, 7.0),
        (2**31 - 1, -(2**31), 0.0),  # difference does not overflow
        (-(2**31), -(2**31) + 3, 7.0),
        (2**31 - 1, 2**31 - 5, 3.0),
        (None, 2019, 0.0),
        (2019, None, 0.0),
        (None, None, 0.0),
    ],
)
def test_date_score(subject_year, candidate_year, expected):
    match = score_one(record(year=subject_year), record(year=candidate_year))
    assert match["date_score"] == expected


# --- bonus ----------------------------------------------------------------------------

JOURNAL = dict(journal="Journal of  Tests", volume="12", number="3")
JOURNAL_LOWER = dict(journal="journal of tests", volume="12", number="3")


@pytest.mark.parametrize(
    "subject, candidate, expected",
    [
        (dict(doi="10.1/x"), dict(doi="10.1/x"), 10.0),
        (dict(doi="10.1/x"), dict(doi="10.1/X"), 0.0),
        (dict(doi="10.1/x"), dict(doi=" 10.1/x"), 0.0),
        (dict(doi=""), dict(doi=""), 0.0),
        (dict(doi=None), dict(doi="10.1/x"), 0.0),
        (JOURNAL, JOURNAL_LOWER, 5.0),
        (JOURNAL, dict(JOURNAL_LOWER, number=None), 0.0),
        (dict(JOURNAL, number=None), JOURNAL_LOWER, 0.0),
        (dict(JOURNAL, number=""), dict(JOURNAL_LOWER, number=""), 0.0),
        (JOURNAL, dict(JOURNAL_LOWER, volume=" 12"), 0.0),
        (JOURNAL, dict(JOURNAL_LOWER, number="03"), 0.0),
        (JOURNAL, dict(JOURNAL_LOWER, journal="Journal of Proofs"), 0.0),
        (dict(JOURNAL, journal="   "), dict(JOURNAL_LOWER, journal=" "), 0.0),
        (dict(JOURNAL, journal=""), dict(JOURNAL_LOWER, journal=""), 0.0),
        (dict(JOURNAL, journal=None), JOURNAL_LOWER, 0.0),
        (dict(volume="12", number="3"), dict(volume="12", number="3"), 0.0),
        (dict(pages="1-10"), dict(pages="1-10"), 2.0),
        (dict(pages="1-10"), dict(pages="1 - 10"), 0.0),
        (dict(pages=""), dict(pages=""), 0.0),
        (dict(publisher="Example Press"), dict(publisher="press EXAMPLE"), 1.0),
        (dict(publisher="Example Press"), dict(publisher="Other House"), 0.0),
        (dict(publisher="   "), dict(publisher=" "), 1.0),  # blank, not empty
        (dict(publisher=""), dict(publisher=""), 0.0),
        (dict(publisher="abcxyz"), dict(publisher="abcpqr"), 0.0),
        (dict(publisher="Martha"), dict(publisher="marhta"), 1.0),
        (dict(doi="d", pages="p", publisher="P", **JOURNAL),
         dict(doi="d", pages="p", publisher="p", **JOURNAL_LOWER), 18.0),
        (dict(doi="d", pages="p", publisher="P"), dict(doi="d", pages="p", publisher="p"), 13.0),
        (dict(doi="d", **JOURNAL), dict(doi="d", **JOURNAL_LOWER), 15.0),
        (dict(pages="p", **JOURNAL), dict(pages="p", **JOURNAL_LOWER), 7.0),
        (dict(pages="p", publisher="P", **JOURNAL),
         dict(pages="p", publisher="p", **JOURNAL_LOWER), 8.0),
        (dict(doi="d", publisher="P"), dict(doi="d", publisher="p"), 11.0),
    ],
)
def test_bonus_score(subject, candidate, expected):
    match = score_one(record(**subject), record(**candidate))
    assert match["bonus_score"] == expected


def test_total_is_the_sum_of_the_parts():
    subject = record(title="Data Mining", author="Smith, John", year=2019,
                     pages="1-10")
    candidate = record(title="Data Minning", author="john smith", year=2016,
                       pages="1-10")
    match = score_one(subject, candidate)
    parts = (98.25757575757575, 59.45454545454545, 7.0, 2.0)
    assert (match["title_score"], match["author_score"],
            match["date_score"], match["bonus_score"]) == parts
    assert match["total_score"] == ((parts[0] + parts[1]) + parts[2]) + parts[3]
