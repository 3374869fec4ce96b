"""The module itself: initialisation, contents and relation_from_detector_index."""

import gc
import importlib.util
import inspect
import sys

import pytest

import kelvora

HELP = (
    "Map an 11-class relation-detector index to the canonical operator relation\n"
    "string (the one `apply_relate` / `parse_relation_type` accept), or `None` for\n"
    "an out-of-range index. This is the single source of truth for the\n"
    "detector\u2192operator bridge: it goes through `RelationType::from_detector_index`\n"
    "+ `canonical_str` so the Python detector layer never hard-codes the table and\n"
    "can never drift from the engine's enum order. Calibrated abstention (neutral /\n"
    "low-confidence \u2192 no relation) lives in the Python caller; this is the pure map."
)

DETECTOR_CLASSES = [
    "supports",
    "explains",
    "extends",
    "qualifies",
    "contrasts",
    "motivates",
    "necessitates",
    "operationalizes",
    "reframes",
    "completes",
    "independent",
]


def test_module_docstring():
    doc = kelvora.__doc__
    assert "\n" not in doc
    assert doc.startswith("kelvora Python module \u2014 ")
    assert doc.endswith("QEL engine.")


def test_contents_in_order_and_nothing_else():
    public = [name for name in vars(kelvora) if not name.startswith("_")]
    assert public == ["PyKnowledgeState", "PyProvenanceGraph", "relation_from_detector_index"]


def test_panic_exception_is_a_hidden_base_exception():
    found = [
        t
        for t in gc.get_objects()
        if isinstance(t, type)
        and t.__name__ == "PanicException"
        and t.__module__ == "pyo3_runtime"
        # Other extensions in the process may bring a type of the same name.
        and "engine" in (t.__doc__ or "")
    ]
    assert len(found) == 1
    panic = found[0]
    assert issubclass(panic, BaseException)
    assert not issubclass(panic, Exception)
    assert panic not in vars(kelvora).values()


def test_function_help_and_signature():
    f = kelvora.relation_from_detector_index
    assert f.__doc__ == HELP
    assert f.__text_signature__ == "(idx)"
    assert list(inspect.signature(f).parameters) == ["idx"]


@pytest.mark.parametrize(
    "idx, expected",
    list(enumerate(DETECTOR_CLASSES)) + [(11, None), (2**64 - 1, None)],
)
def test_detector_index_mapping(idx, expected):
    assert kelvora.relation_from_detector_index(idx) == expected
    assert kelvora.relation_from_detector_index(idx=idx) == expected


@pytest.mark.parametrize(
    "args, kwargs, error, words",
    [
        ((-1,), {}, OverflowError, ["idx"]),
        ((2**64,), {}, OverflowError, ["idx"]),
        (("0",), {}, TypeError, ["idx", "str"]),
        ((), {}, TypeError, ["missing", "'idx'"]),
        ((), {"index": 1}, TypeError, ["unexpected keyword", "'index'"]),
    ],
)
def test_bad_arguments(args, kwargs, error, words):
    with pytest.raises(error) as info:
        kelvora.relation_from_detector_index(*args, **kwargs)
    message = str(info.value)
    assert "relation_from_detector_index" in message or "argument 'idx'" in message
    for word in words:
        assert word in message


def test_reinitialisation_returns_the_same_module():
    assert importlib.util.module_from_spec(kelvora.__spec__) is kelvora
    saved = sys.modules.pop("kelvora")
    try:
        again = importlib.import_module("kelvora")
        assert again is saved
    finally:
        sys.modules["kelvora"] = saved


# Run inside a subinterpreter; reports through a pipe whose write end is `fd`.
INNER = """\
import os
try:
    import kelvora
    result = "imported"
except ImportError as e:
    result = "ImportError: " + str(e)
os.write(fd, result.encode())
"""

OUTER = """\
import os, _testcapi
import kelvora
read, write = os.pipe()
_testcapi.run_in_subinterp("fd = %d\\n" % write + {inner!r})
os.close(write)
print(os.read(read, 1000).decode())
"""


def test_a_second_interpreter_cannot_import(run_python):
    pytest.importorskip("_testcapi")
    result = run_python(OUTER.format(inner=INNER))
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError"), result.stdout
    assert "interpreter" in result.stdout
