"""LaTeX and HTML markup in field values, turned into plain text; page ranges written with dashes."""

from __future__ import annotations

import html
import re
from functools import lru_cache
from typing import Any

# A percent sign that LaTeX would read as the start of a comment.
_BARE_PERCENT = re.compile(r"(?<!\\)%")
# Inline HTML that titles from publishers' databases carry (<i>, <sub>, MathML ...).
_HTML_TAG = re.compile(
    r"</?(?:i|b|em|strong|sub|sup|sc|scp|span|u|tt|small|mml:[a-z]+|inline-formula|jats:[a-z-]+)(?:\s[^<>]*)?/?>",
    re.IGNORECASE,
)
# The dash of a page range as LaTeX ("--") or Unicode (hyphen to horizontal bar) writes it, with spaces.
_PAGE_DASH = re.compile(r"\s*(?:--|[-\u2010-\u2015])\s*")


@lru_cache(maxsize=1)
def _converter() -> Any:
    from pylatexenc.latex2text import LatexNodes2Text  # type: ignore[import-untyped]

    return LatexNodes2Text()


def latex_to_text(text: str) -> str:
    """Accents, escaped characters and groups of LaTeX as plain Unicode text.

    ``G{\\"o}del`` becomes ``Gödel`` and ``{DNA}`` ``DNA``. A bare ``%`` stays
    a percent sign (in a field value it is never a comment), and ``~`` a space.
    """
    if "\\" not in text and "{" not in text and "$" not in text and "~" not in text:
        return text
    decoded = _converter().latex_to_text(_BARE_PERCENT.sub(r"\\%", text))
    return str(decoded).replace("\u00a0", " ")


def decode_markup(text: str) -> str:
    """LaTeX (when the text has any) and HTML entities and inline tags as plain text."""
    if "\\" in text or "{" in text:
        text = latex_to_text(text)
    if "<" in text:
        text = _HTML_TAG.sub("", text)
    if "&" in text:
        text = html.unescape(text)
    return text


def plain_page_range(text: str) -> str:
    """A page range with its dash written "-": "377--387" and "377 \u2013 387" become "377-387"."""
    return _PAGE_DASH.sub("-", text.strip())
