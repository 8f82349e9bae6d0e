"""Values of token_sort_ratio, compared bit for bit.

Jaro similarity, as used below:
    jaro = ((m / A + m / B) + (m - t) / m) / 3.0
with A, B the lengths in code points, m the matches within the search radius
floor(max(A, B) / 2) - 1 and t the halved count of unequal matched pairs.
When jaro > 0.7 it is raised to jaro + (0.1 * L) * (1.0 - jaro) for a common
prefix of L <= 4 code points. The ratio is that value times 100.0.
"""

import pytest

from refsieve import token_sort_ratio


def jaro(m, A, B, t=0):
    return ((m / A + m / B) + (m - t) / m) / 3.0


def winkler(sim, prefix):
    assert sim > 0.7
    return sim + (0.1 * prefix) * (1.0 - sim)


# --- exact values for whole phrases ------------------------------------------


@pytest.mark.parametrize(
    "s1, s2, expected",
    [
        ("", "", 0.0),
        ("", "x", 0.0),
        ("x", "", 0.0),
        ("", "   ", 0.0),  # emptiness is judged before normalisation
        ("   ", " ", 100.0),  # both normalise to empty: equal texts
        ("\t\n", "\u3000", 100.0),
        ("   ", "a", 0.0),
        ("a", "   ", 0.0),
        ("John  Smith", "smith john", 100.0),
        ("The Quick Brown Fox", "brown fox quick the", 100.0),
        ("  Smith,\tJOHN\n", "smith, john", 100.0),
        ("DATA MINING", "data mining", 100.0),
        ("b a a", "a b a", 100.0),
        ("Smith, John", "john smith", 98.18181818181819),
        ("Data Mining", "Data Minning", 96.51515151515152),
        ("alpha beta", "alpha  gamma", 86.72727272727273),
        ("Data Mining", "Data Mining for the Web", 89.56521739130436),
        (
            "Data Mining",
            "Data Mining and Knowledge Discovery in Large Databases",
            55.05050505050505,
        ),
        ("Mining of Data", "Data Mining", 95.71428571428571),
        ("Errata: Data Mining", "Data Mining", 91.57894736842105),
        ("Data Mining", "Data Mining: A Review", 78.06637806637808),
        ("Errata", "Review", 38.888888888888886),
        ("Smith J", "Smith John", 78.14285714285714),
    ],
)
def test_phrase_ratios(s1, s2, expected):
    result = token_sort_ratio(s1, s2)
    assert type(result) is float
    assert result == expected


# --- Jaro-Winkler on single tokens --------------------------------------------
# A single lower-case token is its own sort key, so the ratio is the
# Jaro-Winkler similarity of the two words times 100.0.


@pytest.mark.parametrize(
    "a, b, jaro_winkler",
    [
        ("martha", "marhta", 0.9611111111111111),
        ("dwayne", "duane", 0.8400000000000001),
        ("dixon", "dicksonx", 0.8133333333333332),
        ("abcd", "abdc", 0.9333333333333333),
        ("abcdefgh", "abcdefgx", 0.95),
        ("jellyfish", "smellyfish", 0.8962962962962964),
        ("café", "cafe", 0.8833333333333334),
        ("abcxyz", "abcpqr", 0.6666666666666666),
        ("abc", "cba", 0.5555555555555555),
        ("ab", "ba", 0.0),
        ("a", "a", 1.0),
    ],
)
def test_single_token_ratios(a, b, jaro_winkler):
    expected = jaro_winkler * 100.0
    assert token_sort_ratio(a, b) == expected
    # Letter case is normalised away before comparing.
    assert token_sort_ratio(a.upper(), b) == expected


# --- token boundaries -----------------------------------------------------------

WHITE_SPACE = [
    "\t", "\n", "\x0b", "\x0c", "\r", " ", "\x85", "\xa0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
    "\u2007", "\u2008", "\u2009", "\u200a", "\u2028", "\u2029", "\u202f",
    "\u205f", "\u3000",
]


@pytest.mark.parametrize("sep", WHITE_SPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_every_white_space_character_separates_tokens(sep):
    assert token_sort_ratio(f"b{sep}a{sep}{sep}", "a b") == 100.0


# 'a', X, 'b' against 'a b': three code points each, radius 0; the first and
# last positions match, the middle one does not (m = 2, t = 0), and the common
# prefix is one code point long.
JOINED_NOT_SPLIT = 100.0 * winkler(jaro(2, 3, 3), 1)


@pytest.mark.parametrize(
    "joiner",
    ["\x00", "\x1c", "\x1d", "\x1e", "\x1f", "\u180e", "\u200b", "\u2060", "\ufeff"],
    ids=lambda c: f"U+{ord(c):04X}",
)
def test_other_invisible_characters_stay_inside_tokens(joiner):
    assert token_sort_ratio(f"a{joiner}b", "a b") == JOINED_NOT_SPLIT


# --- lowercasing ---------------------------------------------------------------


@pytest.mark.parametrize(
    "s1, s2",
    [
        ("\u212a", "k"),  # KELVIN SIGN
        ("\u1e9e", "\u00df"),  # CAPITAL SHARP S
        ("I", "i"),  # no Turkish dotless i
        ("\u0130", "i\u0307"),  # capital I with dot above: two code points
        ("ÉCOLE", "école"),
        ("\u0391\u0392\u0393", "\u03b1\u03b2\u03b3"),
        ("\u0414\u041e\u041c", "\u0434\u043e\u043c"),  # Cyrillic
        ("\u24b6", "\u24d0"),  # circled letters have case too
    ],
)
def test_lowercase_mapping(s1, s2):
    assert token_sort_ratio(s1, s2) == 100.0


@pytest.mark.parametrize(
    "s1, s2",
    [
        ("a\U0001F600", "a\U0001F601"),  # four UTF-8 bytes, three of them shared
        ("a\u00e9", "a\u00e8"),  # two UTF-8 bytes, the first shared
        ("a\u20ac", "a\u20ad"),  # three UTF-8 bytes, two shared
    ],
)
def test_units_are_code_points_not_bytes(s1, s2):
    # two code points each, radius 0: only 'a' matches; Jaro 2/3 gets no boost
    assert token_sort_ratio(s1, s2) == 100.0 * jaro(1, 2, 2)


def test_dotted_capital_i_counts_as_two_code_points():
    # 'İx' lowercases to 'i', U+0307, 'x' (three code points) against 'ix':
    # radius 0, only 'i' matches.
    assert token_sort_ratio("\u0130x", "ix") == 100.0 * jaro(1, 3, 2)


@pytest.mark.parametrize(
    "upper, lower",
    [
        ("\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c2"),  # word end
        ("\u039f\u0394\u039f\u03a3 \u039f\u0394\u039f\u03a3",
         "\u03bf\u03b4\u03bf\u03c2 \u03bf\u03b4\u03bf\u03c2"),  # before a space
        ("\u039f\u03a3\u039f", "\u03bf\u03c3\u03bf"),  # between letters
        ("\u03a3", "\u03c3"),  # alone
        ("\u0391 \u03a3", "\u03b1 \u03c3"),  # alone after a space
        ("1\u03a3", "1\u03c3"),  # after a digit, which is not cased
        ("A\u03a3", "a\u03c2"),  # after a Latin letter
        ("\u0391\u03a3'\u0392", "\u03b1\u03c3'\u03b2"),  # apostrophe, then letter
        ("\u0391\u03a3' \u0392", "\u03b1\u03c2' \u03b2"),  # apostrophe, then space
        ("\u0391'\u03a3", "\u03b1'\u03c2"),  # apostrophe skipped backwards
        ("\u0391\u03a3\u0301", "\u03b1\u03c2\u0301"),  # combining mark after
        ("\u0391\u0301\u03a3", "\u03b1\u0301\u03c2"),  # combining mark before
        ("\u0391\u03a3\u00ad\u0392", "\u03b1\u03c3\u00ad\u03b2"),  # soft hyphen, letter
        ("\u0391\u03a31", "\u03b1\u03c21"),  # a digit after is not cased
        ("\u03a3\u03a3", "\u03c3\u03c2"),
    ],
)
def test_final_sigma(upper, lower):
    assert token_sort_ratio(upper, lower) == 100.0


def test_final_sigma_differs_from_medial_sigma():
    # 'οδος' with the final form against the medial form: the last code
    # point differs (m = 3 of 4, radius 1) and the prefix is three long.
    expected = 100.0 * winkler(jaro(3, 4, 4), 3)
    assert token_sort_ratio("\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c3") == expected


# --- token order ----------------------------------------------------------------


def test_tokens_sort_by_code_point_not_alphabet():
    # 'z' (U+007A) sorts before 'é' (U+00E9): the key is 'z é'. Against 'z'
    # the first code point matches (m = 1 of 3 and 1, radius 0), prefix 1.
    # Sorting 'é' first would leave no match at all.
    assert token_sort_ratio("é z", "z") == 100.0 * winkler(jaro(1, 3, 1), 1)


def test_digits_sort_before_letters():
    # key '2020 a' against '2020': four matches in a radius of 2, prefix 4.
    assert token_sort_ratio("a 2020", "2020") == 100.0 * winkler(jaro(4, 6, 4), 4)


def test_duplicate_tokens_are_kept():
    # 'a a b' against 'a b': radius 1; 'a' and ' ' match, nothing else does.
    # Jaro (2/5 + 2/3 + 1) / 3 is below 0.7, so there is no prefix boost.
    assert token_sort_ratio("b a a", "a b") == 100.0 * jaro(2, 5, 3)

