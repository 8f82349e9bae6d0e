"""The shape every reader produces: one entry per record, fields as named in the file."""

from __future__ import annotations

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
    the format has them (CSL-JSON names and dates, RIS author lists).
    ``places`` says where a field is written when that differs from the
    entry's own place (a BibTeX field on a later line, or inherited through
    ``crossref`` from another entry).
    """

    place: Place
    values: dict[str, object] = field(default_factory=dict)
    places: dict[str, Place] = field(default_factory=dict)

    def place_of(self, name: str) -> Place:
        return self.places.get(name, self.place)


@dataclass
class Parsed:
    """The entries of one file; ``columns`` are the names its header row declares, if it has one."""

    entries: list[Entry]
    columns: list[str] | None = None

    def field_names(self) -> list[str]:
        """Every field name in the file, in order of first appearance."""
        if self.columns is not None:
            return list(self.columns)
        names: dict[str, None] = {}
        for entry in self.entries:
            names.update(dict.fromkeys(entry.values))
        return list(names)
