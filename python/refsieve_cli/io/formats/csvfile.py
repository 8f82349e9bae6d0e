"""CSV with a header row; the delimiter is given or read off the header row."""

from __future__ import annotations

import csv
import itertools
from collections.abc import Iterable, Iterator

from refsieve_cli.errors import InputError
from refsieve_cli.io.formats.entry import Entry, Parsed, Place

# Delimiters tried on the header row, in order of preference on a tie.
DELIMITERS = (",", ";", "\t", "|")


def sniff_delimiter(header: str) -> str:
    """The delimiter that splits the header row into the most columns (quotes respected)."""
    best, best_count = ",", 1
    for delimiter in DELIMITERS:
        try:
            count = len(next(csv.reader([header], delimiter=delimiter), []))
        except csv.Error:
            continue
        if count > best_count:
            best, best_count = delimiter, count
    return best


Rows = Iterator[tuple[int, list[str]]]


def read_rows(path: str, lines: Iterable[str], delimiter: str | None = None) -> tuple[list[str], int, Rows]:
    """The header's column names, its line, and an iterator of (line, cells) for the rows that follow.

    A first line ``sep=;``, as spreadsheet programs write it, gives the
    delimiter; otherwise it is ``delimiter`` or read off the header row.
    Rows without any text are skipped.
    """
    pending = iter(lines)
    first_line = 1
    header_line = next(pending, "")
    # Spreadsheet programs may write the delimiter as a first line "sep=;".
    if header_line.strip().lower().startswith("sep=") and len(header_line.strip()) == 5:
        delimiter = delimiter or header_line.strip()[4]
        first_line = 2
        header_line = next(pending, "")
    if not header_line:
        raise InputError(path, first_line, "the file is empty; expected a header row naming the columns")
    if delimiter is None:
        delimiter = sniff_delimiter(header_line.rstrip("\r\n"))
    reader = csv.reader(itertools.chain([header_line], pending), delimiter=delimiter, strict=True)
    offset = first_line - 1
    try:
        header = next(reader, [])
    except csv.Error as error:
        raise InputError(path, first_line, f"not valid CSV: {error}") from None
    columns = [name.strip() for name in header]

    def rows() -> Rows:
        line = reader.line_num + 1 + offset
        try:
            for row in reader:
                start, line = line, reader.line_num + 1 + offset
                if any(cell.strip() for cell in row):
                    yield start, row
        except csv.Error as error:
            raise InputError(path, reader.line_num + offset, f"not valid CSV: {error}") from None

    return columns, first_line, rows()


def read_csv(path: str, lines: Iterable[str], delimiter: str | None = None) -> Parsed:
    columns, header_line, rows = read_rows(path, lines, delimiter)
    seen: set[str] = set()
    for name in columns:
        if name and name.lower() in seen:
            raise InputError(path, header_line, f"the header row names the column '{name}' twice")
        seen.add(name.lower())
    return Parsed(_entries(path, columns, rows), [name for name in columns if name])


def _entries(path: str, columns: list[str], rows: Rows) -> Iterator[Entry]:
    for start, row in rows:
        if len(row) != len(columns):
            raise InputError(path, start, f"{len(row)} cells, but the header names {len(columns)} columns")
        values: dict[str, object] = {name: (cell if cell != "" else None) for name, cell in zip(columns, row) if name}
        yield Entry(Place(path, start), values)
