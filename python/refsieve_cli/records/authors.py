"""Author lists: parsed into names, written in one canonical form.

Reference managers, BibTeX and catalogues write the same people in
different ways: "Lamport, Leslie and Shostak, Robert", "Leslie Lamport,
Robert Shostak", "L. Lamport, R. Shostak", CSL name objects, one RIS ``AU``
line per person. :func:`parse_names` and its siblings turn each of these
into :class:`Name` values; :func:`canonical_authors` writes a list of names
as the text that the author score compares.

The canonical form writes each person as one word: the initials of the
given names followed by the last word of the family name, in lower case
and without accents or punctuation ("Lamport, Leslie B." and "L. B.
Lamport" are both "lblamport"). Initials are what every source can give,
so the same person written in full or with initials reads the same. The
author score sorts the words of both texts before it compares them, so
the order in which a source lists the authors makes no difference, while
each person's initials stay attached to his or her family name: "J. Smith
and A. Jones" differs from "A. Smith and J. Jones".
"""

from __future__ import annotations

import re
import string
import unicodedata
from collections.abc import Iterable, Mapping, Sequence
from functools import lru_cache

from refsieve_cli.io.formats.entry import Name

# Words that end a name without being part of it.
_SUFFIXES = frozenset({"jr", "jr.", "sr", "sr.", "ii", "iii", "iv", "2nd", "3rd"})
# "et al." and BibTeX's "others" stand for authors not listed.
_ET_AL = frozenset({"others", "et al", "et al.", "et. al.", "etal"})
_ET_AL_TEXT = re.compile(r"(?:,?\s+and\s+others|,?\s*\bet\.?\s*al\b\.?)\s*$", re.IGNORECASE)
# A homonym number that DBLP appends to a name ("Stefan Fischer 0003").
_DBLP_NUMBER = re.compile(r"\s+\d{4}$")
# Catalogue initials written after the family name, as in "Smith JA".
_TRAILING_INITIALS = re.compile(r"[A-Z]{1,3}")
_AND = re.compile(r"\s+(?:and|&)\s+", re.IGNORECASE)
_WORD_PARTS = re.compile(r"[\s.\-\u2010\u2011]+")
_LEADING_AND = re.compile(r"^(?:and|&)\s+", re.IGNORECASE)


def _words(text: str) -> list[str]:
    return text.split()


def _is_suffix(text: str) -> bool:
    return text.strip().lower() in _SUFFIXES


def _strip_suffix(words: list[str]) -> list[str]:
    while len(words) > 1 and _is_suffix(words[-1].rstrip(",")):
        words = words[:-1]
    return words


# Names and name texts recur across a catalogue (people write many works):
# each distinct one is parsed and written once.
_CACHED = 1 << 16


@lru_cache(maxsize=_CACHED)
def name_from_text(text: str) -> Name | None:
    """One name written "Family, Given", "Given Family" or "Family INITIALS".

    None for an empty text or "et al.".
    """
    text = _DBLP_NUMBER.sub("", " ".join(text.split())).strip(" ,;")
    if not text or text.lower() in _ET_AL:
        return None
    parts = [part.strip() for part in text.split(",")]
    parts = [part for part in parts if part and not _is_suffix(part)]
    if not parts:
        return None
    if len(parts) >= 2:
        # "Family, Given" (a third part, after dropping a suffix, is more given names).
        return Name(given=" ".join(parts[1:]), family=parts[0])
    words = _strip_suffix(_words(parts[0]))
    if len(words) == 1:
        return Name(given="", family=words[0])
    last = words[-1]
    if _TRAILING_INITIALS.fullmatch(last) and not all(word.isupper() for word in words):
        return Name(given=" ".join(last), family=" ".join(words[:-1]))
    # Lower-case words before the last ("Jean de la Fontaine") belong to the family name, as in BibTeX.
    particles = [i for i, word in enumerate(words[1:-1], start=1) if word[:1].islower()]
    if particles and not all(word.islower() for word in words):
        return Name(given=" ".join(words[: particles[0]]), family=" ".join(words[particles[0] :]))
    return Name(given=" ".join(words[:-1]), family=last)


def _looks_like_given_names(piece: str) -> bool:
    """Initials only ("J.", "J. A.", "J.-P."): a piece that cannot be a full name."""
    letters = [part for part in _WORD_PARTS.split(piece) if part]
    return bool(letters) and all(len(part) == 1 for part in letters)


def _pieces(text: str) -> list[str]:
    pieces = [piece.strip() for piece in text.split(",")]
    return [_LEADING_AND.sub("", piece) for piece in pieces if piece]


def _pair_up(pieces: list[str]) -> list[str] | None:
    """Pieces read as "Family, Given, Family, Given, ...", or None if they do not read so."""
    if len(pieces) % 2:
        return None
    families, givens = pieces[0::2], pieces[1::2]
    if all(len(_words(family)) == 1 for family in families) and any(_looks_like_given_names(g) for g in givens):
        return [f"{family}, {given}" for family, given in zip(families, givens)]
    return None


def _split_commas(text: str) -> list[str]:
    """Splits a comma-separated text into names; a single "Family, Given" stays whole."""
    pieces = _pieces(text)
    # A suffix piece ("Cariño, Jr., Pekka Kostamaa") belongs to the name before it.
    merged: list[str] = []
    for piece in pieces:
        if merged and _is_suffix(piece):
            merged[-1] = f"{merged[-1]} {piece}"
        else:
            merged.append(piece)
    pieces = merged
    if len(pieces) <= 1:
        return pieces
    if len(pieces) == 2:
        family, given = pieces
        if len(_words(family)) == 1 or len(_words(given)) == 1 or _looks_like_given_names(given):
            return [f"{family}, {given}"]
        return pieces
    paired = _pair_up(pieces)
    return paired if paired is not None else pieces


def is_cut_short(text: str) -> bool:
    """Whether an author list ends in "et al." or "and others": more people wrote it than it names."""
    return _ET_AL_TEXT.search(" ".join(text.split())) is not None


def parse_names(text: str) -> list[Name]:
    """Names from a plain-text author list, whatever its separators.

    Reads "Given Family, Given Family" (catalogues), "Family, Given and
    Family, Given" (BibTeX), "Family, Given; Family, Given", "Family, G.,
    Family, G." and "Given Family, Given Family and Given Family".
    """
    text = _ET_AL_TEXT.sub("", " ".join(text.split())).strip(" ,;")
    if not text:
        return []
    if ";" in text:
        chunks = [chunk for chunk in text.split(";") if chunk.strip()]
        return [name for chunk in chunks if (name := name_from_text(chunk)) is not None]
    names: list[Name] = []
    for part in _AND.split(text):
        for piece in _split_commas(part):
            name = name_from_text(piece)
            if name is not None:
                names.append(name)
    return names


# --- CSL-JSON ----------------------------------------------------------------


def names_from_csl(items: Iterable[object]) -> list[Name]:
    """Names from CSL-JSON name objects (``family``/``given`` or ``literal``).

    Plain strings in the list are read as one name each.
    """
    names: list[Name] = []
    for item in items:
        if isinstance(item, str):
            name = name_from_text(item)
        elif isinstance(item, Mapping):
            family = _csl_part(item, "family")
            particle = _csl_part(item, "non-dropping-particle")
            family = f"{particle} {family}".strip()
            given = _csl_part(item, "given")
            literal = _csl_part(item, "literal")
            name = Name(given=given, family=family) if family else name_from_text(literal) if literal else None
        else:
            raise ValueError(f"expected a name (text or an object with 'family' and 'given'), got {item!r:.40}")
        if name is not None:
            names.append(name)
    return names


def _csl_part(item: Mapping[object, object], key: str) -> str:
    value = item.get(key)
    return " ".join(value.split()) if isinstance(value, str) else ""


# --- canonical form ------------------------------------------------------------


# Deletes every ASCII character but lower-case letters and digits.
_ASCII_NOT_ALNUM = str.maketrans("", "", "".join(chr(c) for c in range(128)
                                                 if chr(c) not in string.ascii_lowercase + string.digits))


def _fold(text: str) -> str:
    """Lower case, accents removed, letters and digits only."""
    if text.isascii():
        return text.lower().translate(_ASCII_NOT_ALNUM)
    decomposed = unicodedata.normalize("NFKD", text.lower())
    return "".join(char for char in decomposed if char.isalnum())


@lru_cache(maxsize=_CACHED)
def _family_word(family: str) -> str:
    """The last word of a family name: "van der Berg" and "Garcia-Molina" give "berg", "molina"."""
    words = [_fold(word) for word in _WORD_PARTS.split(family)]
    words = [word for word in words if word]
    return words[-1] if words else ""


def _initials(given: str) -> str:
    """The first letter of each given name ("Hans-Peter" and "H.-P." give "hp")."""
    folded = (_fold(word) for word in _WORD_PARTS.split(given))
    return "".join(word[0] for word in folded if word)


@lru_cache(maxsize=_CACHED)
def canonical_name(name: Name) -> str:
    """One person as one word: "llamport" for Leslie Lamport."""
    return _initials(name.given) + _family_word(name.family)


def canonical_authors(names: Sequence[Name]) -> str:
    """The author text scored for a list of names, e.g. "llamport rshostak mpease"."""
    return " ".join(word for word in map(canonical_name, names) if word)


def family_words(names: Sequence[Name]) -> str:
    """Each person's family name as one folded word, e.g. "lamport shostak pease"."""
    return " ".join(word for word in (_family_word(name.family) for name in names) if word)


def display_names(names: Sequence[Name]) -> str:
    """Names written "Given Family, Given Family", for output and raw scoring."""
    return ", ".join(" ".join(part for part in (name.given, name.family) if part) for name in names)
