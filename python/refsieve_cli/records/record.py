"""One record as the command scores it, and the table that holds the records of one side.

A :class:`Record` is made per entry by :mod:`refsieve_cli.records.builder`
and handed at once to a :class:`RecordTable`, which keeps its fields in the
engine's columnar store (texts in native memory, no Python object per
record) together with its key and the values shown beside its matches.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from refsieve_cli import _engine
from refsieve_cli.records.fields import SCORED_FIELDS, SHOWN_FIELDS

# Records handed to the store at a time: enough to make the call's cost
# negligible, few enough that the Python objects waiting are few.
_BATCH = 4096
_KEY = "key"
# Texts kept for the decision whether two records are one work.
EVIDENCE = ("families", "et_al", "kind")
_SHOWN = "shown."


@dataclass(frozen=True, slots=True)
class Record:
    """The fields that are scored, the key that names the record in the output, what the decision
    whether two records are one work reads besides (each person's family name, folded; the entry
    type where the format gives one), and the values shown beside its matches (``--include``: field
    name to the value as read)."""

    index: int
    title: str = ""
    author: str = ""
    year: int | None = None
    doi: str | None = None
    journal: str | None = None
    volume: str | None = None
    number: str | None = None
    pages: str | None = None
    publisher: str | None = None
    key: str | None = None
    families: str | None = None
    et_al: bool = False
    kind: str | None = None
    shown: Mapping[str, object] = field(default_factory=dict)

    def scored(self) -> dict[str, Any]:
        """The record as the mapping that ``refsieve.score_batch`` takes."""
        return {name: getattr(self, name) for name in SCORED_FIELDS}


def _shown_text(name: str, value: object) -> str | None:
    return None if value is None else str(value)


def _shown_value(name: str, text: str | None) -> object:
    # Shown values are texts but for the year, which is shown as a number.
    return int(text) if name == "year" and text is not None else text


class RecordTable:
    """The records of one side, in input order, in the engine's store.

    ``field_names`` holds every field name met in the input (lower case),
    for checking ``--map``; ``include`` names the fields whose values are
    shown beside the matches.
    """

    def __init__(self, include: Sequence[str] = ()) -> None:
        unknown = [name for name in include if name not in SHOWN_FIELDS]
        if unknown:
            raise ValueError(f"cannot include {unknown[0]!r} (fields: {', '.join(SHOWN_FIELDS)})")
        self.include = tuple(include)
        self.field_names: set[str] = set()
        self._extra = (_KEY, *EVIDENCE, *(_SHOWN + name for name in self.include))
        self._columns = (*SCORED_FIELDS, *self._extra)
        self._store = _engine.Records(self._extra)
        self._pending: list[tuple[object, ...]] = []

    @classmethod
    def of(cls, records: Iterable[Record], include: Sequence[str] = ()) -> RecordTable:
        table = cls(include)
        for record in records:
            table.append(record)
        return table

    def append(self, record: Record) -> None:
        self.append_row((record.index, record.title, record.author, record.year, record.doi, record.journal,
                         record.volume, record.number, record.pages, record.publisher, record.key, record.families,
                         "1" if record.et_al else None, record.kind,
                         *(_shown_text(name, record.shown.get(name)) for name in self.include)))

    def append_row(self, row: tuple[object, ...]) -> None:
        """Appends a record given as the values of the store's columns, in the order of :attr:`columns`:
        the scored fields, the key, the evidence (et_al as "1" or None) and the shown values as texts."""
        self._pending.append(row)
        if len(self._pending) >= _BATCH:
            self._flush()

    @property
    def columns(self) -> tuple[str, ...]:
        """The store's columns, in the order of a row."""
        return self._columns

    @property
    def store(self) -> _engine.Records:
        """The engine's store, holding every record appended."""
        self._flush()
        return self._store

    def _flush(self) -> None:
        if not self._pending:
            return
        self._store.append(dict(zip(self._columns, zip(*self._pending))))
        self._pending.clear()

    def __len__(self) -> int:
        return len(self.store)

    def indexes(self, positions: Sequence[int] | None = None) -> list[int]:
        return self.store.indexes(positions)

    def keys(self, positions: Sequence[int] | None = None) -> list[str | None]:
        return self.store.texts(_KEY, positions)

    def shown(self, name: str, positions: Sequence[int] | None = None) -> list[object]:
        return [_shown_value(name, text) for text in self.store.texts(_SHOWN + name, positions)]

    def record(self, position: int) -> Record:
        """The record at ``position``, as it was appended."""
        values: dict[str, Any] = {name: self.store.texts(name, [position])[0]
                                  for name in SCORED_FIELDS if name not in ("index", "year")}
        values["index"] = self.store.indexes([position])[0]
        values["year"] = self.store.years([position])[0]
        shown = {name: self.shown(name, [position])[0] for name in self.include}
        families, et_al, kind = (self.store.texts(name, [position])[0] for name in EVIDENCE)
        return Record(**values, key=self.keys([position])[0], families=families, et_al=bool(et_al), kind=kind,
                      shown=shown)
