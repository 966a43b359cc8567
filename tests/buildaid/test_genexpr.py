"""_genexpr_key: the loop variables of a suspended generator expression."""

import io
import subprocess
import sys
import textwrap
import types

import pytest

from zudirivi import _buildaid as ba

from helpers import assert_no_leak, subprocess_env


def keys_of(gen):
    key = ba._genexpr_key(gen)
    return [(item, key()) for item in gen]


def test_one_loop_variable_gives_the_bare_value():
    assert keys_of(i * 10 for i in range(3)) == [(0, 0), (10, 1), (20, 2)]


@pytest.mark.parametrize("make, expected", [
    (lambda: (str(i) + j for i in range(2) for j in "ab" if j),
     [("0a", 0, "a"), ("0b", 0, "b"), ("1a", 1, "a"), ("1b", 1, "b")]),
    (lambda: (i for j, i in [(1, 2), (3, 4)]), [(2, 1, 2), (4, 3, 4)]),
    (lambda: (b for b in range(2) for a in range(1)), [(0, 0, 0), (1, 1, 0)]),
    (lambda: (ii for i in range(2) for ii in range(i, i + 1)), [(0, 0, 0), (1, 1, 1)]),
    # j is captured by the lambda, so it is a cell variable listed first
    (lambda: ((lambda: j)() for i in range(2) for j in range(1)), [(0, 0, 0), (0, 1, 0)]),
])
def test_several_loop_variables_in_store_order(make, expected):
    assert [(item, *key) for item, key in keys_of(make())] == expected


def test_locals_are_read_anew_at_each_call():
    gen = (i for i in range(5) for k in range(1))
    key = ba._genexpr_key(gen)
    assert key() == ()          # nothing bound yet
    next(gen)
    assert key() == (0, 0)
    next(gen), next(gen)
    assert key() == (2, 0)
    with pytest.raises(TypeError,
                       match=r"^key\(\) takes exactly 0 positional arguments \(1 given\)$"):
        key(1)
    with pytest.raises(TypeError, match=r"^key\(\) got an unexpected keyword argument 'a'$"):
        key(a=1)


def test_one_candidate_form_errors():
    gen = (i for i in range(2))
    key = ba._genexpr_key(gen)
    with pytest.raises(KeyError, match="'i'"):
        key()
    gen = (1 for _ in range(2))
    key = ba._genexpr_key(gen)
    next(gen)
    assert key() == 0
    empty = types.SimpleNamespace(
        gi_frame=types.SimpleNamespace(f_code=types.SimpleNamespace(co_cellvars=(),
                                                                    co_varnames=(".0",)),
                                       f_locals={}))
    with pytest.raises(IndexError):
        ba._genexpr_key(empty)()


def test_generators_without_a_frame():
    gen = (i for i in range(1))
    list(gen)
    with pytest.raises(AttributeError):
        ba._genexpr_key(gen)
    with pytest.raises(AttributeError):
        ba._genexpr_key(x=[1])


class OldDis:
    """A dis module whose disassemble() writes to sys.stdout only."""

    def __init__(self, fail=False):
        self.fail, self.seen = fail, None

    def disassemble(self, co):
        import dis
        self.seen = sys.stdout
        if self.fail:
            raise RuntimeError("listing failed")
        dis.disassemble(co)


def test_stdout_fallback_restores_stdout(monkeypatch):
    fake = OldDis()
    monkeypatch.setattr(ba, "dis", fake)
    saved = sys.stdout
    gen = (i for i in range(2) for j in range(1))
    key = ba._genexpr_key(gen)
    assert sys.stdout is saved and isinstance(fake.seen, io.StringIO)
    next(gen)
    assert key() == (0, 0)
    failing = OldDis(fail=True)
    monkeypatch.setattr(ba, "dis", failing)
    with pytest.raises(RuntimeError, match="listing failed"):
        ba._genexpr_key(i for i in range(2) for j in range(1))
    assert sys.stdout is saved and failing.seen is not saved


def test_other_listing_errors_propagate(monkeypatch):
    def broken(co, file=None):
        raise ValueError("broken")

    monkeypatch.setattr(ba, "dis", types.SimpleNamespace(disassemble=broken))
    saved = sys.stdout
    with pytest.raises(ValueError, match="broken"):
        ba._genexpr_key(i for i in range(2) for j in range(1))
    assert sys.stdout is saved


def test_listing_is_matched_line_by_line(monkeypatch):
    # Candidates i and ii: a line naming (ii) is not taken for i; a MAKE_CELL
    # line is skipped; one line gives at most one name.
    def listing(co, file):
        file.write("MAKE_CELL 0 (i)\nSTORE_FAST 2 (ii)\nLOAD (i) STORE (i)\n")

    monkeypatch.setattr(ba, "dis", types.SimpleNamespace(disassemble=listing))
    gen = (i for i in range(2) for ii in range(1))
    key = ba._genexpr_key(gen)
    next(gen)
    assert key() == (0, 0)  # ii first (its store came first), then i
    gen = (ii + i for ii in range(3) for i in range(1, 2))
    key = ba._genexpr_key(gen)
    next(gen)
    assert key() == (0, 1)  # ii, then i


def test_values_generator_closed_while_it_reads_the_locals():
    # A frame stand-in whose locals reach the key's own value generator (the
    # collector lists it) and close it while it asks them for a name.
    code = textwrap.dedent("""
        import gc, types
        from zudirivi import _buildaid as ba

        class Locals(dict):
            def __contains__(self, name):
                for o in gc.get_objects():
                    if type(o).__qualname__ == "generator" and "_buildaid" in type(o).__module__:
                        o.close()
                return True

        gen = (i for i in range(2) for j in range(1))
        frame = types.SimpleNamespace(f_code=gen.gi_frame.f_code, f_locals=Locals(i=1, j=2))
        key = ba._genexpr_key(types.SimpleNamespace(gi_frame=frame))
        try:
            print(key())
        except Exception as e:
            print(type(e).__name__, e)
    """)
    proc = subprocess.run([sys.executable, "-c", code], env=subprocess_env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stderr}"
    assert proc.stdout.strip() == "ValueError generator already executing"


def test_no_leaks():
    def one():
        gen = (i for i in range(3) for j in range(2))
        key = ba._genexpr_key(gen)
        for _ in gen:
            key()

    assert_no_leak(one, repeat=200)
