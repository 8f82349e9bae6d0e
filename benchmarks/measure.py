"""One Python-side measurement per process; prints its result as JSON.

run.py starts this with PYTHONPATH pointing at the build to measure and,
for throughput, RAYON_NUM_THREADS set to the thread count under test
(the pool size is fixed when a process first scores a batch).

    measure.py throughput --workload synthetic --subjects S --candidates C
    measure.py token-sort-ratio --pairs N
    measure.py memory --subjects S --candidates C --sizes JSON
    measure.py large --subjects S --candidates C
    measure.py peers --subjects S --threads T
"""

import argparse
import gc
import json
import os
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import refsieve  # noqa: E402
import workload  # noqa: E402


def load(name, n_subjects, n_candidates):
    if name == "synthetic":
        return workload.synthetic(n_subjects, n_candidates)
    data = workload.dblp_acm()
    if data is None:
        raise SystemExit("the DBLP-ACM data is absent")
    subjects, candidates = data
    return subjects[:n_subjects], candidates[:n_candidates]


def throughput(args):
    subjects, candidates = load(args.workload, args.subjects, args.candidates)
    seconds = []
    for _ in range(args.repeat):
        gc.collect()
        start = time.perf_counter()
        result = refsieve.score_batch(subjects, candidates, args.top_n, args.min_score)
        seconds.append(time.perf_counter() - start)
        matches = sum(len(r["matches"]) for r in result)
        del result
    return {
        "subjects": len(subjects),
        "candidates": len(candidates),
        "pairs": len(subjects) * len(candidates),
        "threads": int(os.environ.get("RAYON_NUM_THREADS", "0")),
        "top_n": args.top_n,
        "min_score": args.min_score,
        "matches": matches,
        "seconds": seconds,
    }


def title_pairs(n):
    """Title pairs as the C++ benchmark takes them: subject i against
    candidate (i * 7919) % C."""
    subjects, candidates = workload.synthetic(n, 2000)
    return [(s["title"], candidates[(i * 7919) % len(candidates)]["title"]) for i, s in enumerate(subjects)]


def token_sort_ratio(args):
    pairs = title_pairs(args.pairs)
    ratio = refsieve.token_sort_ratio
    seconds = []
    for _ in range(args.repeat):
        start = time.perf_counter()
        for a, b in pairs:
            ratio(a, b)
        seconds.append(time.perf_counter() - start)
    return {"calls": len(pairs), "seconds": seconds}


def malloc_bytes(size):
    """What glibc's malloc takes for a request of size bytes."""
    return max(32, (size + 8 + 15) & ~15)


def converted_record_bytes(records, sizes):
    """The native records as score_batch holds them: one vector of records
    whose texts are borrowed from the str objects, and a reference to each
    of those objects (the texts themselves are not copied)."""
    total = len(records) * sizes["RecordView"]
    for record in records:
        for key in ("title", "author", "doi", "journal", "volume", "number", "pages", "publisher"):
            if record[key] is not None:
                total += 8
    return total


def deep_size(obj, seen=None):
    """Bytes of a result: lists, dicts and their keys and values, each
    object counted once."""
    seen = set() if seen is None else seen
    if id(obj) in seen:
        return 0
    seen.add(id(obj))
    size = sys.getsizeof(obj)
    if isinstance(obj, dict):
        size += sum(deep_size(k, seen) + deep_size(v, seen) for k, v in obj.items())
    elif isinstance(obj, list):
        size += sum(deep_size(item, seen) for item in obj)
    return size


def reset_peak_rss():
    """Makes the peak resident set start again from the current one (Linux);
    False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def current_rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measured_call(subjects, candidates, top_n, min_score):
    """One score_batch call: its result, its time and the resident set it adds at its peak."""
    gc.collect()
    reset = reset_peak_rss()
    rss_before = current_rss_bytes()
    peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    start = time.perf_counter()
    result = refsieve.score_batch(subjects, candidates, top_n, min_score)
    seconds = time.perf_counter() - start
    peak_after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return result, {
        "seconds": seconds,
        "peak_reset": reset,
        "rss_before": rss_before,
        "peak_before": peak_before,
        "peak_after": peak_after,
        # What the call added at its peak over the process before it. Without
        # the reset the earlier peak hides part of it: a lower bound then.
        "call_peak_bytes": peak_after - (rss_before if reset else peak_before),
    }


def memory(args):
    sizes = json.loads(args.sizes)
    if args.workload == "synthetic":
        subjects, candidates = workload.synthetic(args.subjects, args.candidates)
    else:
        subjects, candidates = load(args.workload, args.subjects, None)
        candidates = workload.repeated(candidates, args.candidates)
    result, call = measured_call(subjects, candidates, args.top_n, args.min_score)
    return {
        "subjects": len(subjects),
        "candidates": len(candidates),
        "top_n": args.top_n,
        "min_score": args.min_score,
        **call,
        "workload": args.workload,
        "records_bytes": converted_record_bytes(subjects, sizes) + converted_record_bytes(candidates, sizes),
        "results_bytes": deep_size(result),
        "matches": sum(len(r["matches"]) for r in result),
    }


def large(args):
    """One call of S DBLP subjects against C candidates (the ACM records
    repeated): its time and the resident set it adds at its peak."""
    subjects, candidates = load("dblp-acm", args.subjects, None)
    candidates = workload.repeated(candidates, args.candidates)
    result, call = measured_call(subjects, candidates, args.top_n, args.min_score)
    return {
        "subjects": len(subjects),
        "candidates": len(candidates),
        "pairs": len(subjects) * len(candidates),
        "threads": int(os.environ.get("RAYON_NUM_THREADS", "0")),
        "seconds": [call["seconds"]],
        "peak_reset": call["peak_reset"],
        "call_peak_bytes": call["call_peak_bytes"],
        "matches": sum(len(r["matches"]) for r in result),
    }


def sorted_key(text):
    """The sorted, lower-cased tokens of a text, as a peer is given them."""
    return " ".join(sorted(text.lower().split()))


def best_of(repeat, call):
    seconds = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        call()
        seconds.append(time.perf_counter() - start)
    return min(seconds)


def best_of_alternating(repeat, *calls):
    """best_of for each call, the calls taking turns, so that a slow spell
    of a shared machine falls on all of them rather than on one."""
    best = [float("inf")] * len(calls)
    for _ in range(repeat):
        for k, call in enumerate(calls):
            best[k] = min(best[k], best_of(1, call))
    return best


def peers(args):
    """refsieve and its peers on the same DBLP-ACM records in one process,
    on the same number of threads."""
    from rapidfuzz import distance, fuzz, process
    import jellyfish

    subjects, candidates = load("dblp-acm", args.subjects, None)
    threads = args.threads
    # The peers get their keys ready-made; refsieve builds its own inside the call.
    keys = {field: ([sorted_key(r[field]) for r in subjects], [sorted_key(r[field]) for r in candidates])
            for field in ("title", "author")}
    jw = distance.JaroWinkler.normalized_similarity

    def cdist_both():
        for field in ("title", "author"):
            process.cdist(keys[field][0], keys[field][1], scorer=jw, workers=threads)

    batch, cdist = best_of_alternating(args.repeat, lambda: refsieve.score_batch(subjects, candidates, 10, 0.0),
                                       cdist_both)

    pairs = [(s["title"], candidates[(i * 7919) % len(candidates)]["title"]) for i, s in enumerate(subjects)]
    pairs = (pairs * (args.calls // len(pairs) + 1))[:args.calls]
    key_pairs = [(sorted_key(a), sorted_key(b)) for a, b in pairs]
    ours = refsieve.token_sort_ratio
    theirs = fuzz.token_sort_ratio
    jellyfish_jw = jellyfish.jaro_winkler_similarity
    ratio_ours, ratio_rapidfuzz, jw_jellyfish = best_of_alternating(
        args.repeat, lambda: [ours(a, b) for a, b in pairs], lambda: [theirs(a, b) for a, b in pairs],
        lambda: [jellyfish_jw(a, b) for a, b in key_pairs])
    import rapidfuzz
    from importlib.metadata import version
    return {
        "subjects": len(subjects),
        "candidates": len(candidates),
        "threads": threads,
        "calls": len(pairs),
        "score_batch_seconds": batch,
        "rapidfuzz_cdist_seconds": cdist,
        "token_sort_ratio_seconds": ratio_ours,
        "rapidfuzz_token_sort_ratio_seconds": ratio_rapidfuzz,
        "jellyfish_jaro_winkler_seconds": jw_jellyfish,
        "versions": {"rapidfuzz": rapidfuzz.__version__, "jellyfish": version("jellyfish")},
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="what", required=True)
    t = sub.add_parser("throughput")
    t.add_argument("--workload", default="synthetic", choices=("synthetic", "dblp-acm"))
    t.add_argument("--subjects", type=int, required=True)
    t.add_argument("--candidates", type=int, required=True)
    t.add_argument("--top-n", type=int, default=10)
    t.add_argument("--min-score", type=float, default=0.0)
    t.add_argument("--repeat", type=int, default=3)
    r = sub.add_parser("token-sort-ratio")
    r.add_argument("--pairs", type=int, default=2000)
    r.add_argument("--repeat", type=int, default=5)
    m = sub.add_parser("memory")
    m.add_argument("--workload", default="synthetic", choices=("synthetic", "dblp-acm"))
    m.add_argument("--subjects", type=int, default=10000)
    m.add_argument("--candidates", type=int, default=10000)
    m.add_argument("--top-n", type=int, default=10)
    m.add_argument("--min-score", type=float, default=0.0)
    m.add_argument("--sizes", required=True, help="the JSON that refsieve_bench --sizes prints")
    g = sub.add_parser("large")
    g.add_argument("--subjects", type=int, default=100)
    g.add_argument("--candidates", type=int, default=1000000)
    g.add_argument("--top-n", type=int, default=10)
    g.add_argument("--min-score", type=float, default=0.0)
    p = sub.add_parser("peers")
    p.add_argument("--subjects", type=int, default=800)
    p.add_argument("--threads", type=int, required=True)
    p.add_argument("--calls", type=int, default=2000)
    p.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    result = {"throughput": throughput, "token-sort-ratio": token_sort_ratio, "memory": memory, "large": large,
              "peers": peers}[args.what](args)
    result["module"] = refsieve.__file__
    print(json.dumps(result))


if __name__ == "__main__":
    main()
