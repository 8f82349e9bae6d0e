"""Truth files: CSV files of true pairs of record keys, read as any CSV input is.

A truth file has a header row; by default its first two columns hold the
pairs of record keys, and ``columns`` names two others. For ``match`` the
first column holds subject keys and the second candidate keys; for
``dedupe`` the order does not matter.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

from refsieve_cli.errors import InputError
from refsieve_cli.io.formats.csvfile import read_rows
from refsieve_cli.io.sources import Source, text_lines


@dataclass(frozen=True)
class Truth:
    """The true pairs of a truth file, as (first column, second column) keys."""

    pairs: frozenset[tuple[str, str]]
    columns: tuple[str, str]


def read_truth(path: Path | str, columns: tuple[str, str] | None = None, encoding: str = "utf-8") -> Truth:
    """Reads the true pairs; a row with an empty key is an error."""
    source = Source(str(path), "csv", encoding)
    header, header_line, rows = read_rows(source.name, text_lines(source))
    if len(header) < 2:
        raise InputError(source.name, header_line, "expected a header row naming at least two columns of record keys")
    wanted = columns or (header[0], header[1])
    lowered = [name.lower() for name in header]
    missing = next((name for name in wanted if name.lower() not in lowered), None)
    if missing is not None:
        raise InputError(source.name, header_line, f"no column '{missing}' (the header names {', '.join(header)})")
    positions = [lowered.index(name.lower()) for name in wanted]
    pairs = set()
    for line, row in rows:
        try:
            first, second = (row[position].strip() for position in positions)
        except IndexError:
            raise InputError(source.name, line, f"{len(row)} cells, but the header names {len(header)}") from None
        if not first or not second:
            raise InputError(source.name, line, "a true pair needs two record keys")
        pairs.add((first, second))
    return Truth(frozenset(pairs), (header[positions[0]], header[positions[1]]))
