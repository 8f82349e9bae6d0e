"""Measurements of the refsieve command as a user runs it; each prints its result as JSON.

run.py starts this with PYTHONPATH pointing at the build to measure (the
module, and the command's package with its engine beside it).

    command.py memory --candidates C        peak memory per candidate: the command against one score_batch call
    command.py interrupt --subjects S --candidates C [--tries N]
                                            Ctrl-C while the command scores: how soon it ends

Both use DBLP-ACM (the ACM records repeated, each copy's title made
distinct, as JSON Lines that the command reads).
"""

import argparse
import json
import os
import pty
import random
import select
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workload  # noqa: E402


def write_jsonl(path, records):
    with open(path, "w", encoding="utf-8") as f:
        for record in records:
            f.write(json.dumps({k: v for k, v in record.items() if v is not None and k != "index"}) + "\n")


def dblp_acm_files(directory, n_subjects, n_candidates):
    """DBLP subjects and ACM candidates repeated to n_candidates, as files; their paths."""
    data = workload.dblp_acm()
    if data is None:
        raise SystemExit("the DBLP-ACM data is absent")
    subjects, candidates = data
    repeated = ({**record, "title": f"{record['title']} {copy}"}
                for copy in range(n_candidates // len(candidates) + 1) for record in candidates)
    paths = os.path.join(directory, "subjects.jsonl"), os.path.join(directory, "candidates.jsonl")
    write_jsonl(paths[0], subjects[:n_subjects])
    write_jsonl(paths[1], (record for _, record in zip(range(n_candidates), repeated)))
    return paths


def peak_of_child(command):
    """The peak resident set (bytes) of a child process running command."""
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"failed: {' '.join(command)}\n{done.stderr}")
    return json.loads(done.stdout)["peak"]


# Run in a child: read the candidates as a user would (JSON Lines into dicts
# of the ten keys), then one score_batch call; print the peak.
DIRECT = """
import json, resource, sys
import refsieve
keys = ("index", "title", "author", "year", "doi", "journal", "volume", "number", "pages", "publisher")
def read(path):
    with open(path, encoding="utf-8") as f:
        return [dict({key: None for key in keys}, **{k: v for k, v in json.loads(line).items() if k in keys},
                     index=i) for i, line in enumerate(f)]
subjects, candidates = read(sys.argv[1]), read(sys.argv[2])
refsieve.score_batch(subjects, candidates, 1, 0.0)
print(json.dumps({"peak": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))
"""

COMMAND = """
import json, resource, sys
from refsieve_cli.cli import main
status = main(["match", sys.argv[1], sys.argv[2], "-o", "/dev/null", "-q"])
print(json.dumps({"peak": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, "status": status}))
"""


def memory(args):
    with tempfile.TemporaryDirectory() as scratch:
        subjects, candidates = dblp_acm_files(scratch, 2, args.candidates)
        # The same run on two candidates: what the interpreter and the imports take.
        os.mkdir(os.path.join(scratch, "small"))
        _, small = dblp_acm_files(os.path.join(scratch, "small"), 2, 2)
        result = {"candidates": args.candidates}
        for name, code in (("direct", DIRECT), ("command", COMMAND)):
            base = peak_of_child([sys.executable, "-c", code, subjects, small])
            peak = peak_of_child([sys.executable, "-c", code, subjects, candidates])
            result[f"{name}_peak_bytes"] = peak
            result[f"{name}_bytes_per_candidate"] = (peak - base) / args.candidates
    result["ratio"] = result["command_bytes_per_candidate"] / result["direct_bytes_per_candidate"]
    return result


def interrupt(args):
    """The command on S subjects against C candidates, under a terminal; SIGINT once its progress bar shows
    that scoring has begun, after a random part of a second or more. Seconds from the signal to its end."""
    rng = random.Random(args.seed)
    tries = []
    with tempfile.TemporaryDirectory() as scratch:
        subjects, candidates = dblp_acm_files(scratch, args.subjects, args.candidates)
        output = os.path.join(scratch, "out.jsonl")
        for _ in range(args.tries):
            leader, follower = pty.openpty()
            process = subprocess.Popen([sys.executable, "-m", "refsieve_cli", "match", subjects, candidates, "-o",
                                        output], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=follower)
            os.close(follower)
            seen = b""
            started = time.monotonic()
            while b"subjects" not in seen:  # the progress bar: scoring has begun
                ready, _, _ = select.select([leader], [], [], 1.0)
                if ready:
                    seen += os.read(leader, 4096)
                if process.poll() is not None:
                    raise SystemExit(f"the command ended before scoring: {seen.decode(errors='replace')}")
            scoring_after = time.monotonic() - started
            time.sleep(rng.uniform(0.2, 3.0))
            signalled = time.monotonic()
            process.send_signal(signal.SIGINT)
            status = process.wait()
            ended = time.monotonic() - signalled
            os.close(leader)
            tries.append({"seconds_to_end": ended, "status": status, "output_left": os.path.exists(output),
                          "scoring_began_after": scoring_after})
    return {"subjects": args.subjects, "candidates": args.candidates, "tries": tries,
            "worst_seconds": max(t["seconds_to_end"] for t in tries),
            "all_130_without_output": all(t["status"] == 130 and not t["output_left"] for t in tries)}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="what", required=True)
    m = sub.add_parser("memory")
    m.add_argument("--candidates", type=int, default=200_000)
    i = sub.add_parser("interrupt")
    i.add_argument("--subjects", type=int, default=100)
    i.add_argument("--candidates", type=int, default=1_000_000)
    i.add_argument("--tries", type=int, default=3)
    i.add_argument("--seed", type=int, default=17)
    args = parser.parse_args()
    result = {"memory": memory, "interrupt": interrupt}[args.what](args)
    import refsieve

    result["module"] = refsieve.__file__
    print(json.dumps(result))


if __name__ == "__main__":
    main()
