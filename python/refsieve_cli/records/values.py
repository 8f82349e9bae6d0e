"""Reading one field's value as the type the record needs.

Each function returns the value or raises ValueError with a message that
says what was expected. Years are read leniently: ``2019a``, ``1970.0`` and
a date such as ``2019-05-01`` or ``May 2019`` are the year 2019, 1970 and
2019; a CSL-JSON date object gives its first year.
"""

from __future__ import annotations

import datetime
import math
import numbers
import re
from collections.abc import Mapping

from refsieve_cli.errors import shown

INDEX_LIMIT = 2**64
YEAR_MIN, YEAR_MAX = -(2**31), 2**31 - 1
_INTEGER = re.compile(r"[+-]?[0-9]+")
# A whole number written as a decimal, as spreadsheets and data frames write years ("1970.0").
_WHOLE_DECIMAL = re.compile(r"[+-]?[0-9]+\.0*")
# Four digits standing alone, or before letters ("2019a"), inside a longer text.
_FOUR_DIGITS = re.compile(r"(?<![0-9])[0-9]{4}(?![0-9])")


def is_blank(value: object) -> bool:
    """None, a text of only white space, NaN (a data frame's missing value), or an empty list."""
    if value is None:
        return True
    if isinstance(value, str):
        return not value.strip()
    if isinstance(value, float):
        return math.isnan(value)
    if isinstance(value, (list, tuple, dict)):
        return not value
    return _is_missing_marker(value)


def _is_missing_marker(value: object) -> bool:
    # pandas' NA and NaT are missing values too; they are recognised by name
    # so that pandas need not be imported.
    return type(value).__name__ in ("NAType", "NaTType")


def _whole_number(value: object) -> int | None:
    """An int given as an integer, an integral float, or the text of either."""
    if isinstance(value, bool):
        return None
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, float) and value.is_integer():
        return int(value)
    if isinstance(value, str):
        text = value.strip()
        if _INTEGER.fullmatch(text) or _WHOLE_DECIMAL.fullmatch(text):
            return int(text.split(".")[0])
    return None


def read_index(value: object, position: int) -> int:
    if is_blank(value):
        return position
    number = _whole_number(value)
    if number is None or not 0 <= number < INDEX_LIMIT:
        raise ValueError(f"expected a whole number from 0 to 2**64 - 1, got {shown(value)}")
    return number


def read_year(value: object) -> int | None:
    if is_blank(value):
        return None
    number = _whole_number(value)
    if number is None:
        number = _year_in(value)
    if number is None:
        raise ValueError(f"expected a year, got {shown(value)}")
    if not YEAR_MIN <= number <= YEAR_MAX:
        raise ValueError(f"year {number} is out of range (-2**31 to 2**31 - 1)")
    return number


def _year_in(value: object) -> int | None:
    if isinstance(value, datetime.date):
        return value.year
    if isinstance(value, str):
        found = _FOUR_DIGITS.search(value)
        return int(found.group()) if found else None
    if isinstance(value, Mapping):
        # CSL-JSON: {"date-parts": [[2019, 5, 1]]}, or {"raw": "2019-05-01"}, or {"literal": ...}.
        parts = value.get("date-parts")
        if isinstance(parts, list) and parts and isinstance(parts[0], list) and parts[0]:
            first = parts[0][0]
            return _whole_number(first) if _whole_number(first) is not None else _year_in(first)
        for key in ("raw", "literal"):
            if isinstance(value.get(key), str):
                return _year_in(value[key])
    if isinstance(value, list) and value:
        return read_year(value[0])
    return None


def read_text(value: object, number_like: bool = False) -> str | None:
    """A text; a list of texts gives its first. Numbers are text where ``number_like``."""
    if is_blank(value):
        return None
    if isinstance(value, list) and value and all(isinstance(item, str) for item in value):
        value = next((item for item in value if item.strip()), value[0])
    if isinstance(value, str):
        if not value.isascii():
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError("text is not valid Unicode (a lone surrogate)") from None
        return value
    if number_like and not isinstance(value, bool):
        number = _whole_number(value)
        if number is not None:
            return str(number)
    raise ValueError(f"expected text, got {shown(value)}")


def read_key(value: object) -> str | None:
    """A record's name: text, or a whole number written as text."""
    return read_text(value, number_like=True)
