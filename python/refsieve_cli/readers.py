"""Reading files into entries, with one module per format in :mod:`refsieve_cli.formats`.

A reader turns the text of one file into entries, one per record, holding
the record's fields under the names the file gives them (mapping those
names onto record fields is the next stage's job). Formats:

| name | extensions | module |
| --- | --- | --- |
| ``jsonl`` | ``.jsonl``, ``.ndjson`` | :mod:`refsieve_cli.formats.jsonfile` |
| ``json`` (CSL-JSON too) | ``.json`` | :mod:`refsieve_cli.formats.jsonfile` |
| ``csv`` | ``.csv``, ``.tsv`` | :mod:`refsieve_cli.formats.csvfile` |
| ``bibtex`` | ``.bib``, ``.bibtex`` | :mod:`refsieve_cli.formats.bibtex` |
| ``ris`` | ``.ris`` | :mod:`refsieve_cli.formats.ris` |

Malformed input raises :class:`~refsieve_cli.errors.InputError`, which
names the file, the line and, where there is one, the field.
"""

from __future__ import annotations

import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from refsieve_cli.errors import InputError, Report
from refsieve_cli.formats import bibtex, csvfile, jsonfile, ris
from refsieve_cli.formats.entry import Entry, Parsed, Place

__all__ = ["Entry", "Parsed", "Place", "Source", "FORMATS", "EXTENSIONS", "read_sources", "format_of",
           "InputError", "read_records"]

if TYPE_CHECKING:
    from refsieve_cli.load import Records

STDIN = "-"
STDIN_NAME = "<stdin>"

FORMATS = ("jsonl", "json", "csv", "bibtex", "ris")
EXTENSIONS = {
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
    ".json": "json",
    ".csv": "csv",
    ".tsv": "csv",
    ".bib": "bibtex",
    ".bibtex": "bibtex",
    ".ris": "ris",
}


@dataclass(frozen=True)
class Source:
    """One input: a file (or ``-`` for standard input) and how to read it."""

    path: str
    format: str | None = None
    encoding: str = "utf-8"
    delimiter: str | None = None
    # "subjects" or "candidates" in the command: messages name that side's options.
    side: str | None = None

    @property
    def name(self) -> str:
        return STDIN_NAME if self.path == STDIN else self.path

    def option(self, what: str) -> str:
        """The command-line option that sets ``what`` ("format", "encoding") for this input."""
        return f"--{self.side}-{what}" if self.side else f"--{what}"


def format_of(source: Source) -> str:
    if source.format is not None:
        return source.format
    if source.path == STDIN:
        raise InputError(STDIN_NAME, None, f"standard input has no file name to tell its format: give {source.option('format')}")
    suffix = Path(source.path).suffix.lower()
    found = EXTENSIONS.get(suffix)
    if found is None:
        known = ", ".join(sorted(EXTENSIONS))
        raise InputError(source.path, None, f"unknown file type '{suffix}' (use one of {known}, or {source.option('format')})")
    return found


def read_sources(sources: Sequence[Source], report: Report) -> list[tuple[Source, Parsed]]:
    """The entries of each source, in order.

    BibTeX sources are read together, so that ``@string`` definitions and
    ``crossref`` targets in one of them serve the others.
    """
    formats = [format_of(source) for source in sources]
    texts = [read_text(source) for source in sources]
    bibtex_files = [(source.name, text) for source, fmt, text in zip(sources, formats, texts) if fmt == "bibtex"]
    bibtex_entries = iter(bibtex.read_files(bibtex_files, report) if bibtex_files else [])
    result = []
    for source, fmt, text in zip(sources, formats, texts):
        if fmt == "bibtex":
            parsed = next(bibtex_entries)
        else:
            parsed = _READERS[fmt](source, text)
        result.append((source, parsed))
    return result


def read_text(source: Source) -> str:
    """The decoded text of a source; a UTF-8 byte-order mark is skipped."""
    try:
        data = sys.stdin.buffer.read() if source.path == STDIN else Path(source.path).read_bytes()
    except OSError as error:
        raise InputError(source.name, None, f"cannot read the file: {error.strerror or error}") from None
    if data.startswith(b"\xef\xbb\xbf") and source.encoding.lower().replace("-", "").replace("_", "") in ("utf8", "utf8sig"):
        data = data[3:]
    try:
        return data.decode(source.encoding)
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise InputError(source.name, line, f"the file is not valid {source.encoding} text (see {source.option('encoding')})") from None


_READERS: dict[str, Callable[[Source, str], Parsed]] = {
    "jsonl": lambda source, text: jsonfile.read_json_lines(source.name, text),
    "json": lambda source, text: jsonfile.read_json_list(source.name, text),
    "csv": lambda source, text: csvfile.read_csv(source.name, text, source.delimiter),
    "ris": lambda source, text: ris.read_ris(source.name, text),
}


def read_records(path: Path | str, encoding: str = "utf-8") -> Records:
    """The records of one file, read as ``refsieve match`` reads them (see :mod:`refsieve_cli.load`)."""
    from refsieve_cli.load import read_records as load_records

    return load_records(path, encoding)
