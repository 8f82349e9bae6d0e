"""The engine's reader of author lists against the Python reader.

For every text it reads (UTF-8 without markup, every character one it
trusts) the engine must give exactly the canonical author text, the family
words and the "et al." of the Python reader; every other text it declines,
and the loader's read_authors then gives the Python reading. A character
beyond ASCII is trusted once what the engine makes of it agrees with what
the interpreter's str methods make of it. The texts: every author list of
the published data sets (read from ../shared/data when it is there), the
synthetic generator's lists, and generated ones built from the pieces that
the reading rules act on, in ASCII and beyond.
"""

import csv
import html
import re
import sys
import unicodedata
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from refsieve_cli import _engine
from refsieve_cli.io.markup import decode_markup
from refsieve_cli.records.authors import canonical_authors, family_words, is_cut_short, parse_names
from refsieve_cli.records.canonical import Authors, read_authors
from refsieve_cli.records.characters import character_facts, check_characters, keeps_order

REPO = Path(__file__).resolve().parents[2]
# Benchmark data beside the checkout (never copied into it).
SHARED_DATA = Path(__file__).resolve().parents[3] / "shared" / "data"
sys.path.insert(0, str(REPO / "benchmarks"))

import synthetic  # noqa: E402

# An '&' that may start an HTML entity: followed by anything but tab, line feed, form feed, space or the end.
_ENTITY_START = re.compile(r"&(?![\t\n\f ]|\Z)")


def python_reading(text):
    names = parse_names(decode_markup(text))
    return canonical_authors(names), family_words(names) or None, is_cut_short(text)


def engine_reading(text):
    """The engine's reading, its characters compared with the interpreter's first, as the loader does."""
    read = _engine.read_authors(text)
    if read is None and check_characters(text):
        read = _engine.read_authors(text)
    return read


def trusted(char):
    """Whether the engine knows the character and reads it as the interpreter does."""
    found = dict(_engine.name_characters(char, judged=True))
    return char in found and found[char] == character_facts(char) and keeps_order(char)


def may_decline(text):
    return (any(c in text for c in "\\{<") or _ENTITY_START.search(text) is not None
            or not all(trusted(c) for c in set(text) if c > "\x7f"))


def check(text):
    """Compares the two readers on text; True when the engine read it."""
    native = engine_reading(text)
    expected = python_reading(text)
    if native is None:
        assert may_decline(text), f"declined a plain text: {text!r}"
    else:
        # What the engine reads, markup decoding leaves as it is.
        assert decode_markup(text) == text
        assert native == expected, text
    if text.strip():  # the loader takes a blank text for no authors before reading it
        assert read_authors(text, False) == Authors(*expected)
    return native is not None


def check_all(texts):
    read = [text for text in texts if check(text)]
    # A reader that declined everything would pass every comparison.
    assert read, "the engine declined every text"
    if any(not text.isascii() for text in texts):
        assert any(not text.isascii() for text in read), "the engine declined every text beyond ASCII"


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
# Names beyond ASCII: accents precomposed and combining, letters that fold to several (ß stays, ǆ and ﬁ do
# not), title case, Greek with its final sigma, a dotted capital I, full-width letters, Hangul and CJK, and
# digits other than ASCII ones.
UNICODE_PIECES = [
    "Loušte", "Lous\u030cte", "É.", "É.-P.", "Ñúñez", "ÉMILE", "émile", "Øre", "Straße", "ǅemal", "ǆ", "Ǆ", "ǈubo",
    "ﬁnn", "ΣΟΦΙΑ", "Σωκράτης", "ΟΔΥΣΣΕΥΣ", "σίσυφος", "Σ", "ΑΣ'Σ", "İsmail", "İ", "Ａｂｅ", "ＡＢ", "김철수", "김",
    "山田", "Ж.", "Жуков", "d'Ávila", "Jean\u2010Luc", "J.\u2011P.", "٠٠٠٣", "١٢٣٤", "٣", "ª", "ʕ", "ᾈ", "Ⓐnna",
    "ᴬ", "ſ", "otherſ", "\u212a", "x\u0301", "\u0301", "\u00bd", "\U0001d400", "\U0001e900",
]
SEPARATORS = [
    ", ", ",", " and ", " AND ", " & ", "; ", ";", " ", "  ", "\t", "\n", "\r\n", "\x0b", "\x0c", "\x1c", "\x1f",
    " ,", ", and ", ".", "-", "",
]
UNICODE_SEPARATORS = ["\u00a0", "\u2003", "\u3000", "\u2028", "\x85", ",\u00a0", "\u00a0and\u00a0", "\u2010"]
ENDINGS = ["", " et al.", ", et al", "et al", " etal", " et. al.", " ET AL", "; et al.", " and others", ", and Others",
           " 0003", ",", ";", " ", "&", " &"]
UNICODE_ENDINGS = [" ١٢٣٤", "\u00a0et\u00a0al.", "é et al", "éet al", "ǅet al.", "_et al", " and otherſ", " ٠٠٠٣"]


def list_of(pieces, separators, endings):
    name = st.lists(st.sampled_from(pieces), min_size=1, max_size=3).map(" ".join)
    return st.builds(
        lambda items, ending: "".join(name + separator for name, separator in items) + ending,
        st.lists(st.tuples(name, st.sampled_from(separators)), max_size=6),
        st.sampled_from(endings),
    )


lists = list_of(NAME_PIECES, SEPARATORS, ENDINGS)
unicode_lists = list_of(NAME_PIECES + UNICODE_PIECES, SEPARATORS + UNICODE_SEPARATORS, ENDINGS + UNICODE_ENDINGS)
# Characters the rules look at, in any order: word boundaries, "et al", suffixes, separators, white space.
soup = st.text(alphabet="aeltndoshrJAPSI .,;-&_03\t\n\x0b\x1c\x1f", max_size=40)
unicode_soup = st.text(alphabet="aeltndoshrJAPSI .,;-&_03\t\x1céÉΣσςİıǅ'\u0301\u00a0\u2010\u2011\u3000٣ſ", max_size=40)
ascii_text = st.text(alphabet=st.characters(max_codepoint=127), max_size=40)
# Any characters but lone surrogates, which the loader refuses before it reads authors.
any_text = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=40)
# Characters of the scripts that names are written in (Latin, Greek, Cyrillic, ... Hangul, CJK, full-width).
script_text = st.text(alphabet=st.characters(min_codepoint=0x20, max_codepoint=0xFFEF, blacklist_categories=("Cs",)),
                      max_size=40)

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


@GENERATED
@given(unicode_lists)
def test_generated_unicode_lists(text):
    check(text)


@GENERATED
@given(unicode_soup)
def test_generated_unicode_soup(text):
    check(text)


@GENERATED
@given(st.one_of(any_text, script_text))
def test_generated_unicode_text(text):
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
    # beyond ASCII: white space, hyphens, letter case, decimal digits and the word boundary before "et al."
    "Jürgen\u00a0Müller", "Müller,\u2003Hans", "Jean\u2010Luc Godard", "J.\u2011P. Sartre", "É. Zola, Z.",
    "Zola, É., Hugo, V.", "Hugo V\u00a0et\u00a0al.", "Müllerüet al", "Smith Σet al.", "Smith ٣et al",
    "Smith \u0301et al",
    "Müller_et al", "Müller é et al",
    "Stefan Fischer ٠٠٠٣", "Fischer ١٢٣٤٥", "ÉMILE ZOLA", "ÉMILE Zola JA", "Jean de l'Ávila", "jean dé la fontaine",
    "ǅemal Bijedić", "Bijedić ǅ", "ǈubo ǈ", "ΟΔΥΣΣΕΥΣ ΕΛΥΤΗΣ", "Οδυσσέας Ελύτης, Σ.", "ΑΣ'Σ Β", "Σ'Σ", "İsmail İnönü",
    "Ａｂｅ Ｓｈｉｎｚｏ", "김 철수", "山田 太郎, 鈴木 一郎", "Lous\u030cte, Ji\u0301r\u030ci\u0301", "\u0301Smith",
    "Smith and otherſ", "Smith, J. and othe\u212a", "Straße, ﬁnn", "Ⓐnna ᴬ", "ʕ Smith", "ᾈ Smith",
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
    ("Müller, Hans", True),
    ("Jürgen\u00a0Müller", True),
    ("Smith and otherſ", False),
    ("Smith\U000e0000", False),  # unassigned
    ("Smith\ud800", False),  # a lone surrogate
    ("", True),
    ("   ", True),
])
def test_which_texts_are_read(text, read):
    assert (engine_reading(text) is not None) is read
    if "\ud800" not in text:
        check(text)


# --- the characters beyond ASCII ------------------------------------------------------


def test_characters_agree_with_the_interpreter():
    """What the engine's tables say of each character, against this interpreter's str methods.

    The tables are of Unicode 17.0; the interpreter's may be older, so the characters it has not assigned
    may differ, and so may the few whose properties a later version changed. A table that disagreed on more
    would be wrong."""
    text = "".join(chr(c) for c in range(0x80, 0x110000) if not 0xD800 <= c < 0xE000)
    found = _engine.name_characters(text, judged=True)
    known = {char for char, _ in found}
    # The engine knows every character the interpreter has assigned, but for the long s.
    assert {c for c in text if unicodedata.category(c) != "Cn"} - known == {"\u017f"}
    assigned = [(char, facts) for char, facts in found if unicodedata.category(char) != "Cn"]
    differ = [char for char, facts in assigned if facts != character_facts(char)]
    assert len(differ) <= len(assigned) // 1000, [f"U+{ord(c):04X}" for c in differ[:20]]
    assert all(keeps_order(char) for char in known)


def test_only_characters_that_agree_are_trusted():
    # Characters the interpreter reads otherwise (those this interpreter has not assigned among them),
    # then the same texts with characters that agree.
    text = "".join(chr(c) for c in range(0x80, 0x3400) if not 0xD800 <= c < 0xE000)
    found = _engine.name_characters(text, judged=True)
    differ = [char for char, facts in found if facts != character_facts(char)]
    agree = [char for char, facts in found if facts == character_facts(char)]
    assert differ and agree
    for char in differ[:50]:
        assert engine_reading(f"Smith{char}, J.") is None
    for char in agree[::40]:
        check(f"Smith{char}, J.")
        check(f"{char} Smith")


def test_a_distrusted_character_stays_distrusted():
    # A character that agrees (one for private use), distrusted by hand, then offered as trusted.
    char = "\U0010fffd"
    assert trusted(char)
    _engine.trust_characters("", char)
    _engine.trust_characters(char, "")
    assert _engine.read_authors(f"Smith, {char}.") is None
    assert not check_characters(f"Smith, {char}.")
