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


# Warnings of one kind told in full; the rest of that kind are counted.
WARNINGS_SHOWN_PER_KIND = 5


@dataclass
class Report:
    """Warnings (something was read other than as written) and notes (for information).

    A warning may have a kind ("undefined macro"): of each kind the first
    few are told and the rest counted, so that a file with a thousand of
    one fault tells it in a few lines.
    """

    notes: list[str] = field(default_factory=list)
    _warnings: list[tuple[str | None, str]] = field(default_factory=list)

    def warn(self, message: str, kind: str | None = None) -> None:
        self._warnings.append((kind, message))

    def note(self, message: str) -> None:
        self.notes.append(message)

    @property
    def warnings(self) -> list[str]:
        """The warnings to tell: all those without a kind, the first few of each kind, then a count of the rest."""
        told: list[str] = []
        seen: dict[str, int] = {}
        for kind, message in self._warnings:
            if kind is None:
                told.append(message)
                continue
            seen[kind] = seen.get(kind, 0) + 1
            if seen[kind] <= WARNINGS_SHOWN_PER_KIND:
                told.append(message)
        for kind, count in seen.items():
            if count > WARNINGS_SHOWN_PER_KIND:
                told.append(f"{count - WARNINGS_SHOWN_PER_KIND} more of this kind ({kind}); {count} in all")
        return told


def shown(value: object, width: int = 40) -> str:
    """A value as quoted in a message, cut to ``width`` characters."""
    text = repr(value)
    return text if len(text) <= width else text[: width - 3] + "..."
