"""Argument parsing and argument conversion errors of both functions."""

import pytest

from refsieve import score_batch, token_sort_ratio
from _support import record

# --- parsing: counts, keywords ---------------------------------------------


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: token_sort_ratio("a"),
            "token_sort_ratio() missing 1 required positional argument: 's2'",
        ),
        (
            lambda: token_sort_ratio(),
            "token_sort_ratio() missing 2 required positional arguments: 's1' and 's2'",
        ),
        (
            lambda: token_sort_ratio(s2="b"),
            "token_sort_ratio() missing 1 required positional argument: 's1'",
        ),
        (
            lambda: token_sort_ratio("a", "b", "c"),
            "token_sort_ratio() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: token_sort_ratio("a", "b", "c", "d", "e"),
            "token_sort_ratio() takes 2 positional arguments but 5 were given",
        ),
        (
            lambda: score_batch(),
            "score_batch() missing 4 required positional arguments: "
            "'subjects', 'candidates', 'top_n', and 'min_score'",
        ),
        (
            lambda: score_batch([]),
            "score_batch() missing 3 required positional arguments: "
            "'candidates', 'top_n', and 'min_score'",
        ),
        (
            lambda: score_batch([], []),
            "score_batch() missing 2 required positional arguments: "
            "'top_n' and 'min_score'",
        ),
        (
            lambda: score_batch([], [], 1),
            "score_batch() missing 1 required positional argument: 'min_score'",
        ),
        (
            lambda: score_batch([], top_n=1),
            "score_batch() missing 2 required positional arguments: "
            "'candidates' and 'min_score'",
        ),
        (
            lambda: score_batch(candidates=[], min_score=0.0),
            "score_batch() missing 2 required positional arguments: "
            "'subjects' and 'top_n'",
        ),
        (
            lambda: score_batch([], [], 1, 0.0, 5),
            "score_batch() takes 4 positional arguments but 5 were given",
        ),
    ],
    ids=[
        "tsr-one-positional",
        "tsr-none",
        "tsr-only-s2-keyword",
        "tsr-three",
        "tsr-five",
        "batch-none",
        "batch-only-subjects",
        "batch-two",
        "batch-three",
        "batch-gap-in-middle",
        "batch-keywords-leave-gaps",
        "batch-five",
    ],
)
def test_argument_count_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: token_sort_ratio("a", s1="b"),
            "token_sort_ratio() got multiple values for argument 's1'",
        ),
        (
            lambda: token_sort_ratio("a", "b", s2="c"),
            "token_sort_ratio() got multiple values for argument 's2'",
        ),
        (
            lambda: score_batch([], [], top_n=1, min_score=0.0, subjects=[]),
            "score_batch() got multiple values for argument 'subjects'",
        ),
        (
            lambda: token_sort_ratio("a", "b", s3="c"),
            "token_sort_ratio() got an unexpected keyword argument 's3'",
        ),
        (
            lambda: token_sort_ratio(s3="c"),
            "token_sort_ratio() got an unexpected keyword argument 's3'",
        ),
        (
            lambda: token_sort_ratio("a", S2="b"),
            "token_sort_ratio() got an unexpected keyword argument 'S2'",
        ),
        (
            lambda: token_sort_ratio(S1="a", s2="b"),
            "token_sort_ratio() got an unexpected keyword argument 'S1'",
        ),
        (
            lambda: score_batch([], [], 1, minscore=0.0),
            "score_batch() got an unexpected keyword argument 'minscore'",
        ),
        (
            # fullwidth s: not folded to ASCII when passed through **kwargs
            lambda: token_sort_ratio("a", **{"\uff532": "b"}),
            "token_sort_ratio() got an unexpected keyword argument '\uff532'",
        ),
        (
            # a keyword name that has no UTF-8 form is simply unexpected
            lambda: token_sort_ratio("a", **{"s\udc802": "b"}),
            "token_sort_ratio() got an unexpected keyword argument 's\udc802'",
        ),
    ],
    ids=[
        "multiple-s1",
        "multiple-s2",
        "multiple-subjects",
        "unexpected-s3",
        "unexpected-before-missing",
        "case-sensitive-S2",
        "case-sensitive-S1",
        "unexpected-batch",
        "unicode-form-matters",
        "lone-surrogate-keyword",
    ],
)
def test_keyword_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: token_sort_ratio("a", "b", "c", s3="d"),
            "token_sort_ratio() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: token_sort_ratio("a", "b", "c", s1="d"),
            "token_sort_ratio() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: score_batch([], bogus=1),
            "score_batch() got an unexpected keyword argument 'bogus'",
        ),
        (
            # keywords are judged in the order given
            lambda: token_sort_ratio("a", zz=1, s1="b"),
            "token_sort_ratio() got an unexpected keyword argument 'zz'",
        ),
        (
            lambda: token_sort_ratio("a", s1="b", zz=1),
            "token_sort_ratio() got multiple values for argument 's1'",
        ),
        (
            lambda: token_sort_ratio(s1="a", yy=1, zz=2),
            "token_sort_ratio() got an unexpected keyword argument 'yy'",
        ),
        (
            # a parse error wins over a conversion error
            lambda: token_sort_ratio(1, 2, 3),
            "token_sort_ratio() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: token_sort_ratio(1),
            "token_sort_ratio() missing 1 required positional argument: 's2'",
        ),
        (
            lambda: score_batch("abc", [], -1, "x", extra=1),
            "score_batch() got an unexpected keyword argument 'extra'",
        ),
    ],
    ids=[
        "count-before-unexpected",
        "count-before-multiple",
        "unexpected-before-missing",
        "first-keyword-unexpected",
        "first-keyword-multiple",
        "first-of-two-unexpected",
        "parse-before-conversion",
        "missing-before-conversion",
        "parse-before-batch-conversion",
    ],
)
def test_error_precedence(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# --- keyword calls -----------------------------------------------------------


@pytest.mark.parametrize(
    "s1, s2",
    [
        ("Smith, John", "john smith"),
        ("Data Mining", "Data Minning"),
        ("alpha beta", "alpha  gamma"),
    ],
)
def test_token_sort_ratio_keyword_calls_match_positional(s1, s2):
    expected = token_sort_ratio(s1, s2)
    assert token_sort_ratio(s1=s1, s2=s2) == expected
    assert token_sort_ratio(s2=s2, s1=s1) == expected
    assert token_sort_ratio(s1, s2=s2) == expected


def test_keywords_fill_their_own_slots():
    # Only the s1 slot holds an int, so only s1 may be blamed.
    with pytest.raises(TypeError) as info:
        token_sort_ratio(s2="x", s1=5)
    assert str(info.value) == (
        "argument 's1': 'int' object cannot be converted to 'PyString'"
    )
    with pytest.raises(TypeError) as info:
        token_sort_ratio(s2=5, s1="x")
    assert str(info.value) == (
        "argument 's2': 'int' object cannot be converted to 'PyString'"
    )


def test_score_batch_keyword_calls_in_any_order():
    subjects = [record(index=1, title="Graph Methods", year=2019)]
    candidates = [
        record(index=5, title="Graph Methods", year=2019),
        record(index=6, title="Something Else", year=2001),
    ]
    expected = score_batch(subjects, candidates, 5, 0.0)
    assert expected[0]["matches"]  # the comparison below is not vacuous
    assert score_batch(
        min_score=0.0, top_n=5, candidates=candidates, subjects=subjects
    ) == expected
    assert score_batch(
        subjects=subjects, candidates=candidates, top_n=5, min_score=0.0
    ) == expected
    assert score_batch(subjects, candidates, min_score=0.0, top_n=5) == expected


def test_keyword_named_like_a_parameter_of_the_other_function():
    with pytest.raises(TypeError) as info:
        token_sort_ratio("a", "b", top_n=1)
    assert str(info.value) == (
        "token_sort_ratio() got an unexpected keyword argument 'top_n'"
    )


# --- conversion of the text arguments ---------------------------------------


class Holder:
    class Inner:
        pass


@pytest.mark.parametrize(
    "s1, s2, message",
    [
        (1, "a", "argument 's1': 'int' object cannot be converted to 'PyString'"),
        ("a", 1, "argument 's2': 'int' object cannot be converted to 'PyString'"),
        (1, None, "argument 's1': 'int' object cannot be converted to 'PyString'"),
        (None, 1, "argument 's1': 'NoneType' object cannot be converted to 'PyString'"),
        (b"a", "a", "argument 's1': 'bytes' object cannot be converted to 'PyString'"),
        ("a", ["a"], "argument 's2': 'list' object cannot be converted to 'PyString'"),
        (
            Holder.Inner(),
            "a",
            "argument 's1': 'Holder.Inner' object cannot be converted to 'PyString'",
        ),
        # lone surrogate in s2 is never looked at once s1 is refused
        (1.5, "\ud800", "argument 's1': 'float' object cannot be converted to 'PyString'"),
    ],
)
def test_wrong_text_argument_names_the_first_bad_argument(s1, s2, message):
    with pytest.raises(TypeError) as info:
        token_sort_ratio(s1, s2)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__cause__ is None


class TextSubclass(str):
    pass


def test_str_subclass_is_accepted_as_text():
    assert token_sort_ratio(TextSubclass("John  Smith"), TextSubclass("smith john")) == 100.0
    assert token_sort_ratio(TextSubclass("Data Mining"), "Data Minning") == 96.51515151515152


def _encode_error(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        return exc
    raise AssertionError("text was encodable")


@pytest.mark.parametrize(
    "s1, s2, bad",
    [
        ("\ud800", "a", "\ud800"),
        ("a", "ab\udc00c", "ab\udc00c"),
        ("\udfff", 5, "\udfff"),  # s1 fails first; s2 is never looked at
        ("x\ud83d", "\ud800", "x\ud83d"),
    ],
)
def test_lone_surrogate_raises_the_interpreters_encode_error(s1, s2, bad):
    expected = _encode_error(bad)
    with pytest.raises(UnicodeEncodeError) as info:
        token_sort_ratio(s1, s2)
    err = info.value
    assert type(err) is UnicodeEncodeError
    assert str(err) == str(expected)
    assert (err.encoding, err.object, err.start, err.end, err.reason) == (
        expected.encoding,
        expected.object,
        expected.start,
        expected.end,
        expected.reason,
    )
    assert "argument" not in str(err)


def test_valid_surrogate_pair_characters_are_fine():
    # A real astral character (not a lone surrogate) is valid text.
    assert token_sort_ratio("\U0001F600 a", "a \U0001F600") == 100.0

