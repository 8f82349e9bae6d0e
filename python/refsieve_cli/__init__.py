"""The refsieve command-line tool and its file readers.

``refsieve match SUBJECTS CANDIDATES`` resolves the references in one file
against the records of another; see ``refsieve --help``. The readers in
:mod:`refsieve_cli.readers` turn JSON Lines, JSON, CSV and BibTeX files into
the records that ``refsieve.score_batch`` takes.
"""

from refsieve_cli.cli import main
from refsieve_cli.readers import InputError, Records, read_records

__all__ = ["main", "read_records", "Records", "InputError"]
