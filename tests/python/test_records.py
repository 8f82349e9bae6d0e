"""Conversion of record sequences into the module, and of results out of it."""

import collections
import operator
import types

import pytest

from refsieve import score_batch
from _support import MATCH_KEYS, RECORD_KEYS, SUBJECT_KEYS, record

OUT_OF_RANGE = "out of range integral type conversion attempted"
OPTIONAL_TEXT_FIELDS = ("doi", "journal", "volume", "number", "pages", "publisher")
TEXT_FIELDS = ("title", "author") + OPTIONAL_TEXT_FIELDS


def interpreter_error(func, *args):
    """The exception the interpreter itself raises for func(*args)."""
    try:
        func(*args)
    except Exception as exc:  # noqa: BLE001
        return exc
    raise AssertionError("no error raised")


def index_message(value):
    return str(interpreter_error(operator.index, value))


def getitem_message(obj):
    return str(interpreter_error(operator.getitem, obj, "index"))


def run(subjects, candidates=(), top_n=10, min_score=float("-inf")):
    return score_batch(subjects, list(candidates), top_n, min_score)


def error_of(argument, bad_sequence):
    """Call score_batch with bad_sequence in the named argument."""
    good = [record()]
    if argument == "subjects":
        call = lambda: score_batch(bad_sequence, good, 1, 0.0)  # noqa: E731
    else:
        call = lambda: score_batch(good, bad_sequence, 1, 0.0)  # noqa: E731
    with pytest.raises(BaseException) as info:
        call()
    return info.value


ARGUMENTS = pytest.mark.parametrize("argument", ["subjects", "candidates"])


# --- the sequence itself ---------------------------------------------------------


class TextSubclass(str):
    pass


def _generator():
    yield record()


@ARGUMENTS
@pytest.mark.parametrize(
    "value, message",
    [
        ("abc", "Can't extract `str` to `Vec`"),
        ("", "Can't extract `str` to `Vec`"),
        (TextSubclass("abc"), "Can't extract `str` to `Vec`"),
        ({"index": 0}, "'dict' object cannot be converted to 'Sequence'"),
        ({0: record()}, "'dict' object cannot be converted to 'Sequence'"),
        ({1, 2}, "'set' object cannot be converted to 'Sequence'"),
        (frozenset(), "'frozenset' object cannot be converted to 'Sequence'"),
        (_generator(), "'generator' object cannot be converted to 'Sequence'"),
        (iter([record()]), "'list_iterator' object cannot be converted to 'Sequence'"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
    ],
    ids=[
        "str", "empty-str", "str-subclass", "dict", "dict-int-keys", "set",
        "frozenset", "generator", "iterator", "int", "None",
    ],
)
def test_argument_that_is_not_a_sequence_of_records(argument, value, message):
    err = error_of(argument, value)
    assert type(err) is TypeError
    assert str(err) == f"argument '{argument}': {message}"
    assert err.__cause__ is None


def test_tuple_converts_like_a_list():
    subject = record(index=1, title="Graph Methods", year=2019)
    cands = [record(index=2, title="Graph Methods", year=2019),
             record(index=3, title="Other Work", year=2018)]
    expected = score_batch([subject], cands, 5, 0.0)
    assert expected[0]["matches"]
    assert score_batch((subject,), tuple(cands), 5, 0.0) == expected


@pytest.mark.parametrize("empty", [[], (), range(0), b""], ids=repr)
def test_empty_sequences(empty):
    assert score_batch(empty, [record()], 1, 0.0) == []
    assert score_batch([record()], empty, 1, 0.0) == [
        {"subject_index": 0, "matches": [], "candidates_searched": 0}
    ]


class IndexedOnly:
    """A sequence that only supports indexing (iterated by position)."""

    def __init__(self, items):
        self._items = list(items)

    def __getitem__(self, i):
        return self._items[i]


class SizedSequence:
    """A sequence with its own __len__ and __iter__."""

    def __init__(self, items, length=None, len_error=None, fail_at=None, error=None):
        self._items = list(items)
        self._length = len(self._items) if length is None else length
        self._len_error = len_error
        self._fail_at = fail_at
        self._error = error
        self.yielded = 0

    def __len__(self):
        if self._len_error is not None:
            raise self._len_error
        return self._length

    def __getitem__(self, i):
        return self._items[i]

    def __iter__(self):
        for position, item in enumerate(self._items):
            if position == self._fail_at:
                raise self._error
            self.yielded += 1
            yield item


def _three_candidates():
    return [record(index=10 + i, title="Graph Methods", year=2019 - i) for i in range(3)]


def _expected_for_three():
    return score_batch([record(title="Graph Methods", year=2019)], _three_candidates(), 10, 0.0)


@pytest.mark.parametrize(
    "make",
    [
        lambda items: IndexedOnly(items),
        lambda items: SizedSequence(items),
        lambda items: SizedSequence(items, len_error=RuntimeError("no length")),
        lambda items: SizedSequence(items, length=1000),  # claims more than it has
        lambda items: SizedSequence(items, length=0),  # claims fewer than it has
        lambda items: collections.deque(items),
    ],
    ids=["indexed-only", "sized", "len-raises", "len-too-large", "len-too-small", "deque"],
)
def test_other_sequences_convert_in_iteration_order(make):
    expected = _expected_for_three()
    assert [m["candidate_index"] for m in expected[0]["matches"]] == [10, 11, 12]
    subject = [record(title="Graph Methods", year=2019)]
    assert score_batch(make(subject), make(_three_candidates()), 10, 0.0) == expected


@ARGUMENTS
def test_iterator_error_passes_through_unchanged(argument):
    boom = ValueError("iteration broke")
    seq = SizedSequence([record(), record(), record()], fail_at=1, error=boom)
    err = error_of(argument, seq)
    assert err is boom
    assert seq.yielded == 1


@ARGUMENTS
def test_iterator_type_error_is_reworded(argument):
    inner = KeyError("inner cause")
    boom = TypeError("iteration broke")
    boom.__cause__ = inner
    seq = SizedSequence([record(), record()], fail_at=1, error=boom)
    err = error_of(argument, seq)
    assert type(err) is TypeError
    assert str(err) == f"argument '{argument}': iteration broke"
    assert err.__cause__ is inner


# --- records that cannot be read -------------------------------------------------


@ARGUMENTS
@pytest.mark.parametrize(
    "item",
    [[1, 2], [], 5, None, "abc", 2.5],
    ids=["list", "empty-list", "int", "None", "str", "float"],
)
def test_record_without_string_item_access(argument, item):
    err = error_of(argument, [record(), item])
    assert type(err) is TypeError
    assert str(err) == f"argument '{argument}': {getitem_message(item)}"


@ARGUMENTS
@pytest.mark.parametrize("missing", RECORD_KEYS)
def test_missing_key_is_a_plain_key_error(argument, missing):
    rec = record()
    del rec[missing]
    err = error_of(argument, [record(), rec])
    assert type(err) is KeyError
    assert err.args == (missing,)
    assert argument not in str(err)


def test_missing_title_is_reported_before_a_bad_year():
    rec = record(year="1999")
    del rec["title"]
    err = error_of("subjects", [rec])
    assert type(err) is KeyError
    assert err.args == ("title",)


def test_bad_index_is_reported_before_a_missing_title():
    rec = record(index=-1)
    del rec["title"]
    err = error_of("subjects", [rec])
    assert type(err) is TypeError
    assert str(err) == "argument 'subjects': failed to extract field BibItemData.index"


def test_bad_year_is_reported_before_later_bad_fields():
    err = error_of("subjects", [record(year=2020.0, doi=1, publisher=2)])
    assert str(err) == "argument 'subjects': failed to extract field BibItemData.year"


def test_first_bad_record_in_order_is_reported():
    missing_doi = record()
    del missing_doi["doi"]
    err = error_of("candidates", [record(), missing_doi, record(title=None)])
    assert type(err) is KeyError
    assert err.args == ("doi",)


class LoggingRecord:
    """A record that is not a dict: only __getitem__, which logs its keys."""

    def __init__(self, log, **fields):
        self._data = record(**fields)
        self._log = log

    def __getitem__(self, key):
        self._log.append(key)
        return self._data[key]


def test_keys_are_fetched_once_each_in_order():
    log = []
    result = score_batch([LoggingRecord(log, title="Graph Methods")],
                         [LoggingRecord(log, index=3, title="Graph Methods")], 5, 0.0)
    assert result[0]["matches"][0]["candidate_index"] == 3
    assert log == list(RECORD_KEYS) * 2


def test_fetching_stops_at_the_first_bad_field():
    log = []
    with pytest.raises(TypeError):
        score_batch([LoggingRecord(log, year="1999")], [LoggingRecord(log)], 5, 0.0)
    assert log == ["index", "title", "author", "year"]


class ErrorRecord:
    def __init__(self, error):
        self._error = error

    def __getitem__(self, key):
        raise self._error


class TypeErrorSubclass(TypeError):
    pass


@ARGUMENTS
def test_item_access_errors(argument):
    value_error = ValueError("no such thing")
    assert error_of(argument, [ErrorRecord(value_error)]) is value_error

    sub = TypeErrorSubclass("a subclass of TypeError")
    err = error_of(argument, [ErrorRecord(sub)])
    assert err is sub  # only exactly TypeError is re-worded

    cause = LookupError("underlying")
    plain = TypeError("refused")
    plain.__cause__ = cause
    err = error_of(argument, [ErrorRecord(plain)])
    assert type(err) is TypeError
    assert str(err) == f"argument '{argument}': refused"
    assert err.__cause__ is cause


# --- field values ---------------------------------------------------------------


class IndexLike:
    def __init__(self, value):
        self._value = value

    def __index__(self):
        return self._value


BAD_FIELDS = [
    # field, value, cause type, cause message (None: the interpreter's own)
    ("index", -1, OverflowError, None),
    ("index", 2**64, OverflowError, None),
    ("index", IndexLike(-5), OverflowError, None),
    ("index", 1.0, TypeError, index_message(1.0)),
    ("index", "1", TypeError, index_message("1")),
    ("index", None, TypeError, index_message(None)),
    ("title", None, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    ("title", b"T", TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ("author", 5, TypeError, "'int' object cannot be converted to 'PyString'"),
    ("author", ["a"], TypeError, "'list' object cannot be converted to 'PyString'"),
    ("year", 2020.0, TypeError, index_message(2020.0)),
    ("year", "2020", TypeError, index_message("2020")),
    ("year", 2**31, OverflowError, OUT_OF_RANGE),
    ("year", -(2**31) - 1, OverflowError, OUT_OF_RANGE),
    ("year", 2**40, OverflowError, OUT_OF_RANGE),
    ("year", IndexLike(2**31), OverflowError, OUT_OF_RANGE),
    ("year", 2**63, OverflowError, None),
    ("year", -(2**63) - 1, OverflowError, None),
] + [
    (field, 10, TypeError, "'int' object cannot be converted to 'PyString'")
    for field in OPTIONAL_TEXT_FIELDS
]


@ARGUMENTS
@pytest.mark.parametrize(
    "field, value, cause_type, cause_message",
    BAD_FIELDS,
    ids=[f"{f}={v!r}" for f, v, _, _ in BAD_FIELDS],
)
def test_field_of_the_wrong_kind(argument, field, value, cause_type, cause_message):
    err = error_of(argument, [record(), record(**{field: value})])
    assert type(err) is TypeError
    assert str(err) == f"argument '{argument}': failed to extract field BibItemData.{field}"
    cause = err.__cause__
    assert type(cause) is cause_type
    if cause_message is not None:
        assert str(cause) == cause_message
    elif field == "year":
        # beyond 64 bits: the interpreter's own overflow, not the 32-bit one
        assert str(cause) != OUT_OF_RANGE


@ARGUMENTS
@pytest.mark.parametrize("field", TEXT_FIELDS)
def test_text_field_with_lone_surrogate(argument, field):
    err = error_of(argument, [record(**{field: "bad \udc80 text"})])
    assert type(err) is TypeError
    assert str(err) == f"argument '{argument}': failed to extract field BibItemData.{field}"
    assert type(err.__cause__) is UnicodeEncodeError


@pytest.mark.parametrize(
    "value, expected",
    [
        (0, 0),
        (True, 1),
        (False, 0),
        (2**64 - 1, 2**64 - 1),
        (2**63, 2**63),
        (IndexLike(12345), 12345),
    ],
    ids=["zero", "True", "False", "max", "2**63", "__index__"],
)
def test_accepted_index_values(value, expected):
    match = run([record(title="T")], [record(index=value, title="T")])[0]["matches"][0]
    assert type(match["candidate_index"]) is int
    assert match["candidate_index"] == expected


@pytest.mark.parametrize(
    "subject_year, candidate_year, date_score",
    [
        (2020, 2020, 10.0),
        (-(2**31), -(2**31), 10.0),
        (2**31 - 1, 2**31 - 1, 10.0),
        (-1, -1, 10.0),  # -1 is a valid year, not an error marker
        (-1, 1, 8.0),
        (True, 1, 10.0),
        (IndexLike(2020), 2017, 7.0),
        (None, 2020, 0.0),
        (2020, None, 0.0),
    ],
)
def test_accepted_year_values(subject_year, candidate_year, date_score):
    match = run([record(year=subject_year)], [record(year=candidate_year)])[0]["matches"][0]
    assert match["date_score"] == date_score


def test_all_optional_fields_none():
    fields = dict.fromkeys(["year"] + list(OPTIONAL_TEXT_FIELDS))
    subject = record(title="Same Title", author="Same Author", **fields)
    match = run([subject], [dict(subject, index=9)])[0]["matches"][0]
    assert match == {
        "candidate_index": 9,
        "total_score": 160.0,
        "title_score": 100.0,
        "author_score": 60.0,
        "date_score": 0.0,
        "bonus_score": 0.0,
    }


def test_extra_keys_are_ignored():
    plain = record(title="Graph Methods", year=2019, doi="10.1/x")
    extra = dict(plain, notes=object(), url=None, Title=5, INDEX="x")
    base = run([plain], [dict(plain, index=4)])
    assert run([extra], [dict(extra, index=4)]) == base


@pytest.mark.parametrize(
    "wrap",
    [
        types.MappingProxyType,
        collections.OrderedDict,
        collections.UserDict,
        lambda d: collections.ChainMap({}, d),
        lambda d: LoggingRecord([], **d),
    ],
    ids=["mappingproxy", "OrderedDict", "UserDict", "ChainMap", "getitem-only"],
)
def test_records_need_only_item_access(wrap):
    subject = record(title="Graph Methods", author="Doe", year=2019)
    candidate = record(index=5, title="Graph Methods", author="Doe", year=2018)
    expected = run([subject], [candidate])
    assert run([wrap(subject)], [wrap(candidate)]) == expected


def test_defaultdict_supplies_missing_keys():
    rec = collections.defaultdict(lambda: None, index=3, title="Graph", author="Doe")
    match = run([rec], [rec])[0]["matches"][0]
    assert match["candidate_index"] == 3
    assert match["total_score"] == 160.0


def test_empty_title_and_empty_doi_are_accepted():
    match = run([record(title="", doi="")], [record(title="", doi="")])[0]["matches"][0]
    assert match["title_score"] == 0.0
    assert match["bonus_score"] == 0.0


class TextSubclassField(str):
    pass


def test_str_subclasses_in_text_fields():
    subject = record(title=TextSubclassField("Graph Methods"), doi=TextSubclassField("10.1/x"))
    match = run([subject], [record(title="Graph Methods", doi="10.1/x")])[0]["matches"][0]
    assert match["title_score"] == 100.0
    assert match["bonus_score"] == 10.0


# --- results --------------------------------------------------------------------


def test_result_shape_and_types():
    subjects = [record(index=99, title="Graph Methods", year=2019), record(title="Nothing")]
    candidates = [record(index=5, title="Graph Methods", author="Doe, Jane", year=2019)]
    result = score_batch(subjects, candidates, 5, 150.0)
    assert type(result) is list and len(result) == 2
    for position, entry in enumerate(result):
        assert type(entry) is dict
        assert tuple(entry) == SUBJECT_KEYS
        assert type(entry["subject_index"]) is int
        assert entry["subject_index"] == position
        assert type(entry["matches"]) is list
        assert type(entry["candidates_searched"]) is int
        assert entry["candidates_searched"] == 1

    (match,) = result[0]["matches"]
    assert type(match) is dict
    assert tuple(match) == MATCH_KEYS
    assert type(match["candidate_index"]) is int
    for key in MATCH_KEYS[1:]:
        assert type(match[key]) is float, key
    assert match == {
        "candidate_index": 5,
        "total_score": 170.0,
        "title_score": 100.0,
        "author_score": 60.0,
        "date_score": 10.0,
        "bonus_score": 0.0,
    }
    assert result[1]["matches"] == []


def test_results_are_independent_objects():
    rec = record(title="Graph Methods")
    result = score_batch([rec, rec], [rec], 5, 0.0)
    assert result[0] is not result[1]
    assert result[0]["matches"] is not result[1]["matches"]
    assert result[0]["matches"][0] is not result[1]["matches"][0]
    result[0]["matches"].clear()
    assert len(result[1]["matches"]) == 1


class Unprintable:
    def __str__(self):
        raise RuntimeError("cannot print this")


def test_type_error_that_cannot_be_printed(monkeypatch):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    err = error_of("candidates", [ErrorRecord(TypeError(Unprintable()))])
    assert type(err) is TypeError
    assert str(err) == "argument 'candidates': <unprintable TypeError object>"
    assert len(reported) == 1
    assert type(reported[0].exc_value) is RuntimeError
