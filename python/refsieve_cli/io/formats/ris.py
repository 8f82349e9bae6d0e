"""RIS, read with rispy; the file's structure is checked here first.

rispy skips text it cannot place and drops a record that has no end tag,
so the lines are checked before it parses them: a file with no record, or
with a record that never ends, is an error rather than fewer records.
"""

from __future__ import annotations

from collections.abc import Iterator

import rispy  # type: ignore[import-untyped]

from refsieve_cli.errors import InputError
from refsieve_cli.io.formats.entry import Entry, Parsed, Place

# The tags of a page range, joined into the first one ("SP" holds "12-25").
PAGE_TAGS = ("SP", "EP")


def _tag(line: str) -> str | None:
    """The tag of a tag line ("TY  - JOUR" has "TY"), as rispy reads it."""
    if line[2:5] == "  -" and line[:2].isupper() and line[:1].isalpha():
        return line[:2]
    return None


def _records(path: str, text: str) -> Iterator[tuple[int, dict[str, int]]]:
    """Each record's first line and the first line of each of its tags."""
    start: int | None = None
    tags: dict[str, int] = {}
    for number, line in enumerate(text.split("\n"), start=1):
        tag = _tag(line)
        if start is None:
            if tag == "TY":
                start, tags = number, {"TY": number}
            elif tag is not None:
                raise InputError(path, number, f"not valid RIS: tag {tag} outside a record (a record starts with 'TY  - ')")
            continue
        if tag == "ER":
            yield start, tags
            start = None
        elif tag == "TY":
            raise InputError(path, start, "not valid RIS: the record has no end line 'ER  - '")
        elif tag is not None:
            tags.setdefault(tag, number)
    if start is not None:
        raise InputError(path, start, "not valid RIS: the record has no end line 'ER  - '")


def read_ris(path: str, text: str) -> Parsed:
    """The records of a RIS file, each field under its tag (``TI``, ``AU`` ...) as the file writes it."""
    located = list(_records(path, text))
    if not located and text.strip():
        raise InputError(path, 1, "not valid RIS: no record found (a record starts with 'TY  - ')")
    parsed = rispy.loads(text)
    if len(parsed) != len(located):
        raise InputError(path, None, f"not valid RIS: found {len(located)} records, but could read {len(parsed)}")
    tags = {name: tag for tag, name in rispy.TAG_KEY_MAPPING.items()}
    return Parsed([_entry(path, start, lines, record, tags) for (start, lines), record in zip(located, parsed)],
                  dialect="ris")


def _entry(path: str, start: int, lines: dict[str, int], record: dict[str, object], tags: dict[str, str]) -> Entry:
    entry = Entry(Place(path, start))
    for name, value in record.items():
        if name == "type_of_reference":
            entry.kind = str(value).strip().lower() or None
        elif name == "unknown_tag" and isinstance(value, dict):
            for tag, tag_values in value.items():
                _put(entry, str(tag), tag_values, lines, start)
        else:
            _put(entry, tags.get(name, name), value, lines, start)
    first, last = (entry.values.pop(tag, None) for tag in PAGE_TAGS)
    if first or last:
        entry.values[PAGE_TAGS[0]] = "-".join(str(part) for part in (first, last) if part)
        entry.places.setdefault(PAGE_TAGS[0], entry.places.get(PAGE_TAGS[1], entry.place))
    return entry


def _put(entry: Entry, tag: str, value: object, lines: dict[str, int], start: int) -> None:
    entry.values[tag] = value
    if tag in lines:
        entry.places[tag] = Place(entry.place.path, lines[tag])
