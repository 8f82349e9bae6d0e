"""The characters beyond ASCII that the engine's author reader may read.

The engine reads author lists with Unicode tables of its own, while the
Python reader (:mod:`refsieve_cli.records.authors`) asks the interpreter's
str methods and :mod:`unicodedata`, whose Unicode version may differ, so a
few characters may read otherwise. The first time the engine meets a
character, :func:`check_characters` compares what the engine makes of it
with what the interpreter makes of it; the engine reads only the texts
whose characters all agreed.
"""

from __future__ import annotations

import unicodedata

from refsieve_cli import _engine

Facts = tuple[bool, bool, bool, bool, bool, bool, bool, bool, bool, str]


def character_facts(char: str) -> Facts:
    """What the Python reader makes of one character, as :func:`_engine.name_characters` gives it."""
    # Lower case makes a capital sigma final after a cased letter and before none, skipping the characters
    # that are case-ignorable: the sigma after the character (and after "A" and the character) tells which
    # of the two the character is.
    final_after = (char + "\u03a3").lower()[-1] == "\u03c2"
    final_after_letter = ("A" + char + "\u03a3").lower()[-1] == "\u03c2"
    folded = "".join(part for part in unicodedata.normalize("NFKD", char.lower()) if part.isalnum())
    return (char.isspace(), char.isalnum(), char.isdecimal(), char.isupper(), char.islower(), ("A" + char).isupper(),
            ("a" + char).islower(), final_after_letter and not final_after, final_after, folded)


def keeps_order(char: str) -> bool:
    """Whether no letter or digit of the character's decomposition can move when a word is put in canonical
    order (the engine folds each character on its own)."""
    return not any(unicodedata.combining(part) and part.isalnum()
                   for part in unicodedata.normalize("NFKD", char.lower()))


def check_characters(text: str) -> bool:
    """Compares the characters of text that the engine has not met before with the interpreter's reading of
    them, and tells the engine which agree. True when there were any."""
    found = _engine.name_characters(text)
    if not found:
        return False
    agree = "".join(char for char, facts in found if facts == character_facts(char) and keeps_order(char))
    differ = "".join(char for char, _ in found if char not in agree)
    _engine.trust_characters(agree, differ)
    return True
