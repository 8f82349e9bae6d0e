"""JSON Lines (one object per line) and JSON (a list of objects, CSL-JSON included)."""

from __future__ import annotations

import json
from collections.abc import Iterable, Iterator

from refsieve_cli.errors import InputError
from refsieve_cli.io.formats.entry import Entry, Parsed, Place


def read_json_lines(path: str, lines: Iterable[str]) -> Parsed:
    """The records of a JSON Lines file, parsed as its lines are read."""
    return Parsed(_entries(path, _json_lines_items(path, lines)))


def read_json_list(path: str, text: str) -> Parsed:
    return Parsed(_entries(path, _json_list_items(path, text)))


def _entries(path: str, items: Iterator[tuple[int, object]]) -> Iterator[Entry]:
    for line, item in items:
        if not isinstance(item, dict):
            raise InputError(path, line, f"expected a JSON object (a record), got {type(item).__name__}")
        yield Entry(Place(path, line), item)


def _json_lines_items(path: str, lines: Iterable[str]) -> Iterator[tuple[int, object]]:
    for number, line in enumerate(lines, start=1):
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


def _json_list_items(path: str, text: str) -> Iterator[tuple[int, object]]:
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
