"""RIS, read with rispy; the file's structure is checked here first.

rispy skips text it cannot place and drops a record that has no end tag,
so the lines are checked before it parses them: a file with no record, or
with a record that never ends, is an error rather than fewer records.
"""

from __future__ import annotations

from collections.abc import Iterator

import rispy  # type: ignore[import-untyped]

from refsieve_cli.errors import InputError
from refsieve_cli.formats.entry import Entry, Parsed, Place

# Record fields and the RIS tags that carry them, first found wins.
TAGS: dict[str, tuple[str, ...]] = {
    "key": ("ID",),
    "title": ("TI", "T1"),
    "author": ("AU", "A1"),
    "year": ("PY", "Y1", "DA"),
    "doi": ("DO",),
    "journal": ("T2", "JO", "JF", "JA", "J2"),
    "volume": ("VL",),
    "number": ("IS",),
    "publisher": ("PB",),
}
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
    located = list(_records(path, text))
    if not located and text.strip():
        raise InputError(path, 1, "not valid RIS: no record found (a record starts with 'TY  - ')")
    parsed = rispy.loads(text)
    if len(parsed) != len(located):
        raise InputError(path, None, f"not valid RIS: found {len(located)} records, but could read {len(parsed)}")
    names = dict(rispy.TAG_KEY_MAPPING)
    entries = []
    for (start, lines), record in zip(located, parsed):
        entries.append(_entry(path, start, lines, record, names))
    return Parsed(entries)


def _entry(path: str, start: int, lines: dict[str, int], record: dict[str, object], names: dict[str, str]) -> Entry:
    entry = Entry(Place(path, start))
    used: set[str] = set()
    for field, tags in TAGS.items():
        for tag in tags:
            value = record.get(names[tag])
            used.add(names[tag])
            if value not in (None, "", []) and field not in entry.values:
                entry.values[field] = value
                entry.places[field] = Place(path, lines.get(tag, start))
    first, last = (record.get(names[tag]) for tag in PAGE_TAGS)
    used.update(names[tag] for tag in PAGE_TAGS)
    if first or last:
        entry.values["pages"] = "-".join(str(part) for part in (first, last) if part)
        entry.places["pages"] = Place(path, lines.get("SP", lines.get("EP", start)))
    # Other fields keep their tags as names, as the file shows them ("AB", "KW").
    tag_of = {name: tag for tag, name in names.items()}
    for name, value in record.items():
        if name == "unknown_tag" and isinstance(value, dict):
            for tag, tag_values in value.items():
                entry.values[str(tag)] = tag_values
                entry.places[str(tag)] = Place(path, lines.get(str(tag), start))
        elif name not in used and name != "type_of_reference":
            tag = tag_of.get(name, name)
            entry.values[tag] = value
            entry.places[tag] = Place(path, lines.get(tag, start))
    return entry
