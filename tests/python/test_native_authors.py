"""The engine's reader of plain author lists against the Python reader.

For every text it reads (pure ASCII, nothing that markup decoding would
change) the engine must give exactly the canonical author text and family
words of the Python reader; every other text it declines, and the loader's
read_authors then gives the Python reading. The texts: every author list
of the published data sets (read from ../shared/data when it is there),
the synthetic generator's lists, and generated ones built from the pieces
that the reading rules act on.
"""

import csv
import html
import re
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from refsieve_cli import _engine
from refsieve_cli.io.markup import decode_markup
from refsieve_cli.records.authors import canonical_authors, family_words, is_cut_short, parse_names
from refsieve_cli.records.canonical import Authors, read_authors

REPO = Path(__file__).resolve().parents[2]
# Benchmark data beside the checkout (never copied into it).
SHARED_DATA = Path(__file__).resolve().parents[3] / "shared" / "data"
sys.path.insert(0, str(REPO / "benchmarks"))

import synthetic  # noqa: E402

# An '&' that may start an HTML entity: followed by anything but tab, line feed, form feed, space or the end.
_ENTITY_START = re.compile(r"&(?![\t\n\f ]|\Z)")


def python_reading(text):
    names = parse_names(decode_markup(text))
    return canonical_authors(names), family_words(names) or None


def may_decline(text):
    return not text.isascii() or any(c in text for c in "\\{<") or _ENTITY_START.search(text) is not None


def check(text):
    """Compares the two readers on text; True when the engine read it."""
    native = _engine.read_authors(text)
    expected = python_reading(text)
    if native is None:
        assert may_decline(text), f"declined a plain text: {text!r}"
    else:
        # What the engine reads, markup decoding leaves as it is.
        assert decode_markup(text) == text
        assert native == expected, text
    if text.strip():  # the loader takes a blank text for no authors before reading it
        assert read_authors(text, False) == Authors(*expected, is_cut_short(text))
    return native is not None


def check_all(texts):
    read = sum(check(text) for text in texts)
    # A reader that declined everything would pass every comparison.
    assert read > 0, "the engine declined every text"


# --- published data sets -------------------------------------------------------


def dblp_acm_authors():
    texts = []
    for name, encoding in (("ACM.csv", "utf-8"), ("DBLP2.csv", "latin-1")):
        with open(SHARED_DATA / "dblp-acm" / name, encoding=encoding, newline="") as f:
            texts += [row["authors"] for row in csv.DictReader(f)]
    return texts


def cora_authors():
    xml = (SHARED_DATA / "cora" / "CORA.xml").read_text(encoding="ascii")
    segments = re.findall(r"<author>(.*?)</author>", xml, re.S)
    # As the file has them (entities, line breaks) and as scripts/cora_to_jsonl.py writes them.
    return segments + [" ".join(html.unescape(segment).split()) for segment in segments]


@pytest.mark.skipif(not (SHARED_DATA / "dblp-acm").is_dir(), reason="no ../shared/data beside the checkout")
def test_dblp_acm_authors():
    check_all(dblp_acm_authors())


@pytest.mark.skipif(not (SHARED_DATA / "cora").is_dir(), reason="no ../shared/data beside the checkout")
def test_cora_authors():
    check_all(cora_authors())


# --- synthetic catalogues ------------------------------------------------------


@pytest.mark.parametrize("seed", [1, 7])
def test_synthetic_authors(seed):
    texts = []
    for work in synthetic.iter_works(1500, seed=seed):
        texts += [record["author"] for record in (work.complete, *work.versions) if "author" in record]
    check_all(texts)


# --- generated texts -----------------------------------------------------------

NAME_PIECES = [
    "Smith", "Lamport", "Leslie", "de", "la", "Fontaine", "van", "der", "Berg", "Garcia-Molina", "O'Neil",
    "McDonald", "DATA", "ab", "x_y", "a1", "J", "J.", "JA", "JAB", "ABCD", "J.-P.", "H.-P.", "Hans-Peter", "A.B.",
    "Jr", "Jr.", "jr.", "Sr", "III", "ii", "IV", "2nd", "3rd", "0003", "1234", "12345", "et", "al", "al.", "et.",
    "etal", "Et Al.", "others", "and", "AND", "&", "-", ".", "'", "(ed.)", "$x", "~", "&amp;", "&x", "{", "\\",
    "<i>", "é", "Müller",
]
SEPARATORS = [
    ", ", ",", " and ", " AND ", " & ", "; ", ";", " ", "  ", "\t", "\n", "\r\n", "\x0b", "\x0c", "\x1c", "\x1f",
    " ,", ", and ", ".", "-", "",
]
ENDINGS = ["", " et al.", ", et al", "et al", " etal", " et. al.", " ET AL", "; et al.", " and others", ", and Others",
           " 0003", ",", ";", " ", "&", " &"]

name_like = st.lists(st.sampled_from(NAME_PIECES), min_size=1, max_size=3).map(" ".join)
lists = st.builds(
    lambda items, ending: "".join(name + separator for name, separator in items) + ending,
    st.lists(st.tuples(name_like, st.sampled_from(SEPARATORS)), max_size=6),
    st.sampled_from(ENDINGS),
)
# Characters the rules look at, in any order: word boundaries, "et al", suffixes, separators, white space.
soup = st.text(alphabet="aeltndoshrJAPSI .,;-&_03\t\n\x0b\x1c\x1f", max_size=40)
ascii_text = st.text(alphabet=st.characters(max_codepoint=127), max_size=40)

GENERATED = settings(max_examples=600, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])


@GENERATED
@given(lists)
def test_generated_lists(text):
    check(text)


@GENERATED
@given(soup)
def test_generated_character_soup(text):
    check(text)


@GENERATED
@given(ascii_text)
def test_generated_ascii(text):
    check(text)


# Texts at the edge of each rule; random texts reach some of them only rarely.
EDGES = [
    # "et al." and "and others" at the end, and where they are part of a word
    "Smith et al", "Smith et al.", "Smith, et al.", "Smith,et al", "Smith etal.", "Smith et. al", "Smith et.al.",
    "Smith ET AL.", "Smithet al", "Smith_et al", "Smith.et al", "Smith1et al", "Smith et al..", "Smith et al. Jones",
    "et al.", "Smith and others", "Smith, and others", "Smith AND Others", "Smithand others", "and others",
    "Smith and others.",
    # suffixes: a piece of their own, merged into the name before, or the whole name
    "Smith, Jr., J.", "Carino, Jr., Pekka Kostamaa", "Jr., Smith", "Smith Jr", "Smith III, John", "Jr. III",
    "King, Martin Luther, Jr.",
    # DBLP homonym numbers
    "Stefan Fischer 0003", "Fischer 0003,", "Fischer 12345", "0003", "Fischer\t0003", "Fischer 0003 0004",
    # catalogue initials after the family name, and names in capitals
    "Smith JA", "SMITH JA", "Smith JAB", "Smith JABC", "Smith J A", "Smith Ja", "de Smith JA",
    # lower-case particles
    "Jean de la Fontaine", "jean de la fontaine", "Jean De La Fontaine", "Ludwig van Beethoven Jr.", "J. de Jong",
    # comma pieces and their pairing
    "Lamport, L., Shostak, R., Pease, M.", "Lamport, Leslie, Shostak, Robert", "Lamport L, Shostak R",
    "Lamport, Leslie B.", "Leslie Lamport, Robert Shostak", "van Lamport, L., Shostak, R.", "Lamport, L., Shostak",
    "Leslie Lamport, - .", "Lamport, - -, Shostak, Robert Eliot",
    # ';' lists and 'and' / '&' separators
    "Smith, J.; Jones, K.; et al.", "Smith, J.;; Jones", "A and and B", "A and & B", "and Smith", "& Smith",
    "Smith, J. and Jones, K.", "Smith, and Jones", "Smith & Jones & Brown",
    # name words: hyphens, dots, digits, nothing to fold
    "Hans-Peter Kriegel", "H.-P. Kriegel", "Garcia-Molina, H.", "J.A. Smith", "Smith, -", "- -", "'. -",
    "Smith, J.\x1cJones", "Smith\x85Jones",
]


@pytest.mark.parametrize("text", EDGES)
def test_edges_of_the_rules(text):
    check(text)


@pytest.mark.parametrize("text, read", [
    ("Lamport, Leslie and Shostak, Robert", True),
    ("Smith J & Jones K", True),
    ("Smith J &", True),
    ("Smith J &amp; Jones K", False),
    ("Smith J &x Jones K", False),
    ("G{\\\"o}del, Kurt", False),
    ("Kurt G\\\"odel", False),
    ("<i>Smith</i>, J.", False),
    ("Müller, Hans", False),
    ("Jürgen\u00a0Müller", False),
    ("", True),
    ("   ", True),
])
def test_which_texts_are_read(text, read):
    assert check(text) is read


def test_not_a_text():
    with pytest.raises(TypeError):
        _engine.read_authors(b"Smith, J.")
