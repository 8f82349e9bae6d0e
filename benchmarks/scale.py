"""refsieve at scale: ``refsieve dedupe`` and ``refsieve match`` on synthetic
catalogues of 100,000 and 1,000,000 records, with splink deduplicating the
same catalogues beside it.

    python benchmarks/scale.py [--sizes 100000,1000000 | --quick] [--data DIR ...] [--no-splink]
                               [--subject-share 0.1] [--full-match] [--build-dir DIR] [--json FILE]

For each size it

- finds or writes the data with ``benchmarks/synthetic.py`` (seed 1): a
  catalogue of that many records with its true pairs (``dedupe`` mode),
  and that many candidates with a tenth as many subjects (``match`` mode,
  a quarter of them of works outside the catalogue; ``--subject-share 1``
  for as many subjects as candidates);
- runs ``refsieve dedupe CATALOGUE -o OUT.csv`` in a child process, as a
  user would, and measures its wall time, its peak resident set and the
  pairwise precision, recall and F1 of its groups (two records in one
  group are a found pair; it is right when they are versions of one work);
- runs ``refsieve match SUBJECTS CANDIDATES --blocking -o OUT.csv`` and
  measures the same, scoring the best match of each subject (its first
  row): precision over the subjects given a match, recall over the
  subjects whose work is in the catalogue; with ``--full-match``, at the
  largest size also as many subjects as candidates. A build whose command has no
  ``--blocking`` is measured scoring every pair, on small sizes only;
- runs ``benchmarks/peer_splink.py`` in splink's own environment on the
  same catalogue, measured the same way, its clusters scored by the same
  function (``--no-splink`` leaves it out: on 1,000,000 records it has
  taken 25 minutes and 9 GiB on two cores).

What the command says on standard error (keys shared by too many records
and skipped, sets of records too large to decide in full) is kept and
shown, since it tells how much of the catalogue was left to shortcuts.

The command runs as ``python -m refsieve_cli`` with this interpreter and
this environment, so PYTHONPATH chooses the build, as benchmarks/run.py
sets it; ``--build-dir`` sets it here. Generated data is kept: the first
``--data`` directory receives it, and every ``--data`` directory is
searched for a subdirectory whose ``stats.json`` says it holds the same
data (mode, size, seed), so earlier output of synthetic.py is reused.
Prints a table on standard output; ``--json FILE`` also writes the figures.
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

SIZES = (100_000, 1_000_000)
QUICK_SIZES = (20_000,)
SEED = 1
SUBJECT_SHARE = 0.1  # subjects per candidate in match mode (synthetic.py's default)
UNMATCHED = 0.25  # synthetic.py's default share of subjects with no work in the catalogue
# Without candidate generation the command scores every subject against every
# candidate; beyond this many pairs that run is left out.
EXHAUSTIVE_LIMIT = 10 ** 8
SPLINK_PYTHON = "/work/venvs/splink/bin/python"


def log(message):
    print(message, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Data


def _holds(directory, want, files):
    """Whether directory holds complete synthetic.py output with the statistics in want."""
    try:
        with open(os.path.join(directory, "stats.json"), encoding="utf-8") as f:
            stats = json.load(f)
    except (OSError, ValueError):
        return False
    return all(stats.get(k) == v for k, v in want.items()) and all(
        os.path.isfile(os.path.join(directory, name)) for name in files)


def find_or_make(data_dirs, mode, records, subjects=None, seed=SEED):
    """A directory of synthetic.py output for these arguments: one found in
    data_dirs (or a subdirectory of one), else written into the first."""
    if mode == "dedupe":
        want, files = {"mode": mode, "records": records, "seed": seed}, ("catalogue.jsonl", "truth.csv")
        name = f"dedupe-{records}-seed{seed}"
    else:
        want = {"mode": mode, "candidates": records, "subjects": subjects, "seed": seed,
                "unmatched_subjects": round(subjects * UNMATCHED)}
        files = ("subjects.jsonl", "candidates.jsonl", "truth.csv")
        name = f"match-{records}x{subjects}-seed{seed}"
    for top in data_dirs:
        if not os.path.isdir(top):
            continue
        for directory in [top] + sorted(os.path.join(top, d) for d in os.listdir(top)):
            if _holds(directory, want, files):
                return directory
    target = os.path.join(data_dirs[0], name)
    partial = target + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    log(f"== writing {mode} data, {records:,} records{f', {subjects:,} subjects' if subjects else ''}, into {target}")
    command = [sys.executable, os.path.join(HERE, "synthetic.py"), mode, "--records", str(records),
               "--seed", str(seed), "--out", partial]
    if subjects is not None:
        command += ["--subjects", str(subjects), "--unmatched", str(UNMATCHED)]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(target, ignore_errors=True)
    os.rename(partial, target)
    return target


# ---------------------------------------------------------------------------
# Children: wall time and peak memory of one process


def run_child(command, env=None):
    """Runs command with standard output discarded; its wall seconds, peak
    resident set in bytes (of that process alone, from wait4), exit status
    and standard error."""
    started = time.perf_counter()
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, env=env)
    stderr = process.stderr.read().decode("utf-8", "replace")
    process.stderr.close()
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    process.returncode = os.waitstatus_to_exitcode(status)  # reaped here: Popen must not wait again
    return {"seconds": round(seconds, 2), "peak_rss_bytes": usage.ru_maxrss * 1024, "status": process.returncode,
            "stderr": stderr}


def checked(result, what):
    if result["status"] != 0:
        tail = "\n".join(result["stderr"].splitlines()[-20:])
        raise SystemExit(f"{what} failed with status {result['status']}:\n{tail}")
    return result


def refsieve(*args):
    return [sys.executable, "-m", "refsieve_cli", *args]


# ---------------------------------------------------------------------------
# Quality against the generator's truth


def truth_groups(path):
    """Record key -> one key of its work, from truth.csv of dedupe mode
    (key1,key2: every two versions of one work, each pair once), and the
    number of true pairs."""
    parent = {}

    def root(key):
        while parent.setdefault(key, key) != key:
            parent[key] = parent[parent[key]]
            key = parent[key]
        return key

    pairs = 0
    with open(path, encoding="utf-8", newline="") as f:
        rows = csv.reader(f)
        next(rows)
        for first, second, *_ in rows:
            parent[root(first)] = root(second)
            pairs += 1
    return {key: root(key) for key in parent}, pairs


def pairwise_quality(clusters, works, true_pairs):
    """Precision, recall and F1 over pairs. clusters maps each record key to
    its cluster, works each key that has versions to its work (keys absent
    are works of one version). Every two records in one cluster are a found
    pair, right when they also share a work."""
    def pairs(n):
        return n * (n - 1) // 2

    in_cluster, in_both = {}, {}
    for key, cluster in clusters.items():
        in_cluster[cluster] = in_cluster.get(cluster, 0) + 1
        cell = (cluster, works.get(key, key))
        in_both[cell] = in_both.get(cell, 0) + 1
    found = sum(pairs(n) for n in in_cluster.values())
    right = sum(pairs(n) for n in in_both.values())
    return quality(found, right, true_pairs)


def quality(found, right, true):
    precision = right / found if found else 1.0
    recall = right / true if true else 1.0
    f1 = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
    return {"found": found, "right": right, "true": true, "precision": round(precision, 4),
            "recall": round(recall, 4), "f1": round(f1, 4)}


def top_match_quality(output, truth_path):
    """Quality of the best match of each subject in the command's CSV output
    (one row per match, best first), against truth.csv of match mode
    (subject_key,candidate_key); all matches, and those decided the same work."""
    truth = {}
    with open(truth_path, encoding="utf-8", newline="") as f:
        rows = csv.reader(f)
        next(rows)
        for subject, candidate, *_ in rows:
            truth[subject] = candidate
    best = {}
    with open(output, encoding="utf-8", newline="") as f:
        for row in csv.DictReader(f):
            best.setdefault(row["subject_key"], (row["candidate_key"], row.get("decision")))
    right = sum(truth.get(subject) == candidate for subject, (candidate, _) in best.items())
    same = [(s, c) for s, (c, decision) in best.items() if decision == "same"]
    return {**quality(len(best), right, len(truth)),
            "decided_same": quality(len(same), sum(truth.get(s) == c for s, c in same), len(truth))}


def read_clusters(path, key_column="key", cluster_column="cluster"):
    with open(path, encoding="utf-8", newline="") as f:
        return {row[key_column]: row[cluster_column] for row in csv.DictReader(f)}


def self_check():
    """The pairwise measure on a small case worked by hand: works {a,b,c}
    and {d,e} (4 true pairs); clusters {a,b}, {c,d}, {e}: 2 pairs found,
    1 right."""
    works, true_pairs = {"a": "a", "b": "a", "c": "a", "d": "d", "e": "d"}, 4
    got = pairwise_quality({"a": 1, "b": 1, "c": 2, "d": 2, "e": 3}, works, true_pairs)
    assert (got["found"], got["right"], got["precision"], got["recall"]) == (2, 1, 0.5, 0.25), got
    # Keys that are no version of a shared work never make a right pair.
    got = pairwise_quality({"x": 1, "y": 1, "a": 2, "b": 2, "c": 2}, works, true_pairs)
    assert (got["found"], got["right"]) == (4, 3), got
    assert pairwise_quality({}, {}, 0)["f1"] == 1.0


# ---------------------------------------------------------------------------
# What the command reports on standard error

_NUMBER = r"(\d[\d,]*)"
_SKIPPED = re.compile(_NUMBER + r" keys? shared by too many records.*?\(" + _NUMBER + r" records in all\)")
_TOO_LARGE = re.compile(_NUMBER + r" sets? of linked records were too large.*?largest holds " + _NUMBER + r" records")


def reported(stderr):
    """The command's notes and warnings (lines beginning "refsieve:") and the
    counts of skipped keys and of sets too large, where it states them."""
    notes = [line.strip() for line in stderr.splitlines() if line.startswith("refsieve:")]
    counts = {}
    for note in notes:
        if m := _SKIPPED.search(note):
            counts["keys_skipped"], counts["records_in_skipped_keys"] = _int(m[1]), _int(m[2])
        if m := _TOO_LARGE.search(note):
            counts["sets_too_large"], counts["largest_set"] = _int(m[1]), _int(m[2])
    return {"notes": notes, **counts}


def _int(text):
    return int(text.replace(",", ""))


def has_blocking(env):
    done = subprocess.run(refsieve("match", "--help"), capture_output=True, text=True, env=env, check=True)
    return "--blocking" in done.stdout


def engine_file(env):
    done = subprocess.run([sys.executable, "-c", "import refsieve_cli._engine as e; print(e.__file__)"],
                          capture_output=True, text=True, env=env, check=True)
    return done.stdout.strip()


# ---------------------------------------------------------------------------
# The runs


def dedupe_refsieve(directory, scratch, env):
    output = os.path.join(scratch, "dedupe.csv")
    result = checked(run_child(refsieve("dedupe", os.path.join(directory, "catalogue.jsonl"), "-o", output), env),
                     "refsieve dedupe")
    works, true_pairs = truth_groups(os.path.join(directory, "truth.csv"))
    clusters = read_clusters(output)
    result.update(records=len(clusters), **pairwise_quality(clusters, works, true_pairs),
                  **reported(result.pop("stderr")))
    os.remove(output)
    return result


def dedupe_splink(directory, scratch, splink_python):
    if not os.path.exists(splink_python):
        return {"skipped": f"no splink environment at {splink_python} (see benchmarks/peer_splink.py)"}
    figures, clusters_path = os.path.join(scratch, "splink.json"), os.path.join(scratch, "splink.csv")
    result = checked(run_child([splink_python, os.path.join(HERE, "peer_splink.py"), directory, "--json", figures,
                                "--clusters", clusters_path, "--only-clusters"]), "splink")
    with open(figures, encoding="utf-8") as f:
        own = json.load(f)
    works, true_pairs = truth_groups(os.path.join(directory, "truth.csv"))
    clusters = read_clusters(clusters_path)
    result.pop("stderr")
    result.update(tool=own["tool"], records=len(clusters), **pairwise_quality(clusters, works, true_pairs),
                  **{k: own[k] for k in ("threshold", "pairs_scored", "wall_seconds", "peak_rss_mib", "load_seconds",
                                         "train_seconds", "predict_seconds", "cluster_seconds")})
    os.remove(clusters_path)
    return result


def match_refsieve(directory, scratch, env, blocking):
    output = os.path.join(scratch, "match.csv")
    command = refsieve("match", os.path.join(directory, "subjects.jsonl"), os.path.join(directory, "candidates.jsonl"),
                       *(["--blocking"] if blocking else []), "-o", output)
    result = checked(run_child(command, env), "refsieve match")
    result.update(blocking=blocking, **top_match_quality(output, os.path.join(directory, "truth.csv")),
                  **reported(result.pop("stderr")))
    os.remove(output)
    return result


def measure(sizes, data_dirs, env, splink_python, subject_share=SUBJECT_SHARE, full_match=False):
    blocking = has_blocking(env)
    if not blocking:
        log("(refsieve match has no --blocking here: match scores every pair, on small sizes only)")
    out = {"engine": engine_file(env), "blocking": blocking, "cores": os.cpu_count(),
           "load_average_at_start": list(os.getloadavg()), "seed": SEED, "sizes": []}
    os.makedirs(data_dirs[0], exist_ok=True)
    with tempfile.TemporaryDirectory(dir=data_dirs[0]) as scratch:
        for size in sizes:
            entry = {"records": size}
            directory = find_or_make(data_dirs, "dedupe", size)
            entry["dedupe_data"] = directory
            log(f"== refsieve dedupe, {size:,} records ({directory})")
            entry["dedupe"] = dedupe_refsieve(directory, scratch, env)
            log(f"   {summary(entry['dedupe'])}")
            if splink_python:
                log(f"== splink, {size:,} records")
                entry["splink"] = dedupe_splink(directory, scratch, splink_python)
                log(f"   {summary(entry['splink'])}")
            else:
                entry["splink"] = {"skipped": "not asked for (--no-splink)"}
            subjects = max(1, round(size * subject_share))
            entry["subjects"] = subjects
            if blocking or subjects * size <= EXHAUSTIVE_LIMIT:
                directory = find_or_make(data_dirs, "match", size, subjects)
                entry["match_data"] = directory
                log(f"== refsieve match, {subjects:,} x {size:,}{' --blocking' if blocking else ', every pair'}")
                entry["match"] = match_refsieve(directory, scratch, env, blocking)
            else:
                entry["match"] = {"skipped": f"this build's `refsieve match` has no --blocking, and scoring every "
                                             f"pair ({subjects:,} x {size:,}) would take too long"}
            log(f"   {summary(entry['match'])}")
            if full_match and size == max(sizes) and blocking:
                # As many subjects as candidates: the size at which scoring every pair is out of reach.
                directory = find_or_make(data_dirs, "match", size, size)
                entry["match_full_data"] = directory
                log(f"== refsieve match, {size:,} x {size:,} --blocking")
                entry["match_full"] = match_refsieve(directory, scratch, env, blocking)
                log(f"   {summary(entry['match_full'])}")
            out["sizes"].append(entry)
    out["load_average_at_end"] = list(os.getloadavg())
    return out


# ---------------------------------------------------------------------------
# Report


def summary(r):
    if "skipped" in r:
        return f"skipped: {r['skipped']}"
    return (f"{r['seconds']:.1f} s, {gib(r['peak_rss_bytes'])}, P {r['precision']:.4f} R {r['recall']:.4f} "
            f"F1 {r['f1']:.4f}")


# Notes every run writes: the fields read from each file, and the closing count.
_ROUTINE = re.compile(r"refsieve: (.*: fields read: |[\d,]+ records in [\d,]+ groups|[\d,]+ subjects against )")


def routine(note):
    return bool(_ROUTINE.match(note))


def gib(n):
    return f"{n / 2 ** 30:.2f} GiB" if n >= 2 ** 30 else f"{n / 2 ** 20:.0f} MiB"


def said(r):
    """What the run reported about keys and sets left to shortcuts, briefly."""
    parts = []
    if "keys_skipped" in r:
        parts.append(f"{r['keys_skipped']:,} keys skipped ({r['records_in_skipped_keys']:,} records)")
    if "sets_too_large" in r:
        parts.append(f"{r['sets_too_large']:,} sets too large to decide in full (largest {r['largest_set']:,})")
    others = [n for n in r.get("notes", ()) if not (_SKIPPED.search(n) or _TOO_LARGE.search(n) or routine(n))]
    warnings = sum("warning:" in n for n in others)
    for count, kind in ((warnings, "warning"), (len(others) - warnings, "other note")):
        if count:
            parts.append(f"{count} {kind}{'s' if count > 1 else ''} (below)")
    return "; ".join(parts) or "none"


def rows(result):
    """Table rows: task, size, tool, wall time, peak memory, precision, recall, F1, reported."""
    out = []
    for entry in result["sizes"]:
        records, splink, match = f"{entry['records']:,}", entry["splink"], entry["match"]
        out.append(row("dedupe", f"{records} records", "refsieve", entry["dedupe"]))
        out.append(row("dedupe", f"{records} records", splink.get("tool", "splink"), splink))
        tool = {True: "refsieve --blocking", False: "refsieve, every pair"}.get(match.get("blocking"), "refsieve")
        out.append(row("match", f"{entry['subjects']:,} subjects x {records} candidates", tool, match))
        if "match_full" in entry:
            out.append(row("match", f"{records} subjects x {records} candidates", tool, entry["match_full"]))
    return out


def row(task, size, tool, r):
    if "skipped" in r:
        return (task, size, tool, "-", "-", "-", "-", "-", f"not run: {r['skipped']}")
    return (task, size, tool, f"{r['seconds']:.1f} s", gib(r["peak_rss_bytes"]), f"{r['precision']:.4f}",
            f"{r['recall']:.4f}", f"{r['f1']:.4f}", said(r) if "notes" in r else "-")


HEADER = ("task", "size", "tool", "wall time", "peak memory", "precision", "recall", "F1", "reported")


def notes_text(result):
    """The notes and warnings of the command beyond the routine ones, under the size and task that wrote them."""
    lines = []
    for entry in result["sizes"]:
        for task in ("dedupe", "match", "match_full"):
            for note in entry.get(task, {}).get("notes", ()):
                if not routine(note):
                    lines.append(f"- {task}, {entry['records']:,}: `{note}`")
    return "\n".join(lines)


def print_table(result, stream=sys.stdout):
    widths = [max(len(str(row[i])) for row in [HEADER, *rows(result)]) for i in range(len(HEADER))]
    for row in [HEADER, *rows(result)]:
        print("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip(), file=stream)
    notes = notes_text(result)
    if notes:
        print("\nThe command's notes:\n" + notes, file=stream)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)),
                        help="records per catalogue, comma-separated (default %(default)s)")
    parser.add_argument("--quick", action="store_true", help=f"a smoke run on {QUICK_SIZES[0]:,} records")
    parser.add_argument("--data", action="append",
                        help="where synthetic data is looked for and kept (repeatable; new data goes to the first; "
                             "default build/synthetic)")
    parser.add_argument("--subject-share", type=float, default=SUBJECT_SHARE,
                        help="match: subjects per candidate (default %(default)s)")
    parser.add_argument("--full-match", action="store_true",
                        help="at the largest size, also match as many subjects as candidates with --blocking")
    parser.add_argument("--build-dir", help="run the command of this build (PYTHONPATH: DIR and DIR/python, else "
                                            "the repository's python/); default: the environment's")
    parser.add_argument("--splink-python", default=SPLINK_PYTHON, help="the interpreter of splink's environment")
    parser.add_argument("--no-splink", action="store_true", help="leave splink out")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args(argv)
    self_check()
    sizes = QUICK_SIZES if args.quick else tuple(int(s.replace("_", "")) for s in args.sizes.split(","))
    data_dirs = [os.path.abspath(d) for d in args.data or [os.path.join(ROOT, "build", "synthetic")]]
    env = dict(os.environ)
    if args.build_dir:
        build = os.path.abspath(args.build_dir)
        package = os.path.join(build, "python")  # where run.py puts the command beside its engine
        if not os.path.isdir(package):
            package = os.path.join(ROOT, "python")
        env["PYTHONPATH"] = os.pathsep.join([build, package])
    result = measure(sizes, data_dirs, env, None if args.no_splink else args.splink_python, args.subject_share,
                     args.full_match)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=1)
            f.write("\n")
    print_table(result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
