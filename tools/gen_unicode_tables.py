#!/usr/bin/env python3
"""Generate src/core/unicode_tables.cpp and src/engine/name_characters.cpp from the Unicode Character Database.

Reads UnicodeData.txt (simple lowercase mapping; General_Category, of which
the tables keep whether a code point is a letter, mark or number),
DerivedCoreProperties.txt (Cased, Case_Ignorable) and PropList.txt
(White_Space) of UCD 17.0.0 and writes the two-level lookup tables declared
in src/core/unicode.hpp.

It also writes the character facts of the command's author reader
(src/engine/name_characters.hpp): white space, letters and digits, decimal
digits, upper, lower and title case as the interpreter's str methods define
them, and each character's folded form (lowercased, decomposed for
compatibility, letters and digits kept), from the same files.

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
DEFAULT_NAMES_OUTPUT = REPO_ROOT / "src" / "engine" / "name_characters.cpp"


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


def two_stages(per_code_point: list[int], stage1_name: str) -> tuple[list[int], list[int], int]:
    """One value per code point as a two-level table: stage 1 holds a block number for each block of
    BLOCK_SIZE code points, stage 2 the distinct blocks one after another. Returns both and the block count."""
    stage1: list[int] = []
    stage2: list[int] = []
    block_index: dict[tuple[int, ...], int] = {}
    for start in range(0, CODE_SPACE, BLOCK_SIZE):
        block = tuple(per_code_point[start:start + BLOCK_SIZE])
        index = block_index.get(block)
        if index is None:
            index = block_index[block] = len(block_index)
            stage2.extend(block)
        stage1.append(index)
    if len(block_index) > STAGE1_INDEX_LIMIT:
        raise UcdError(f"too many distinct blocks for the uint16_t {stage1_name}")
    return stage1, stage2, len(block_index)


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

        self.stage1, self.stage2, self.block_count = two_stages(per_cp_index, "kStage1")
        self.ascii = [per_code_point[cp] for cp in range(128)]

        # The output must reproduce the input exactly.
        for cp, record in enumerate(per_code_point):
            block = self.stage1[cp >> SHIFT]
            assert self.records[self.stage2[block * BLOCK_SIZE + (cp & (BLOCK_SIZE - 1))]] == record

    def byte_size(self) -> int:
        # CharInfo is a uint8_t and an int32_t: 8 bytes with padding.
        return 2 * len(self.stage1) + len(self.stage2) + 8 * (len(self.records) + len(self.ascii))


def format_numbers(values: list[int] | list[str], per_line: int, width: int) -> str:
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


# --- the author reader's character facts ---------------------------------------

# Must match src/engine/name_characters.hpp.
NAME_KNOWN = 1 << 0
NAME_SPACE = 1 << 1
NAME_ALNUM = 1 << 2
NAME_DECIMAL = 1 << 3
NAME_UPPER = 1 << 4
NAME_LOWER = 1 << 5
NAME_TITLE = 1 << 6
NAME_FOLD_MAPPED = 1 << 7
# A case-insensitive "s" in the reader's "and others" also matches U+017F LATIN SMALL LETTER LONG S: the reader
# leaves texts with it to the interpreter.
LONG_S = 0x017F
# Hangul syllables decompose by arithmetic, not by UnicodeData.txt.
HANGUL_FIRST, HANGUL_COUNT = 0xAC00, 11172
HANGUL_L, HANGUL_V, HANGUL_T = 0x1100, 0x1161, 0x11A7
HANGUL_V_COUNT, HANGUL_T_COUNT = 21, 28


class CharacterRecord:
    """The fields of one UnicodeData.txt line that the author reader's facts come from."""

    __slots__ = ("category", "bidi", "combining", "decomposition", "numeric", "lower")

    def __init__(self, fields: list[str], where: str) -> None:
        self.category = fields[2]
        self.bidi = fields[4]
        self.combining = int(fields[3])
        mapping = fields[5].split()
        if mapping and mapping[0].startswith("<"):
            mapping = mapping[1:]
        self.decomposition = tuple(parse_code_point(part, where) for part in mapping)
        self.numeric = fields[8].strip() != ""
        self.lower = parse_code_point(fields[13], where) if fields[13].strip() else None


def parse_character_records(path: Path) -> dict[int, CharacterRecord]:
    """Every assigned code point (ranges expanded) with its UnicodeData.txt fields."""
    records: dict[int, CharacterRecord] = {}
    first: tuple[int, CharacterRecord] | None = None
    for number, line in enumerate(read_lines(path), 1):
        if not line.strip():
            continue
        where = f"{path.name}:{number}"
        fields = line.split(";")
        cp = parse_code_point(fields[0], where)
        record = CharacterRecord(fields, where)
        if fields[1].endswith(", First>"):
            first = (cp, record)
            continue
        if fields[1].endswith(", Last>"):
            if first is None:
                raise UcdError(f"{where}: Last line without a First line")
            for in_range in range(first[0], cp + 1):
                records[in_range] = first[1]
            first = None
            continue
        records[cp] = record
    return records


def decompose(cp: int, records: dict[int, CharacterRecord], out: list[int]) -> None:
    """The full compatibility decomposition of cp, appended to out (not reordered)."""
    if HANGUL_FIRST <= cp < HANGUL_FIRST + HANGUL_COUNT:
        index = cp - HANGUL_FIRST
        out.append(HANGUL_L + index // (HANGUL_V_COUNT * HANGUL_T_COUNT))
        out.append(HANGUL_V + index % (HANGUL_V_COUNT * HANGUL_T_COUNT) // HANGUL_T_COUNT)
        if index % HANGUL_T_COUNT:
            out.append(HANGUL_T + index % HANGUL_T_COUNT)
        return
    record = records.get(cp)
    if record is None or not record.decomposition:
        out.append(cp)
        return
    for part in record.decomposition:
        decompose(part, records, out)


def name_facts(ucd: Path) -> tuple[list[int], dict[int, str]]:
    """The flags of every code point, and the folded form of those whose fold is neither the character itself
    (a letter or digit) nor nothing (anything else)."""
    records = parse_character_records(ucd / "UnicodeData.txt")
    derived = parse_property_file(ucd / "DerivedCoreProperties.txt", {"Uppercase", "Lowercase"})
    upper, lower = bytearray(CODE_SPACE), bytearray(CODE_SPACE)
    for ranges, marks in ((derived["Uppercase"], upper), (derived["Lowercase"], lower)):
        for first, last in ranges:
            marks[first:last + 1] = b"\x01" * (last - first + 1)

    def is_alnum(cp: int) -> bool:
        record = records.get(cp)
        return record is not None and (record.category.startswith("L") or record.numeric)

    flags = [0] * CODE_SPACE
    folds: dict[int, str] = {}
    for cp, record in records.items():
        if record.category == "Cs":
            continue
        # Lower case: the simple mapping, but for the one longer unconditional mapping.
        lowered = CAPITAL_I_WITH_DOT_LOWER if cp == CAPITAL_I_WITH_DOT else (record.lower or cp,)
        decomposed: list[int] = []
        for part in lowered:
            decompose(part, records, decomposed)
        kept = [part for part in decomposed if is_alnum(part)]
        bits = 0
        # Only marks may move when a decomposition is put in canonical order; a letter or digit that could move
        # would make a word's folded form depend on its neighbours.
        if cp != LONG_S and not any(records[part].combining for part in kept):
            bits |= NAME_KNOWN
        if record.bidi in ("WS", "B", "S") or record.category == "Zs":
            bits |= NAME_SPACE
        if is_alnum(cp):
            bits |= NAME_ALNUM
        if record.category == "Nd":
            bits |= NAME_DECIMAL
        if upper[cp]:
            bits |= NAME_UPPER
        if lower[cp]:
            bits |= NAME_LOWER
        if record.category == "Lt":
            bits |= NAME_TITLE
        if kept != ([cp] if is_alnum(cp) else []):
            bits |= NAME_FOLD_MAPPED
            # The reader decomposes Hangul syllables by the same arithmetic.
            if not HANGUL_FIRST <= cp < HANGUL_FIRST + HANGUL_COUNT:
                folds[cp] = "".join(map(chr, kept))
        flags[cp] = bits
    return flags, folds


class NameTables:
    def __init__(self, flags: list[int], folds: dict[int, str]) -> None:
        self.stage1, self.stage2, self.block_count = two_stages(flags, "name stage 1")
        self.fold_code_points = sorted(folds)
        self.fold_offsets = [0]
        pool = bytearray()
        for cp in self.fold_code_points:
            pool += folds[cp].encode("utf-8")
            self.fold_offsets.append(len(pool))
        self.fold_bytes = bytes(pool)
        for cp in range(CODE_SPACE):
            assert self.stage2[self.stage1[cp >> SHIFT] * BLOCK_SIZE + (cp & (BLOCK_SIZE - 1))] == flags[cp]

    def byte_size(self) -> int:
        return 2 * len(self.stage1) + len(self.stage2) + 4 * len(self.fold_code_points) + 4 * len(
            self.fold_offsets) + len(self.fold_bytes)


def format_bytes(data: bytes, per_line: int) -> str:
    rows = []
    for start in range(0, len(data), per_line):
        chunk = data[start:start + per_line]
        rows.append("    \"" + "".join(f"\\x{byte:02x}" for byte in chunk) + "\"")
    return "\n".join(rows)


def render_names(tables: NameTables) -> str:
    return f"""\
// Generated by tools/gen_unicode_tables.py from the Unicode Character
// Database {UCD_VERSION}: UnicodeData.txt and DerivedCoreProperties.txt.
// Do not edit; rerun the generator instead.
//
// Contents: the author reader's flags of every code point, and the folded
// form of the {len(tables.fold_code_points)} code points whose fold is neither themselves nor nothing
// (but for the Hangul syllables, which fold by arithmetic).
// {tables.block_count} distinct blocks of {BLOCK_SIZE} code points, {tables.byte_size()} bytes of tables.

#include "engine/name_characters.hpp"

namespace refsieve::engine::names {{
namespace detail {{

static_assert(kShift == {SHIFT}, "regenerate: block size differs from the generator's");
static_assert(kKnown == {NAME_KNOWN} && kSpace == {NAME_SPACE} && kAlnum == {NAME_ALNUM} &&
              kDecimal == {NAME_DECIMAL} && kUpper == {NAME_UPPER} && kLower == {NAME_LOWER} &&
              kTitle == {NAME_TITLE} && kFoldMapped == {NAME_FOLD_MAPPED},
              "regenerate: flags differ from the generator's");

// Block number of each run of {BLOCK_SIZE} code points.
const std::uint16_t kStage1[0x110000 >> kShift] = {{
{format_numbers(tables.stage1, 16, len(str(max(tables.stage1))))}
}};

// Flags of each code point, {tables.block_count} blocks of {BLOCK_SIZE}.
const std::uint8_t kStage2[{len(tables.stage2)}] = {{
{format_numbers(tables.stage2, 16, len(str(max(tables.stage2))))}
}};

// The code points with a folded form of their own, in ascending order.
const char32_t kFoldCodePoints[{len(tables.fold_code_points)}] = {{
{format_numbers([f"0x{cp:04X}" for cp in tables.fold_code_points], 10, 7)}
}};
extern const std::size_t kFoldCount = {len(tables.fold_code_points)};

// Where the folded form of kFoldCodePoints[i] starts and ends in kFoldBytes.
const std::uint32_t kFoldOffsets[{len(tables.fold_offsets)}] = {{
{format_numbers(tables.fold_offsets, 12, len(str(tables.fold_offsets[-1])))}
}};

// The folded forms, UTF-8, one after another.
const char kFoldBytes[{len(tables.fold_bytes) + 1}] =
{format_bytes(tables.fold_bytes, 24)};

}} // namespace detail
}} // namespace refsieve::engine::names
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
    parser.add_argument("--names-output", type=Path, default=DEFAULT_NAMES_OUTPUT,
                        help="generated C++ source of the author reader's character facts")
    parser.add_argument("--check", action="store_true", help="do not write; exit 1 if an output is stale")
    args = parser.parse_args(argv)

    try:
        tables = Tables(build_records(args.ucd))
        names = NameTables(*name_facts(args.ucd))
    except UcdError as error:
        print(f"gen_unicode_tables: {error}", file=sys.stderr)
        return 2
    outputs = [
        (args.output, render(tables),
         f"{len(tables.records)} records, {tables.block_count} blocks, {tables.byte_size()} bytes of tables"),
        (args.names_output, render_names(names),
         f"{len(names.fold_code_points)} folded forms, {names.block_count} blocks,"
         f" {names.byte_size()} bytes of tables"),
    ]

    if args.check:
        stale = 0
        for path, text, _ in outputs:
            try:
                current = path.read_text(encoding="utf-8")
            except FileNotFoundError:
                print(f"{path} is missing; run tools/gen_unicode_tables.py", file=sys.stderr)
                stale += 1
                continue
            if current != text:
                print(diff_summary(current, text, path), file=sys.stderr)
                stale += 1
            else:
                print(f"{path} is up to date")
        return 1 if stale else 0

    for path, text, summary in outputs:
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "w", encoding="utf-8", newline="\n") as out:
            out.write(text)
        print(f"wrote {path}: {summary}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
