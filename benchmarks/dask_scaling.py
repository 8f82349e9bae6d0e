"""When Dask pays: grouping (``dedupe``) and a blocked match on a local
Dask cluster against one process, with a projection for N machines.

    python benchmarks/dask_scaling.py [--records 1000000] [--subjects 100000 --candidates 1000000]
                                      [--workers 1,2] [--data DIR ...] [--json FILE]

The data comes from ``benchmarks/synthetic.py`` (seed 1), found or written
as ``benchmarks/scale.py`` does. Each catalogue is read once, as the command
reads it; then the engine's call runs in this process (``LocalEngine``, on
every core) and on a LocalCluster of each number of workers given
(``DaskEngine``, one thread per worker process and the machine's cores
shared among the workers' engines). Reading is left out of every time:
it happens on the submitting machine either way.

For each run it prints the wall time and, for the cluster, where the time
went: on the submitting machine proposing the pairs (``propose``), cutting
them into blocks (``blocks``), putting the answers in place (``collect``)
and finding the groups (``group``); the rest is ``tasks``, the blocks on
their way and the workers deciding them. The results of every cluster run
are checked to equal those of one process.

The projection for N machines like this one takes the submitting machine's
share as it is (it does not shrink with more workers) and divides the
tasks' time of the one-worker run, whose worker had the whole machine, by
N. It assumes a network at least as fast as the loopback here for the
bytes shown, which is optimistic for many machines; it is a bound on what
adding machines can give, not a promise.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import scale  # noqa: E402

PROJECTED = (1, 2, 4, 8, 16)
DRIVER_STAGES = ("propose", "blocks", "collect", "group")
EVERY_PAIR = "match, every pair"
# Where generated data goes when no --data is given.
ROOT_DATA = os.path.join(scale.ROOT, "build", "synthetic")


def log(message):
    print(message, file=sys.stderr, flush=True)


def read(path):
    from refsieve_cli.errors import Report
    from refsieve_cli.records.builder import LoadOptions, read_records

    began = time.perf_counter()
    table = read_records(path, options=LoadOptions(bad_values="empty"), report=Report())
    log(f"   read {len(table):,} records from {path} in {time.perf_counter() - began:.1f} s")
    return table


def same_groups(a, b):
    return list(a.group) == list(b.group) and list(a.first) == list(b.first) and a.counts == b.counts


def same_matches(a, b):
    return all(list(a[name]) == list(b[name]) for name in ("subject", "candidate", "total_score")) \
        and a.counts == b.counts


def run_job(job, tables, worker_counts, chunk_size):
    """One process, then each cluster size: wall times, the cluster's stages, and what the tasks were sent."""
    from distributed import Client, LocalCluster

    from refsieve_cli.engine.dask import DaskEngine
    from refsieve_cli.engine.local import LocalEngine

    def call(engine):
        if job == "dedupe":
            return engine.group(tables[0])
        return engine.match(tables[0], tables[1], 3, 0.0, blocking=job != EVERY_PAIR)

    began = time.perf_counter()
    alone = call(LocalEngine())
    rows = [{"job": job, "where": "one process", "workers": 0, "seconds": round(time.perf_counter() - began, 2)}]
    log(f"   one process: {rows[0]['seconds']} s")
    cores = os.cpu_count() or 1
    for workers in worker_counts:
        # Each worker's engine gets its share of the cores, as on machines of their own.
        os.environ["RAYON_NUM_THREADS"] = str(max(1, cores // workers))
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                          memory_limit=0) as cluster, Client(cluster) as client:
            engine = DaskEngine(client, partition_size=chunk_size)
            began = time.perf_counter()
            found = call(engine)
            seconds = time.perf_counter() - began
        os.environ.pop("RAYON_NUM_THREADS")
        equal = same_groups(found, alone) if job == "dedupe" else same_matches(found, alone)
        if not equal:
            raise SystemExit(f"{job} on {workers} workers differs from one process")
        # Scoring every pair, all the work is the tasks'.
        stages = {name: round(value, 2) for name, value in (engine.seconds or {"tasks": seconds}).items()}
        row = {"job": job, "where": f"LocalCluster, {workers} worker{'s' if workers > 1 else ''}",
               "workers": workers, "seconds": round(seconds, 2), "stages": stages, "tasks_sent": len(engine.loads),
               "bytes_sent": sum(load.bytes for load in engine.loads),
               "largest_task_records": max((load.records for load in engine.loads), default=0),
               "catalogue_records": len(tables[-1])}
        rows.append(row)
        log(f"   {row['where']}: {row['seconds']} s, stages {stages}")
    return rows


def projection(rows):
    """Seconds on N machines like this one, from the one-worker run: the submitting machine's share as measured,
    the tasks' share divided by N."""
    one = next((row for row in rows if row["workers"] == 1), None)
    if one is None:
        return {}
    driver = sum(one["stages"].get(name, 0.0) for name in DRIVER_STAGES)
    tasks = one["stages"].get("tasks", 0.0)
    return {n: round(driver + tasks / n, 1) for n in PROJECTED}


def table(rows, projections):
    lines = ["| job | where | wall s | on the submitting machine s | tasks s | tasks | MB sent | "
             "largest task / catalogue records |", "| --- | --- | ---: | ---: | ---: | ---: | ---: | --- |"]
    for row in rows:
        if row["workers"] == 0:
            lines.append(f"| {row['job']} | {row['where']} | {row['seconds']:.1f} | | | | | |")
            continue
        stages = row["stages"]
        driver = sum(stages.get(name, 0.0) for name in DRIVER_STAGES)
        if not row["tasks_sent"]:
            # Scoring every pair: the candidates go to every worker once, then a task per partition of subjects.
            lines.append(f"| {row['job']} | {row['where']} | {row['seconds']:.1f} | | {stages['tasks']:.1f} | | | "
                         f"every worker holds all {row['catalogue_records']:,} |")
            continue
        lines.append(f"| {row['job']} | {row['where']} | {row['seconds']:.1f} | {driver:.1f} | "
                     f"{stages.get('tasks', 0.0):.1f} | {row['tasks_sent']} | {row['bytes_sent'] / 1e6:.0f} | "
                     f"{row['largest_task_records']:,} / {row['catalogue_records']:,} |")
    lines += ["", "| job | " + " | ".join(f"{n} machine{'s' if n > 1 else ''}" for n in PROJECTED) + " |",
              "| --- |" + " ---: |" * len(PROJECTED)]
    for job, projected in projections.items():
        if projected:
            lines.append(f"| {job} (projected s) | " + " | ".join(f"{projected[n]:.1f}" for n in PROJECTED) + " |")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=1_000_000, help="dedupe: catalogue size (0 leaves it out)")
    parser.add_argument("--candidates", type=int, default=1_000_000, help="blocked match: candidates (0 leaves it out)")
    parser.add_argument("--subjects", type=int, default=100_000, help="blocked match: subjects")
    parser.add_argument("--every-pair", default="2000x100000", metavar="SxC",
                        help="match scoring every pair: subjects x candidates (0 leaves it out)")
    parser.add_argument("--workers", default="1,2", help="cluster sizes to measure, comma-separated")
    parser.add_argument("--chunk-size", type=int, default=2000,
                        help="subjects (for dedupe: records whose pairs are decided) per task, as --chunk-size")
    parser.add_argument("--every-pair-chunk-size", type=int, default=250,
                        help="subjects per task when scoring every pair: enough tasks for every worker")
    parser.add_argument("--data", action="append", default=[],
                        help="directory to search for (the first: to write) synthetic data; repeatable")
    parser.add_argument("--json", help="also write the figures here")
    args = parser.parse_args(argv)
    data = args.data or [ROOT_DATA]
    worker_counts = [int(n) for n in args.workers.split(",") if n]
    rows, projections = [], {}
    if args.records:
        log(f"== dedupe, {args.records:,} records")
        directory = scale.find_or_make(data, "dedupe", args.records)
        found = run_job("dedupe", [read(os.path.join(directory, "catalogue.jsonl"))], worker_counts, args.chunk_size)
        rows += found
        projections["dedupe"] = projection(found)
    if args.candidates:
        log(f"== blocked match, {args.subjects:,} subjects, {args.candidates:,} candidates")
        directory = scale.find_or_make(data, "match", args.candidates, args.subjects)
        tables = [read(os.path.join(directory, name)) for name in ("subjects.jsonl", "candidates.jsonl")]
        found = run_job("match --blocking", tables, worker_counts, args.chunk_size)
        rows += found
        projections["match --blocking"] = projection(found)
    if args.every_pair != "0":
        from refsieve_cli.records.record import RecordTable

        subjects, candidates = (int(n) for n in args.every_pair.split("x"))
        log(f"== match scoring every pair, {subjects:,} subjects, {candidates:,} candidates")
        directory = scale.find_or_make(data, "match", candidates, candidates // 10)
        tables = [read(os.path.join(directory, name)) for name in ("subjects.jsonl", "candidates.jsonl")]
        tables[0] = RecordTable.of(tables[0].record(at) for at in range(min(subjects, len(tables[0]))))
        found = run_job(EVERY_PAIR, tables, worker_counts, args.every_pair_chunk_size)
        rows += found
        projections[EVERY_PAIR] = projection(found)
    print(table(rows, projections))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({"rows": rows, "projected_seconds": projections, "cores": os.cpu_count()}, f, indent=1)


if __name__ == "__main__":
    main()
