"""The refsieve command-line tool and the stages it is built from.

``refsieve match SUBJECTS CANDIDATES`` resolves the references in one file
against the records of another; see ``refsieve --help``. A record travels
through the package in the order of its subpackages:

1. :mod:`refsieve_cli.io`: files are read into entries (one module per
   format in :mod:`refsieve_cli.io.formats`);
2. :mod:`refsieve_cli.records`: an entry's fields are mapped onto record
   fields, its values read and made canonical, and the record is kept in
   its side's :class:`~refsieve_cli.records.record.RecordTable`;
3. :mod:`refsieve_cli.engine`: the engine scores the tables, on this
   machine or on a Dask cluster;
4. :mod:`refsieve_cli.commands`: each command turns the engine's results
   into rows, which :mod:`refsieve_cli.io.output` writes.

:mod:`refsieve_cli.cli` is the command line, :mod:`refsieve_cli.defaults`
holds every default, and :func:`match_tables` applies the same stages to
data frames.
"""

from refsieve_cli.cli import main
from refsieve_cli.errors import InputError
from refsieve_cli.frames import match_tables
from refsieve_cli.records.builder import LoadOptions, read_records
from refsieve_cli.records.record import Record, RecordTable

__all__ = ["main", "read_records", "match_tables", "LoadOptions", "Record", "RecordTable", "InputError"]
