"""Matching tables in memory: pandas data frames, mappings of columns, lists of dicts.

:func:`match_tables` reads each table's rows as the command reads a file's
records (the same field names, canonical values and lenient years) and
returns the rows that ``refsieve match`` would write, as a pandas
``DataFrame`` when pandas is installed.
"""

from __future__ import annotations

import importlib
import importlib.util
import warnings
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

from refsieve_cli import defaults
from refsieve_cli.commands.match import row_columns, rows
from refsieve_cli.engine import on_this_machine
from refsieve_cli.errors import Report
from refsieve_cli.io.formats.entry import Entry, Parsed, Place
from refsieve_cli.records.builder import LoadOptions, build_table
from refsieve_cli.records.fields import FieldMap
from refsieve_cli.records.record import RecordTable


class InputWarning(UserWarning):
    """A value was read other than as written (emptied, cut, dropped)."""


def _rows_of(name: str, table: object) -> tuple[list[str] | None, Sequence[Mapping[Any, object]]]:
    if hasattr(table, "to_dict") and hasattr(table, "columns"):  # a pandas DataFrame
        return [str(column) for column in table.columns], table.to_dict("records")
    if isinstance(table, Mapping):
        columns = [str(column) for column in table]
        lengths = {len(values) for values in table.values()}
        if len(lengths) > 1:
            raise ValueError(f"{name}: the columns have different lengths ({', '.join(map(str, sorted(lengths)))})")
        return columns, [dict(zip(columns, values)) for values in zip(*table.values())]
    if isinstance(table, Sequence) and not isinstance(table, (str, bytes)):
        return None, table
    raise TypeError(f"{name}: expected a data frame, a mapping of columns or a list of mappings,"
                    f" got {type(table).__name__}")


def _table(name: str, table: object) -> Parsed:
    """The rows of a table as entries; each row's place is its position counted from 1."""
    columns, table_rows = _rows_of(name, table)

    def entries() -> Iterator[Entry]:
        for position, row in enumerate(table_rows):
            if not isinstance(row, Mapping):
                raise TypeError(f"{name}: row {position + 1} is a {type(row).__name__}, not a mapping")
            yield Entry(Place(name, position + 1), {str(key): value for key, value in row.items()})

    return Parsed(entries(), columns)


def load_table(name: str, table: object, options: LoadOptions) -> RecordTable:
    report = Report()
    records = build_table([(name, _table(name, table))], options, report)
    for message in report.warnings:
        warnings.warn(message, InputWarning, stacklevel=3)
    return records


def match_tables(
    subjects: object,
    candidates: object,
    *,
    top_n: int = defaults.TOP_N,
    min_score: float = defaults.MIN_SCORE,
    field_map: Mapping[str, str] | None = None,
    raw: bool = False,
    bad_values: str = defaults.BAD_VALUES,
    max_field_length: int = defaults.MAX_FIELD_LENGTH,
    include: Sequence[str] = (),
    chunk_size: int | None = None,
    as_frame: bool | None = None,
) -> Any:
    """Matches the rows of ``subjects`` against those of ``candidates``, as ``refsieve match`` does.

    Tables are pandas data frames, mappings of column names to equally long
    sequences, or sequences of mappings. Column names are mapped onto record
    fields as file fields are (``field_map`` is ``--map``), and a row's
    position (from 0) is its ``index`` unless it has one. Missing values
    (None, NaN, pandas' NA, empty or blank text) are all read as no value.
    Returns one row per match with the columns of ``refsieve match``: a
    ``DataFrame`` when pandas is installed (or ``as_frame`` is true), else a
    list of dicts. Malformed values raise
    :class:`~refsieve_cli.errors.InputError` naming the table and the row
    (counted from 1), unless ``bad_values`` is ``"empty"`` or ``"skip"``;
    what was read other than as written is told as an :class:`InputWarning`.
    ``chunk_size`` is accepted as before and has no effect: all subjects are
    scored in one call, which Ctrl-C can interrupt.
    """
    options = LoadOptions(FieldMap(dict(field_map or {})), raw, bad_values, max_field_length, tuple(include))
    subject_records = load_table("subjects", subjects, options)
    candidate_records = load_table("candidates", candidates, options)
    matches = on_this_machine().match(subject_records, candidate_records, top_n, min_score)
    found = list(rows(subject_records, candidate_records, matches, options.include))
    if as_frame is None:
        as_frame = importlib.util.find_spec("pandas") is not None
    if not as_frame:
        return found
    pandas = importlib.import_module("pandas")
    return pandas.DataFrame(found, columns=list(row_columns(options.include)))
