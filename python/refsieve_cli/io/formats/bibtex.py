"""BibTeX, split into blocks by bibtexparser; values evaluated here as BibTeX does.

A field's value is an expression: braced or quoted texts, numbers and
macro names, joined with ``#``. Macros come from ``@string`` definitions
(in any file of the group, earlier ones first) and from those that the
standard bibliography styles define: the month names and a few journal
names. An undefined macro reads as nothing and is reported. An entry with
``crossref`` inherits every field it lacks from the entry it names. Values
are then turned from LaTeX into plain text; author lists are split into
names first, since braces decide where one name ends.
"""

from __future__ import annotations

import logging
import re
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from refsieve_cli.errors import InputError, Report, shown
from refsieve_cli.io.formats.entry import Entry, Name, NameList, Parsed, Place
from refsieve_cli.io.markup import latex_to_text, plain_page_range

# Macros that the standard styles (plain, abbrv, alpha, unsrt) define.
STANDARD_MACROS = {
    "jan": "January", "feb": "February", "mar": "March", "apr": "April", "may": "May", "jun": "June",
    "jul": "July", "aug": "August", "sep": "September", "oct": "October", "nov": "November",
    "dec": "December",
    "acmcs": "ACM Computing Surveys",
    "acta": "Acta Informatica",
    "cacm": "Communications of the ACM",
    "ibmjrd": "IBM Journal of Research and Development",
    "ibmsj": "IBM Systems Journal",
    "ieeese": "IEEE Transactions on Software Engineering",
    "ieeetc": "IEEE Transactions on Computers",
    "ieeetcad": "IEEE Transactions on Computer-Aided Design of Integrated Circuits",
    "ipl": "Information Processing Letters",
    "jacm": "Journal of the ACM",
    "jcss": "Journal of Computer and System Sciences",
    "scp": "Science of Computer Programming",
    "sicomp": "SIAM Journal on Computing",
    "tocs": "ACM Transactions on Computer Systems",
    "tods": "ACM Transactions on Database Systems",
    "tog": "ACM Transactions on Graphics",
    "toms": "ACM Transactions on Mathematical Software",
    "toois": "ACM Transactions on Office Information Systems",
    "toplas": "ACM Transactions on Programming Languages and Systems",
    "tcs": "Theoretical Computer Science",
}
# Fields whose values are identifiers, not prose: kept as written.
VERBATIM_FIELDS = frozenset({"doi", "url", "crossref", "eprint", "file"})
NAME_FIELDS = frozenset({"author"})
# Where the citation key goes among an entry's fields.
CITATION_KEY = "citation_key"
_MACRO_NAME = re.compile(r"[^\s\"#%'(),={}0-9][^\s\"#%'(),={}]*")


@dataclass
class _Raw:
    """An entry with its field values evaluated but still in LaTeX."""

    key: str
    kind: str
    place: Place
    fields: dict[str, tuple[str, Place]]


def read_files(files: list[tuple[str, str]], report: Report,
               lookups: Sequence[tuple[str, str]] = ()) -> list[Parsed]:
    """The entries of BibTeX files read as one bibliography, one list per file.

    ``lookups`` are files read first whose ``@string`` definitions and
    entries serve the others (as macros and crossref targets) but give no
    records. Entries that other entries name in ``crossref`` give no
    records either: they are the volumes the works appear in.
    """
    libraries = [(path, _parse(path, text)) for path, text in [*lookups, *files]]
    macros = dict(STANDARD_MACROS)
    for path, library in libraries:
        for block in library.strings:
            place = Place(path, (block.start_line or 0) + 1)
            macros[block.key.lower()] = _evaluate(block.value, macros, place, f"@string {block.key}", report)
    per_file: list[list[_Raw]] = []
    by_key: dict[str, _Raw] = {}
    for path, library in libraries:
        raws = []
        for entry in library.entries:
            raw = _evaluate_entry(path, entry, macros, report)
            earlier = by_key.get(raw.key.lower())
            if earlier is not None:
                raise InputError(path, raw.place.line, f"not valid BibTeX: the key '{raw.key}' is used twice"
                                 f" (first at {earlier.place.path}:{earlier.place.line})")
            by_key[raw.key.lower()] = raw
            raws.append(raw)
        per_file.append(raws)
    targets = set()
    for raws in per_file:
        for raw in raws:
            target = _inherit(raw, by_key, report)
            if target is not None:
                targets.add(target)
    parsed = []
    for (path, _), raws in zip(libraries[len(lookups):], per_file[len(lookups):]):
        records = [raw for raw in raws if raw.key.lower() not in targets]
        dropped = len(raws) - len(records)
        if dropped:
            report.note(f"{path}: {dropped} {'entry' if dropped == 1 else 'entries'} named by crossref (the volumes"
                        f" that works appear in) {'is not a record' if dropped == 1 else 'are not records'}")
        parsed.append(Parsed([_entry(raw) for raw in records]))
    return parsed



def _parse(path: str, text: str) -> Any:
    from bibtexparser.entrypoint import parse_string

    # The parser logs and warns about what it cannot read; that is reported here instead.
    logging.getLogger("bibtexparser").setLevel(logging.CRITICAL)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        library = parse_string(text, parse_stack=[])
    if library.failed_blocks:
        first = min(library.failed_blocks, key=lambda block: block.start_line or 0)
        raise InputError(path, (first.start_line or 0) + 1, f"not valid BibTeX: {_failure_reason(first)}")
    if not library.entries and not library.strings:
        for number, line in enumerate(text.split("\n"), start=1):
            if line.strip() and not line.lstrip().startswith("%"):
                raise InputError(path, number, "not valid BibTeX: no entries (such as @article{key, ...}) in the file")
    return library


def _failure_reason(block: object) -> str:
    error = getattr(block, "error", None)
    reason = getattr(error, "abort_reason", None) or str(error or "")
    lines = [line.strip() for line in reason.splitlines() if line.strip()]
    return " ".join(lines) if lines else "cannot parse this entry"


def _evaluate_entry(path: str, entry: Any, macros: dict[str, str], report: Report) -> _Raw:
    place = Place(path, (entry.start_line or 0) + 1)
    fields: dict[str, tuple[str, Place]] = {}
    for field in entry.fields:
        field_place = Place(path, (field.start_line if field.start_line is not None else place.line - 1) + 1)
        fields[field.key] = (_evaluate(field.value, macros, field_place, field.key, report), field_place)
    return _Raw(entry.key, entry.entry_type.lower(), place, fields)


def _parts(expression: str) -> list[str]:
    """The operands of a ``#`` concatenation, outside braces and quotes."""
    parts, depth, quoted, start = [], 0, False, 0
    for at, char in enumerate(expression):
        if char == "{":
            depth += 1
        elif char == "}":
            depth -= 1
        elif char == '"' and depth == 0:
            quoted = not quoted
        elif char == "#" and depth == 0 and not quoted:
            parts.append(expression[start:at])
            start = at + 1
    parts.append(expression[start:])
    return [part.strip() for part in parts]


def _evaluate(expression: str, macros: dict[str, str], place: Place, field: str, report: Report) -> str:
    pieces = []
    for part in _parts(expression):
        if len(part) >= 2 and (part[0], part[-1]) in (("{", "}"), ('"', '"')):
            pieces.append(part[1:-1])
        elif part.isdigit():
            pieces.append(part)
        elif not part:
            raise InputError(place.path, place.line, "not valid BibTeX: '#' with nothing to join on one side", field)
        elif _MACRO_NAME.fullmatch(part):
            value = macros.get(part.lower())
            if value is None:
                report.warn(f"{place.path}:{place.line}: field '{field}': undefined macro {shown(part)} read as empty",
                            "undefined macro")
                value = ""
            pieces.append(value)
        else:
            raise InputError(place.path, place.line, f"not valid BibTeX: cannot read the value {shown(part)}", field)
    return "".join(pieces)


def _inherit(raw: _Raw, by_key: dict[str, _Raw], report: Report) -> str | None:
    """Gives raw every field it lacks from the entry its crossref names; that entry's key (lower case)."""
    crossref = next((value for name, value in raw.fields.items() if name.lower() == "crossref"), None)
    if crossref is None:
        return None
    target_key, place = crossref[0].strip(), crossref[1]
    target = by_key.get(target_key.lower())
    if target is None:
        report.warn(f"{place.path}:{place.line}: crossref {shown(target_key)} names no entry; nothing inherited",
                    "crossref naming no entry")
        return None
    have = {name.lower() for name in raw.fields}
    for name, value in target.fields.items():
        if name.lower() not in have and name.lower() != "crossref":
            raw.fields[name] = value
    return target_key.lower()


def _entry(raw: _Raw) -> Entry:
    entry = Entry(raw.place, {CITATION_KEY: raw.key}, kind=raw.kind)
    for name, (value, place) in raw.fields.items():
        lower = name.lower()
        if lower == "crossref":
            continue  # already followed
        decoded: object
        if lower in VERBATIM_FIELDS:
            decoded = value.strip()
        elif lower in NAME_FIELDS:
            decoded = _names(value)
        else:
            decoded = " ".join(latex_to_text(value).split())
            if lower == "pages":
                decoded = plain_page_range(decoded)
        entry.values[name] = decoded
        entry.places[name] = place
    return entry


def _names(value: str) -> NameList:
    names = []
    # A generation suffix ("Jr") does not tell people apart here, so it is left out.
    for first, von, last, _suffix in split_bibtex_names(value):
        family = " ".join(part for part in (latex_to_text(von), latex_to_text(last)) if part.strip())
        names.append(Name(given=" ".join(latex_to_text(first).split()), family=" ".join(family.split())))
    return NameList(" ".join(latex_to_text(value).split()), tuple(names))


# --- names -------------------------------------------------------------------


def _split_top_level(text: str, separator: re.Pattern[str]) -> list[str]:
    """Splits at matches of ``separator`` that are outside braces."""
    parts, depth, start, at = [], 0, 0, 0
    while at < len(text):
        char = text[at]
        if char == "{":
            depth += 1
        elif char == "}":
            depth = max(0, depth - 1)
        elif depth == 0:
            found = separator.match(text, at)
            if found is not None and found.end() > at:
                parts.append(text[start:at])
                start = at = found.end()
                continue
        at += 1
    parts.append(text[start:])
    return parts


_BIBTEX_AND = re.compile(r"\s+and\s+", re.IGNORECASE)
_COMMA = re.compile(r",")
_SPACE = re.compile(r"\s+")


def _starts_lower(word: str) -> bool:
    """BibTeX's "von" test: the first letter outside braces is lower case."""
    depth = 0
    for char in word:
        if char == "{":
            depth += 1
        elif char == "}":
            depth = max(0, depth - 1)
        elif depth == 0 and char.isalpha():
            return char.islower()
    return False


def split_bibtex_name(text: str) -> tuple[str, str, str, str] | None:
    """A BibTeX name as (first, von, last, jr), still in BibTeX markup.

    Reads "First von Last", "von Last, First" and "von Last, Jr, First";
    None for an empty name or "others".
    """
    text = text.strip()
    if not text or text.lower() == "others":
        return None
    parts = [part.strip() for part in _split_top_level(text, _COMMA)]
    if len(parts) == 1:
        words = [w for w in _split_top_level(parts[0], _SPACE) if w]
        lower = [i for i, word in enumerate(words[:-1]) if _starts_lower(word)]
        if lower:
            first, von, last = words[: lower[0]], words[lower[0] : lower[-1] + 1], words[lower[-1] + 1 :]
        else:
            first, von, last = words[:-1], [], words[-1:]
        return " ".join(first), " ".join(von), " ".join(last), ""
    before = [w for w in _split_top_level(parts[0], _SPACE) if w]
    lower = [i for i, word in enumerate(before[:-1]) if _starts_lower(word)]
    von_words, last_words = (before[: lower[-1] + 1], before[lower[-1] + 1 :]) if lower else ([], before)
    suffix, given = (parts[1], ", ".join(parts[2:])) if len(parts) >= 3 else ("", parts[1])
    return given, " ".join(von_words), " ".join(last_words), suffix


def split_bibtex_names(text: str) -> list[tuple[str, str, str, str]]:
    """The names of a BibTeX ``author`` field, split at top-level "and"."""
    names = []
    for part in _split_top_level(" ".join(text.split()), _BIBTEX_AND):
        name = split_bibtex_name(part)
        if name is not None:
            names.append(name)
    return names
