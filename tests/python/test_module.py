"""Module object, registration, metadata and the internal-failure exception."""

import importlib
import inspect
import sys
import textwrap
import types

import pytest

import refsieve
from _support import panic_exception_class, run_python

FUNCTIONS = {
    "token_sort_ratio": (
        "(s1, s2)",
        "Token sort ratio for Python: returns float 0.0-100.0",
    ),
    "score_batch": (
        "(subjects, candidates, top_n, min_score)",
        "Batch score multiple subjects against candidates in parallel.",
    ),
}


def test_all_lists_both_functions_in_registration_order():
    assert refsieve.__all__ == ["token_sort_ratio", "score_batch"]
    assert type(refsieve.__all__) is list


def test_module_has_no_attributes_beyond_the_functions():
    standard = set(dir(types.ModuleType("placeholder"))) | {"__file__"}
    own = set(dir(refsieve)) - standard
    assert own == {"__all__", "token_sort_ratio", "score_batch"}


def test_module_docstring():
    doc = refsieve.__doc__
    assert isinstance(doc, str) and doc
    assert "fuzzy matching" in doc.lower()


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_function_metadata(name):
    signature, doc = FUNCTIONS[name]
    func = getattr(refsieve, name)
    assert isinstance(func, types.BuiltinFunctionType)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == "refsieve"
    assert func.__self__ is refsieve
    assert func.__text_signature__ == signature
    assert func.__doc__ == doc
    assert str(inspect.signature(func)) == signature


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_signature_parameters_are_positional_or_keyword(name):
    params = inspect.signature(getattr(refsieve, name)).parameters.values()
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    assert all(p.default is inspect.Parameter.empty for p in params)


def test_reimport_returns_the_same_module_and_functions():
    module = sys.modules["refsieve"]
    ratio, batch = module.token_sort_ratio, module.score_batch
    try:
        del sys.modules["refsieve"]
        again = importlib.import_module("refsieve")
        assert again is module
        assert again.token_sort_ratio is ratio
        assert again.score_batch is batch
        assert again.__all__ == ["token_sort_ratio", "score_batch"]
    finally:
        sys.modules["refsieve"] = module


def test_repeated_reimport_does_not_grow_all():
    module = sys.modules["refsieve"]
    try:
        for _ in range(3):
            del sys.modules["refsieve"]
            importlib.import_module("refsieve")
    finally:
        sys.modules["refsieve"] = module
    assert module.__all__ == ["token_sort_ratio", "score_batch"]


def test_import_from_subinterpreter_raises_import_error(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this interpreter cannot run sub-interpreters from Python")
    out = tmp_path / "subinterp.txt"
    inner = textwrap.dedent(
        f"""
        try:
            import refsieve
        except ImportError as exc:
            result = "ImportError:" + str(exc)
        except BaseException as exc:
            result = "other:" + type(exc).__name__ + ":" + str(exc)
        else:
            result = "imported"
        with open({str(out)!r}, "w", encoding="utf-8") as fh:
            fh.write(result)
        """
    )
    outer = textwrap.dedent(
        f"""
        import _testcapi
        import refsieve
        rc = _testcapi.run_in_subinterp({inner!r})
        print(rc)
        # The main interpreter keeps working after the refused import.
        assert refsieve.token_sort_ratio("ab", "ab") == 100.0
        """
    )
    proc = run_python(outer)
    assert proc.returncode == 0, proc.stderr
    text = out.read_text(encoding="utf-8")
    kind, _, message = text.partition(":")
    assert kind == "ImportError", text
    assert "interpreter" in message
    assert "README" in message
    assert "http" not in message


# --- PanicException -------------------------------------------------------


def test_internal_failure_is_a_panic_exception_not_an_exception():
    panic = panic_exception_class()
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__module__ != "refsieve"
    assert isinstance(panic.__doc__, str)
    assert "BaseException" in panic.__doc__
    assert not hasattr(refsieve, "PanicException")


def test_panic_exception_class_is_created_once():
    assert panic_exception_class() is panic_exception_class()


def _provoke_panic():
    class HugeLength:
        def __len__(self):
            return sys.maxsize

        def __getitem__(self, i):
            raise IndexError(i)

    refsieve.score_batch(HugeLength(), [], 1, 0.0)


def test_panic_passes_through_except_exception():
    panic = panic_exception_class()
    outcome = None
    with pytest.raises(panic) as info:
        try:
            _provoke_panic()
        except Exception:  # noqa: BLE001 - must not catch the panic
            outcome = "caught"
    assert outcome is None
    assert info.value.args == ("capacity overflow",)


def test_module_still_works_after_a_panic():
    panic = panic_exception_class()
    with pytest.raises(panic):
        _provoke_panic()
    assert refsieve.token_sort_ratio("John  Smith", "smith john") == 100.0
    assert refsieve.score_batch([], [], 1, 0.0) == []


def test_panic_exception_raised_by_python_code_is_re_raised_as_panic(capfd):
    panic = panic_exception_class()

    class Exploding:
        def __getitem__(self, key):
            raise panic("raised from a record")

    with pytest.raises(panic) as info:
        refsieve.score_batch([Exploding()], [], 1, 0.0)
    assert type(info.value) is panic
    assert info.value.args == ("raised from a record",)
    err = capfd.readouterr().err
    assert "raised from a record" in err


def test_subclass_of_panic_exception_is_an_ordinary_error():
    panic = panic_exception_class()

    class OwnPanic(panic):
        pass

    class Exploding:
        def __getitem__(self, key):
            raise OwnPanic("subclass")

    with pytest.raises(OwnPanic) as info:
        refsieve.score_batch([Exploding()], [], 1, 0.0)
    assert type(info.value) is OwnPanic
