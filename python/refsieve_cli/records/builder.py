"""Records from entries: the one place where an entry becomes a scorable record.

map fields (:mod:`refsieve_cli.records.fields`) -> read values
(:mod:`refsieve_cli.records.values`) -> canonicalise
(:mod:`refsieve_cli.records.canonical`) -> cut long texts -> a
:class:`~refsieve_cli.records.record.Record` appended to the side's
:class:`~refsieve_cli.records.record.RecordTable`. What was read other than
as written is counted and told in the report.

Most entries need none of that telling: every value reads, no DOI is
dropped, no text is cut. Those take a shorter way (:class:`_Rows`), which
reads the same values with the same functions straight into the row the
table stores, without the intermediate objects; any other entry takes the
way above, which is also the reference that the shorter way must equal.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from refsieve_cli import defaults
from refsieve_cli.errors import InputError, Report, shown
from refsieve_cli.io.formats.entry import Entry, Parsed
from refsieve_cli.io.readers import read_sources
from refsieve_cli.io.sources import Source
from refsieve_cli.records.canonical import canonical_doi, canonical_pages, canonical_text, read_authors, shown_author
from refsieve_cli.records.fields import FIELDS, SCORED_FIELDS, FieldMap, Value
from refsieve_cli.records.record import Record, RecordTable
from refsieve_cli.records.values import is_blank, read_index, read_key, read_text, read_year

BAD_VALUES = ("error", "empty", "skip")
# Texts that max_field_length cuts.
_CUT_FIELDS = ("title", "author", "doi", "journal", "volume", "number", "pages", "publisher")


@dataclass(frozen=True)
class LoadOptions:
    """How entries become records: the same for the command and for data frames."""

    field_map: FieldMap = field(default_factory=FieldMap)
    raw: bool = False
    bad_values: str = defaults.BAD_VALUES
    max_field_length: int = defaults.MAX_FIELD_LENGTH  # 0: no limit
    include: tuple[str, ...] = ()

    def __post_init__(self) -> None:
        if self.bad_values not in BAD_VALUES:
            raise ValueError(f"bad_values must be one of {', '.join(BAD_VALUES)}, got {self.bad_values!r}")
        if self.max_field_length < 0:
            raise ValueError(f"max_field_length must be 0 (no limit) or more, got {self.max_field_length}")


class _Skip(Exception):
    """The record is dropped (``--bad-values skip``)."""


@dataclass
class _Counts:
    """What one file's values needed, for the report."""

    emptied: Counter[str] = field(default_factory=Counter)
    skipped: int = 0
    first_bad: str = ""
    cut: Counter[str] = field(default_factory=Counter)
    dropped_dois: list[str] = field(default_factory=list)
    # (the file's field name, the record field it feeds): how many records.
    read_as: Counter[tuple[str, str]] = field(default_factory=Counter)


def load_side(sources: Sequence[Source], options: LoadOptions, report: Report,
              lookups: Sequence[Source] = ()) -> RecordTable:
    """Reads the files of one side and builds its records (``lookups``: BibTeX files that serve as macros and
    crossref targets only)."""
    files = [(source.name, parsed) for source, parsed in read_sources(sources, report, lookups)]
    return build_table(files, options, report)


def build_table(files: Iterable[tuple[str, Parsed]], options: LoadOptions, report: Report) -> RecordTable:
    table = RecordTable(options.include)
    position = 0
    for name, parsed in files:
        if parsed.columns is not None and not any(column.lower() in options.field_map.sources("title", parsed.dialect)
                                                  for column in parsed.columns):
            raise InputError(name, 1, "the header row has no title column (name one with --map COLUMN=title)", "title")
        names: dict[str, None] = dict.fromkeys(parsed.columns or ())
        counts = _Counts()
        rows = _Rows(options, parsed.dialect, table.append_row, counts)
        seen: set[tuple[str, ...]] = set()
        for entry in parsed.entries:
            keys = tuple(entry.values)
            if parsed.columns is None and keys not in seen:
                seen.add(keys)
                names.update(dict.fromkeys(keys))
            if not rows.append(entry, keys, position):
                _append_entry(entry, table, position, options, parsed.dialect, counts)
            position += 1
        table.field_names.update(name.lower() for name in names)
        if counts.read_as:
            read = [source if source.lower() == target else f"{source} as {target}"
                    for (source, target) in sorted(counts.read_as, key=lambda pair: FIELDS.index(pair[1]))]
            report.note(f"{name}: fields read: {', '.join(read)}")
        unmapped = options.field_map.unmapped(names, parsed.dialect)
        if unmapped:
            report.note(f"{name}: fields not used: {', '.join(unmapped)} (read one with --map {unmapped[0]}=FIELD)")
        _tell(name, counts, options, report)
    return table


def _append_entry(entry: Entry, table: RecordTable, position: int, options: LoadOptions, dialect: str,
                  counts: _Counts) -> None:
    """Reads an entry the general way: each value found, read and told about."""
    mapped = options.field_map.apply(entry, dialect)
    for target, found in mapped.items():
        counts.read_as[found.source, target] += 1
    try:
        table.append(_record(mapped, entry.kind, position, options, counts))
    except _Skip:
        counts.skipped += 1


def _tell(name: str, counts: _Counts, options: LoadOptions, report: Report) -> None:
    if counts.skipped:
        report.warn(f"{name}: {_plural(counts.skipped, 'record')} with unreadable values skipped"
                    f" (the first: {counts.first_bad})")
    if counts.emptied:
        report.warn(f"{name}: {_plural(sum(counts.emptied.values()), 'unreadable value')} read as empty:"
                    f" {_by_field(counts.emptied)} (the first: {counts.first_bad})")
    if counts.cut:
        report.warn(f"{name}: {_plural(sum(counts.cut.values()), 'value')} longer than"
                    f" {options.max_field_length} characters cut: {_by_field(counts.cut)}")
    if counts.dropped_dois:
        report.warn(f"{name}: {_plural(len(counts.dropped_dois), 'DOI')} dropped as not a DOI:"
                    f" {', '.join(counts.dropped_dois[:3])}{', ...' if len(counts.dropped_dois) > 3 else ''}")


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def _by_field(counter: Counter[str]) -> str:
    return ", ".join(f"{name} {count}" for name, count in sorted(counter.items(), key=lambda item: FIELDS.index(item[0])))


def _text(value: object) -> str | None:
    # Most values are plain text: read here without further calls.
    if type(value) is str and value.isascii():
        return value if value.strip() else None
    return read_text(value)


def _number_like(value: object) -> str | None:
    if type(value) is str and value.isascii():
        return value if value.strip() else None
    return read_text(value, number_like=True)


_READERS: dict[str, Callable[[object], object]] = {
    "title": _text, "doi": _text, "journal": _text, "publisher": _text,
    "volume": _number_like, "number": _number_like, "pages": _number_like,
    "key": read_key, "year": read_year,
}


class _Other(Exception):
    """The entry needs the general way (a value that does not read, a DOI dropped, a text cut)."""


def _canonical(read: Callable[[object], Any], canonical: Callable[[str], str | None]) -> Callable[[object], Any]:
    def read_canonical(value: object) -> Any:
        text = read(value)
        return canonical(text) if text else text

    return read_canonical


def _doi(value: object) -> str | None:
    text = _text(value)
    if not text:
        return text
    doi = canonical_doi(text)
    if doi is None:
        raise _Other
    return doi


# What each field's value becomes, canonical, on the shorter way.
_CANONICAL_READERS: dict[str, Callable[[object], Any]] = {
    **_READERS,
    "title": _canonical(_text, canonical_text), "journal": _canonical(_text, canonical_text),
    "publisher": _canonical(_text, canonical_text), "pages": _canonical(_number_like, canonical_pages),
    "doi": _doi,
}
# Where each field goes in a row (RecordTable.columns).
_SLOTS = {name: slot for slot, name in enumerate(SCORED_FIELDS)}
_SLOTS["key"] = len(SCORED_FIELDS)
_INDEX, _TITLE, _AUTHOR = _SLOTS["index"], _SLOTS["title"], _SLOTS["author"]
_FAMILIES, _ET_AL, _KIND = len(SCORED_FIELDS) + 1, len(SCORED_FIELDS) + 2, len(SCORED_FIELDS) + 3
_ROW_SIZE = len(SCORED_FIELDS) + 4

# For each record field an entry has: its slot in the row, its reader (None for the index and the authors,
# read apart), and the names that may feed it, each with the (name, field) pair counted when it does.
_Plan = tuple[tuple[int, Callable[[object], Any] | None, tuple[tuple[str, tuple[str, str]], ...]], ...]


class _Rows:
    """The shorter way: entries whose values all read, straight into the table's rows."""

    def __init__(self, options: LoadOptions, dialect: str, append_row: Callable[[tuple[object, ...]], None],
                 counts: _Counts) -> None:
        self._options = options
        self._dialect = dialect
        self._append_row = append_row
        self._read_as = counts.read_as
        self._readers = _READERS if options.raw else _CANONICAL_READERS
        self._cut = tuple(_SLOTS[name] for name in _CUT_FIELDS) if options.max_field_length else ()
        self._shown = tuple((name, _SLOTS[name]) for name in options.include)
        self._plans: dict[tuple[str, ...], _Plan] = {}

    def _plan(self, names: tuple[str, ...]) -> _Plan:
        plan = tuple((_SLOTS[target], self._readers.get(target), tuple((name, (name, target)) for name in sources))
                     for target, sources in self._options.field_map.plan(names, self._dialect))
        self._plans[names] = plan
        return plan

    def append(self, entry: Entry, names: tuple[str, ...], position: int) -> bool:
        """Appends the row of an entry whose fields have these names; False, with nothing appended or counted,
        when the entry needs the general way."""
        values = entry.values
        plan = self._plans.get(names) or self._plan(names)
        row: list[Any] = [None] * _ROW_SIZE
        read: list[tuple[str, str]] = []
        shown: dict[int, object] = {}
        try:
            for slot, reader, sources in plan:
                # The first of the names with a value that is not blank (FieldMap.apply).
                for name, pair in sources:
                    value = values[name]
                    if type(value) is str:
                        if value.strip():
                            break
                    elif not is_blank(value):
                        break
                else:
                    continue
                read.append(pair)
                if self._shown:
                    shown[slot] = value
                if reader is not None:
                    row[slot] = reader(value)
                elif slot == _AUTHOR:
                    authors = read_authors(value, self._options.raw)
                    row[_AUTHOR], row[_FAMILIES], row[_ET_AL] = authors.text, authors.families, authors.et_al
                else:
                    row[_INDEX] = read_index(value, position)
        except (ValueError, _Other):
            return False
        limit = self._options.max_field_length
        for slot in self._cut:
            text = row[slot]
            if text is not None and len(text) > limit:
                return False
        if row[_INDEX] is None:
            row[_INDEX] = position
        row[_TITLE] = row[_TITLE] or ""
        row[_AUTHOR] = row[_AUTHOR] or ""
        row[_ET_AL] = "1" if row[_ET_AL] else None
        row[_KIND] = entry.kind
        for name, slot in self._shown:
            row.append(_shown_text(name, shown.get(slot)))
        read_as = self._read_as
        for pair in read:
            read_as[pair] += 1
        self._append_row(tuple(row))
        return True


def _record(mapped: dict[str, Value], kind: str | None, position: int, options: LoadOptions,
            counts: _Counts) -> Record:
    values: dict[str, Any] = {}
    for name, found in mapped.items():
        try:
            if name == "index":
                values[name] = read_index(found.value, position)
            elif name == "author":
                authors = read_authors(found.value, options.raw)
                values[name], values["families"], values["et_al"] = authors.text, authors.families, authors.et_al
            else:
                values[name] = _READERS[name](found.value)
        except ValueError as error:
            _unreadable(name, found, error, options, counts)
    if not options.raw:
        for name in ("title", "journal", "publisher"):
            value = values.get(name)
            if value:
                values[name] = canonical_text(value)
        pages = values.get("pages")
        if pages:
            values["pages"] = canonical_pages(pages)
        doi = values.get("doi")
        if doi:
            values["doi"] = canonical_doi(doi)
            if values["doi"] is None:
                place = mapped["doi"].place
                counts.dropped_dois.append(f"{place.path}:{place.line}: {shown(doi)}")
    if options.max_field_length:
        for name in _CUT_FIELDS:
            value = values.get(name)
            if value is not None and len(value) > options.max_field_length:
                values[name] = value[: options.max_field_length]
                counts.cut[name] += 1
    return Record(
        index=values.get("index", position),
        title=values.get("title") or "",
        author=values.get("author") or "",
        year=values.get("year"),
        doi=values.get("doi"),
        journal=values.get("journal"),
        volume=values.get("volume"),
        number=values.get("number"),
        pages=values.get("pages"),
        publisher=values.get("publisher"),
        key=values.get("key"),
        families=values.get("families"),
        et_al=values.get("et_al", False),
        kind=kind,
        shown={name: _shown_value(name, mapped.get(name)) for name in options.include},
    )


def _unreadable(name: str, found: Value, error: ValueError, options: LoadOptions, counts: _Counts) -> None:
    """An unreadable value: an error, a skipped record or an absent value, as --bad-values says."""
    # Messages name the field as the file does ("issued", "Year"), so that it can be found there.
    bad = InputError(found.place.path, found.place.line, str(error), found.source)
    if options.bad_values == "error":
        raise bad from None
    if not counts.first_bad:
        counts.first_bad = str(bad)
    if options.bad_values == "skip":
        raise _Skip from None
    counts.emptied[name] += 1


def _shown_value(name: str, found: Value | None) -> object:
    return None if found is None else _shown_of(name, found.value)


def _shown_of(name: str, value: object) -> object:
    try:
        if name == "author":
            return shown_author(value)
        if name == "year":
            return read_year(value)
        return read_text(value, number_like=True)
    except ValueError:
        return None


def _shown_text(name: str, value: object) -> str | None:
    """The shown value of a field as the table stores it (None for a field absent or unreadable)."""
    shown = None if value is None else _shown_of(name, value)
    return None if shown is None else str(shown)


def read_records(path: Path | str, encoding: str = defaults.ENCODING, options: LoadOptions | None = None,
                 report: Report | None = None) -> RecordTable:
    """Reads the records of one file, as ``refsieve match`` would; the extension says which format it is."""
    return load_side([Source(str(path), encoding=encoding)], options or LoadOptions(), report or Report())
