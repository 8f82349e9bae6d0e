"""Many Python threads at once, and processes forked after the pool exists."""

import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

from refsieve import score_batch, token_sort_ratio
from _support import generated_batch, module_env

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


class SlowRecord:
    """A record read through Python code, so that the interpreter switches
    threads in the middle of another thread's conversion."""

    def __init__(self, fields):
        self._fields = fields

    def __getitem__(self, key):
        return self._fields[key]


@pytest.fixture
def frequent_thread_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_threads_calling_both_functions_get_the_sequential_results(frequent_thread_switches):
    subjects, candidates = generated_batch(n_subjects=60, n_candidates=40)
    batches = [(subjects[i::4], candidates[i::3], 3 + i, 20.0 * i) for i in range(4)]
    pairs = [(s["title"], c["title"]) for s, c in zip(subjects, candidates)]
    expected_batches = [score_batch(*batch) for batch in batches]
    expected_ratios = [token_sort_ratio(*pair) for pair in pairs]
    mismatches = []

    def worker(offset):
        for round_ in range(6):
            k = (offset + round_) % len(batches)
            s, c, top_n, min_score = batches[k]
            wrapped = [SlowRecord(r) for r in s] if round_ % 2 else s
            if score_batch(wrapped, c, top_n, min_score) != expected_batches[k]:
                mismatches.append(("batch", offset, k))
            for j in range(offset, len(pairs), 5):
                if token_sort_ratio(*pairs[j]) != expected_ratios[j]:
                    mismatches.append(("ratio", offset, j))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert mismatches == []


# --- fork -------------------------------------------------------------------------

# Runs in a fresh interpreter. The parent scores a batch (which creates the
# worker pool unless told otherwise), then forks children in the ways given on
# the command line; every child must score the same batch to the same result.
FORK_SCRIPT = textwrap.dedent(
    """
    import json, multiprocessing, os, sys, threading
    sys.path.insert(0, {tests_dir!r})
    import refsieve
    from _support import generated_batch

    subjects, candidates = generated_batch(n_subjects=120, n_candidates=60)
    args = (subjects, candidates, 5, 30.0)
    mode = sys.argv[1]
    expected = refsieve.score_batch(*args) if mode != "before-pool" else None

    def child_result():
        return refsieve.score_batch(*args)

    def fork_and_collect(body):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            try:
                data = json.dumps(body()).encode()
                with os.fdopen(write_end, "wb") as out:
                    out.write(data)
                code = 0
            except BaseException:
                code = 1
            os._exit(code)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as inp:
            data = inp.read()
        _, status = os.waitpid(pid, 0)
        assert status == 0, status
        return json.loads(data)

    if mode == "before-pool":
        got = fork_and_collect(child_result)
        assert got == json.loads(json.dumps(refsieve.score_batch(*args)))
    elif mode == "os.fork":
        assert fork_and_collect(child_result) == json.loads(json.dumps(expected))
    elif mode == "grandchild":
        # The child starts a pool of its own, then forks again.
        got = fork_and_collect(lambda: [child_result(), fork_and_collect(child_result)])
        assert got == json.loads(json.dumps([expected, expected]))
    elif mode == "multiprocessing":
        def part(bounds):
            lo, hi = bounds
            return refsieve.score_batch(subjects[lo:hi], candidates, 5, 30.0)
        chunks = [(0, 40), (40, 80), (80, len(subjects))]
        with multiprocessing.get_context("fork").Pool(2) as pool:
            parts = pool.map_async(part, chunks).get(timeout=60)
        for (lo, _), results in zip(chunks, parts):
            for r in results:
                r["subject_index"] += lo
        assert [r for p in parts for r in p] == expected
    elif mode == "busy-parent":
        # Another thread keeps calling score_batch (through Python-level
        # records, so that it lets go of the interpreter lock during
        # conversion) while this thread forks again and again.
        class Slow:
            def __init__(self, fields):
                self.fields = fields
            def __getitem__(self, key):
                return self.fields[key]
        stop = threading.Event()
        def keep_scoring():
            while not stop.is_set():
                refsieve.score_batch([Slow(s) for s in subjects[:30]], candidates, 5, 30.0)
        busy = threading.Thread(target=keep_scoring)
        busy.start()
        try:
            for _ in range(10):
                assert fork_and_collect(child_result) == json.loads(json.dumps(expected))
        finally:
            stop.set()
            busy.join()
    print("ok")
    """
)


def _run_with_deadline(args, timeout, **env):
    """Runs a command in its own process group, killing the whole group
    (forked children included) if it does not finish in time."""
    proc = subprocess.Popen(args, env=module_env(**env), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise AssertionError(f"{args[-1]}: no answer within {timeout} s (a forked child hangs?)") from None
    return proc.returncode, out, err


@pytest.mark.parametrize("mode", ["os.fork", "multiprocessing", "grandchild", "before-pool", "busy-parent"])
def test_forked_child_scores_like_its_parent(mode):
    code = FORK_SCRIPT.format(tests_dir=TESTS_DIR)
    # Forking a process with threads is deprecated in 3.12+; that is what is tested here.
    returncode, out, err = _run_with_deadline(
        [sys.executable, "-W", "ignore::DeprecationWarning", "-c", code, mode], timeout=120)
    assert returncode == 0, err
    assert out.strip() == "ok"


# --- a pool that cannot start ---------------------------------------------------------

POOL_FAILURE_SCRIPT = textwrap.dedent(
    """
    import resource
    import refsieve
    with open("/proc/self/statm") as fh:
        in_use = int(fh.read().split()[0]) * resource.getpagesize()
    # Room for a few worker stacks, not for the thousands asked for.
    resource.setrlimit(resource.RLIMIT_AS, (in_use + 256 * 2**20, resource.RLIM_INFINITY))
    for _ in range(2):
        try:
            refsieve.score_batch([], [], 1, 0.0)
        except BaseException as exc:
            print(type(exc).__name__, "|", str(exc).split(".")[0])
    print(refsieve.token_sort_ratio("a b", "b a"))
    """
)


def _under_address_sanitizer():
    with open("/proc/self/maps") as fh:
        return "libasan" in fh.read()


@pytest.mark.skipif(not os.path.exists("/proc/self/statm") or _under_address_sanitizer(),
                    reason="needs /proc, and an address-space limit that the sanitizer's shadow memory exceeds")
def test_pool_that_cannot_start_fails_every_call_and_nothing_else():
    returncode, out, err = _run_with_deadline(
        [sys.executable, "-c", POOL_FAILURE_SCRIPT], timeout=60, RAYON_NUM_THREADS="5000")
    assert returncode == 0, err
    assert out.splitlines() == ["PanicException | The global thread pool has not been initialized"] * 2 + ["100.0"]
