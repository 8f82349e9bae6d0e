"""The refsieve command-line tool and the stages it is built from.

``refsieve match SUBJECTS CANDIDATES`` resolves the references in one file
against the records of another; see ``refsieve --help``. The stages:
:mod:`refsieve_cli.readers` (with one module per file format in
:mod:`refsieve_cli.formats`),
:mod:`refsieve_cli.fields` (field mapping), :mod:`refsieve_cli.canonical`
and :mod:`refsieve_cli.values` (canonical and lenient values),
:mod:`refsieve_cli.load` (one side from files to records),
:mod:`refsieve_cli.scoring` (bounded calls of ``refsieve.score_batch``) and
:mod:`refsieve_cli.output` (rows written safely). :func:`match_tables`
applies the same stages to data frames.
"""

from refsieve_cli.cli import main
from refsieve_cli.errors import InputError
from refsieve_cli.frames import match_tables
from refsieve_cli.load import LoadOptions, Records, read_records

__all__ = ["main", "read_records", "match_tables", "LoadOptions", "Records", "InputError"]
