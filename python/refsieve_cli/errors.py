"""What goes wrong while reading, and what is worth telling on the way."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path


class InputError(Exception):
    """Malformed input: file, 1-based line, optional field and what is wrong."""

    def __init__(self, path: Path | str, line: int | None, message: str, field: str | None = None) -> None:
        self.path = str(path)
        self.line = line
        self.field = field
        self.message = message
        super().__init__(str(self))

    def __str__(self) -> str:
        where = self.path if self.line is None else f"{self.path}:{self.line}"
        what = self.message if self.field is None else f"field '{self.field}': {self.message}"
        return f"{where}: {what}"


class CommandError(Exception):
    """A user error that ends the command with a one-line message."""


@dataclass
class Report:
    """Warnings (something was read other than as written) and notes (for information)."""

    warnings: list[str] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    def warn(self, message: str) -> None:
        self.warnings.append(message)

    def note(self, message: str) -> None:
        self.notes.append(message)


def shown(value: object, width: int = 40) -> str:
    """A value as quoted in a message, cut to ``width`` characters."""
    text = repr(value)
    return text if len(text) <= width else text[: width - 3] + "..."
