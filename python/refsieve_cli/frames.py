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
from collections.abc import Mapping, Sequence
from typing import Any

from refsieve_cli.cli import DEFAULT_CHUNK_SIZE, DEFAULT_MIN_SCORE, DEFAULT_TOP_N
from refsieve_cli.errors import Report
from refsieve_cli.fields import FieldMap
from refsieve_cli.load import DEFAULT_MAX_FIELD_LENGTH, LoadOptions, Records, build_records
from refsieve_cli.formats.entry import Entry, Parsed, Place
from refsieve_cli.scoring import match_rows, row_columns


class InputWarning(UserWarning):
    """A value was read other than as written (emptied, cut, dropped)."""


def _table(name: str, table: object) -> Parsed:
    """The rows of a table as entries; each row's place is its position counted from 1."""
    columns: list[str] | None
    if hasattr(table, "to_dict") and hasattr(table, "columns"):  # a pandas DataFrame
        columns = [str(column) for column in table.columns]
        rows: Sequence[Mapping[Any, object]] = table.to_dict("records")
    elif isinstance(table, Mapping):
        columns = [str(column) for column in table]
        lengths = {len(values) for values in table.values()}
        if len(lengths) > 1:
            raise ValueError(f"{name}: the columns have different lengths ({', '.join(map(str, sorted(lengths)))})")
        rows = [dict(zip(columns, values)) for values in zip(*table.values())]
    elif isinstance(table, Sequence) and not isinstance(table, (str, bytes)):
        columns = None
        rows = table
    else:
        raise TypeError(f"{name}: expected a data frame, a mapping of columns or a list of mappings,"
                        f" got {type(table).__name__}")
    entries = []
    for position, row in enumerate(rows):
        if not isinstance(row, Mapping):
            raise TypeError(f"{name}: row {position + 1} is a {type(row).__name__}, not a mapping")
        entries.append(Entry(Place(name, position + 1), {str(key): value for key, value in row.items()}))
    return Parsed(entries, columns)


def load_table(name: str, table: object, options: LoadOptions) -> Records:
    report = Report()
    records = build_records([(name, _table(name, table))], options, report)
    for message in report.warnings:
        warnings.warn(message, InputWarning, stacklevel=3)
    return records


def match_tables(
    subjects: object,
    candidates: object,
    *,
    top_n: int = DEFAULT_TOP_N,
    min_score: float = DEFAULT_MIN_SCORE,
    field_map: Mapping[str, str] | None = None,
    raw: bool = False,
    bad_values: str = "error",
    max_field_length: int = DEFAULT_MAX_FIELD_LENGTH,
    include: Sequence[str] = (),
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    as_frame: bool | None = None,
) -> Any:
    """Matches the rows of ``subjects`` against those of ``candidates``, as ``refsieve match`` does.

    Tables are pandas data frames, mappings of column names to equally long
    sequences, or sequences of mappings. Column names are mapped onto record
    fields as file fields are (``field_map`` is ``--map``), and a row's
    position (from 0) is its ``index`` unless it has one. Returns one row
    per match with the columns of ``refsieve match``: a ``DataFrame`` when
    pandas is installed (or ``as_frame`` is true), else a list of dicts.
    Malformed values raise :class:`~refsieve_cli.errors.InputError` naming
    the table and the row (counted from 1), unless ``bad_values`` is
    ``"empty"`` or ``"skip"``; what was read other than as written is told
    as an :class:`InputWarning`.
    """
    options = LoadOptions(FieldMap(dict(field_map or {})), raw, bad_values, max_field_length, tuple(include))
    subject_records = load_table("subjects", subjects, options)
    candidate_records = load_table("candidates", candidates, options)
    columns = row_columns(options.include)
    rows = [row for _, _, row in match_rows(subject_records, candidate_records, top_n, min_score, chunk_size,
                                         options.include)]
    if as_frame is None:
        as_frame = importlib.util.find_spec("pandas") is not None
    if not as_frame:
        return rows
    pandas = importlib.import_module("pandas")
    return pandas.DataFrame(rows, columns=list(columns))
