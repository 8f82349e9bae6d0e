"""Try ``refsieve match --scheduler`` without a cluster of your own.

Starts a local Dask cluster of --workers worker processes (one thread
each: refsieve runs its own threads inside each call) and runs
``refsieve match`` with the remaining arguments on it.

Usage:
    python examples/dask_resolve.py SUBJECTS CANDIDATES [--workers N] [refsieve match options]
"""

from __future__ import annotations

import sys

from dask.distributed import LocalCluster

from refsieve_cli.cli import main


def run(argv: list[str]) -> int:
    workers = 2
    if "--workers" in argv:
        at = argv.index("--workers")
        workers = int(argv[at + 1])
        del argv[at:at + 2]
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster:
        return main(["match", *argv, "--scheduler", cluster.scheduler_address])


if __name__ == "__main__":
    sys.exit(run(sys.argv[1:]))
