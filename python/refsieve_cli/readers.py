"""Reading reference files into refsieve records.

Four formats, chosen by file extension: JSON Lines (``.jsonl``, ``.ndjson``),
a JSON list (``.json``), CSV with a header row (``.csv``) and BibTeX
(``.bib``). Every record gets the ten keys that ``score_batch`` needs; a
missing ``index`` becomes the record's position in the file (from 0), a
missing title or author the empty text and any other missing field None.
An optional ``key`` (the citation key in BibTeX) is kept beside the record
as its readable identifier.

Anything malformed raises :class:`InputError`, which names the file, the
line and, where there is one, the field.
"""

from __future__ import annotations

import csv
import io
import json
import logging
import re
import warnings
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from refsieve import Record

RECORD_FIELDS = ("index", "title", "author", "year", "doi", "journal", "volume", "number", "pages", "publisher")
OPTIONAL_TEXT_FIELDS = ("doi", "journal", "volume", "number", "pages", "publisher")
# Fields that files often hold as bare numbers.
NUMBER_LIKE_FIELDS = frozenset({"volume", "number", "pages"})

INDEX_LIMIT = 2**64
YEAR_MIN, YEAR_MAX = -(2**31), 2**31 - 1
_INTEGER = re.compile(r"[+-]?[0-9]+")


class InputError(Exception):
    """Malformed input: file, 1-based line, optional field and what is wrong."""

    def __init__(self, path: Path | str, line: int | None, message: str, field: str | None = None) -> None:
        self.path = str(path)
        self.line = line
        self.field = field
        self.message = message
        super().__init__(str(self))

    def __str__(self) -> str:
        where = self.path if self.line is None else f"{self.path}:{self.line}"
        what = self.message if self.field is None else f"field '{self.field}': {self.message}"
        return f"{where}: {what}"


@dataclass
class Records:
    """The records of one file, in file order, with their keys beside them."""

    records: list[Record] = field(default_factory=list)
    keys: list[str | None] = field(default_factory=list)

    def __len__(self) -> int:
        return len(self.records)


def read_records(path: Path | str, encoding: str = "utf-8") -> Records:
    """Reads the records of one file; the extension says which format it is."""
    path = Path(path)
    reader = _READERS.get(path.suffix.lower())
    if reader is None:
        known = ", ".join(sorted(_READERS))
        raise InputError(path, None, f"unknown file type '{path.suffix}' (use one of {known})")
    return reader(path, _read_text(path, encoding))


# --- values ---------------------------------------------------------------


def _shown(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _integer(value: object) -> int | None:
    """An int given as a JSON number or as decimal digits; None otherwise."""
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    if isinstance(value, str) and _INTEGER.fullmatch(value.strip()):
        return int(value.strip())
    return None


def _is_blank(value: object) -> bool:
    return value is None or (isinstance(value, str) and value.strip() == "")


def _index(value: object, position: int) -> int:
    if _is_blank(value):
        return position
    number = _integer(value)
    if number is None or not 0 <= number < INDEX_LIMIT:
        raise ValueError(f"expected a whole number from 0 to 2**64 - 1, got {_shown(value)}")
    return number


def _year(value: object) -> int | None:
    if _is_blank(value):
        return None
    number = _integer(value)
    if number is None:
        raise ValueError(f"expected a year as a whole number, got {_shown(value)}")
    if not YEAR_MIN <= number <= YEAR_MAX:
        raise ValueError(f"year {number} is out of range (-2**31 to 2**31 - 1)")
    return number


def _text(value: object, name: str) -> str | None:
    if value is None or isinstance(value, str):
        if value is not None and not value.isascii():
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError("text is not valid Unicode (a lone surrogate)") from None
        return value
    if name in NUMBER_LIKE_FIELDS and isinstance(value, int) and not isinstance(value, bool):
        return str(value)
    raise ValueError(f"expected text, got {_shown(value)}")


def _to_record(
    values: Mapping[str, object], position: int, field_line: Callable[[str], int], path: Path
) -> tuple[Record, str | None]:
    """Builds one record from raw values; errors name the field's line."""
    current = "index"
    try:
        index = _index(values.get("index"), position)
        current = "title"
        title = _text(values.get("title"), "title") or ""
        current = "author"
        author = _text(values.get("author"), "author") or ""
        current = "year"
        year = _year(values.get("year"))
        optional: dict[str, str | None] = {}
        for current in OPTIONAL_TEXT_FIELDS:
            optional[current] = _text(values.get(current), current)
        current = "key"
        key = _text(values.get("key"), "key")
    except ValueError as error:
        raise InputError(path, field_line(current), str(error), current) from None
    record: Record = {
        "index": index,
        "title": title,
        "author": author,
        "year": year,
        "doi": optional["doi"],
        "journal": optional["journal"],
        "volume": optional["volume"],
        "number": optional["number"],
        "pages": optional["pages"],
        "publisher": optional["publisher"],
    }
    return record, key


# --- files ----------------------------------------------------------------


def _read_text(path: Path, encoding: str) -> str:
    try:
        data = path.read_bytes()
    except OSError as error:
        raise InputError(path, None, f"cannot read the file: {error.strerror or error}") from None
    if data.startswith(b"\xef\xbb\xbf") and encoding.lower().replace("-", "").replace("_", "") == "utf8":
        data = data[3:]
    try:
        return data.decode(encoding)
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise InputError(path, line, f"the file is not valid {encoding} text (see --encoding)") from None


def _from_mappings(path: Path, items: Iterator[tuple[int, object]]) -> Records:
    result = Records()
    for position, (line, item) in enumerate(items):
        if not isinstance(item, dict):
            raise InputError(path, line, f"expected a JSON object (a record), got {type(item).__name__}")
        record, key = _to_record(item, position, lambda _field: line, path)
        result.records.append(record)
        result.keys.append(key)
    return result


def _json_lines_items(path: Path, text: str) -> Iterator[tuple[int, object]]:
    for number, line in enumerate(text.split("\n"), start=1):
        if not line.strip():
            continue
        try:
            yield number, json.loads(line)
        except json.JSONDecodeError as error:
            raise InputError(path, number, f"not valid JSON: {error.msg} (column {error.colno})") from None


def _skip_space(text: str, at: int) -> int:
    while at < len(text) and text[at] in " \t\r\n":
        at += 1
    return at


def _json_list_items(path: Path, text: str) -> Iterator[tuple[int, object]]:
    """The elements of a top-level JSON list, each with the line it starts on."""
    decoder = json.JSONDecoder()
    line, counted = 1, 0

    def line_at(at: int) -> int:
        nonlocal line, counted
        line += text.count("\n", counted, at)
        counted = at
        return line

    at = _skip_space(text, 0)
    if not text.startswith("[", at):
        raise InputError(path, line_at(at), "expected a JSON list of records")
    at = _skip_space(text, at + 1)
    if text.startswith("]", at):
        at = _skip_space(text, at + 1)
    else:
        while True:
            try:
                item, end = decoder.raw_decode(text, at)
            except json.JSONDecodeError as error:
                raise InputError(path, error.lineno, f"not valid JSON: {error.msg} (column {error.colno})") from None
            yield line_at(at), item
            at = _skip_space(text, end)
            if text.startswith(",", at):
                at = _skip_space(text, at + 1)
            elif text.startswith("]", at):
                at = _skip_space(text, at + 1)
                break
            else:
                raise InputError(path, line_at(at), "not valid JSON: expected ',' or ']' after a record")
    if at != len(text):
        raise InputError(path, line_at(at), "not valid JSON: extra data after the list")


def _read_json_lines(path: Path, text: str) -> Records:
    return _from_mappings(path, _json_lines_items(path, text))


def _read_json_list(path: Path, text: str) -> Records:
    return _from_mappings(path, _json_list_items(path, text))


def _read_csv(path: Path, text: str) -> Records:
    rows = csv.reader(io.StringIO(text, newline=""), strict=True)
    result = Records()
    try:
        header = next(rows, None)
        if header is None:
            raise InputError(path, 1, "the file is empty; expected a header row naming the columns")
        columns = [name.strip().lower() for name in header]
        if "title" not in columns:
            raise InputError(path, 1, "the header row has no 'title' column", "title")
        line = rows.line_num + 1
        for row in rows:
            start, line = line, rows.line_num + 1
            if not any(cell.strip() for cell in row):
                continue
            if len(row) != len(columns):
                raise InputError(path, start, f"{len(row)} cells, but the header names {len(columns)} columns")
            values = {name: (cell if cell != "" else None) for name, cell in zip(columns, row)}
            record, key = _to_record(values, len(result), lambda _field: start, path)
            result.records.append(record)
            result.keys.append(key)
    except csv.Error as error:
        raise InputError(path, rows.line_num, f"not valid CSV: {error}") from None
    return result


# BibTeX field names that carry each record field, first found wins.
BIBTEX_FIELDS: dict[str, tuple[str, ...]] = {
    "index": ("index",),
    "title": ("title",),
    "author": ("author",),
    "year": ("year",),
    "doi": ("doi",),
    "journal": ("journal", "journaltitle", "booktitle"),
    "volume": ("volume",),
    "number": ("number", "issue"),
    "pages": ("pages",),
    "publisher": ("publisher",),
}
# Page ranges are written with an en dash ("--" in BibTeX); other formats use "-".
_PAGE_DASH = re.compile(r"\s*(?:--|\u2013)\s*")


def _failure_reason(block: object) -> str:
    error = getattr(block, "error", None)
    reason = getattr(error, "abort_reason", None) or str(error or "")
    lines = [line.strip() for line in reason.splitlines() if line.strip()]
    return " ".join(lines) if lines else "cannot parse this entry"


def _read_bibtex(path: Path, text: str) -> Records:
    from bibtexparser.entrypoint import parse_string
    from bibtexparser.middlewares import LatexDecodingMiddleware

    # The parser logs and warns about what it cannot read; we report it ourselves.
    logging.getLogger("bibtexparser").setLevel(logging.CRITICAL)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        library = parse_string(text)
        if library.failed_blocks:
            first = min(library.failed_blocks, key=lambda block: block.start_line or 0)
            raise InputError(path, (first.start_line or 0) + 1, f"not valid BibTeX: {_failure_reason(first)}")
        raw_dois = [next((f.value for f in entry.fields if f.key.lower() == "doi"), None) for entry in library.entries]
        library = LatexDecodingMiddleware().transform(library)

    result = Records()
    for position, entry in enumerate(library.entries):
        fields = {f.key.lower(): f for f in entry.fields}
        values: dict[str, object] = {"key": entry.key}
        lines: dict[str, int] = {}
        for name, sources in BIBTEX_FIELDS.items():
            found = next((fields[source] for source in sources if source in fields), None)
            if found is not None:
                values[name] = found.value
                lines[name] = (found.start_line or entry.start_line or 0) + 1
        if raw_dois[position] is not None:
            # DOIs are compared byte for byte: keep them as written, not LaTeX-decoded.
            values["doi"] = raw_dois[position]
        if isinstance(values.get("pages"), str):
            values["pages"] = _PAGE_DASH.sub("-", str(values["pages"]))
        if isinstance(values.get("author"), str):
            values["author"] = " ".join(str(values["author"]).split())
        entry_line = (entry.start_line or 0) + 1
        record, key = _to_record(values, position, lambda name: lines.get(name, entry_line), path)
        result.records.append(record)
        result.keys.append(key)
    return result


_READERS: dict[str, Callable[[Path, str], Records]] = {
    ".jsonl": _read_json_lines,
    ".ndjson": _read_json_lines,
    ".json": _read_json_list,
    ".csv": _read_csv,
    ".bib": _read_bibtex,
}
