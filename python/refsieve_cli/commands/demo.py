"""``refsieve demo``: ``match`` on the bundled sample references and catalogue."""

from __future__ import annotations

import argparse
from importlib import resources
from pathlib import Path

from refsieve_cli.commands import match


def sample_directory() -> Path:
    """The bundled sample: installed beside this package, or in a source checkout."""
    installed = Path(str(resources.files("refsieve_cli"))) / "sample"
    if installed.is_dir():
        return installed
    return Path(__file__).resolve().parents[3] / "examples" / "sample"


def run(args: argparse.Namespace) -> int:
    sample = sample_directory()
    args.subjects, args.candidates = str(sample / "references.json"), str(sample / "catalogue.json")
    return match.run(args)
