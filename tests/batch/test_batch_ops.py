"""Batch: instructions about the request and its JSON solution."""

import pathlib

import pytest

from zudirivi import TVX, Batch, TovrixError

from conftest import LIVE_TEXT
from helpers import assert_no_leak

FREED = "Batch has already been freed"
OPS = ["abort", "retry", "discard", "update"]


@pytest.mark.parametrize("op, routine, text", [
    ("abort", "abort()", "TVX.BATCH_ABORTED"),
    ("retry", "retry()", "TVX.BATCH_SUBMITTED"),
    ("discard", "discard()", "TVX_ERROR_DATA_NOT_AVAILABLE"),
    ("update", "update()", "Update all attributes from the Korvel."),
    ("getJSONSolution", "getJSONSolution()",
     "RETURN VALUE:\n  A JSON string representation of the current solution.\n"),
    ("writeJSONSolution", "writeJSONSolution", "filename (string)"),
])
def test_docstrings(op, routine, text):
    doc = getattr(Batch, op).__doc__
    assert doc.startswith(f"ROUTINE:\n  {routine}\n\nPURPOSE:\n")
    positions = [doc.index(h) for h in ("PURPOSE:", "ARGUMENTS:", "RETURN VALUE:", "EXAMPLE:")]
    assert positions == sorted(positions) and text in doc


@pytest.mark.parametrize("batchid, op, after", [
    ("b1", "abort", TVX.BATCH_ABORTED),
    ("failed", "retry", TVX.BATCH_SUBMITTED),
    ("b1", "update", TVX.BATCH_SUBMITTED),
])
def test_instructions_change_the_request_not_the_object(env, batchid, op, after):
    with Batch(batchid, env) as b:
        state = dict(b.__dict__)
        assert getattr(b, op)() is None
        assert b.__dict__ == state
        assert b.BatchStatus == after


def test_discard_removes_the_request(env):
    with Batch("done", env) as b:
        assert b.discard() is None
        with pytest.raises(TovrixError) as e:
            b.update()
        assert (e.value.errno, e.value.message) == (TVX.ERROR_DATA_NOT_AVAILABLE,
                                                    "Batch 'done' is no longer available")
        with pytest.raises(TovrixError):
            Batch("done", env)


@pytest.mark.parametrize("batchid, op, message", [
    ("done", "abort", "Batch 'done' cannot be aborted: it is not submitted"),
    ("b1", "retry", "Batch 'b1' cannot be retried: it is neither aborted nor failed"),
])
def test_refused_instruction_carries_the_batch_message(env, batchid, op, message):
    with Batch(batchid, env) as b:
        with pytest.raises(TovrixError) as e:
            getattr(b, op)()
        assert (e.value.errno, e.value.message) == (TVX.ERROR_INVALID_ARGUMENT, message)


@pytest.mark.parametrize("op", OPS + ["getJSONSolution", "writeJSONSolution"])
def test_library_failure_of_each_call(lib, env, tmp_path, op):
    with Batch("done", env) as b:
        call = {"getJSONSolution": "TVXgetbatchjsonsolution",
                "writeJSONSolution": "TVXwritebatchjsonsolution"}.get(op, f"TVX{op}batch")
        lib.fail_next(env, call, 1234)
        args = (str(tmp_path / "s.json"),) if op == "writeJSONSolution" else ()
        with pytest.raises(TovrixError) as e:
            getattr(b, op)(*args)
        assert (e.value.errno, e.value.message) == (1234, "Injected failure of " + call)
        assert not (tmp_path / "s.json").exists()


@pytest.mark.parametrize("op", OPS + ["getJSONSolution", "writeJSONSolution"])
def test_dead_handle_never_reaches_the_library(env, tmp_path, op):
    b = Batch.__new__(Batch)
    args = (str(tmp_path / "s.json"),) if op == "writeJSONSolution" else ()
    for _ in range(2):
        with pytest.raises(TovrixError) as e:
            getattr(b, op)(*args)
        assert (e.value.errno, e.value.message) == (0, FREED)
        b = Batch("done", env)
        b.dispose()
    assert not (tmp_path / "s.json").exists()


@pytest.mark.parametrize("text", ['{"x": [1.5, 2]}', "", "{\"name\": \"naïve ✓\"}"])
def test_json_solution(lib, env, text):
    env._addTestBatch("j", TVX.BATCH_COMPLETED, text)
    texts = lib.live(LIVE_TEXT)
    with Batch("j", env) as b:
        result = b.getJSONSolution()
        assert type(result) is str and result == text
        assert lib.live(LIVE_TEXT) == texts  # handed back once


def test_json_text_that_is_not_utf8_is_freed_and_raises(lib, env):
    env._addTestBatch("bad", TVX.BATCH_COMPLETED, b'{"x": "\xff"}')
    texts = lib.live(LIVE_TEXT)
    with Batch("bad", env) as b:
        with pytest.raises(UnicodeDecodeError):
            b.getJSONSolution()
        assert lib.live(LIVE_TEXT) == texts


def test_json_not_available_frees_nothing(lib, env):
    texts = lib.live(LIVE_TEXT)
    with Batch("b1", env) as b:
        with pytest.raises(TovrixError) as e:
            b.getJSONSolution()
        assert (e.value.errno, e.value.message) == (TVX.ERROR_DATA_NOT_AVAILABLE,
                                                    "No solution available for batch 'b1'")
    assert lib.live(LIVE_TEXT) == texts


@pytest.mark.parametrize("as_name", [str, pathlib.Path, lambda p: str(p).encode()])
def test_write_json_solution(env, tmp_path, as_name):
    f = tmp_path / "sol.json"
    with Batch("done", env) as b:
        assert b.writeJSONSolution(as_name(f)) is None
        assert f.read_text() == '{"x": [1.5, 2]}'
        f.unlink()
        assert b.writeJSONSolution(filename=as_name(f)) is None
        assert f.read_text() == '{"x": [1.5, 2]}'


def test_write_json_solution_errors(env, tmp_path):
    with Batch("done", env) as b:
        with pytest.raises(TypeError) as e:
            b.writeJSONSolution()
        assert str(e.value) == "writeJSONSolution() takes exactly 2 positional arguments (1 given)"
        with pytest.raises(TypeError) as e:
            b.writeJSONSolution(name="x")
        assert str(e.value) == "writeJSONSolution() got an unexpected keyword argument 'name'"
        with pytest.raises(TypeError):
            b.writeJSONSolution(42)  # not turned into text with str()
        assert list(tmp_path.iterdir()) == []
        bad = tmp_path / "no" / "such" / "dir.json"
        with pytest.raises(TovrixError) as e:
            b.writeJSONSolution(str(bad))
        assert e.value.errno == TVX.ERROR_FILE_WRITE and "dir.json" in e.value.message
    with Batch("b1", env) as b:
        with pytest.raises(TovrixError) as e:
            b.writeJSONSolution(str(tmp_path / "s.json"))
        assert e.value.errno == TVX.ERROR_DATA_NOT_AVAILABLE
    # the file name is converted before a dead handle is refused
    with pytest.raises(TypeError):
        b.writeJSONSolution(42)


@pytest.mark.parametrize("op", OPS + ["getJSONSolution"])
def test_operations_take_no_arguments(batch, op):
    with pytest.raises(TypeError) as e:
        getattr(batch, op)(1)
    assert str(e.value) == f"{op}() takes exactly 1 positional argument (2 given)"


def test_no_leaks(env, tmp_path):
    f = str(tmp_path / "s.json")
    with Batch("done", env) as b, Batch("b1", env) as s:
        def ops():
            b.getJSONSolution()
            b.writeJSONSolution(f)
            s.update()
            try:
                s.retry()
            except TovrixError:
                pass

        assert_no_leak(ops, repeat=300)
