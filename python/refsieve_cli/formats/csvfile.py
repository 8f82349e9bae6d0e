"""CSV with a header row; the delimiter is given or read off the header row."""

from __future__ import annotations

import csv
import io

from refsieve_cli.errors import InputError
from refsieve_cli.formats.entry import Entry, Parsed, Place

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


def read_csv(path: str, text: str, delimiter: str | None = None) -> Parsed:
    first_line = 1
    header_line, _, rest = text.partition("\n")
    # Spreadsheet programs may write the delimiter as a first line "sep=;".
    if header_line.strip().lower().startswith("sep=") and len(header_line.strip()) == 5:
        delimiter = delimiter or header_line.strip()[4]
        text, first_line = rest, 2
        header_line = rest.partition("\n")[0]
    if delimiter is None:
        delimiter = sniff_delimiter(header_line)
    rows = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter, strict=True)
    entries: list[Entry] = []
    offset = first_line - 1
    try:
        header = next(rows, None)
        if header is None:
            raise InputError(path, first_line, "the file is empty; expected a header row naming the columns")
        columns = [name.strip() for name in header]
        seen: set[str] = set()
        for name in columns:
            if name and name.lower() in seen:
                raise InputError(path, first_line, f"the header row names the column '{name}' twice")
            seen.add(name.lower())
        line = rows.line_num + 1 + offset
        for row in rows:
            start, line = line, rows.line_num + 1 + offset
            if not any(cell.strip() for cell in row):
                continue
            if len(row) != len(columns):
                raise InputError(path, start, f"{len(row)} cells, but the header names {len(columns)} columns")
            values: dict[str, object] = {
                name: (cell if cell != "" else None) for name, cell in zip(columns, row) if name
            }
            entries.append(Entry(Place(path, start), values))
    except csv.Error as error:
        raise InputError(path, rows.line_num + offset, f"not valid CSV: {error}") from None
    return Parsed(entries, [name for name in columns if name])

