"""Every call path releases what it took: references, Python objects, memory.

Each scenario runs one call many times and checks that the reference counts
of its inputs, the number of live container objects and the resident memory
of the process are the same afterwards (memory within a small margin).
"""

import gc
import os
import sys

import pytest

from refsieve import score_batch, token_sort_ratio
from _support import panic_exception_class, record

RSS_MARGIN = 2 * 1024 * 1024
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def _under_address_sanitizer():
    # Freed memory sits in the sanitizer's quarantine, so resident memory
    # says nothing about leaks there (the sanitizer checks those itself).
    try:
        with open("/proc/self/maps") as fh:
            return "libasan" in fh.read()
    except OSError:
        return False


MEASURE_MEMORY = not _under_address_sanitizer()
# 10,000 calls make a leak of a few hundred bytes per call stand out in the
# resident size. Without that measurement (under the sanitizer, whose leak
# checker sees native leaks itself) reference counts catch a single leaked
# reference per call, and fewer calls do.
ITERATIONS = 10_000 if MEASURE_MEMORY else 2_000
WARMUP = 300


def resident_bytes():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * PAGE_SIZE


def fresh(text):
    """A new, non-interned string object with the given text."""
    return "".join(list(text))


def good_records(count, start=0):
    return [
        record(
            index=start + i,
            title=fresh(f"Graph Methods in Practice {i % 7}"),
            author=fresh("Smith, John"),
            year=1990 + i % 40,
            doi=fresh(f"10.1000/{i % 5}") if i % 3 else None,
            journal=fresh("Journal of  Tests"),
            volume=fresh("12"),
            number=fresh(str(i % 4)),
            pages=fresh("1-10"),
            publisher=fresh("Example Press"),
        )
        for i in range(count)
    ]


def _own_object(obj):
    """False for shared singletons whose counts move with unrelated code."""
    if obj is None or isinstance(obj, bool):
        return False
    if type(obj) is int and -5 <= obj <= 256:
        return False
    return True


def tracked_objects(*roots):
    """The roots, the records inside sequences, and every field value."""
    objs = []
    for root in roots:
        objs.append(root)
        if isinstance(root, list):
            for item in root:
                objs.append(item)
                if isinstance(item, dict):
                    objs.extend(item.values())
    return [o for o in objs if _own_object(o)]


class RaisingSequence:
    def __init__(self, items, fail_at, error_factory):
        self._items = items
        self._fail_at = fail_at
        self._error_factory = error_factory

    def __len__(self):
        return len(self._items)

    def __getitem__(self, i):
        return self._items[i]

    def __iter__(self):
        for position, item in enumerate(self._items):
            if position == self._fail_at:
                raise self._error_factory()
            yield item


class RaisingRecord:
    def __getitem__(self, key):
        err = TypeError("refused")
        err.__cause__ = LookupError("underlying")
        raise err


class LyingLength:
    """A sequence whose __len__ raises or reports far more than it holds."""

    def __init__(self, items, length):
        self._items = items
        self._length = length

    def __len__(self):
        if self._length is None:
            raise ValueError("no length")
        return self._length

    def __getitem__(self, i):
        return self._items[i]


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, type):  # an exception class: raise a new one each time
            raise self.value("refused")
        return self.value


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, type):  # an exception class: raise a new one each time
            raise self.value("refused")
        return self.value


def _scenarios():
    subjects = good_records(40)
    candidates = good_records(30, start=100)
    small_subjects = good_records(5)
    small_candidates = good_records(6, start=50)
    top_n = 10**6 + 1  # not a cached small int
    min_score = float(fresh("12.5"))

    bad_year = 2**31 + 12345
    surrogate = fresh("bad \udc80 title")
    later_bad_subject = subjects + [record(title=None)]
    later_bad_candidate = candidates + [record(index=5, year=bad_year)]
    later_surrogate = subjects + [record(title=surrogate)]
    missing_key = dict(record(index=3))
    del missing_key["pages"]
    later_missing = subjects + [missing_key]
    bad_top_n = 3.0
    bad_min_score = fresh("not a number")
    big = 10**6 + 7  # an int object of our own, handed out by __index__
    through_index = IndexLike(big)
    index_through_index = [dict(r, index=IndexLike(big)) for r in small_subjects[:3]]
    later_bad_index = subjects + [record(index=-big)]
    later_huge_year = candidates + [record(year=2**70)]
    few = small_subjects[:3]
    no_length = LyingLength(few, None)
    huge_length = LyingLength(few, 10**12)
    index_raises = IndexLike(ValueError)
    float_raises = FloatLike(TypeError)
    score_object = FloatLike(float(fresh("33.5")))
    raising = RaisingSequence(subjects, 25, lambda: ValueError("stop"))
    raising_type = RaisingSequence(subjects, 25, lambda: TypeError("stop"))
    text = fresh("Data Mining for the Web")

    return {
        "success": (
            lambda: score_batch(small_subjects, small_candidates, 3, min_score),
            None, (small_subjects, small_candidates, min_score)),
        "success-many-subjects": (
            lambda: score_batch(subjects[:16], small_candidates[:2], top_n, -1.0),
            None, (subjects, small_candidates, top_n)),
        "success-no-matches": (
            lambda: score_batch(small_subjects, small_candidates, 0, min_score),
            None, (small_subjects, small_candidates)),
        "success-numbers-through-__index__-and-__float__": (
            lambda: score_batch(index_through_index, few, through_index, score_object),
            None, (index_through_index, few, through_index, score_object, big)),
        "success-length-raises": (
            lambda: score_batch(no_length, few, 3, min_score),
            None, (no_length, few)),
        "success-length-lies": (
            lambda: score_batch(few, huge_length, 3, min_score),
            None, (huge_length, few)),
        "bad-field-later-subject": (
            lambda: score_batch(later_bad_subject, candidates, top_n, min_score),
            TypeError, (later_bad_subject, candidates, top_n, min_score)),
        "bad-year-later-candidate": (
            lambda: score_batch(subjects, later_bad_candidate, top_n, min_score),
            TypeError, (subjects, later_bad_candidate, bad_year)),
        "index-out-of-range-later-subject": (
            lambda: score_batch(later_bad_index, candidates, top_n, min_score),
            TypeError, (later_bad_index, candidates)),
        "year-beyond-64-bits-later-candidate": (
            lambda: score_batch(subjects, later_huge_year, top_n, min_score),
            TypeError, (subjects, later_huge_year)),
        "surrogate-later-record": (
            lambda: score_batch(later_surrogate, candidates, top_n, min_score),
            TypeError, (later_surrogate, surrogate)),
        "missing-key-later-record": (
            lambda: score_batch(later_missing, candidates, top_n, min_score),
            KeyError, (later_missing,)),
        "bad-top_n-after-good-records": (
            lambda: score_batch(subjects, candidates, bad_top_n, min_score),
            TypeError, (subjects, candidates, bad_top_n, min_score)),
        "negative-top_n": (
            lambda: score_batch(subjects, candidates, -top_n, min_score),
            OverflowError, (subjects, candidates)),
        "top_n-__index__-raises": (
            lambda: score_batch(subjects, candidates, index_raises, min_score),
            ValueError, (subjects, candidates, index_raises)),
        "min_score-__float__-raises": (
            lambda: score_batch(subjects, candidates, top_n, float_raises),
            TypeError, (subjects, candidates, float_raises)),
        "bad-min_score-after-good-records": (
            lambda: score_batch(subjects, candidates, top_n, bad_min_score),
            TypeError, (subjects, candidates, top_n, bad_min_score)),
        "iterator-raises": (
            lambda: score_batch(subjects, raising, top_n, min_score),
            ValueError, (subjects, raising)),
        "iterator-raises-type-error": (
            lambda: score_batch(raising_type, candidates, top_n, min_score),
            TypeError, (raising_type, candidates)),
        "record-access-raises": (
            lambda: score_batch(subjects, [RaisingRecord()], top_n, min_score),
            TypeError, (subjects,)),
        "not-a-sequence": (
            lambda: score_batch(subjects, {"a": 1}, top_n, min_score),
            TypeError, (subjects,)),
        "str-argument": (
            lambda: score_batch(subjects, text, top_n, min_score),
            TypeError, (subjects, text)),
        "parse-error": (
            lambda: score_batch(subjects, candidates, top_n, min_score, extra=text),
            TypeError, (subjects, candidates, text)),
        "parse-error-too-many": (
            lambda: score_batch(subjects, candidates, top_n, min_score, text),
            TypeError, (subjects, candidates, text)),
        "parse-error-missing": (
            lambda: score_batch(subjects, candidates, top_n=top_n),
            TypeError, (subjects, candidates, top_n)),
        "token_sort_ratio": (
            lambda: token_sort_ratio(text, text), None, (text,)),
        "token_sort_ratio-bad-type": (
            lambda: token_sort_ratio(text, top_n), TypeError, (text, top_n)),
        "token_sort_ratio-surrogate": (
            lambda: token_sort_ratio(text, surrogate), UnicodeEncodeError,
            (text, surrogate)),
        "token_sort_ratio-multiple-values": (
            lambda: token_sort_ratio(text, s1=text), TypeError, (text,)),
        "token_sort_ratio-missing": (
            lambda: token_sort_ratio(text), TypeError, (text,)),
    }


SCENARIOS = _scenarios()


def _exercise(call, expected_error, count):
    for _ in range(count):
        if expected_error is None:
            call()
        else:
            try:
                call()
            except expected_error:
                pass
            else:
                raise AssertionError("the call did not fail")


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_no_leak(name):
    call, expected_error, roots = SCENARIOS[name]
    objs = tracked_objects(*roots)

    _exercise(call, expected_error, WARMUP)
    gc.collect()
    refs_before = [sys.getrefcount(o) for o in objs]
    live_before = len(gc.get_objects())
    rss_before = resident_bytes()

    _exercise(call, expected_error, ITERATIONS)
    gc.collect()
    rss_after = resident_bytes()
    live_after = len(gc.get_objects())
    refs_after = [sys.getrefcount(o) for o in objs]

    changed = [
        (type(o).__name__, before, after)
        for o, before, after in zip(objs, refs_before, refs_after)
        if before != after
    ]
    assert changed == []
    assert live_after - live_before < 100
    if MEASURE_MEMORY:
        assert rss_after - rss_before < RSS_MARGIN


class HugeLength:
    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        raise IndexError(i)


class PanickingRecord:
    """A record whose item access raises the module's own PanicException."""

    def __init__(self, panic):
        self.panic = panic

    def __getitem__(self, key):
        raise self.panic("raised by a record")


@pytest.mark.parametrize("cause", ["impossible-reservation", "panic-from-python-code"])
def test_no_leak_on_internal_failure(cause, capfd):
    panic = panic_exception_class()
    good = good_records(20)
    if cause == "impossible-reservation":
        bad = HugeLength()
    else:
        bad = good_records(5, start=30) + [PanickingRecord(panic)]
    objs = tracked_objects(bad, good)

    def call():
        score_batch(good, bad, 1, 0.0)

    # Every failure writes a report to standard error; fewer rounds keep that small.
    _exercise(call, panic, WARMUP)
    gc.collect()
    refs_before = [sys.getrefcount(o) for o in objs]
    live_before = len(gc.get_objects())
    rss_before = resident_bytes()
    _exercise(call, panic, ITERATIONS // 5)
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == refs_before
    assert len(gc.get_objects()) - live_before < 100
    if MEASURE_MEMORY:
        assert resident_bytes() - rss_before < RSS_MARGIN
    capfd.readouterr()  # drop the failure reports written to stderr
