"""Test helpers shared by the whole suite (import as ``from helpers import ...``)."""

import gc
import os
import subprocess
import sys
import textwrap


def assert_no_leak(fn, repeat=1000, warmup=50, tolerance=None):
    """Call ``fn()`` ``repeat`` times and fail if allocated blocks keep growing.

    A warm-up fills caches and free lists first. Any object leaked per call
    grows the count by at least ``repeat``, while caches of NumPy, SciPy and
    the interpreter add a bounded noise of a few hundred blocks; so growth
    beyond ``tolerance`` blocks (default: half of ``repeat``, at least 10) in
    three successive rounds counts as a leak, and one quiet round clears it.
    """
    if tolerance is None:
        tolerance = max(10, repeat // 2)
    for _ in range(warmup):
        fn()
    growths = []
    for _round in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(repeat):
            fn()
        gc.collect()
        growth = sys.getallocatedblocks() - before
        if growth <= tolerance:
            return
        growths.append(growth)
    raise AssertionError(
        f"{getattr(fn, '__name__', fn)!s}: allocated blocks grew by {growths} "
        f"over {repeat} calls per round (tolerance {tolerance})"
    )


def assert_flat_cost(per_unit, n, what="calls"):
    """Fail unless ``per_unit(4 * n)`` stays under twice ``per_unit(n)``.

    ``per_unit(count)`` does something ``count`` times and returns its cost
    per time (CPU time of this process, say). A cost that grows with what
    came before grows ~4x from n to 4n; a generous factor and three tries
    absorb a busy machine.
    """
    ratios = []
    for _ in range(3):
        ratios.append(per_unit(4 * n) / per_unit(n))
        if ratios[-1] < 2.0:
            return
    raise AssertionError(f"cost per one of {4 * n} {what} over {n} {what}: {ratios}")


def subprocess_env():
    """The environment for a child interpreter that sees what this one sees."""
    env = dict(os.environ)
    # The interpreter finds its own library and site-packages; pass on the rest.
    own = tuple({sys.prefix, sys.base_prefix, sys.exec_prefix})
    paths = [p for p in sys.path if p and os.path.isdir(p) and not p.startswith(own)]
    extra = env.get("PYTHONPATH", "")
    env["PYTHONPATH"] = os.pathsep.join(paths + ([extra] if extra else []))
    return env


def run_optimized(code, expected=None, timeout=120):
    """Run ``code`` under ``python -O`` in a subprocess; return its stdout.

    The child gets this interpreter's import path. It must exit with 0;
    if ``expected`` is given, its stripped stdout must equal it.
    """
    proc = subprocess.run(
        [sys.executable, "-O", "-c", textwrap.dedent(code)],
        env=subprocess_env(),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert proc.returncode == 0, (
        f"python -O exited with {proc.returncode}\n"
        f"--- stdout\n{proc.stdout}--- stderr\n{proc.stderr}"
    )
    if expected is not None:
        assert proc.stdout.strip() == expected.strip(), proc.stdout
    return proc.stdout


# The opening of a child interpreter that loads modules one by one: the
# package without its __init__, so that nothing loads a module early.
BARE_PACKAGE = r"""
import ctypes, importlib, importlib.util, json, os, sys, traceback, types, warnings
spec = importlib.util.find_spec("zudirivi")
pkg = types.ModuleType("zudirivi")
pkg.__path__ = list(spec.submodule_search_locations)
sys.modules["zudirivi"] = pkg
"""

# After BARE_PACKAGE: a capsule of a wrong signature, and load(name), which
# imports zudirivi.<name> and prints what came of it and whether the traceback
# holds the module's "init" entry. A failed load lets go of its module, so the
# next import starts afresh.
BINDING_LOADER = r"""
new = ctypes.pythonapi.PyCapsule_New
new.restype = ctypes.py_object
new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
wrong = new(1, b"int (void)", None)

def load(name):
    try:
        importlib.import_module("zudirivi." + name)
        print("loaded", name)
    except Exception as e:
        where = "init zudirivi." + name in "".join(traceback.format_tb(e.__traceback__))
        print(type(e).__name__, e, where)
"""
