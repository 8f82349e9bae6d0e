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
    import refsieve_cli

    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(refsieve.__file__))
    cli_dir = os.path.dirname(os.path.dirname(os.path.abspath(refsieve_cli.__file__)))
    parts = [module_dir, cli_dir]
    if env.get("PYTHONPATH"):
        parts.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(parts)
    for key, value in extra.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def run_cli(*args, cwd=None, timeout=120, stdin=None, **env):
    """Run the refsieve command in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-m", "refsieve_cli", *map(str, args)],
        cwd=cwd,
        env=module_env(**env),
        input=stdin,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


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


def generated_batch(seed=20240611, n_subjects=300, n_candidates=80):
    """A reproducible batch with near-duplicates, ties and shared DOIs."""
    import random

    rng = random.Random(seed)
    words = ["graph", "methods", "in", "practice", "data", "mining", "review",
             "errata", "deep", "learning", "of", "the", "Networks", "théorie",
             "ΟΔΟΣ", "analysis"]
    authors = ["Smith, John", "john smith", "Doe J", "Jane Doe", "Müller, K.",
               "   ", "", "ΣΜΙΘ"]
    dois = [None, "", "10.1/a", "10.1/A", "10.1/b", " 10.1/b", "10.1/c"]
    journals = [None, "", "Journal of Tests", "journal of  tests", "Other Journal", "  "]
    short = [None, "", "1", "2", "12", "3"]
    pages = [None, "", "1-10", "11-20"]
    publishers = [None, "", "Example Press", "press example", "Other House"]

    def one(index):
        n_words = rng.randint(0, 5)
        title = " ".join(rng.choice(words) for _ in range(n_words))
        if rng.random() < 0.1:
            title = title.upper()
        return {
            "index": index,
            "title": title,
            "author": rng.choice(authors),
            "year": rng.choice([None, 1999, 2000, 2009, 2010, 2015, 2019, 2020, -5, 5]),
            "doi": rng.choice(dois),
            "journal": rng.choice(journals),
            "volume": rng.choice(short),
            "number": rng.choice(short),
            "pages": rng.choice(pages),
            "publisher": rng.choice(publishers),
        }

    candidates = [one(1000 + i) for i in range(n_candidates)]
    # exact copies, so that equal total scores occur
    candidates += [dict(c, index=c["index"] + 5000) for c in candidates[:20]]
    subjects = [one(i) for i in range(n_subjects)]
    subjects += [dict(c, index=9000 + i) for i, c in enumerate(candidates[:30])]
    return subjects, candidates
