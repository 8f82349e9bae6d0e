"""Runs every benchmark and reports: builds the C++ benchmark and the module
(REFSIEVE_BUILD_BENCHMARKS=ON, in build/bench), runs the C++ scoring
benchmark and the Python measurements, writes benchmarks/results.json,
prints a table, draws benchmarks/pairs_per_second.png and regenerates
BENCHMARKS.md from benchmarks/BENCHMARKS.md.in.

    ./benchmarks/run            (installs what it needs, then runs this)
    python3 benchmarks/run.py [--quick] [--dblp-acm DIR] [--build-dir DIR]
                              [--scale | --no-scale] [--scale-data DIR] [--no-splink]

The scale stage (benchmarks/scale.py: dedupe and match on 100,000 and
1,000,000 synthetic records, splink beside them) takes most of an hour with
splink and is part of the full run; --no-scale leaves it out, --quick
leaves it out unless --scale asks for it on 20,000 records.

Every workload is generated from fixed seeds, so two runs measure the same
records. Throughputs are the best of a few repetitions: on a shared
machine the best run is the least disturbed one.
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import string
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import scale  # noqa: E402
import workload  # noqa: E402

NO_DBLP = "the DBLP-ACM data is absent: not measured"

FULL = {
    "cpp_pair_subjects": 40, "cpp_candidates": 2000, "cpp_repetitions": 3,
    "subjects": 1000, "candidates": (2500, 5000, 10000), "n": 5000, "repeat": 3,
    "memory": (10000, 10000), "token_pairs": 2000,
    "large": (100, 1000000), "memory_per_candidate": (2, 200000), "peer_subjects": 800, "peer_repeat": 9,
    "command_memory": 200000, "interrupt": (100, 1000000, 3),
    "scale": scale.SIZES,
}
QUICK = {
    "cpp_pair_subjects": 5, "cpp_candidates": 500, "cpp_repetitions": 1,
    "subjects": 100, "candidates": (500, 1000, 2000), "n": 1000, "repeat": 1,
    "memory": (1000, 1000), "token_pairs": 500,
    "large": (10, 20000), "memory_per_candidate": (2, 20000), "peer_subjects": 100, "peer_repeat": 1,
    "command_memory": 20000, "interrupt": (10, 100000, 1),
    "scale": scale.QUICK_SIZES,
}


def log(message):
    print(message, file=sys.stderr, flush=True)


def run(cmd, env=None, capture=True):
    result = subprocess.run(cmd, env=env, check=False, text=True, capture_output=capture)
    if result.returncode != 0:
        if capture:
            sys.stderr.write(result.stdout + result.stderr)
        raise SystemExit(f"failed ({result.returncode}): {' '.join(cmd)}")
    return result.stdout if capture else ""


def build(build_dir):
    log(f"== building in {build_dir}")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    run(["cmake", "-S", ROOT, "-B", build_dir, *generator, "-DCMAKE_BUILD_TYPE=Release",
         "-DREFSIEVE_BUILD_BENCHMARKS=ON", "-DREFSIEVE_BUILD_MODULE=ON", f"-DPython_EXECUTABLE={sys.executable}"])
    run(["cmake", "--build", build_dir, "-j", "2", "--target", "refsieve_bench", "refsieve", "_engine"])
    # The command's package beside the build, with the engine just built.
    package = os.path.join(build_dir, "python", "refsieve_cli")
    shutil.rmtree(package, ignore_errors=True)
    shutil.copytree(os.path.join(ROOT, "python", "refsieve_cli"), package,
                    ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    for name in os.listdir(build_dir):
        if name.startswith("_engine.") and name.endswith(".so"):
            shutil.copy(os.path.join(build_dir, name), package)


def first_line(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True, check=False).stdout.splitlines()[0].strip()
    except (OSError, IndexError):
        return "unknown"


def machine():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    except OSError:
        pass
    memory = "unknown"
    try:
        with open("/proc/meminfo") as f:
            kib = int(next(line for line in f if line.startswith("MemTotal")).split()[1])
        memory = f"{kib / 1024 / 1024:.1f} GiB"
    except (OSError, StopIteration):
        pass
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory": memory,
        "os": f"{platform.system()} {platform.release()}",
        "compiler": first_line(["c++", "--version"]),
        "python": platform.python_version(),
        "load_average_at_start": list(os.getloadavg()),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
    }


# ---- C++ -------------------------------------------------------------------

def cpp_benchmarks(build_dir, sizes, dblp):
    bench = os.path.join(build_dir, "refsieve_bench")
    data_dir = os.path.join(build_dir, "workloads")
    os.makedirs(data_dir, exist_ok=True)
    args = []
    subjects, candidates = workload.synthetic(2000, sizes["cpp_candidates"])
    for name, (subs, cands) in (("synthetic", (subjects, candidates)), ("dblp-acm", dblp)):
        if subs is None:
            continue
        s_path, c_path = os.path.join(data_dir, f"{name}-subjects.tsv"), os.path.join(data_dir, f"{name}-candidates.tsv")
        workload.write_tsv(subs, s_path)
        workload.write_tsv(cands, c_path)
        args += ["--workload", name, s_path, c_path]
    log("== C++ benchmark (one thread)")
    out = run([bench, *args, "--pair-subjects", str(sizes["cpp_pair_subjects"]),
               f"--benchmark_repetitions={sizes['cpp_repetitions']}", "--benchmark_format=json"])
    report = json.loads(out)
    best = {}
    for b in report["benchmarks"]:
        if b.get("run_type", "iteration") == "iteration":
            best[b["run_name"]] = max(best.get(b["run_name"], 0.0), b["items_per_second"])
    sizes_json = run([bench, "--sizes"]).strip()
    return best, json.loads(sizes_json)


# ---- Python ----------------------------------------------------------------

def measure(build_dir, args, threads=None, script="measure.py"):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([build_dir, os.path.join(build_dir, "python")])
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads is None:
        env.pop("RAYON_NUM_THREADS", None)
    else:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = run([sys.executable, os.path.join(HERE, script), *args], env=env)
    result = json.loads(out)
    if not os.path.realpath(result["module"]).startswith(os.path.realpath(build_dir)):
        raise SystemExit(f"measured {result['module']}, not the build in {build_dir}")
    return result


def python_benchmarks(build_dir, sizes, cpp_sizes, has_dblp):
    results = {"throughput": [], "dblp_acm": []}
    for threads in (1, 2):
        for n_candidates in sizes["candidates"]:
            log(f"== score_batch: {sizes['subjects']} x {n_candidates}, {threads} thread(s)")
            r = measure(build_dir, ["throughput", "--subjects", str(sizes["subjects"]), "--candidates",
                                    str(n_candidates), "--repeat", str(sizes["repeat"])], threads)
            results["throughput"].append(r)
    log("== score_batch with min_score 100, 1 thread")
    results["pruned"] = measure(build_dir, ["throughput", "--subjects", str(sizes["subjects"]), "--candidates",
                                            str(sizes["n"]), "--min-score", "100", "--repeat", str(sizes["repeat"])], 1)
    if has_dblp:
        for threads in (1, 2):
            log(f"== score_batch on DBLP-ACM, {threads} thread(s)")
            results["dblp_acm"].append(measure(build_dir, ["throughput", "--workload", "dblp-acm", "--subjects",
                                                           "100000", "--candidates", "100000", "--repeat",
                                                           str(sizes["repeat"])], threads))
    log("== token_sort_ratio calls")
    results["token_sort_ratio"] = measure(build_dir, ["token-sort-ratio", "--pairs", str(sizes["token_pairs"])])
    s, c = sizes["memory"]
    log(f"== peak memory of a {s} x {c} batch")
    results["memory"] = measure(build_dir, ["memory", "--subjects", str(s), "--candidates", str(c), "--sizes",
                                            json.dumps(cpp_sizes)])
    if has_dblp:
        s, c = sizes["memory_per_candidate"]
        log(f"== memory per candidate: {s} x {c:,} DBLP-ACM records")
        results["memory_per_candidate"] = measure(build_dir, ["memory", "--workload", "dblp-acm", "--subjects", str(s),
                                                              "--candidates", str(c), "--sizes", json.dumps(cpp_sizes)])
        s, c = sizes["large"]
        log(f"== a large catalogue: {s} x {c:,} DBLP-ACM records, 2 threads")
        results["large"] = measure(build_dir, ["large", "--subjects", str(s), "--candidates", str(c)], 2)
        log(f"== peers side by side: {sizes['peer_subjects']} x 2,294 DBLP-ACM records, 2 threads")
        results["peers"] = measure(build_dir, ["peers", "--subjects", str(sizes["peer_subjects"]), "--threads", "2",
                                               "--calls", str(sizes["token_pairs"]), "--repeat",
                                               str(sizes["peer_repeat"])], 2)
        log(f"== the command's peak memory per candidate against one score_batch call, "
            f"{sizes['command_memory']:,} DBLP-ACM candidates")
        results["command_memory"] = measure(build_dir, ["memory", "--candidates", str(sizes["command_memory"])],
                                            script="command.py")
        s, c, tries = sizes["interrupt"]
        log(f"== Ctrl-C while the command scores {s} x {c:,} DBLP-ACM records, {tries} tries")
        results["interrupt"] = measure(build_dir, ["interrupt", "--subjects", str(s), "--candidates", str(c),
                                                   "--tries", str(tries)], script="command.py")
    return results


def scale_benchmark(build_dir, sizes, data_dirs, splink):
    """benchmarks/scale.py on the build: its progress on standard error as it goes, its figures from a file."""
    log(f"== at scale: dedupe and match on {', '.join(f'{n:,}' for n in sizes)} synthetic records"
        f"{', splink beside' if splink else ''}")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([build_dir, os.path.join(build_dir, "python")])
    figures = os.path.join(build_dir, "scale.json")
    command = [sys.executable, os.path.join(HERE, "scale.py"), "--sizes", ",".join(map(str, sizes)), "--json", figures,
               *(f"--data={d}" for d in data_dirs or [os.path.join(build_dir, "synthetic")])]
    if not splink:
        command.append("--no-splink")
    if max(sizes) >= 1_000_000:
        command.append("--full-match")
    if subprocess.run(command, env=env, stdout=subprocess.DEVNULL, check=False).returncode != 0:
        raise SystemExit(f"failed: {' '.join(command)}")
    with open(figures, encoding="utf-8") as f:
        result = json.load(f)
    if not os.path.realpath(result["engine"]).startswith(os.path.realpath(build_dir)):
        raise SystemExit(f"measured {result['engine']}, not the build in {build_dir}")
    return result


# ---- Report ----------------------------------------------------------------

def pairs_per_second(r):
    return r["pairs"] / min(r["seconds"])


def find(rows, threads, candidates):
    return next(r for r in rows if r["threads"] == threads and r["candidates"] == candidates)


def peer_rows(peers):
    """Ratios first: refsieve's time over the peer's, same records, same threads, same run."""
    pairs = peers["subjects"] * peers["candidates"]
    rf, jf = peers["versions"]["rapidfuzz"], peers["versions"]["jellyfish"]
    return [
        (f"{peers['score_batch_seconds'] / peers['rapidfuzz_cdist_seconds']:.2f}x",
         f"`score_batch`, all four scores and the best 10 ({peers['subjects']} x {peers['candidates']:,}, "
         f"{peers['threads']} threads)", f"{peers['score_batch_seconds']:.3f} s ({rate(pairs / peers['score_batch_seconds'])} pairs)",
         f"rapidfuzz {rf} `process.cdist`, `JaroWinkler.normalized_similarity`, title and author keys, "
         f"`workers={peers['threads']}`", f"{peers['rapidfuzz_cdist_seconds']:.3f} s"),
        (f"{peers['token_sort_ratio_seconds'] / peers['rapidfuzz_token_sort_ratio_seconds']:.2f}x",
         f"`token_sort_ratio` on title pairs ({peers['calls']:,} calls)",
         f"{rate(peers['calls'] / peers['token_sort_ratio_seconds'])} calls",
         f"rapidfuzz {rf} `fuzz.token_sort_ratio`", f"{rate(peers['calls'] / peers['rapidfuzz_token_sort_ratio_seconds'])} calls"),
        (f"{peers['token_sort_ratio_seconds'] / peers['jellyfish_jaro_winkler_seconds']:.2f}x",
         f"`token_sort_ratio` on title pairs ({peers['calls']:,} calls)",
         f"{rate(peers['calls'] / peers['token_sort_ratio_seconds'])} calls",
         f"jellyfish {jf} `jaro_winkler_similarity` on the title keys",
         f"{rate(peers['calls'] / peers['jellyfish_jaro_winkler_seconds'])} calls"),
    ]


def targets(cpp, py, sizes, at_scale=None, scale_note=""):
    out = []

    def target(name, goal, ratio, met, note=""):
        out.append({"target": name, "goal": goal, "measured": ratio, "met": met, "note": note})

    ratio = cpp["pairs_fast/synthetic"] / cpp["pairs_reference/synthetic"]
    target("Fast path vs reference path, 1 thread, synthetic workload", ">= 10x", f"{ratio:.1f}x", ratio >= 10)
    peers = py.get("peers")
    if peers:
        ratio = peers["score_batch_seconds"] / peers["rapidfuzz_cdist_seconds"]
        target(f"Whole score_batch vs rapidfuzz cdist (title and author Jaro-Winkler), DBLP-ACM "
               f"{peers['subjects']} x {peers['candidates']:,}, {peers['threads']} threads", "<= 0.40x (goal 0.30x)",
               f"{ratio:.2f}x", ratio <= 0.40)
        ratio = peers["token_sort_ratio_seconds"] / peers["rapidfuzz_token_sort_ratio_seconds"]
        target("token_sort_ratio per call vs rapidfuzz.fuzz.token_sort_ratio, DBLP-ACM titles",
               "<= 0.6x (goal 0.4x)", f"{ratio:.2f}x", ratio <= 0.6)
    else:
        target("Whole score_batch vs rapidfuzz cdist (title and author Jaro-Winkler)", "<= 0.40x", None, None, NO_DBLP)
        target("token_sort_ratio per call vs rapidfuzz.fuzz.token_sort_ratio", "<= 0.6x", None, None, NO_DBLP)
    prepare = cpp.get("prepare_candidates/dblp-acm")
    target("Preparing DBLP-ACM candidates, one thread", ">= 1.5 M/s", rate(prepare) if prepare else None,
           prepare >= 1.5e6 if prepare else None, "" if prepare else NO_DBLP)
    per_candidate = py.get("memory_per_candidate")
    if per_candidate:
        value = per_candidate["call_peak_bytes"] / per_candidate["candidates"]
        target(f"Memory a call adds at its peak, per candidate ({per_candidate['subjects']} x "
               f"{per_candidate['candidates']:,} DBLP-ACM)", "<= 600 B (goal 400 B)", f"{value:.0f} B", value <= 600)
    else:
        target("Memory a call adds at its peak, per candidate", "<= 600 B", None, None, NO_DBLP)
    large = py.get("large")
    if large and py["dblp_acm"]:
        small = pairs_per_second(next(r for r in py["dblp_acm"] if r["threads"] == 2))
        ratio = small / pairs_per_second(large)
        target(f"Pairs per second, {large['subjects']} x {large['candidates']:,} vs DBLP-ACM "
               f"{py['dblp_acm'][0]['subjects']:,} x {py['dblp_acm'][0]['candidates']:,} (2 threads)",
               "within 1.25x", f"{ratio:.2f}x slower", ratio <= 1.25)
    else:
        target("Pairs per second, 100 x 1,000,000 vs the small catalogue", "within 1.25x", None, None, NO_DBLP)
    command_memory, interrupt = py.get("command_memory"), py.get("interrupt")
    if command_memory:
        target(f"The command's peak memory per candidate vs one direct score_batch call "
               f"({command_memory['candidates']:,} DBLP-ACM candidates)", "<= 1.3x",
               f"{command_memory['ratio']:.2f}x ({command_memory['command_bytes_per_candidate']:.0f} B vs "
               f"{command_memory['direct_bytes_per_candidate']:.0f} B)", command_memory["ratio"] <= 1.3)
        value = command_memory["command_bytes_per_candidate"]
        target(f"The command's peak memory per candidate, end to end: reading, scoring, writing "
               f"({command_memory['candidates']:,} DBLP-ACM candidates)", "<= 600 B", f"{value:.0f} B", value <= 600)
    else:
        target("The command's peak memory per candidate vs one direct score_batch call", "<= 1.3x", None, None,
               NO_DBLP)
    if interrupt:
        target(f"Ctrl-C while the command scores {interrupt['subjects']} x {interrupt['candidates']:,}: "
               "the run ends, exit 130, no output file", "<= 0.5 s",
               f"{interrupt['worst_seconds']:.2f} s (worst of {len(interrupt['tries'])})",
               interrupt["worst_seconds"] <= 0.5 and interrupt["all_130_without_output"])
    else:
        target("Ctrl-C while the command scores the large run", "<= 0.5 s", None, None, NO_DBLP)
    n = sizes["n"]
    rows = py["throughput"]
    growth = [min(find(rows, t, 2 * n)["seconds"]) / min(find(rows, t, n)["seconds"]) for t in (1, 2)]
    target(f"Time with 2n candidates vs n (n = {n}), 1 and 2 threads", "<= 2.2",
           f"{growth[0]:.2f} (1 thread), {growth[1]:.2f} (2 threads)", max(growth) <= 2.2)
    speedups = [pairs_per_second(find(rows, 2, c)) / pairs_per_second(find(rows, 1, c)) for c in (n, 2 * n)]
    cores = os.cpu_count() or 1
    target(f"2 threads vs 1 ({cores} cores here)", ">= 1.8x",
           f"{speedups[0]:.2f}x (n), {speedups[1]:.2f}x (2n)", min(speedups) >= 1.8 if cores >= 2 else None,
           "" if cores >= 2 else "fewer than 2 cores: not measurable here")
    m = py["memory"]
    allowed = 3 * (m["records_bytes"] + m["results_bytes"])
    target(f"Peak memory of the {m['subjects']:,} x {m['candidates']:,} batch vs converted records plus results",
           "<= 3x", f"{m['call_peak_bytes'] / (m['records_bytes'] + m['results_bytes']):.2f}x",
           m["call_peak_bytes"] <= allowed,
           "" if m["peak_reset"] else "peak could not be reset before the call: a lower bound")
    scale_targets(target, at_scale, scale_note)
    return out


def scale_targets(target, at_scale, note):
    """The dedupe and match targets on the synthetic catalogues of the scale stage."""
    def entry(records):
        return next((e for e in at_scale["sizes"] if e["records"] == records), None) if at_scale else None

    def missing(e, task):
        if not at_scale:
            return note
        if e is None:
            return "size not run"
        return e[task].get("skipped", "")

    e = entry(1_000_000)
    r = e["dedupe"] if e else {}
    name = "`refsieve dedupe`, 1,000,000 synthetic records: wall time, peak memory"
    if "seconds" in r:
        target(name, "<= 180 s, <= 4 GiB", f"{r['seconds']:.0f} s, {r['peak_rss_bytes'] / 2**30:.2f} GiB",
               r["seconds"] <= 180 and r["peak_rss_bytes"] <= 4 * 2**30)
    else:
        target(name, "<= 180 s, <= 4 GiB", None, None, missing(e, "dedupe"))
    e = entry(100_000)
    r = e["dedupe"] if e else {}
    name = "`refsieve dedupe`, 100,000 synthetic records: wall time"
    if "seconds" in r:
        target(name, "<= 15 s", f"{r['seconds']:.1f} s", r["seconds"] <= 15)
    else:
        target(name, "<= 15 s", None, None, missing(e, "dedupe"))
    e = entry(1_000_000)
    r = (e.get("match_full") or e["match"]) if e else {}
    subjects = f"{e['records'] if 'match_full' in e else e['subjects']:,}" if e else "1,000,000"
    name = f"`refsieve match --blocking`, {subjects} subjects x 1,000,000 synthetic candidates: wall time"
    if r.get("blocking"):
        target(name, "<= 10 min", f"{r['seconds'] / 60:.1f} min", r["seconds"] <= 600)
    else:
        target(name, "<= 10 min", None, None, missing(e, "match") or "no --blocking in this build")


def verdict(met):
    return {True: "met", False: "not met", None: "not measured"}[met]


def markdown_table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(" --- " for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def rate(x):
    return f"{x / 1e6:.2f} M/s" if x >= 1e6 else f"{x / 1e3:.1f} k/s"


def cpp_rows(cpp):
    rows = []
    for workload_name in ("synthetic", "dblp-acm"):
        ref = cpp.get(f"pairs_reference/{workload_name}")
        if ref is None:
            continue
        paths = [(f"pairs, fast path, CPU path {k.split('_cpu_')[1].split('/')[0]}", k.split("/")[0])
                 for k in sorted(cpp) if k.startswith("pairs_fast_cpu_") and k.endswith("/" + workload_name)]
        for label, key in (("pairs, reference (score_candidate)", "pairs_reference"),
                           ("pairs, fast path (preparation included)", "pairs_fast"),
                           ("pairs, fast path, min_score 100", "pairs_fast_min_score_100"), *paths):
            value = cpp[f"{key}/{workload_name}"]
            rows.append((workload_name, label, rate(value), f"{value / ref:.1f}x"))
        rows.append((workload_name, "preparing candidate records (once per batch)",
                     rate(cpp[f"prepare_candidates/{workload_name}"]), ""))
        for keys in ("short_keys", "long_keys"):
            ref_jw = cpp[f"jaro_winkler_reference/{keys}/{workload_name}"]
            fast_jw = cpp[f"jaro_winkler_fast/{keys}/{workload_name}"]
            what = "author" if keys == "short_keys" else "title"
            rows.append((workload_name, f"Jaro-Winkler, {what} keys, reference", rate(ref_jw), "1.0x"))
            rows.append((workload_name, f"Jaro-Winkler, {what} keys, bit-parallel", rate(fast_jw),
                         f"{fast_jw / ref_jw:.1f}x"))
        ref_tsr = cpp[f"token_sort_ratio_reference/{workload_name}"]
        fast_tsr = cpp[f"token_sort_ratio_fast/{workload_name}"]
        rows.append((workload_name, "token_sort_ratio on titles, reference", rate(ref_tsr), "1.0x"))
        rows.append((workload_name, "token_sort_ratio on titles, fast", rate(fast_tsr), f"{fast_tsr / ref_tsr:.1f}x"))
    return rows


def python_rows(py):
    rows = []
    for r in py["throughput"]:
        rows.append(("synthetic", f"{r['subjects']:,} x {r['candidates']:,}", r["threads"], f"{min(r['seconds']):.2f} s",
                     rate(pairs_per_second(r))))
    r = py["pruned"]
    rows.append(("synthetic, min_score 100", f"{r['subjects']:,} x {r['candidates']:,}", r["threads"],
                 f"{min(r['seconds']):.2f} s", rate(pairs_per_second(r))))
    for r in py["dblp_acm"]:
        rows.append(("DBLP-ACM", f"{r['subjects']:,} x {r['candidates']:,}", r["threads"], f"{min(r['seconds']):.2f} s",
                     rate(pairs_per_second(r))))
    return rows


def plot(py, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("(matplotlib is not installed: no plot; ./benchmarks/run installs it)")
        return False
    fig, ax = plt.subplots(figsize=(6.4, 4.0), dpi=110)
    for threads, marker in ((1, "o"), (2, "s")):
        rows = sorted((r for r in py["throughput"] if r["threads"] == threads), key=lambda r: r["candidates"])
        ax.plot([r["candidates"] for r in rows], [pairs_per_second(r) / 1e6 for r in rows], marker=marker,
                label=f"{threads} thread{'s' if threads > 1 else ''}")
    subjects = py["throughput"][0]["subjects"]
    ax.set_xlabel(f"candidates (against {subjects:,} subjects)")
    ax.set_ylabel("pairs per second (millions)")
    ax.set_title("score_batch throughput, synthetic workload")
    ax.set_ylim(bottom=0)
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


def busy_warning(m):
    """A caveat when other work was running as the run began (the load at
    the end includes the run's own)."""
    load = m["load_average_at_start"][0]
    if load < 0.5 * (m["cores"] or 1):
        return []
    return [f"- **The machine was busy** (load average {load:.1f} on {m['cores']} cores): other processes "
            "took CPU time during the run, so the thread scaling and the absolute rates below understate a "
            "quiet machine; ratios within one thread count are less affected."]


def render(results, template_path, out_path):
    m = results["machine"]
    s = results["sizes"]
    py = results["python"]
    mem = py["memory"]
    tsr = py["token_sort_ratio"]
    target_rows = [(t["target"], t["goal"], t["measured"] or "-",
                    verdict(t["met"]) + (f": {t['note']}" if t["note"] else "")) for t in results["targets"]]
    fields = {
        "machine": "\n".join([
            f"- CPU: {m['cpu']}, {m['cores']} logical cores; memory {m['memory']}",
            f"- {m['os']}; {m['compiler']}; CPython {m['python']}",
            f"- load average at start {', '.join(f'{x:.2f}' for x in m['load_average_at_start'])}; "
            f"at end {', '.join(f'{x:.2f}' for x in m['load_average_at_end'])}",
            f"- run {m['date']}, {results['elapsed_seconds'] / 60:.1f} minutes{' (--quick)' if results['quick'] else ''}",
        ] + busy_warning(m)),
        "targets": markdown_table(("target", "goal", "measured", "verdict"), target_rows),
        "cpp_table": markdown_table(("workload", "what", "per second", "vs reference"), cpp_rows(results["cpp"])),
        "python_table": markdown_table(("workload", "subjects x candidates", "threads", "best time", "pairs per second"),
                                       python_rows(py)),
        "token_sort_ratio": f"{tsr['calls'] / min(tsr['seconds']):,.0f} calls per second from Python "
                            f"({tsr['calls']:,} title pairs, best of {len(tsr['seconds'])})",
        "memory": "\n".join([
            f"- converted records: {mem['records_bytes'] / 2**20:.1f} MiB; result objects: "
            f"{mem['results_bytes'] / 2**20:.1f} MiB ({mem['matches']:,} matches, top_n {mem['top_n']}, "
            f"min_score {mem['min_score']})",
            f"- resident set added by the call at its peak: {mem['call_peak_bytes'] / 2**20:.1f} MiB "
            f"(process peak {mem['peak_after'] / 2**20:.1f} MiB, {mem['rss_before'] / 2**20:.1f} MiB before the call); "
            f"{mem['seconds']:.1f} s on the default thread count",
        ]),
        "cpp_setup": f"{s['cpp_pair_subjects']} subjects against {s['cpp_candidates']:,} candidates of the synthetic "
                     f"workload{', and ' + str(s['cpp_pair_subjects']) + ' DBLP subjects against all ACM candidates' if py['dblp_acm'] else ''}; "
                     f"best of {s['cpp_repetitions']} repetition{'s' if s['cpp_repetitions'] > 1 else ''}",
        "python_setup": f"Best of {s['repeat']} call{'s' if s['repeat'] > 1 else ''}.",
        "peers": markdown_table(("refsieve / peer (time)", "refsieve", "refsieve figure", "peer", "peer figure"),
                                peer_rows(py["peers"])) if py.get("peers") else f"Peers: {NO_DBLP}.",
        "large": large_text(py),
        "scale": scale_text(results),
        "dblp_acm": "present" if py["dblp_acm"] else "absent on this run (skipped)",
    }
    with open(template_path, encoding="utf-8") as f:
        text = string.Template(f.read()).substitute(fields)
    with open(out_path, "w", encoding="utf-8") as f:
        f.write(text)


def scale_text(results):
    at_scale = results.get("scale")
    if not at_scale:
        return (f"Not run this time ({results.get('scale_note') or 'left out'}); "
                "`python benchmarks/scale.py` runs it alone (see below).")
    lines = [markdown_table(scale.HEADER, scale.rows(at_scale)), ""]
    for e in at_scale["sizes"]:
        m, d, sp = e["match"], e["dedupe"], e["splink"]
        facts = [f"dedupe: {d['true']:,} true pairs, refsieve's groups hold {d['found']:,} pairs"]
        for m, subjects in ((m, e["subjects"]), (e.get("match_full", {}), e["records"])):
            if "decided_same" in m:
                same = m["decided_same"]
                facts.append(f"match: {m['true']:,} of the {subjects:,} subjects have their work in the catalogue, "
                             f"{m['found']:,} were given a best match; counting only best matches decided the same "
                             f"work: precision {same['precision']:.4f}, recall {same['recall']:.4f}, "
                             f"F1 {same['f1']:.4f}")
        if "tool" in sp:
            facts.append(f"splink scored {sp['pairs_scored']:,} pairs; its own timings: load {sp['load_seconds']} s, "
                         f"training {sp['train_seconds']} s, prediction {sp['predict_seconds']} s, clustering "
                         f"{sp['cluster_seconds']} s")
        lines.append(f"- {e['records']:,} records: " + "; ".join(facts))
    notes = scale.notes_text(at_scale)
    lines += ["", "What the command wrote on standard error besides its routine lines:", "", notes] if notes else [
        "", "The command wrote nothing on standard error besides its routine lines."]
    load = at_scale["load_average_at_start"][0]
    lines += ["", f"{at_scale['cores']} cores; load average {load:.2f} as the stage began, "
              f"{at_scale['load_average_at_end'][0]:.2f} as it ended. refsieve's engine: "
              f"`{os.path.relpath(at_scale['engine'], ROOT)}`."]
    return "\n".join(lines)


def large_text(py):
    large, per = py.get("large"), py.get("memory_per_candidate")
    if not large or not per:
        return f"Large catalogue: {NO_DBLP}."
    return "\n".join([
        f"- {large['subjects']} DBLP subjects against {large['candidates']:,} candidates (the ACM records repeated), "
        f"{large['threads']} threads: {min(large['seconds']):.1f} s, {rate(pairs_per_second(large))} pairs; "
        f"the call added {large['call_peak_bytes'] / 2**20:,.0f} MiB at its peak "
        f"({large['call_peak_bytes'] / large['candidates']:.0f} bytes per candidate)",
        f"- memory per candidate: {per['subjects']} subjects against {per['candidates']:,} DBLP-ACM candidates add "
        f"{per['call_peak_bytes'] / 2**20:.1f} MiB at the call's peak, "
        f"{per['call_peak_bytes'] / per['candidates']:.0f} bytes per candidate",
    ])


def print_table(results):
    print()
    print(f"{'target':<78} {'goal':<10} {'measured':<32} verdict")
    for t in results["targets"]:
        print(f"{t['target']:<78} {t['goal']:<10} {t['measured'] or '-':<32} {verdict(t['met'])}")
    print()
    for row in cpp_rows(results["cpp"]):
        print(f"C++    {row[0]:<10} {row[1]:<45} {row[2]:>12} {row[3]:>8}")
    for row in python_rows(results["python"]):
        print(f"Python {row[0]:<26} {row[1]:<16} {row[2]} thr {row[3]:>9} {row[4]:>12}")
    print()
    if results.get("scale"):
        scale.print_table(results["scale"])
        print()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes, one repetition: a smoke run")
    parser.add_argument("--dblp-acm", default=workload.default_dblp_acm_dir(), help="folder of the DBLP-ACM files")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    stage = parser.add_mutually_exclusive_group()
    stage.add_argument("--scale", action="store_true", help="run the scale stage even with --quick (on 20,000 records)")
    stage.add_argument("--no-scale", action="store_true", help="leave out the scale stage (dedupe and match on "
                                                                "100,000 and 1,000,000 synthetic records)")
    parser.add_argument("--scale-data", action="append", metavar="DIR",
                        help="where the scale stage looks for and keeps synthetic data (repeatable; "
                             "default BUILD_DIR/synthetic)")
    parser.add_argument("--no-splink", action="store_true", help="leave splink out of the scale stage")
    args = parser.parse_args()
    sizes = QUICK if args.quick else FULL
    started = time.monotonic()
    info = machine()
    build(args.build_dir)

    dblp = workload.dblp_acm(args.dblp_acm)
    if dblp is None:
        log(f"(no DBLP-ACM data in {args.dblp_acm}: skipped)")
    cpp, cpp_sizes = cpp_benchmarks(args.build_dir, sizes, dblp if dblp else (None, None))
    py = python_benchmarks(args.build_dir, sizes, cpp_sizes, dblp is not None)
    at_scale, scale_note = None, "--no-scale" if args.no_scale else "--quick without --scale"
    if args.scale or not (args.quick or args.no_scale):
        at_scale, scale_note = scale_benchmark(args.build_dir, sizes["scale"], args.scale_data, not args.no_splink), ""
    info["load_average_at_end"] = list(os.getloadavg())

    results = {
        "command": "./benchmarks/run" + (" --quick" if args.quick else ""),
        "quick": args.quick,
        "machine": info,
        "sizes": sizes,
        "cpp": cpp,
        "cpp_sizes": cpp_sizes,
        "python": py,
        "scale": at_scale,
        "scale_note": scale_note,
        "elapsed_seconds": time.monotonic() - started,
    }
    results["targets"] = targets(cpp, py, sizes, at_scale, scale_note)
    with open(os.path.join(HERE, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    plot(py, os.path.join(HERE, "pairs_per_second.png"))
    render(results, os.path.join(HERE, "BENCHMARKS.md.in"), os.path.join(ROOT, "BENCHMARKS.md"))
    print_table(results)
    log("wrote benchmarks/results.json, benchmarks/pairs_per_second.png and BENCHMARKS.md")


if __name__ == "__main__":
    main()
