"""The shape every reader produces: one entry per record, fields as named in the file."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field


@dataclass(frozen=True)
class Place:
    """A file and a 1-based line in it."""

    path: str
    line: int


@dataclass
class Entry:
    """One record as the file holds it.

    ``values`` holds the fields under the names the file gives them, in file
    order: texts, numbers, None for an empty cell, and lists or objects where
    the format has them (CSL-JSON names and dates, RIS author lists, BibTeX
    names as a :class:`NameList`). ``places`` says where a field is written
    when that differs from the entry's own place (a BibTeX field on a later
    line, or inherited through ``crossref`` from another entry). ``kind`` is
    the entry type where the format has one (BibTeX ``article``, RIS
    ``JOUR``), in lower case.
    """

    place: Place
    values: dict[str, object] = field(default_factory=dict)
    places: dict[str, Place] = field(default_factory=dict)
    kind: str | None = None

    def place_of(self, name: str) -> Place:
        return self.places.get(name, self.place)


@dataclass
class Parsed:
    """The entries of one file, read as they are consumed where the format allows.

    ``columns`` are the names a header row declares, if the file has one;
    ``dialect`` names the convention of its field names ("ris" for RIS tags,
    else "names").
    """

    entries: Iterable[Entry]
    columns: list[str] | None = None
    dialect: str = "names"


@dataclass(frozen=True)
class Name:
    """One person (or organisation, with ``given`` empty)."""

    given: str
    family: str


@dataclass(frozen=True)
class NameList:
    """An author list that the file format has already split into names (BibTeX)."""

    text: str
    names: tuple[Name, ...]
