"""Field mapping: which of an entry's fields feeds which record field.

Names are compared without regard to letter case. Each record field has a
list of names that real exports use for it (:data:`ALIASES`); names given
with ``--map SOURCE=FIELD`` come before them, and ``--map SOURCE=`` leaves a
field unused. When an entry has several fields for one record field, the
first name in that order with a value wins (a BibTeX ``journal`` before a
``booktitle``).
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field

from refsieve_cli.formats.entry import Entry, Place

# The record fields a file can fill, in output order. `key` names the record
# in the output; the other ten are the record that is scored.
FIELDS = ("key", "index", "title", "author", "year", "doi", "journal", "volume", "number", "pages", "publisher")

ALIASES: dict[str, tuple[str, ...]] = {
    "key": ("citation_key", "citation-key", "citekey", "key", "id"),
    "index": ("index",),
    "title": ("title",),
    "author": ("author", "authors", "creator"),
    "year": ("year", "issued", "date"),
    "doi": ("doi",),
    "journal": ("journal", "journaltitle", "container-title", "venue", "booktitle", "source"),
    "volume": ("volume",),
    "number": ("number", "issue"),
    "pages": ("pages", "page"),
    "publisher": ("publisher",),
}


@dataclass(frozen=True)
class Value:
    """A record field's value as the file gives it, with where it is written."""

    value: object
    place: Place
    source: str


def _blank(value: object) -> bool:
    return value is None or (isinstance(value, str) and not value.strip()) or value == [] or value == {}


@dataclass
class FieldMap:
    """The source names for each record field, in the order they are tried."""

    overrides: dict[str, str] = field(default_factory=dict)  # source name (lower case) -> field, "" to drop

    def __post_init__(self) -> None:
        unknown = sorted({target for target in self.overrides.values() if target and target not in FIELDS})
        if unknown:
            raise ValueError(f"unknown field {unknown[0]!r} (fields: {', '.join(FIELDS)})")
        self.overrides = {source.lower(): target for source, target in self.overrides.items()}
        self._sources: dict[str, tuple[str, ...]] = {}
        for target in FIELDS:
            given = tuple(source for source, mapped in self.overrides.items() if mapped == target)
            aliases = tuple(alias for alias in ALIASES[target] if alias not in self.overrides)
            self._sources[target] = given + aliases
        self._mapped = {source for sources in self._sources.values() for source in sources} | set(self.overrides)

    def sources(self, target: str) -> tuple[str, ...]:
        return self._sources[target]

    def is_mapped(self, name: str) -> bool:
        """Whether a source name feeds (or is deliberately kept from) a record field."""
        return name.lower() in self._mapped

    def apply(self, entry: Entry) -> dict[str, Value]:
        """The entry's value for each record field it has."""
        by_name: dict[str, tuple[str, object]] = {}
        for name, value in entry.values.items():
            lower = name.lower()
            if lower not in by_name or _blank(by_name[lower][1]):
                by_name[lower] = (name, value)
        mapped: dict[str, Value] = {}
        for target in FIELDS:
            for source in self._sources[target]:
                found = by_name.get(source)
                if found is not None and not _blank(found[1]):
                    mapped[target] = Value(found[1], entry.place_of(found[0]), found[0])
                    break
        return mapped

    def unmapped(self, names: Iterable[str]) -> list[str]:
        return [name for name in names if not self.is_mapped(name)]


def parse_map(items: Iterable[str]) -> dict[str, str]:
    """``--map`` values ("venue=journal,id=key") as {source: field}; ValueError if malformed."""
    result: dict[str, str] = {}
    for item in items:
        for pair in item.split(","):
            if not pair.strip():
                continue
            source, equals, target = pair.partition("=")
            source, target = source.strip(), target.strip().lower()
            if not equals or not source:
                raise ValueError(f"expected SOURCE=FIELD, got {pair.strip()!r}")
            if target and target not in FIELDS:
                raise ValueError(f"unknown field {target!r} in {pair.strip()!r} (fields: {', '.join(FIELDS)})")
            result[source] = target
    return result


def field_map(overrides: Mapping[str, str] | None = None) -> FieldMap:
    return FieldMap(dict(overrides or {}))
