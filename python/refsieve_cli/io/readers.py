"""Reading files into entries, with one module per format in :mod:`refsieve_cli.io.formats`.

A reader turns the text of one file into entries, one per record, holding
the record's fields under the names the file gives them (mapping those
names onto record fields is the next stage's job, in
:mod:`refsieve_cli.records.fields`). Formats:

| name | extensions | module |
| --- | --- | --- |
| ``jsonl`` | ``.jsonl``, ``.ndjson`` | :mod:`refsieve_cli.io.formats.jsonfile` |
| ``json`` (CSL-JSON too) | ``.json`` | :mod:`refsieve_cli.io.formats.jsonfile` |
| ``csv`` | ``.csv``, ``.tsv`` | :mod:`refsieve_cli.io.formats.csvfile` |
| ``bibtex`` | ``.bib``, ``.bibtex`` | :mod:`refsieve_cli.io.formats.bibtex` |
| ``ris`` | ``.ris`` | :mod:`refsieve_cli.io.formats.ris` |

JSON Lines and CSV entries are read as they are consumed. Malformed input
raises :class:`~refsieve_cli.errors.InputError`, which names the file, the
line and, where there is one, the field.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence

from refsieve_cli.errors import InputError, Report
from refsieve_cli.io.formats import bibtex, csvfile, jsonfile, ris
from refsieve_cli.io.formats.entry import Parsed
from refsieve_cli.io.sources import Source, format_of, read_text, text_lines

_READERS: dict[str, Callable[[Source], Parsed]] = {
    "jsonl": lambda source: jsonfile.read_json_lines(source.name, text_lines(source)),
    "json": lambda source: jsonfile.read_json_list(source.name, read_text(source)),
    "csv": lambda source: csvfile.read_csv(source.name, text_lines(source), source.delimiter),
    "ris": lambda source: ris.read_ris(source.name, read_text(source)),
}


def read_sources(sources: Sequence[Source], report: Report,
                 lookups: Sequence[Source] = ()) -> list[tuple[Source, Parsed]]:
    """The entries of each source, in order.

    BibTeX sources are read together, so that ``@string`` definitions and
    ``crossref`` targets in one of them serve the others; ``lookups`` are
    BibTeX files that serve them so without giving records of their own.
    """
    formats = [format_of(source) for source in sources]
    for lookup in lookups:
        if format_of(lookup) != "bibtex":
            raise InputError(lookup.name, None, "--lookup reads BibTeX files (of @string definitions and crossref"
                             " targets)")
    bibtex_files = [(source.name, read_text(source)) for source, fmt in zip(sources, formats) if fmt == "bibtex"]
    lookup_files = [(lookup.name, read_text(lookup)) for lookup in lookups] if bibtex_files else []
    bibtex_entries = iter(bibtex.read_files(bibtex_files, report, lookup_files) if bibtex_files else [])
    return [(source, next(bibtex_entries) if fmt == "bibtex" else _READERS[fmt](source))
            for source, fmt in zip(sources, formats)]
