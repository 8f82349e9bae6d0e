"""Writing rows: JSON Lines or CSV, into a file that appears only when it is complete.

An output file is written under a temporary name in its own directory and
renamed over the target only when the run has succeeded. An interrupt, an
error or a full disk therefore leave no partial file, and an existing
file keeps its old content. Standard output, and targets that are not
regular files (``/dev/null``, a named pipe), are written directly.
"""

from __future__ import annotations

import contextlib
import csv
import json
import os
import stat
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, Protocol, TextIO


class RowWriter(Protocol):
    def write(self, row: dict[str, Any]) -> None: ...


class JsonLinesWriter:
    def __init__(self, stream: TextIO, columns: Sequence[str]) -> None:
        self.stream = stream
        self.columns = columns

    def write(self, row: dict[str, Any]) -> None:
        self.stream.write(json.dumps({column: row[column] for column in self.columns}, ensure_ascii=False) + "\n")


class CsvWriter:
    def __init__(self, stream: TextIO, columns: Sequence[str]) -> None:
        self.writer = csv.writer(stream, lineterminator="\n")
        self.columns = columns
        self.writer.writerow(columns)

    def write(self, row: dict[str, Any]) -> None:
        self.writer.writerow(row[column] for column in self.columns)


WRITERS: dict[str, Callable[[TextIO, Sequence[str]], RowWriter]] = {"jsonl": JsonLinesWriter, "csv": CsvWriter}


class OutputError(Exception):
    """The output file cannot be created."""


def _new_file_mode() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


@contextlib.contextmanager
def open_output(name: str | None) -> Iterator[TextIO]:
    """A stream for the output; for a file, it is put in place when the block ends without error."""
    if name is None or name == "-":
        yield sys.stdout
        sys.stdout.flush()
        return
    target = Path(name)
    try:
        existing = target.stat()
    except OSError:
        existing = None
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        with _open_direct(target) as stream:
            yield stream
        return
    try:
        handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".part", dir=target.parent)
    except OSError as error:
        raise OutputError(f"{name}: cannot write the file: {error.strerror or error}") from None
    try:
        with os.fdopen(handle, "w", encoding="utf-8", newline="") as stream:
            yield stream
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(temporary, stat.S_IMODE(existing.st_mode) if existing is not None else _new_file_mode())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


@contextlib.contextmanager
def _open_direct(target: Path) -> Iterator[TextIO]:
    try:
        stream = target.open("w", encoding="utf-8", newline="")
    except OSError as error:
        raise OutputError(f"{target}: cannot write the file: {error.strerror or error}") from None
    with stream:
        yield stream
