"""A one-line progress bar on a terminal stream."""

from __future__ import annotations

import time
from typing import TextIO

BAR_WIDTH = 30
REDRAW_SECONDS = 0.1


def format_duration(seconds: float) -> str:
    seconds = int(seconds)
    minutes, seconds = divmod(seconds, 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes}:{seconds:02d}"


def render(done: int, total: int, elapsed: float, unit: str) -> str:
    """The bar's text, e.g. ``[#########.....]  300/1000 subjects  30%  0:04 left``."""
    fraction = done / total if total else 1.0
    filled = int(BAR_WIDTH * fraction)
    text = f"[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {done:>{len(str(total))}}/{total} {unit} {fraction:4.0%}"
    if 0 < done < total:
        text += f"  {format_duration(elapsed * (total - done) / done)} left"
    elif done >= total:
        text += f"  {format_duration(elapsed)}"
    return text


class Progress:
    """Redraws itself in place; does nothing when disabled."""

    def __init__(self, total: int, stream: TextIO, enabled: bool, unit: str = "subjects") -> None:
        self.total = total
        self.stream = stream
        self.enabled = enabled
        self.unit = unit
        self.done = 0
        self.started = time.monotonic()
        self.drawn_at = 0.0
        self.width = 0
        self._draw()

    def advance(self, count: int) -> None:
        self.done = min(self.total, self.done + count)
        if self.done >= self.total or time.monotonic() - self.drawn_at >= REDRAW_SECONDS:
            self._draw()

    def close(self) -> None:
        if self.enabled:
            self._draw()
            self.stream.write("\n")
            self.stream.flush()

    def _draw(self) -> None:
        if not self.enabled:
            return
        self.drawn_at = time.monotonic()
        text = render(self.done, self.total, self.drawn_at - self.started, self.unit)
        # Pad over a longer previous line, then return to its start.
        self.stream.write("\r" + text.ljust(self.width))
        self.stream.flush()
        self.width = len(text)
