"""Canonical field values: the same reference written by different sources compares equal.

- Authors: parsed into names whatever the source writes and written in the
  form of :func:`refsieve_cli.authors.canonical_authors`.
- DOIs: lower case (DOIs ignore letter case), without a resolver prefix
  (``https://doi.org/``, ``http://dx.doi.org/``, ``doi:``); a value that is
  then not a DOI (``10.`` and a ``/``) is no DOI.
- Titles, journals and publishers: LaTeX and HTML entities and inline HTML
  tags decoded, Unicode composed (NFC), white space collapsed.
- Pages: a range written with ``--`` or a dash becomes ``377-387``.

With ``--raw`` none of this happens and values are scored as read.
"""

from __future__ import annotations

import re
import unicodedata
from dataclasses import dataclass
from functools import lru_cache

from refsieve_cli import _engine
from refsieve_cli.io.formats.entry import Name, NameList
from refsieve_cli.io.markup import decode_markup, plain_page_range
from refsieve_cli.records.authors import (canonical_authors, display_names, family_words, is_cut_short, names_from_csl,
                                          parse_names)
from refsieve_cli.records.characters import check_characters
from refsieve_cli.records.values import read_text

_DOI_PREFIX = re.compile(r"^(?:(?:https?://)?(?:dx\.|www\.)?doi\.org/|doi[:\s]\s*|info:doi/)", re.IGNORECASE)
_DOI = re.compile(r"10\.[^/\s]+/\S+")


def canonical_doi(text: str) -> str | None:
    """A DOI in lower case without resolver prefix; None when the text is not a DOI."""
    doi = _DOI_PREFIX.sub("", text.strip()).strip().lower()
    return doi if _DOI.fullmatch(doi) else None


# Characters that may start markup; ASCII text without them is plain and composed already.
_MARKUP_STARTS = frozenset("\\{$~<&")


def canonical_text(text: str) -> str:
    """A title, journal or publisher with its markup decoded, composed, on one line."""
    if text.isascii() and _MARKUP_STARTS.isdisjoint(text):
        return " ".join(text.split())
    return " ".join(unicodedata.normalize("NFC", decode_markup(text)).split())


def canonical_pages(text: str) -> str:
    return plain_page_range(text)


@dataclass(frozen=True, slots=True)
class Authors:
    """An author value read: the text the author score compares, each person's family name, and whether the
    list was cut short ("et al.", "and others")."""

    text: str | None
    families: str | None
    et_al: bool = False


def read_authors(value: object, raw: bool) -> Authors:
    """The authors of a value: a text, a list of names, or names split by the reader.

    Raw values keep the text as read (a list of names is written "Given
    Family, Given Family"); canonical ones are in the canonical form. The
    family names are read from the names either way.
    """
    if isinstance(value, NameList):
        names: tuple[Name, ...] = value.names
        raw_text = value.text
    elif isinstance(value, (list, tuple)):
        names = tuple(names_from_csl(value))
        raw_text = display_names(names)
    else:
        text = read_text(value)
        if text is None:
            return Authors(None, None)
        if not raw:
            # The engine reads lists without markup as the Python reader would, and declines the others (and
            # those with a character it has not yet compared with the interpreter's reading of it).
            read = _engine.read_authors(text)
            if read is None and not text.isascii() and check_characters(text):
                read = _engine.read_authors(text)
            if read is not None:
                return Authors(*read)
        names, raw_text = _names_in(text), text
    return Authors(raw_text if raw else canonical_authors(names), family_words(names) or None, is_cut_short(raw_text))


def author_text(value: object, raw: bool) -> str | None:
    """The author text to score for a value (see :func:`read_authors`)."""
    return read_authors(value, raw).text


@lru_cache(maxsize=1 << 14)
def _names_in(text: str) -> tuple[Name, ...]:
    # Author lists recur (a group of people writing several works): each distinct text is read once.
    return tuple(parse_names(decode_markup(text)))


def shown_author(value: object) -> str | None:
    """An author value as it reads to a person (for ``--include``)."""
    if isinstance(value, NameList):
        return value.text
    if isinstance(value, (list, tuple)):
        return display_names(names_from_csl(value))
    return read_text(value)

