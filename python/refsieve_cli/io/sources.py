"""Input files: which format each is in, and its text, decoded once, with a UTF-8 byte-order mark skipped.

Line-based formats (JSON Lines, CSV) read their lines as they go, so that a
large file is never held whole; the others take the whole text.
"""

from __future__ import annotations

import codecs
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO

from refsieve_cli.errors import InputError

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
_BOM = codecs.BOM_UTF8


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
        raise InputError(STDIN_NAME, None,
                         f"standard input has no file name to tell its format: give {source.option('format')}")
    suffix = Path(source.path).suffix.lower()
    found = EXTENSIONS.get(suffix)
    if found is None:
        known = ", ".join(sorted(EXTENSIONS))
        raise InputError(source.path, None,
                         f"unknown file type '{suffix}' (use one of {known}, or {source.option('format')})")
    return found


def _skips_bom(encoding: str) -> bool:
    return codecs.lookup(encoding).name in ("utf-8", "utf-8-sig")


def _open(source: Source) -> BinaryIO:
    if source.path == STDIN:
        return sys.stdin.buffer
    try:
        return open(source.path, "rb")
    except OSError as error:
        raise InputError(source.name, None, f"cannot read the file: {error.strerror or error}") from None


def _not_text(source: Source, line: int) -> InputError:
    return InputError(source.name, line,
                      f"the file is not valid {source.encoding} text (see {source.option('encoding')})")


def read_text(source: Source) -> str:
    """The whole decoded text of a source."""
    stream = _open(source)
    try:
        data = stream.read()
    except OSError as error:
        raise InputError(source.name, None, f"cannot read the file: {error.strerror or error}") from None
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()
    if data.startswith(_BOM) and _skips_bom(source.encoding):
        data = data[len(_BOM):]
    try:
        return data.decode(source.encoding)
    except UnicodeDecodeError as error:
        raise _not_text(source, data.count(b"\n", 0, error.start) + 1) from None


def text_lines(source: Source) -> Iterator[str]:
    """The decoded lines of a source, each with its line end, read as they are needed.

    Encodings in which a line feed is not the byte 0x0a (UTF-16, say) are
    decoded whole first.
    """
    if "\n".encode(source.encoding) != b"\n":
        yield from read_text(source).splitlines(keepends=True)
        return
    stream = _open(source)
    try:
        for number, raw in enumerate(stream, start=1):
            if number == 1 and raw.startswith(_BOM) and _skips_bom(source.encoding):
                raw = raw[len(_BOM):]
            try:
                yield raw.decode(source.encoding)
            except UnicodeDecodeError:
                raise _not_text(source, number) from None
    except OSError as error:
        raise InputError(source.name, None, f"cannot read the file: {error.strerror or error}") from None
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()
