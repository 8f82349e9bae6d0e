"""The synthetic catalogue generator of the benchmarks: output fixed by the
seed, exact counts, truth files that agree with the records, and every
kind of variation present and as described."""

import collections
import csv
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "benchmarks"))

import synthetic  # noqa: E402

from _support import run_cli  # noqa: E402


def read_jsonl(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def read_pairs(path):
    with open(path, encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], [tuple(row) for row in rows[1:]]


def norm_doi(doi):
    doi = doi.lower()
    for prefix in ("https://doi.org/", "http://dx.doi.org/", "doi:"):
        if doi.startswith(prefix):
            return doi[len(prefix):]
    return doi


def first_page(pages):
    return re.match(r"(?:pp\. )?(\d+)", pages).group(1)


def components(pairs):
    parent = {}

    def find(x):
        parent.setdefault(x, x)
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for a, b in pairs:
        parent[find(a)] = find(b)
    groups = collections.defaultdict(set)
    for x in list(parent):
        groups[find(x)].add(x)
    return list(groups.values())


def output_bytes(directory):
    return {p.name: p.read_bytes() for p in sorted(Path(directory).iterdir()) if p.name != "stats.json"}


# Small enough to be quick, large enough for two blocks of works.
DEDUPE = dict(records=5000)
MATCH = dict(records=4000, subjects=1500)


@pytest.mark.parametrize("mode", ["dedupe", "match"])
def test_same_seed_same_bytes_whatever_the_processes_and_another_seed_differs(tmp_path, monkeypatch, mode):
    # Several shuffle buckets, so that the bucket files take part too.
    monkeypatch.setattr(synthetic, "BUCKET_RECORDS", 1500)
    write = synthetic.write_dedupe if mode == "dedupe" else synthetic.write_match
    args = DEDUPE if mode == "dedupe" else MATCH
    write(tmp_path / "a", seed=7, **args)
    write(tmp_path / "b", seed=7, jobs=2, **args)
    write(tmp_path / "c", seed=8, **args)
    a, b, c = (output_bytes(tmp_path / name) for name in "abc")
    assert a == b
    assert a.keys() == c.keys() and all(a[name] != c[name] for name in a)
    assert not any(p.name.endswith(".parts") for p in (tmp_path / "a").iterdir())


@pytest.mark.parametrize("mode", ["dedupe", "match"])
def test_shuffling_changes_the_order_of_the_lines_only(tmp_path, monkeypatch, mode):
    monkeypatch.setattr(synthetic, "BUCKET_RECORDS", 1000)
    write = synthetic.write_dedupe if mode == "dedupe" else synthetic.write_match
    args = DEDUPE if mode == "dedupe" else MATCH
    write(tmp_path / "shuffled", seed=3, **args)
    write(tmp_path / "plain", seed=3, shuffle=False, **args)
    shuffled, plain = output_bytes(tmp_path / "shuffled"), output_bytes(tmp_path / "plain")
    assert shuffled.keys() == plain.keys() == {p.name for p in (tmp_path / "plain").iterdir()} - {"stats.json"}
    for name in shuffled:
        lines, plain_lines = shuffled[name].splitlines(), plain[name].splitlines()
        assert sorted(lines) == sorted(plain_lines)
        if name != "truth.csv":
            assert lines != plain_lines


@pytest.mark.parametrize("records", [1, 2, 17, synthetic.BLOCK_WORKS + 1, 4321])
def test_dedupe_writes_exactly_the_records_asked_for(tmp_path, records):
    stats = synthetic.write_dedupe(tmp_path, records, seed=3)
    catalogue = read_jsonl(tmp_path / "catalogue.jsonl")
    header, pairs = read_pairs(tmp_path / "truth.csv")
    assert len(catalogue) == stats["records"] == records
    assert header == ["key1", "key2"] and len(pairs) == stats["true_pairs"]
    assert sum(int(k) * n for k, n in stats["versions_per_work"].items()) == records


@pytest.mark.parametrize("records, subjects, unmatched", [
    (1, 1, 0.0), (50, 0, 0.25), (0, 30, 1.0), (300, 1000, 0.1), (4000, 1500, 0.25), (2000, 200, 0.9),
])
def test_match_writes_exactly_the_candidates_and_subjects_asked_for(tmp_path, records, subjects, unmatched):
    stats = synthetic.write_match(tmp_path, records, subjects, seed=5, unmatched=unmatched)
    candidates = read_jsonl(tmp_path / "candidates.jsonl")
    subject_rows = read_jsonl(tmp_path / "subjects.jsonl")
    header, pairs = read_pairs(tmp_path / "truth.csv")
    assert len(candidates) == stats["candidates"] == records
    assert len(subject_rows) == stats["subjects"] == subjects
    assert header == ["subject_key", "candidate_key"]
    assert len(pairs) == subjects - round(subjects * unmatched)


def test_dedupe_truth_is_every_pair_of_versions_of_one_work_once(tmp_path):
    stats = synthetic.write_dedupe(tmp_path, seed=11, **DEDUPE)
    records = {r["key"]: r for r in read_jsonl(tmp_path / "catalogue.jsonl")}
    _, pairs = read_pairs(tmp_path / "truth.csv")
    assert len(records) == DEDUPE["records"]  # keys are unique
    assert all(a != b and a in records and b in records for a, b in pairs)
    assert len({frozenset(p) for p in pairs}) == len(pairs)
    groups = components(pairs)
    # Each group is a clique: all its pairs are there, so none is missing.
    assert sum(len(g) * (len(g) - 1) // 2 for g in groups) == len(pairs)
    assert len(groups) + DEDUPE["records"] - sum(map(len, groups)) == stats["works"]
    # What the versions of one work share, and distinct works do not.
    owner = {}
    for i, group in enumerate(groups):
        rows = [records[k] for k in group]
        dois = {norm_doi(r["doi"]) for r in rows if "doi" in r}
        assert len(dois) <= 1
        for doi in dois:
            assert owner.setdefault(doi, i) == i
        assert len({first_page(r["pages"]) for r in rows if "pages" in r}) <= 1
        years = [r["year"] for r in rows if "year" in r]
        assert not years or max(years) - min(years) <= 2
    # Records outside every group own their DOI alone.
    grouped = set().union(*groups)
    single_dois = [norm_doi(r["doi"]) for k, r in records.items() if k not in grouped and "doi" in r]
    assert len(single_dois) == len(set(single_dois)) and not set(single_dois) & set(owner)


def test_versions_per_work_skew_most_once_some_two_to_four_few_more(tmp_path):
    stats = synthetic.write_dedupe(tmp_path, 20000, seed=2)
    hist = {int(k): n for k, n in stats["versions_per_work"].items()}
    works = sum(hist.values())
    once = hist[1] / works
    two_to_four = sum(hist.get(k, 0) for k in (2, 3, 4)) / works
    more = 1 - once - two_to_four
    assert 0.6 < once < 0.8 and 0.15 < two_to_four < 0.35 and 0.005 < more < 0.08
    assert hist[2] > hist[3] > hist[4]


def test_match_truth_links_subjects_to_their_complete_candidates(tmp_path):
    synthetic.write_match(tmp_path, seed=4, **MATCH)
    candidates = {r["key"]: r for r in read_jsonl(tmp_path / "candidates.jsonl")}
    subjects = {r["key"]: r for r in read_jsonl(tmp_path / "subjects.jsonl")}
    _, pairs = read_pairs(tmp_path / "truth.csv")
    assert len(candidates) == MATCH["records"] and len(subjects) == MATCH["subjects"]
    assert len({s for s, _ in pairs}) == len(pairs)  # a subject cites one work
    assert all(s in subjects and c in candidates for s, c in pairs)
    for c in candidates.values():  # complete: every field a work of its venue has
        assert {"title", "author", "year", "journal", "pages", "publisher"} <= c.keys()
    for s, c in pairs:
        subject, candidate = subjects[s], candidates[c]
        if "doi" in subject:
            assert norm_doi(subject["doi"]) == candidate["doi"]
        if "pages" in subject:
            assert first_page(subject["pages"]) == first_page(candidate["pages"])
        if "year" in subject:
            assert abs(subject["year"] - candidate["year"]) <= 1
    # A subject of a work outside the catalogue has no candidate's DOI.
    cited = {s for s, _ in pairs}
    catalogue_dois = {c["doi"] for c in candidates.values() if "doi" in c}
    outside = [r for k, r in subjects.items() if k not in cited]
    assert outside and not any(norm_doi(r["doi"]) in catalogue_dois for r in outside if "doi" in r)


# ---------------------------------------------------------------------------
# Variations, found in the data by comparing each version with its work.

def words(text):
    return re.sub(r"[^\w\s]", " ", text).lower().split()


def name_parts(world, person):
    given = world.given_names[world.person_given[person]]
    middle = world.person_middle[person]
    family = world.family_names[world.person_family[person]]
    return given, world.given_names[middle] if middle >= 0 else "", family


def plain(text):
    return text.translate(synthetic._STRIP_ACCENTS)


def detect(world, work, complete, v):
    """The kinds of variation that version v shows against its work."""
    found = set()
    title, ctitle = v["title"], complete["title"]
    cwords = words(ctitle)
    if set(words(title)) - set(cwords):
        found.add("title_typo")
    elif len(words(title)) < len(cwords) and not work.sub:
        found.add("title_word_dropped")
    if work.sub and not set(words(title)) & (set(words(work.sub)) - set(words(work.main + work.suffix))):
        found.add("subtitle_dropped")
    exact = set(ctitle.split())
    lower = {w.lower() for w in exact}
    if any(w not in exact and w.lower() in lower for w in title.split()):
        found.add("title_case")
    if (" - " in title or title.endswith(".") or ". " in title
            or ("-" in work.main and "-" not in title and len(title.split()) > len(ctitle.split()))):
        found.add("title_punctuation")

    if "author" not in v:
        found.add("author_missing")
    else:
        text = v["author"]
        people = [name_parts(world, p) for p in work.authors]
        families = [plain(f) for _, _, f in people]
        if text.endswith(("et al.", " and others")):
            found.add("author_et_al")
        if " and " in text and all(", " in part for part in text.split(" and ")):
            found.add("author_bibtex")
        if "; " in text or re.match(r"[^,]+, [A-Z]\.(?: [A-Z]\.)?, ", text) or re.match(r"\S+ [A-Z]{1,2}(?:,|$)", text):
            found.add("author_last_first")
        if not any(plain(g) in plain(text) for g, _, _ in people if len(g) > 2):
            found.add("author_initials")
        at = [plain(text).find(f) for f in families]
        if len(set(families)) == len(families) and all(i >= 0 for i in at) and at != sorted(at):
            found.add("author_order")
        if "et al" not in text and "others" not in text and any(f not in plain(text) for f in families):
            found.add("author_dropped")
        if text == plain(text) and any(plain(f) != f and plain(f) in text for _, _, f in people):
            found.add("author_accents")
        known = {w for g, m, f in people for w in re.split(r"[\s-]+", plain(f"{g} {m} {f}")) if w}
        tokens = re.findall(r"[^\W\d_]+", plain(text))
        if any(t not in known and not t.isupper() and t not in ("and", "others", "et", "al") for t in tokens):
            found.add("author_typo")

    if "year" not in v:
        found.add("year_missing")
    elif v["year"] != work.year:
        found.add("year_shifted")
    if work.doi:
        if "doi" not in v:
            found.add("doi_missing")
        else:
            if v["doi"] != v["doi"].lower():
                found.add("doi_case")
            if norm_doi(v["doi"]) != v["doi"].lower():
                found.add("doi_prefix")
    if "journal" not in v:
        found.add("venue_missing")
    elif v["journal"] != complete["journal"]:
        found.add("venue_abbreviated")
    for name in ("volume", "number", "pages", "publisher"):
        if name in complete and name not in v:
            found.add(f"{name}_missing")
    if "--" in v.get("pages", ""):
        found.add("pages_double_dash")
    if v.get("pages", "").startswith("pp. "):
        found.add("pages_pp")
    return found


@pytest.fixture(scope="module")
def sample():
    """(work, complete record, version, kinds the generator says it applied,
    kinds found in the data)."""
    out = []
    for item in synthetic.iter_works(6000, seed=9):
        world = synthetic._STATE["world"]
        for version, applied in zip(item.versions, item.variations):
            out.append((item.work, item.complete, version, set(applied),
                        detect(world, item.work, item.complete, version)))
    return out


# Kinds whose presence the data shows without doubt: told and seen agree on every version.
EXACT = {"author_missing", "author_et_al", "year_missing", "year_shifted", "doi_missing", "doi_case", "doi_prefix",
         "venue_missing", "volume_missing", "number_missing", "pages_missing", "pages_double_dash", "pages_pp",
         "publisher_missing"}


@pytest.mark.parametrize("kind", synthetic.VARIATIONS)
def test_every_kind_of_variation_occurs_and_shows_in_the_data(sample, kind):
    seen = [kind in found for *_, found in sample]
    told = [kind in applied for *_, applied, _ in sample]
    assert sum(seen) >= 5, f"{kind} seen in {sum(seen)} of {len(sample)} versions"
    if kind in EXACT:
        assert seen == told
    else:  # what the data shows was applied (noise of other kinds aside)
        both = sum(s and t for s, t in zip(seen, told))
        assert both >= 0.5 * sum(seen), (kind, both, sum(seen), sum(told))


def test_versions_keep_what_identifies_the_work(sample):
    for work, _, v, _, _ in sample:
        assert set(v) <= set(synthetic.FIELDS) and all(value not in ("", None) for value in v.values())
        assert v["title"].strip()
        if "doi" in v:
            assert norm_doi(v["doi"]) == work.doi
        if "pages" in v:
            assert first_page(v["pages"]) == str(work.pages[0])
        if "year" in v:
            assert abs(v["year"] - work.year) <= 1


def test_distinct_works_include_near_twins_and_shared_authors(sample):
    works = {work.wid: work for work, *_ in sample}
    by_title = collections.defaultdict(set)
    by_lead = collections.Counter()
    for work in works.values():
        by_title[work.main].add(work.wid)
        by_lead[work.authors[0]] += 1
    # Parts of a series, and conference and journal versions, share a title.
    assert sum(len(ids) > 1 for ids in by_title.values()) >= 10
    assert any(w.suffix for w in works.values())
    # Prolific people write many works.
    assert by_lead.most_common(1)[0][1] >= 10


def test_command_line_writes_the_files_and_refuses_bad_counts(tmp_path):
    script = REPO / "benchmarks" / "synthetic.py"
    done = subprocess.run([sys.executable, script, "match", "--records", "40", "--subjects", "10", "--seed", "2",
                           "--out", tmp_path], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["candidates.jsonl", "stats.json", "subjects.jsonl",
                                                          "truth.csv"]
    assert json.loads(done.stderr)["subjects"] == 10
    bad = subprocess.run([sys.executable, script, "dedupe", "--records", "-1", "--out", tmp_path / "x"],
                         capture_output=True, text=True)
    assert bad.returncode == 2 and not (tmp_path / "x").exists()


@pytest.mark.parametrize("mode", ["dedupe", "match"])
def test_refsieve_evaluate_reads_the_records_and_finds_every_true_pair_key(tmp_path, mode):
    if mode == "dedupe":
        synthetic.write_dedupe(tmp_path, 300, seed=6)
        args = ["dedupe", tmp_path / "catalogue.jsonl"]
    else:
        synthetic.write_match(tmp_path, 300, 60, seed=6)
        args = ["match", tmp_path / "subjects.jsonl", tmp_path / "candidates.jsonl", "--thresholds", "80:80:5"]
    done = run_cli("evaluate", *args, "--truth", tmp_path / "truth.csv")
    assert done.returncode == 0, done.stderr
    assert "missed" not in done.stderr and "warning" not in done.stderr, done.stderr
    lines = [line.split() for line in done.stdout.splitlines()]
    if mode == "dedupe":  # one row: found, correct, precision, recall, F1
        recall = float(lines[lines.index(["found", "correct", "precision", "recall", "F1"]) + 1][3])
    else:
        recall = float(next(row for row in lines if row[:1] == ["80"])[4])
    assert recall > 0.8  # the truth names records that do look alike
