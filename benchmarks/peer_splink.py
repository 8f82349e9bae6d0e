"""splink as a peer of ``refsieve dedupe``: deduplicates a catalogue written by
``benchmarks/synthetic.py dedupe`` with splink on DuckDB and reports wall
time, peak memory, the number of pairs it scored and the pairwise
precision, recall and F1 of its clusters against the generator's truth.

splink lives in a virtual environment of its own, away from the project's:

    python3 -m venv /work/venvs/splink
    /work/venvs/splink/bin/pip install splink

Then:

    python benchmarks/synthetic.py dedupe --records 100000 --seed 1 --out /tmp/syn100k
    /work/venvs/splink/bin/python benchmarks/peer_splink.py /tmp/syn100k [--json results.json]

``--clusters FILE`` also writes each record's cluster (``benchmarks/scale.py``
scores them beside refsieve's groups).

The model is the usual unsupervised splink model for records of this kind:

- cleaning first (lower case, accents and punctuation removed, DOI
  prefixes dropped, family names taken out of the author lists, first
  page), since splink compares columns as they are;
- prediction pairs from a union of blocking rules on exact keys: DOI, the
  cleaned title, the first author's family name with the year, and the
  first words of the title with the year;
- comparisons of the cleaned title (exact, with term-frequency
  adjustment, since a few short titles are common; Jaro-Winkler; share of
  words in common), family names in common, year (exact, one year apart),
  venue (Jaro-Winkler), DOI and first page (exact);
- no labels: the prior from deterministic rules with an assumed recall, u
  from random pairs, m by expectation maximisation over two blocking rules
  so that every comparison is estimated at least once;
- clusters by connected components of the pairs at a match probability of
  0.95 (the clustering threshold splink's tutorials use); F1 at a few
  other probabilities is printed beside it.

Peak memory is the resident set high-water mark of this process
(getrusage), which includes DuckDB, since it runs in-process.
"""

import argparse
import csv
import json
import os
import re
import resource
import sys
import time
import unicodedata

# Quality is scored as benchmarks/scale.py scores the command's groups (standard library only there).
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scale import pairwise_quality, truth_groups  # noqa: E402

CLUSTER_THRESHOLD = 0.95
OTHER_THRESHOLDS = (0.5, 0.8, 0.99)


# ---------------------------------------------------------------------------
# Cleaning: the same information as the records hold, in forms that exact
# and string comparisons can use.

_PUNCT = re.compile(r"[^\w\s]+")
_SPACE = re.compile(r"\s+")
_INITIALS = re.compile(r"^(?:[A-Z]\.?\s*){1,3}$")
_DOI_PREFIX = re.compile(r"^(?:https?://(?:dx\.)?doi\.org/|doi:)", re.I)


def _plain(text):
    if text.isascii():
        return text
    text = unicodedata.normalize("NFKD", text)
    return "".join(ch for ch in text if not unicodedata.combining(ch))


def clean_text(text):
    if not text:
        return None
    text = _SPACE.sub(" ", _PUNCT.sub(" ", _plain(text).lower())).strip()
    return text or None


def _family(person):
    """The family name of one person written "Last, First", "First Last" or
    "Last FM"."""
    person = person.strip()
    if not person:
        return None
    if "," in person:
        return person.split(",", 1)[0]
    words = person.split()
    if len(words) > 1 and words[-1].isupper() and len(words[-1]) <= 3:  # "Last FM"
        return " ".join(words[:-1])
    return words[-1]


def family_names(authors):
    """Family names, cleaned, in order, from the usual ways of writing an
    author list: BibTeX "A and B", "Last, First; ...", "Last, F., Last, G.",
    "First Last, First Last", "Last FM, Last FM", with "et al." dropped."""
    if not authors:
        return []
    text = re.sub(r"(?:,|;)?\s*(?:et al\.?|and others)\s*$", "", authors.strip())
    if ";" in text:
        people = text.split(";")
    elif " and " in text and "," in text.split(" and ")[0] and all("," in p for p in text.split(" and ")):
        people = text.split(" and ")  # BibTeX: "Last, First and Last, First"
    else:
        parts = [p.strip() for p in re.split(r",|\band\b", text) if p.strip()]
        if len(parts) >= 2 and all(_INITIALS.match(p) for p in parts[1::2]):
            people = [f"{a}, {b}" for a, b in zip(parts[::2], parts[1::2])]  # "Last, F., Last, G."
        else:
            people = parts
    out = []
    for person in people:
        name = clean_text(_family(person) or "")
        if name:
            out.append(name)
    return out


def clean_doi(doi):
    if not doi:
        return None
    return _DOI_PREFIX.sub("", doi.strip()).lower() or None


def first_page(pages):
    if not pages:
        return None
    m = re.search(r"\d+", str(pages))
    return m.group(0) if m else None


def load(path):
    """The catalogue as a pyarrow table of cleaned columns."""
    import pyarrow as pa

    cols = {name: [] for name in ("unique_id", "title_clean", "title_words", "title_start", "surnames",
                                  "first_surname", "year", "venue_clean", "doi_clean", "first_page")}
    with open(path, encoding="utf-8") as f:
        for line in f:
            r = json.loads(line)
            title = clean_text(r.get("title"))
            words = title.split() if title else []
            names = family_names(r.get("author"))
            year = r.get("year")
            cols["unique_id"].append(r["key"])
            cols["title_clean"].append(title)
            cols["title_words"].append(sorted(set(words)) or None)
            cols["title_start"].append(" ".join(words[:3]) if len(words) >= 3 else None)
            cols["surnames"].append(sorted(set(names)) or None)
            cols["first_surname"].append(names[0] if names else None)
            cols["year"].append(int(year) if isinstance(year, int) or (isinstance(year, str) and year.isdigit())
                                else None)
            cols["venue_clean"].append(clean_text(r.get("journal")))
            cols["doi_clean"].append(clean_doi(r.get("doi")))
            cols["first_page"].append(first_page(r.get("pages")))
    return pa.table(cols)


# ---------------------------------------------------------------------------
# The splink model.


def settings():
    import splink.comparison_level_library as cll
    import splink.comparison_library as cl
    from splink import SettingsCreator, block_on

    # Words in common, as a share of the words of both titles (each list holds distinct words).
    share = "2 * len(list_intersect(title_words_l, title_words_r)) / (len(title_words_l) + len(title_words_r))"
    title = cl.CustomComparison(
        output_column_name="title",
        comparison_levels=[
            cll.NullLevel("title_clean"),
            cll.ExactMatchLevel("title_clean", term_frequency_adjustments=True),
            cll.JaroWinklerLevel("title_clean", 0.95),
            cll.CustomLevel(f"{share} >= 0.8", label_for_charts="4/5 of the words in common"),
            cll.CustomLevel(f"{share} >= 0.6", label_for_charts="3/5 of the words in common"),
            cll.ElseLevel(),
        ],
    )
    year = cl.CustomComparison(
        output_column_name="year",
        comparison_levels=[
            cll.NullLevel("year"),
            cll.ExactMatchLevel("year"),
            cll.AbsoluteDifferenceLevel("year", 1),
            cll.ElseLevel(),
        ],
    )
    return SettingsCreator(
        link_type="dedupe_only",
        blocking_rules_to_generate_predictions=[
            block_on("doi_clean"),
            block_on("title_clean"),
            block_on("first_surname", "year"),
            block_on("title_start", "year"),
        ],
        comparisons=[
            title,
            cl.ArrayIntersectAtSizes("surnames", [3, 2, 1]),
            year,
            cl.JaroWinklerAtThresholds("venue_clean", [0.92, 0.8]),
            cl.ExactMatch("doi_clean"),
            cl.ExactMatch("first_page"),
        ],
        retain_intermediate_calculation_columns=False,
        retain_matching_columns=False,
    )


def run_splink(table, u_pairs, seed, threads=None):
    """Trains the model, scores the blocked pairs and clusters them; returns
    the pairs scored, key -> cluster at CLUSTER_THRESHOLD, timings, and a
    function that clusters at another threshold."""
    from splink import DuckDBAPI, Linker, block_on

    timings = {}
    t = time.perf_counter()
    db_api = DuckDBAPI()
    if threads:
        db_api.duckdb_con.execute(f"SET threads = {int(threads)}")
    df = db_api.register(table, dataset_display_name="catalogue")
    linker = Linker(df, settings())
    training = linker.training
    # The prior: pairs that deterministic rules accept, scaled by an assumed recall.
    training.estimate_probability_two_random_records_match(
        [block_on("doi_clean"), block_on("title_clean", "first_surname", "year")], recall=0.7)
    training.estimate_u_using_random_sampling(max_pairs=u_pairs, seed=seed)
    training.estimate_parameters_using_expectation_maximisation(block_on("title_clean"))
    training.estimate_parameters_using_expectation_maximisation(block_on("first_surname", "year"))
    timings["train_seconds"] = time.perf_counter() - t

    t = time.perf_counter()
    predictions = linker.inference.predict()
    con = db_api.duckdb_con
    scored = con.execute(f"select count(*) from {predictions.physical_name}").fetchall()[0][0]
    timings["predict_seconds"] = time.perf_counter() - t

    def cluster(threshold):
        clusters = linker.clustering.cluster_pairwise_predictions_at_threshold(
            predictions, threshold_match_probability=threshold)
        return dict(con.execute(f"select unique_id, cluster_id from {clusters.physical_name}").fetchall())

    t = time.perf_counter()
    clusters = cluster(CLUSTER_THRESHOLD)
    timings["cluster_seconds"] = time.perf_counter() - t
    return scored, clusters, timings, cluster


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("directory", help="output of synthetic.py dedupe (catalogue.jsonl, truth.csv)")
    parser.add_argument("--u-pairs", type=float, default=1e7, help="random pairs for the u estimates (default 1e7)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the random sampling for u")
    parser.add_argument("--threads", type=int, help="DuckDB threads (default: all cores)")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--clusters", help=f"also write each record's cluster at {CLUSTER_THRESHOLD} to this CSV "
                                           "file (key,cluster), for scoring by another script")
    parser.add_argument("--only-clusters", action="store_true",
                        help="with --clusters: no other thresholds and no scoring, so that a caller timing this "
                             "whole process times splink's work alone")
    args = parser.parse_args(argv)
    if args.only_clusters and not args.clusters:
        parser.error("--only-clusters needs --clusters")

    import logging

    import splink

    logging.getLogger("splink").setLevel(logging.WARNING)
    started = time.perf_counter()
    table = load(os.path.join(args.directory, "catalogue.jsonl"))
    load_seconds = time.perf_counter() - started
    scored, clusters, timings, cluster = run_splink(table, args.u_pairs, args.seed, args.threads)
    wall = time.perf_counter() - started
    peak = peak_rss_mib()
    if args.clusters:
        with open(args.clusters, "w", encoding="utf-8", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(("key", "cluster"))
            writer.writerows(clusters.items())
    result = {
        "tool": f"splink {splink.__version__}", "records": table.num_rows, "pairs_scored": scored,
        "wall_seconds": round(wall, 1), "load_seconds": round(load_seconds, 1),
        **{k: round(v, 1) for k, v in timings.items()}, "peak_rss_mib": round(peak), "threshold": CLUSTER_THRESHOLD,
    }
    if not args.only_clusters:
        # Other thresholds, for the record: after the measurements.
        clusterings = {CLUSTER_THRESHOLD: clusters, **{t: cluster(t) for t in OTHER_THRESHOLDS}}
        truth, true_pairs = truth_groups(os.path.join(args.directory, "truth.csv"))
        result.update(true_pairs=true_pairs, **pairwise_quality(clusterings[CLUSTER_THRESHOLD], truth, true_pairs),
                      other_thresholds={str(t): pairwise_quality(clusterings[t], truth, true_pairs)
                                        for t in OTHER_THRESHOLDS})
    print(json.dumps(result, indent=1))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=1)
            f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
