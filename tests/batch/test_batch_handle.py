"""Batch: construction, attribute access, life cycle, equality, repr, dir."""

import copy
import gc
import pickle
import subprocess
import sys
import textwrap
import uuid

import pytest

import zudirivi as tvp
from zudirivi import TVX, Batch, Env, TovrixError
from zudirivi._core import tovrix

from conftest import LIVE_BATCH
from helpers import assert_no_leak, subprocess_env

FREED = "Batch has already been freed"


def closed_state(b):
    return b.__dict__ == {"_cbatch": None, "_cenv": None, "_uenv": None}


# --- the class -----------------------------------------------------------------

def test_class_members_docs_and_hash():
    members = [k for k in vars(Batch) if k not in ("__module__", "__doc__", "__dict__",
                                                    "__weakref__", "__hash__")]
    assert members == ["__new__", "__init__", "__getattr__", "__setattr__", "__del__",
                       "dispose", "close", "__enter__", "__exit__", "__eq__", "__repr__",
                       "__dir__", "abort", "retry", "discard", "update", "getJSONSolution",
                       "writeJSONSolution"]
    assert Batch.__module__ == "zudirivi._batch" and Batch.__bases__ == (object,)
    assert Batch.__doc__.startswith("Tovrix batch object.")
    for name in ("abort", "discard", "dispose", "getJSONSolution", "update", "BatchErrorCode",
                 "BatchErrorMessage", "BatchID", "BatchStatus"):
        assert name in Batch.__doc__
    assert "help() on any of these methods" in Batch.__doc__.splitlines()[-1]
    assert Batch.dispose.__doc__.startswith("ROUTINE:\n  dispose()\n")
    assert "Free all resources associated with this Batch object." in Batch.dispose.__doc__
    assert "NOTES:" in Batch.dispose.__doc__
    assert "Synonymous to Batch.dispose()" in Batch.close.__doc__
    for special in ("__init__", "__getattr__", "__eq__", "__repr__", "__dir__", "__exit__"):
        assert getattr(Batch, special).__doc__ is None
    assert Batch.__hash__ is None
    b = Batch.__new__(Batch)
    with pytest.raises(TypeError):
        hash(b)
    with pytest.raises(TypeError):
        {b}


@pytest.mark.parametrize("call, message", [
    (lambda: Batch(), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda: Batch(1, None, 3), "__init__() takes at most 3 positional arguments (4 given)"),
    (lambda: Batch("b1", envx=None), "__init__() got an unexpected keyword argument 'envx'"),
    (lambda: Batch.__new__(Batch).close(1), "close() takes exactly 1 positional argument (2 given)"),
    (lambda: Batch.__new__(Batch).__exit__(None, None),
     "__exit__() takes exactly 4 positional arguments (3 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_new_takes_any_arguments_and_sets_only_cbatch():
    b = Batch.__new__(Batch, 1, 2, x=3)
    assert b.__dict__ == {"_cbatch": None}
    assert repr(b) == "<zudirivi.Batch, invalid or closed state>"


# --- construction ----------------------------------------------------------------

def test_open_keeps_the_environment_and_uses_the_batch_environment(env):
    b = Batch("b1", env)
    assert b._uenv is env
    assert type(b._cbatch) is type(b._cenv) is type(env._cenv)
    assert b._cenv != env._cenv  # the batch's own environment
    assert b.BatchID == "b1"
    b.dispose()


def test_open_by_int_id_in_the_default_environment(lib):
    default = tovrix._getdefaultenv()
    number = uuid.uuid4().int % 10**12
    default._addTestBatch(str(number), TVX.BATCH_CREATED)
    with Batch(number) as b:
        assert b._uenv is default
        assert (b.BatchID, b.BatchStatus) == (str(number), TVX.BATCH_CREATED)


def test_failed_open_leaves_an_unopened_object(env, lib):
    b = Batch.__new__(Batch)
    with pytest.raises(TovrixError) as e:
        b.__init__("nope", env)
    assert e.value.errno == TVX.ERROR_BATCH_NOT_FOUND
    assert e.value.message == "Batch 'nope' not found"
    assert b.__dict__ == {"_cbatch": None}
    with pytest.raises(TovrixError, match=FREED):
        b.BatchID
    hook_calls = []
    old = sys.unraisablehook
    sys.unraisablehook = hook_calls.append
    try:
        del b
        gc.collect()
    finally:
        sys.unraisablehook = old
    assert hook_calls == []


def test_environment_that_was_never_created_is_refused():
    class DeadEnv(Env):
        _cenv = property(lambda self: None)

    with pytest.raises(TovrixError) as e:
        Batch("b1", DeadEnv())
    assert (e.value.errno, e.value.message) == (TVX.ERROR_NULL_ARGUMENT,
                                                "Failed to create environment")


def test_opening_again_frees_the_held_handle(lib, env):
    before = lib.live(LIVE_BATCH)
    b = Batch("b1", env)
    b.__init__("done", env)
    assert lib.live(LIVE_BATCH) == before + 1
    assert (b.BatchID, b._uenv) == ("done", env)
    with pytest.raises(TovrixError, match="Batch 'nope' not found"):
        b.__init__("nope", env)
    assert closed_state(b) and lib.live(LIVE_BATCH) == before
    # a failed free of the held handle is reported as dispose reports it
    b.__init__("b1", env)
    lib.fail_next(env, "TVXfreebatch", 77)
    with pytest.raises(TovrixError) as e:
        b.__init__("done", env)
    assert (e.value.errno, e.value.message) == (77, "Failed to create batch request")
    assert closed_state(b) and lib.live(LIVE_BATCH) == before


@pytest.mark.parametrize("bad_id, exc", [(b"b1", TovrixError), ("a\0b", ValueError)])
def test_id_goes_through_str(env, bad_id, exc):
    # a bytes ID becomes its str() form, "b'b1'", which is not in the store
    with pytest.raises(exc):
        Batch(bad_id, env)


# --- attribute reads ----------------------------------------------------------------

@pytest.mark.parametrize("name", ["BatchID", "batchID", "batchid", "BATCHID"])
def test_reads_ignore_letter_case(batch, name):
    assert getattr(batch, name) == "b1"


def test_reads_of_each_type(env):
    with Batch("failed", env) as b:
        assert (b.BatchStatus, b.BatchErrorCode) == (TVX.BATCH_FAILED, 42)
        assert b.BatchErrorMessage == "went wrong"
        assert type(b.BatchStatus) is int and type(b.BatchErrorMessage) is str


def test_reads_are_not_cached(env, batch):
    assert batch.BatchStatus == TVX.BATCH_SUBMITTED
    env._setTestBatchStatus("b1", TVX.BATCH_COMPLETED)
    assert batch.BatchStatus == TVX.BATCH_COMPLETED
    assert "BatchStatus" not in batch.__dict__


def test_library_gets_the_lower_case_name(batch):
    with pytest.raises(AttributeError) as e:
        batch.NoSuchThing
    assert type(e.value) is AttributeError
    assert str(e.value) == "Unknown attribute 'nosuchthing'"
    # special and private names that ordinary lookup misses ask the library too
    with pytest.raises(AttributeError, match="Unknown attribute '__length_hint__'"):
        batch.__length_hint__
    assert not hasattr(batch, "_private")


@pytest.mark.parametrize("flags, ivalue, svalue, expected", [
    (0x01, 7, b"", 7),                           # int, settable
    (0x13, 0, "naïve".encode(), "naïve"),        # read-only string, UTF-8
    (0x21, -3, b"", -3),                         # bits beyond 0x1f are not looked at
    (0x33, 0, b"", ""),
])
def test_reads_choose_the_call_by_type_bits(lib, env, batch, flags, ivalue, svalue, expected):
    lib.add_attr(env, "Extra", flags, ivalue, svalue)
    assert batch.Extra == expected and type(batch.extra) is type(expected)


@pytest.mark.parametrize("flags", [0x00, 0x02, 0x12, 0x04, 0x0f])
def test_other_types_are_an_internal_error(lib, env, batch, flags):
    lib.add_attr(env, "Odd", flags)
    with pytest.raises(TovrixError) as e:
        batch.Odd
    assert (e.value.errno, e.value.message) == (TVX.INTERNAL, "Unexpected internal error")


@pytest.mark.parametrize("call, name", [("TVXgetbatchintattr", "BatchStatus"),
                                        ("TVXgetbatchstrattr", "BatchID")])
def test_failed_value_read_raises_with_the_batch_message(lib, env, batch, call, name):
    lib.fail_next(env, call, 777)
    with pytest.raises(TovrixError) as e:
        getattr(batch, name)
    assert (e.value.errno, e.value.message) == (777, "Injected failure of " + call)
    assert getattr(batch, name) in ("b1", TVX.BATCH_SUBMITTED)


def test_subclasses_read_through_their_own_lookup(env):
    class Plain(Batch):
        level = "class"

    class Wrapping(Batch):
        def __getattr__(self, name):
            return ("wrapped", Batch.__getattr__(self, name))

    with Plain("b1", env) as p, Wrapping("b1", env) as w:
        assert (p.BatchID, p.level, p._cbatch is not None) == ("b1", "class", True)
        assert w.BatchStatus == ("wrapped", TVX.BATCH_SUBMITTED)
        with pytest.raises(AttributeError, match="Unknown attribute 'nope'"):
            p.Nope


# --- assignment ----------------------------------------------------------------

def test_private_names_are_stored_in_every_state(env):
    b = Batch.__new__(Batch)
    b._x = 1
    b.__init__("b1", env)
    b._y = 2
    b.dispose()
    b._z = 3
    b._cbatch = "anything"
    assert (b._x, b._y, b._z, b._cbatch) == (1, 2, 3, "anything")
    b._cbatch = None


@pytest.mark.parametrize("name", ["BatchStatus", "batchstatus", "BatchID"])
def test_read_only_attributes_refuse_with_the_name_as_written(batch, name):
    with pytest.raises(AttributeError) as e:
        setattr(batch, name, 3)
    assert type(e.value) is AttributeError
    assert str(e.value) == f"Attribute '{name}' cannot be set"
    assert name not in batch.__dict__


def test_other_assignments(lib, env, batch):
    lib.add_attr(env, "Writable", 0x01)
    with pytest.raises(TovrixError) as e:
        batch.Writable = 1
    assert (e.value.errno, e.value.message) == (TVX.INTERNAL, "Unexpected internal error")
    with pytest.raises(AttributeError, match="^Unknown attribute 'nosuch'$"):
        batch.NoSuch = 1
    with pytest.raises(IndexError):
        Batch.__setattr__(batch, "", 1)
    assert set(batch.__dict__) == {"_cbatch", "_cenv", "_uenv"}


# --- unopened and disposed handles ------------------------------------------------

@pytest.fixture(params=["unopened", "disposed", "no __new__"])
def dead(request, env):
    if request.param == "unopened":
        return Batch.__new__(Batch)
    if request.param == "disposed":
        b = Batch("b1", env)
        b.dispose()
        return b
    return object.__new__(Batch)  # no _cbatch at all


def test_dead_handles(dead):
    for action in (lambda: dead.BatchID, lambda: getattr(dead, "x", None),
                   lambda: hasattr(dead, "x"), lambda: setattr(dead, "BatchStatus", 1)):
        with pytest.raises(TovrixError) as e:
            action()
        assert (e.value.errno, e.value.message) == (0, FREED)
    assert repr(dead) == "<zudirivi.Batch, invalid or closed state>"
    assert dead.dispose() is None and dead.close() is None
    assert (dead == 5) is False
    assert dir(dead) == sorted(set(dir(Batch) + list(dead.__dict__)))
    assert "BatchID" not in dir(dead)


# --- dispose, close, with, finalisation ---------------------------------------

def test_dispose_frees_once(lib, env):
    before = lib.live(LIVE_BATCH)
    b = Batch("b1", env)
    assert lib.live(LIVE_BATCH) == before + 1
    assert b.dispose() is None
    assert lib.live(LIVE_BATCH) == before and closed_state(b)
    assert b.dispose() is None and b.close() is None
    with pytest.raises(TovrixError, match=FREED):
        b.BatchID
    del b
    gc.collect()
    assert lib.live(LIVE_BATCH) == before


def test_failed_free_still_counts_as_freed(lib, env):
    b = Batch("b1", env)
    lib.fail_next(env, "TVXfreebatch", 555)
    with pytest.raises(TovrixError) as e:
        b.dispose()
    assert (e.value.errno, e.value.message) == (555, "Failed to create batch request")
    assert closed_state(b)
    assert b.dispose() is None


def test_environment_outlives_the_free(lib):
    seen = []

    class WatchedEnv(Env):
        def __del__(self):
            seen.append(lib.live(LIVE_BATCH))

    before = lib.live(LIVE_BATCH)
    e = WatchedEnv()
    e._addTestBatch("w", TVX.BATCH_CREATED)
    b = Batch("w", e)
    del e
    gc.collect()
    assert seen == []
    b.dispose()
    assert seen == [before]  # the environment went only after its batch


def test_with_block(lib, env):
    before = lib.live(LIVE_BATCH)
    with Batch("b1", env) as b:
        assert isinstance(b, Batch) and b.BatchID == "b1"
    assert closed_state(b) and lib.live(LIVE_BATCH) == before
    with pytest.raises(KeyError):
        with Batch("b1", env) as b2:
            raise KeyError("inside")
    assert closed_state(b2) and lib.live(LIVE_BATCH) == before
    assert b2.__exit__(None, None, None) is False and b2.close() is None


def test_exit_propagates_a_failed_close(lib, env):
    with pytest.raises(TovrixError) as e:
        with Batch("b1", env):
            lib.fail_next(env, "TVXfreebatch", 9)
    assert e.value.errno == 9


def test_finalisation_disposes_and_reports_failures_as_unraisable(lib, env):
    before = lib.live(LIVE_BATCH)
    b = Batch("b1", env)
    del b
    gc.collect()
    assert lib.live(LIVE_BATCH) == before
    reports = []
    old = sys.unraisablehook
    sys.unraisablehook = reports.append
    try:
        b = Batch("b1", env)
        lib.fail_next(env, "TVXfreebatch", 31)
        del b
        gc.collect()
    finally:
        sys.unraisablehook = old
    assert len(reports) == 1
    assert type(reports[0].exc_value) is TovrixError and reports[0].exc_value.errno == 31
    assert lib.live(LIVE_BATCH) == before


def test_close_exit_and_del_call_overrides(env):
    calls = []

    class Mine(Batch):
        def dispose(self):
            calls.append("dispose")
            return Batch.dispose(self)

        def close(self):
            calls.append("close")
            return Batch.close(self)

    with Mine("b1", env) as m:
        pass
    assert calls == ["close", "dispose"]
    m2 = Mine("b1", env)
    del m2
    gc.collect()
    assert calls == ["close", "dispose", "dispose"]
    assert m.close() is None


# --- equality, repr, dir ----------------------------------------------------------

def test_equality_compares_batch_ids(env, batch):
    with Batch("b1", env) as same, Batch("done", env) as other:
        assert batch == same and not batch != same
        assert batch != other and not batch == other
    assert (batch == "b1") is False and batch != 1
    dead = Batch.__new__(Batch)
    assert (dead == batch.BatchID) is False  # no library call
    with pytest.raises(TovrixError, match=FREED):
        dead == batch


def test_repr(batch):
    assert repr(batch) == "<zudirivi.Batch, ID b1>"


def test_dir_lists_class_instance_and_library_names(lib, env, batch):
    lib.add_attr(env, "ZExtra", 0x11)
    batch._mine = 1
    names = dir(batch)
    assert names == sorted(set(names))
    assert names == sorted(set(dir(Batch) + ["_cbatch", "_cenv", "_uenv", "_mine",
                                             "BatchErrorCode", "BatchErrorMessage", "BatchID",
                                             "BatchStatus", "ZExtra"]))
    lib.fail_next(env, "TVXgetbatchattrname", 66)
    with pytest.raises(TovrixError) as e:
        dir(batch)
    assert (e.value.errno, e.value.message) == (66, "Injected failure of TVXgetbatchattrname")


def test_copies_never_share_the_library_handle(lib, batch):
    # the copy is made unopened, and asking it for __setstate__ fails there
    with pytest.raises(TovrixError, match=FREED):
        copy.copy(batch)
    with pytest.raises(TypeError):
        pickle.dumps(batch)
    assert batch.BatchID == "b1"


def test_no_leaks(env):
    def cycle():
        with Batch("failed", env) as b:
            b.BatchID, b.BatchStatus, b.BatchErrorMessage, repr(b), dir(b)
            b.__init__("b1", env)  # opened again: the held handle is freed
            try:
                b.BatchStatus = 1
            except AttributeError:
                pass

    def refused():
        try:
            Batch("nope", env)
        except TovrixError:
            pass

    assert_no_leak(cycle, repeat=300)
    assert_no_leak(refused, repeat=300)


# --- user code that disposes the handle while it is in use ------------------------

CHILD = """
import os
import zudirivi as tvp
from zudirivi import TVX, Batch

env = tvp.Env()
env._addTestBatch("b1", TVX.BATCH_SUBMITTED)
env._addTestBatch("done", TVX.BATCH_COMPLETED, '{"x": 1}')

def report(action):
    try:
        print("returned", action())
    except Exception as e:
        print(type(e).__name__, getattr(e, "errno", ""), e)

class Name(str):
    # a name whose lower-casing disposes the batch it is asked of
    def lower(self):
        b.dispose()
        return str.lower(self)

class Path:
    def __fspath__(self):
        b.dispose()
        return "sol.json"
"""

FREED_ERROR = "TovrixError 0 " + FREED
CLOSED = "<zudirivi.Batch, invalid or closed state>"


@pytest.mark.parametrize("code, expected", [
    ("""
        b = Batch("b1", env)
        report(lambda: getattr(b, Name("BatchID")))
        b = Batch("b1", env)
        report(lambda: setattr(b, Name("BatchStatus"), 1))
    """, [FREED_ERROR, FREED_ERROR]),
    ("""
        b = Batch("done", env)
        report(lambda: b.writeJSONSolution(Path()))
        print(os.path.exists("sol.json"))
    """, [FREED_ERROR, "False"]),
    # a subclass that shows the object at each assignment sees it closed
    # once its handle is freed
    ("""
        class Shown(Batch):
            def __setattr__(self, name, value):
                print(name, repr(self))
                super().__setattr__(name, value)

        b = Shown("b1", env)
        report(b.dispose)
    """, [f"_cbatch {CLOSED}", f"_cbatch {CLOSED}", "_cenv <zudirivi.Batch, ID b1>",
          "_uenv <zudirivi.Batch, ID b1>", "_cenv <zudirivi.Batch, ID b1>",
          "_uenv <zudirivi.Batch, ID b1>", f"_cbatch {CLOSED}", "returned None",
          f"_cenv {CLOSED}", f"_uenv {CLOSED}"]),  # the last two from finalisation
    # disposing again from there frees nothing more
    ("""
        class Again(Batch):
            def __setattr__(self, name, value):
                if name == "_cbatch" and self.__dict__.get("_cbatch") is not None:
                    report(self.dispose)
                    report(lambda: self.BatchStatus)
                super().__setattr__(name, value)

        b = Again("b1", env)
        report(b.dispose)
        print(b.__dict__)
    """, ["returned None", FREED_ERROR, "returned None",
          "{'_cbatch': None, '_cenv': None, '_uenv': None}"]),
    # a failed assignment still leaves no freed handle behind
    ("""
        class Stubborn(Batch):
            def __setattr__(self, name, value):
                if name == "_cbatch" and self.__dict__.get("_cbatch") is not None:
                    raise KeyError("kept")
                super().__setattr__(name, value)

        b = Stubborn("b1", env)
        report(b.dispose)
        print(b.__dict__)
        report(lambda: b.BatchID)
    """, ["KeyError  'kept'", "{'_cbatch': None, '_cenv': None, '_uenv': None}", FREED_ERROR]),
])
def test_handle_disposed_by_user_code_while_in_use(tmp_path, code, expected):
    proc = subprocess.run([sys.executable, "-c", CHILD + textwrap.dedent(code)],
                          env=subprocess_env(), cwd=tmp_path, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stderr}"
    assert proc.stdout.splitlines() == expected
