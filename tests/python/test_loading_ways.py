"""The loader's two ways against each other.

Most entries take the shorter way (records.builder._Rows): their values are
read straight into the table's rows. The others take the general way, which
counts and tells what it could not read as written; it is the reference. For
every input and every setting of the options, loading with the shorter way
must give the same store, warnings and notes as loading with the general way
alone. The inputs: the synthetic catalogues, the published data sets (read
from ../shared/data when it is there), the test files of every format, and
generated entries with values of every kind the formats give.
"""

import csv
import json
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from refsieve_cli.errors import InputError, Report
from refsieve_cli.io.formats.entry import Entry, Parsed, Place
from refsieve_cli.io.sources import Source
from refsieve_cli.records import builder
from refsieve_cli.records.builder import LoadOptions, build_table, load_side
from refsieve_cli.records.fields import FieldMap

REPO = Path(__file__).resolve().parents[2]
DATA = Path(__file__).resolve().parent / "data"
SHARED_DATA = Path(__file__).resolve().parents[3] / "shared" / "data"
sys.path.insert(0, str(REPO / "benchmarks"))

import synthetic  # noqa: E402

OPTIONS = {
    "default": LoadOptions(bad_values="empty"),
    "error": LoadOptions(),
    "skip": LoadOptions(bad_values="skip", include=("title", "author", "year", "doi", "pages")),
    "raw": LoadOptions(raw=True, bad_values="empty"),
    "cut": LoadOptions(bad_values="empty", max_field_length=12),
    "uncut": LoadOptions(bad_values="empty", max_field_length=0),
    "map": LoadOptions(FieldMap({"venue": "journal", "notes": "title", "extra": ""}), bad_values="empty"),
}


def contents(table, report):
    store = table.store
    columns = {"index": store.indexes(), "year": store.years()}
    for name in table.columns:
        if name not in columns:
            columns[name] = store.texts(name)
    return columns, report.warnings, report.notes, table.field_names


def load(read, options, general_only):
    """What loading gives (or the error it raises), and how many entries took the shorter way."""
    shorter = {"taken": 0}
    append = builder._Rows.append

    def counted(self, *args):
        taken = False if general_only else append(self, *args)
        shorter["taken"] += taken
        return taken

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(builder._Rows, "append", counted)
        report = Report()
        try:
            return contents(read(options, report), report), shorter["taken"]
        except (InputError, TypeError) as error:
            # (A lone surrogate in a list of names shown beside the matches cannot be stored either way.)
            return f"{type(error).__name__}: {error}", shorter["taken"]


def check_ways(read, options=OPTIONS):
    """Compares the ways for each setting; how many entries the shorter way took, in all."""
    taken = 0
    for name, chosen in options.items():
        general, _ = load(read, chosen, True)
        both, count = load(read, chosen, False)
        assert both == general, name
        taken += count
    return taken


def from_files(*paths, **source):
    return lambda options, report: load_side([Source(str(path), **source) for path in paths], options, report)


def from_entries(entries):
    return lambda options, report: build_table([("generated", Parsed(entries))], options, report)


# --- files -----------------------------------------------------------------------


@pytest.mark.parametrize("path", sorted(DATA.iterdir()) + sorted((REPO / "examples" / "sample").iterdir()),
                         ids=lambda path: path.name)
def test_files_of_every_format(path):
    check_ways(from_files(path))


def test_synthetic_catalogue(tmp_path):
    synthetic.write_dedupe(tmp_path, 600, seed=11)
    assert check_ways(from_files(tmp_path / "catalogue.jsonl")) > 0


@pytest.mark.skipif(not (SHARED_DATA / "dblp-acm").is_dir(), reason="no ../shared/data beside the checkout")
@pytest.mark.parametrize("name, encoding", [("ACM.csv", "utf-8"), ("DBLP2.csv", "latin-1")])
def test_dblp_acm(name, encoding):
    assert check_ways(from_files(SHARED_DATA / "dblp-acm" / name, encoding=encoding)) > 0


@pytest.mark.skipif(not (SHARED_DATA / "dblp-acm").is_dir(), reason="no ../shared/data beside the checkout")
def test_dblp_acm_as_json_lines(tmp_path):
    # The same records with their years as numbers and a few more field names, as JSON Lines give them.
    with open(SHARED_DATA / "dblp-acm" / "DBLP2.csv", encoding="latin-1", newline="") as f:
        rows = list(csv.DictReader(f))
    with open(tmp_path / "dblp.jsonl", "w", encoding="utf-8") as out:
        for i, row in enumerate(rows):
            record = {"key": row["id"], "Title": row["title"], "authors": row["authors"], "venue": row["venue"],
                      "year": int(row["year"]) if row["year"].isdigit() else row["year"]}
            if i % 3 == 0:
                record["journal"] = " "
            print(json.dumps(record), file=out)
    assert check_ways(from_files(tmp_path / "dblp.jsonl")) > 0


# --- generated entries -------------------------------------------------------------

NAMES = ["title", "Title", "author", "authors", "creator", "year", "issued", "doi", "DOI", "journal", "booktitle",
         "venue", "volume", "number", "issue", "pages", "page", "publisher", "key", "id", "index", "extra", "notes"]
texts = st.sampled_from([
    "A study of things", "  ", "", "Title  with\tspaces\n", "G{\\\"o}del's theorem", "cafe\u0301 au lait",
    "<i>Italic</i> &amp; more", "a much longer title than twelve characters", "\u01c5emal", "\ufb01ne", "plain", "x",
    "a\u00a0b", "$x^2$", "~", "\u2028", "10.1000/xyz", "https://doi.org/10.1000/ABC", "doi:10.5/x y", "not-a-doi",
    "1--10", "1 \u2013 10", " 3-4 ", "2019", "2019a", "in press", "May 2019", "1999.0", "7", "-1", "k\u00e9y",
    "Lamport, Leslie and Shostak, Robert", "M\u00fcller, H. et al.", "\u03a3\u03c9\u03ba\u03c1\u03ac\u03c4\u03b7\u03c2",
    "Smith J & Jones K", "and others", "Smith and other\u017f", "Smith\ud800",
])
values = st.one_of(
    texts, st.none(), st.booleans(), st.integers(-5, 3000), st.sampled_from([2**40, 2**64, 1970.0, 2.5, float("nan")]),
    st.lists(texts, max_size=3),
    st.sampled_from([{"date-parts": [[2001, 5]]}, {"raw": "2019-05-01"}, {}, [2003], [],
                     [{"family": "Smith", "given": "John"}, {"literal": "ACME"}], [{"given": "Only"}]]),
)
entries = st.lists(st.dictionaries(st.sampled_from(NAMES), values, min_size=1, max_size=8), min_size=1, max_size=12)


@settings(max_examples=150, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(entries, st.sampled_from([None, "article", "book"]))
def test_generated_entries(entry_values, kind):
    built = [Entry(Place("generated", line), values, kind=kind) for line, values in enumerate(entry_values, 1)]
    check_ways(from_entries(built))


def test_the_shorter_way_reads_plain_entries_and_leaves_the_others():
    plain = {"title": "A title", "author": "Smith, J.", "year": 2001, "doi": "10.1/x", "pages": "1--2"}
    others = [dict(plain, year="in press"), dict(plain, doi="not a doi"), dict(plain, title="x" * 20)]
    built = [Entry(Place("f", line), values) for line, values in enumerate([plain, *others], 1)]
    _, taken = load(from_entries(built), LoadOptions(bad_values="empty", max_field_length=12), False)
    assert taken == 1
