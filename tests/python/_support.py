"""Shared helpers for the refsieve test suite."""

import os
import subprocess
import sys

import refsieve

RECORD_KEYS = (
    "index",
    "title",
    "author",
    "year",
    "doi",
    "journal",
    "volume",
    "number",
    "pages",
    "publisher",
)

MATCH_KEYS = (
    "candidate_index",
    "total_score",
    "title_score",
    "author_score",
    "date_score",
    "bonus_score",
)

SUBJECT_KEYS = ("subject_index", "matches", "candidates_searched")


def record(**fields):
    """A complete record dict; every optional field is None unless given."""
    base = {
        "index": 0,
        "title": "A Study of Things",
        "author": "Doe, Jane",
        "year": None,
        "doi": None,
        "journal": None,
        "volume": None,
        "number": None,
        "pages": None,
        "publisher": None,
    }
    unknown = set(fields) - set(base)
    if unknown:
        raise ValueError(f"unknown record keys: {sorted(unknown)}")
    base.update(fields)
    return base


def reference_record(**fields):
    """The fully populated reference record used by the whole-record tests."""
    base = {
        "index": 7,
        "title": "Graph Methods in Practice",
        "author": "Author A",
        "year": 2019,
        "doi": "10.1000/example",
        "journal": "Journal of  Tests",
        "volume": "12",
        "number": "3",
        "pages": "1-10",
        "publisher": "Example Press",
    }
    base.update(fields)
    return base


def reference_candidate(**fields):
    """The reference record as a candidate: journal written in lower case."""
    base = reference_record(index=42, journal="journal of tests")
    base.update(fields)
    return base


def score_one(subject, candidate):
    """Score one pair and return the single match dict."""
    result = refsieve.score_batch([subject], [candidate], 10, float("-inf"))
    assert len(result) == 1
    matches = result[0]["matches"]
    assert len(matches) == 1
    return matches[0]


def module_env(**extra):
    """Environment for a child interpreter that must import the built module."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(refsieve.__file__))
    parts = [module_dir]
    if env.get("PYTHONPATH"):
        parts.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(parts)
    for key, value in extra.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def run_python(code, timeout=60, **env):
    """Run code in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-c", code],
        env=module_env(**env),
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def panic_exception_class():
    """Obtain the module's PanicException class by provoking an internal failure.

    A sequence that reports a length whose storage size cannot even be
    computed makes the record conversion fail internally.
    """

    class HugeLength:
        def __len__(self):
            return sys.maxsize

        def __getitem__(self, i):
            raise IndexError(i)

        def __iter__(self):
            return iter(())

    try:
        refsieve.score_batch(HugeLength(), [], 1, 0.0)
    except BaseException as exc:  # noqa: BLE001 - we want exactly this one
        return type(exc)
    raise AssertionError("an impossible reservation did not fail")
