#!/usr/bin/env python3
"""Generate src/core/unicode_tables.cpp from the Unicode Character Database.

Reads UnicodeData.txt (simple lowercase mapping; General_Category, of which
the tables keep whether a code point is a letter, mark or number),
DerivedCoreProperties.txt (Cased, Case_Ignorable) and PropList.txt
(White_Space) of UCD 17.0.0 and writes the two-level lookup tables declared
in src/core/unicode.hpp.

    python3 tools/gen_unicode_tables.py            # regenerate
    python3 tools/gen_unicode_tables.py --check    # exit 1 if the file is stale

Standard library only; the output depends on nothing but the input files.
"""

from __future__ import annotations

import argparse
import difflib
import sys
from pathlib import Path

UCD_VERSION = "17.0.0"
MAX_CODE_POINT = 0x10FFFF
CODE_SPACE = MAX_CODE_POINT + 1

# Must match src/core/unicode.hpp.
SHIFT = 7
BLOCK_SIZE = 1 << SHIFT
FLAG_CASED = 1 << 0
FLAG_CASE_IGNORABLE = 1 << 1
FLAG_WHITE_SPACE = 1 << 2
FLAG_WORD = 1 << 3  # General_Category L*, M* or N*: a character of a word
STAGE2_INDEX_LIMIT = 256  # kStage2 is uint8_t
STAGE1_INDEX_LIMIT = 1 << 16  # kStage1 is uint16_t

# SpecialCasing.txt is not among the inputs. Its only unconditional mapping
# whose lowercase is longer than one code point (SpecialCasing.txt 17.0.0)
# is U+0130 LATIN CAPITAL LETTER I WITH DOT ABOVE -> U+0069 U+0307, so it is
# stated here instead of parsed.
CAPITAL_I_WITH_DOT = 0x0130
CAPITAL_I_WITH_DOT_LOWER = (0x0069, 0x0307)

REPO_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_UCD = REPO_ROOT.parent / "shared" / "ucd" / UCD_VERSION
DEFAULT_OUTPUT = REPO_ROOT / "src" / "core" / "unicode_tables.cpp"


class UcdError(Exception):
    """The input files are missing, malformed or of the wrong version."""


def parse_code_point(text: str, where: str) -> int:
    text = text.strip()
    if not text or len(text) > 6 or any(ch not in "0123456789ABCDEFabcdef" for ch in text):
        raise UcdError(f"{where}: bad code point {text!r}")
    value = int(text, 16)
    if value > MAX_CODE_POINT:
        raise UcdError(f"{where}: code point {text} beyond U+10FFFF")
    return value


def read_lines(path: Path) -> list[str]:
    try:
        return path.read_text(encoding="utf-8").splitlines()
    except FileNotFoundError:
        raise UcdError(f"{path}: not found") from None


def check_version_header(path: Path, lines: list[str]) -> None:
    expected = f"# {path.stem}-{UCD_VERSION}.txt"
    first = lines[0].strip() if lines else ""
    if first != expected:
        raise UcdError(f"{path}: expected first line {expected!r}, found {first!r}")


def is_word_category(category: str) -> bool:
    return category[:1] in ("L", "M", "N")


def parse_unicode_data(path: Path) -> tuple[list[int], list[bool]]:
    """Simple lowercase mapping of every code point (identity if none), and whether it is a letter,
    mark or number."""
    lower = list(range(CODE_SPACE))
    word = [False] * CODE_SPACE
    previous = -1
    pending_first: tuple[int, str, str] | None = None  # (code point, range name, mapping)
    lines = read_lines(path)
    if not lines:
        raise UcdError(f"{path}: empty")
    for number, line in enumerate(lines, 1):
        where = f"{path.name}:{number}"
        if not line.strip():
            continue
        fields = line.split(";")
        if len(fields) != 15:
            raise UcdError(f"{where}: expected 15 fields, found {len(fields)}")
        cp = parse_code_point(fields[0], where)
        if cp <= previous:
            raise UcdError(f"{where}: code points not in ascending order")
        previous = cp
        name = fields[1]
        mapping = fields[13].strip()
        target = parse_code_point(mapping, where) if mapping else cp

        if pending_first is not None:
            first_cp, range_name, first_mapping = pending_first
            if name != f"<{range_name}, Last>":
                raise UcdError(f"{where}: range <{range_name}, First> not closed by its Last line")
            if mapping != first_mapping:
                raise UcdError(f"{where}: range ends disagree on the lowercase mapping")
            if mapping:
                # One mapping for a whole range only makes sense as a constant offset,
                # and no UCD range has one; refuse rather than guess.
                raise UcdError(f"{where}: range with a lowercase mapping")
            if is_word_category(fields[2]):
                for in_range in range(first_cp, cp + 1):
                    word[in_range] = True
            pending_first = None
            continue
        if name.startswith("<") and name.endswith(", First>"):
            pending_first = (cp, name[1:-len(", First>")], mapping)
            continue
        if name.endswith(", Last>"):
            raise UcdError(f"{where}: Last line without a First line")
        lower[cp] = target
        word[cp] = is_word_category(fields[2])
    if pending_first is not None:
        raise UcdError(f"{path}: file ends inside a First/Last range")
    return lower, word


def parse_property_file(path: Path, wanted: set[str]) -> dict[str, list[tuple[int, int]]]:
    """Ranges of each wanted binary property, after checking the version header."""
    lines = read_lines(path)
    check_version_header(path, lines)
    ranges: dict[str, list[tuple[int, int]]] = {name: [] for name in wanted}
    for number, raw in enumerate(lines, 1):
        where = f"{path.name}:{number}"
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        fields = [field.strip() for field in line.split(";")]
        if len(fields) < 2:
            raise UcdError(f"{where}: expected 'code points ; property'")
        if len(fields) != 2 or fields[1] not in wanted:
            continue  # other properties, including enumerated ones such as InCB
        first_text, sep, last_text = fields[0].partition("..")
        first = parse_code_point(first_text, where)
        last = parse_code_point(last_text, where) if sep else first
        if last < first:
            raise UcdError(f"{where}: empty range")
        ranges[fields[1]].append((first, last))
    for name, found in ranges.items():
        if not found:
            raise UcdError(f"{path}: no entries for property {name}")
    return ranges


def build_records(ucd: Path) -> list[tuple[int, int]]:
    """(flags, lowercase delta) for every code point."""
    # UnicodeData.txt has no version header; it only has to parse.
    lower, word = parse_unicode_data(ucd / "UnicodeData.txt")
    derived = parse_property_file(ucd / "DerivedCoreProperties.txt", {"Cased", "Case_Ignorable"})
    props = parse_property_file(ucd / "PropList.txt", {"White_Space"})

    flags = [0] * CODE_SPACE
    for ranges, bit in (
        (derived["Cased"], FLAG_CASED),
        (derived["Case_Ignorable"], FLAG_CASE_IGNORABLE),
        (props["White_Space"], FLAG_WHITE_SPACE),
    ):
        for first, last in ranges:
            for cp in range(first, last + 1):
                flags[cp] |= bit
    for cp in range(CODE_SPACE):
        if word[cp]:
            flags[cp] |= FLAG_WORD

    if lower[CAPITAL_I_WITH_DOT] != CAPITAL_I_WITH_DOT_LOWER[0]:
        raise UcdError("UnicodeData.txt: U+0130 no longer lowercases to U+0069")
    return [(flags[cp], lower[cp] - cp) for cp in range(CODE_SPACE)]


class Tables:
    def __init__(self, per_code_point: list[tuple[int, int]]) -> None:
        # Record 0 is the empty record, so unassigned code points map to it.
        self.records: list[tuple[int, int]] = [(0, 0)]
        record_index = {(0, 0): 0}
        per_cp_index = []
        for record in per_code_point:
            index = record_index.get(record)
            if index is None:
                index = record_index[record] = len(self.records)
                self.records.append(record)
            per_cp_index.append(index)
        if len(self.records) > STAGE2_INDEX_LIMIT:
            raise UcdError(
                f"{len(self.records)} distinct records do not fit the uint8_t kStage2; "
                "widen kStage2 in unicode.hpp and STAGE2_INDEX_LIMIT here"
            )

        self.stage1: list[int] = []
        self.stage2: list[int] = []
        block_index: dict[tuple[int, ...], int] = {}
        for start in range(0, CODE_SPACE, BLOCK_SIZE):
            block = tuple(per_cp_index[start:start + BLOCK_SIZE])
            index = block_index.get(block)
            if index is None:
                index = block_index[block] = len(block_index)
                self.stage2.extend(block)
            self.stage1.append(index)
        if len(block_index) > STAGE1_INDEX_LIMIT:
            raise UcdError("too many distinct blocks for the uint16_t kStage1")
        self.block_count = len(block_index)
        self.ascii = [per_code_point[cp] for cp in range(128)]

        # The output must reproduce the input exactly.
        for cp, record in enumerate(per_code_point):
            block = self.stage1[cp >> SHIFT]
            assert self.records[self.stage2[block * BLOCK_SIZE + (cp & (BLOCK_SIZE - 1))]] == record

    def byte_size(self) -> int:
        # CharInfo is a uint8_t and an int32_t: 8 bytes with padding.
        return 2 * len(self.stage1) + len(self.stage2) + 8 * (len(self.records) + len(self.ascii))


def format_numbers(values: list[int], per_line: int, width: int) -> str:
    rows = []
    for start in range(0, len(values), per_line):
        chunk = values[start:start + per_line]
        rows.append("    " + " ".join(f"{value:>{width}}," for value in chunk))
    return "\n".join(rows)


def format_records(records: list[tuple[int, int]], per_line: int) -> str:
    cells = [f"{{0x{flags:02X}, {delta}}}," for flags, delta in records]
    width = max(len(cell) for cell in cells)
    rows = []
    for start in range(0, len(cells), per_line):
        chunk = cells[start:start + per_line]
        rows.append(("    " + " ".join(cell.ljust(width) for cell in chunk)).rstrip())
    return "\n".join(rows)


def render(tables: Tables) -> str:
    stage1_width = len(str(max(tables.stage1)))
    stage2_width = len(str(max(tables.stage2)))
    lower = ", ".join(f"0x{cp:04X}" for cp in CAPITAL_I_WITH_DOT_LOWER)
    return f"""\
// Generated by tools/gen_unicode_tables.py from the Unicode Character
// Database {UCD_VERSION}: UnicodeData.txt, DerivedCoreProperties.txt and PropList.txt.
// Do not edit; rerun the generator instead.
//
// Contents: simple lowercase mapping (as a delta), Cased, Case_Ignorable,
// White_Space, letter, mark or number (General_Category L*, M*, N*), and the
// U+0130 multi-character lowercase mapping.
// {len(tables.records)} records, {tables.block_count} distinct blocks of {BLOCK_SIZE} code points, {tables.byte_size()} bytes of tables.

#include "core/unicode.hpp"

namespace refsieve::unicode {{

// The only unconditional multi-character lowercase mapping in
// SpecialCasing.txt {UCD_VERSION}: U+0130 -> U+0069 U+0307.
static_assert(kCapitalIWithDot == 0x{CAPITAL_I_WITH_DOT:04X});
const char32_t kCapitalIWithDotLower[2] = {{{lower}}};

namespace detail {{

static_assert(kShift == {SHIFT}, "regenerate: block size differs from the generator's");

// Distinct {{flags, lower_delta}} pairs; record 0 is the empty one.
const CharInfo kRecords[{len(tables.records)}] = {{
{format_records(tables.records, 6)}
}};

// U+0000..U+007F, looked up directly.
const CharInfo kAscii[128] = {{
{format_records(tables.ascii, 8)}
}};

// Block number of each run of {BLOCK_SIZE} code points.
const std::uint16_t kStage1[0x110000 >> kShift] = {{
{format_numbers(tables.stage1, 16, stage1_width)}
}};

// Record index of each code point, {tables.block_count} blocks of {BLOCK_SIZE}.
const std::uint8_t kStage2[{len(tables.stage2)}] = {{
{format_numbers(tables.stage2, 16, stage2_width)}
}};

}} // namespace detail
}} // namespace refsieve::unicode
"""


def diff_summary(old: str, new: str, path: Path) -> str:
    diff = list(
        difflib.unified_diff(
            old.splitlines(), new.splitlines(), f"{path} (on disk)", f"{path} (generated)", n=0, lineterm=""
        )
    )
    removed = sum(1 for line in diff if line.startswith("-") and not line.startswith("---"))
    added = sum(1 for line in diff if line.startswith("+") and not line.startswith("+++"))
    shown = diff[:20]
    if len(diff) > len(shown):
        shown.append(f"... ({len(diff) - len(shown)} more diff lines)")
    return "\n".join([f"{path} is out of date: {removed} line(s) differ on disk, {added} generated", *shown])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", type=Path, default=DEFAULT_UCD, help=f"UCD {UCD_VERSION} directory")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT, help="generated C++ source")
    parser.add_argument("--check", action="store_true", help="do not write; exit 1 if the output is stale")
    args = parser.parse_args(argv)

    try:
        tables = Tables(build_records(args.ucd))
    except UcdError as error:
        print(f"gen_unicode_tables: {error}", file=sys.stderr)
        return 2
    text = render(tables)

    if args.check:
        try:
            current = args.output.read_text(encoding="utf-8")
        except FileNotFoundError:
            print(f"{args.output} is missing; run tools/gen_unicode_tables.py", file=sys.stderr)
            return 1
        if current != text:
            print(diff_summary(current, text, args.output), file=sys.stderr)
            return 1
        print(f"{args.output} is up to date")
        return 0

    args.output.parent.mkdir(parents=True, exist_ok=True)
    with open(args.output, "w", encoding="utf-8", newline="\n") as out:
        out.write(text)
    print(
        f"wrote {args.output}: {len(tables.records)} records, {tables.block_count} blocks, "
        f"{tables.byte_size()} bytes of tables"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
