"""Field mapping: which of an entry's fields feeds which record field.

Names are compared without regard to letter case. Each record field has a
list of names that real exports use for it (:data:`ALIASES`, and
:data:`RIS_TAGS` for RIS files, whose fields are named by their tags);
names given with ``--map SOURCE=FIELD`` come before them, and ``--map
SOURCE=`` leaves a field unused. When an entry has several fields for one
record field, the first name in that order with a value wins (a BibTeX
``journal`` before a ``booktitle``).
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field

from refsieve_cli.io.formats.entry import Entry, Place
from refsieve_cli.records.values import is_blank

# The fields of a record scored by the engine, in its order.
SCORED_FIELDS = ("index", "title", "author", "year", "doi", "journal", "volume", "number", "pages", "publisher")
# The record fields a file can fill, in output order: `key` names the record in the output.
FIELDS = ("key", *SCORED_FIELDS)
# Fields whose value a person may want to see beside the scores (--include).
SHOWN_FIELDS = SCORED_FIELDS[1:]

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

# RIS tags, first found wins; the RIS reader joins a page range (SP, EP) into SP.
RIS_TAGS: dict[str, tuple[str, ...]] = {
    "key": ("id",),
    "index": (),
    "title": ("ti", "t1"),
    "author": ("au", "a1"),
    "year": ("py", "y1", "da"),
    "doi": ("do",),
    "journal": ("t2", "jo", "jf", "ja", "j2"),
    "volume": ("vl",),
    "number": ("is",),
    "pages": ("sp",),
    "publisher": ("pb",),
}
_BUILT_IN = {"names": ALIASES, "ris": RIS_TAGS}
# Sets of field names whose mapping is remembered (most files have one or a few).
_PLANS_KEPT = 4096


@dataclass(frozen=True)
class Value:
    """A record field's value as the file gives it, with where it is written."""

    value: object
    place: Place
    source: str


@dataclass
class FieldMap:
    """The source names for each record field, in the order they are tried."""

    overrides: dict[str, str] = field(default_factory=dict)  # source name -> field, "" to drop

    def __post_init__(self) -> None:
        unknown = sorted({target for target in self.overrides.values() if target and target not in FIELDS})
        if unknown:
            raise ValueError(f"unknown field {unknown[0]!r} (fields: {', '.join(FIELDS)})")
        self.overrides = {source.lower(): target for source, target in self.overrides.items()}
        self._sources = {dialect: self._sources_for(aliases) for dialect, aliases in _BUILT_IN.items()}
        self._plans: dict[tuple[tuple[str, ...], str], tuple[tuple[str, tuple[str, ...]], ...]] = {}

    def _sources_for(self, aliases: dict[str, tuple[str, ...]]) -> dict[str, tuple[str, ...]]:
        sources = {}
        for target in FIELDS:
            given = tuple(source for source, mapped in self.overrides.items() if mapped == target)
            sources[target] = given + tuple(alias for alias in aliases[target] if alias not in self.overrides)
        return sources

    def sources(self, target: str, dialect: str = "names") -> tuple[str, ...]:
        return self._sources[dialect][target]

    def is_mapped(self, name: str, dialect: str = "names") -> bool:
        """Whether a source name feeds (or is deliberately kept from) a record field."""
        lower = name.lower()
        return lower in self.overrides or any(lower in names for names in self._sources[dialect].values())

    def plan(self, names: tuple[str, ...], dialect: str = "names") -> tuple[tuple[str, tuple[str, ...]], ...]:
        """For entries whose fields have these names: each record field with the names that may feed it,
        in the order they are tried (several names that differ only in letter case, in file order)."""
        key = (names, dialect)
        plan = self._plans.get(key)
        if plan is None:
            by_lower: dict[str, list[str]] = {}
            for name in names:
                by_lower.setdefault(name.lower(), []).append(name)
            plan = tuple((target, tuple(name for source in sources for name in by_lower.get(source, ())))
                         for target, sources in self._sources[dialect].items())
            plan = tuple((target, names_) for target, names_ in plan if names_)
            if len(self._plans) >= _PLANS_KEPT:
                self._plans.clear()
            self._plans[key] = plan
        return plan

    def apply(self, entry: Entry, dialect: str = "names") -> dict[str, Value]:
        """The entry's value for each record field it has."""
        values = entry.values
        mapped: dict[str, Value] = {}
        for target, names in self.plan(tuple(values), dialect):
            for name in names:
                value = values[name]
                if not is_blank(value):
                    mapped[target] = Value(value, entry.place_of(name), name)
                    break
        return mapped

    def unmapped(self, names: Iterable[str], dialect: str = "names") -> list[str]:
        return [name for name in names if not self.is_mapped(name, dialect)]


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
