"""Compiled functions made per call give all their memory back.

The parameter record of a compiled function is native memory that
tracemalloc and the block count do not see: the test reads the resident set
size of a child interpreter instead."""

import subprocess
import sys

import pytest

from helpers import subprocess_env

CHILD = r"""
import gc, os
import zudirivi as tvp

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

m = tvp.Model()
x = m.addMVar(2)
m.update()
le = tvp.MLinExpr._from_mvar(x, force_full=True) + 1
q = x * x
nl = tvp.MNLExpr._from_mvar(x)
cells = [x[0].item() + 1]
op = {OP}
for _ in range(2000):
    op()
gc.collect()
before = rss()
for _ in range({CALLS}):
    op()
gc.collect()
print(rss() - before)
"""


# A record lost per call would add about 96 bytes a call: 9.6 MB over 10**5
# calls, 1.9 MB over 2 * 10**4.
@pytest.mark.parametrize("op, calls", [
    ("lambda: tvp.MLinExpr._from_linexprs(cells)", 10**5),
    ("lambda: repr(le)", 2 * 10**4),
    ("lambda: repr(q)", 2 * 10**4),
    ("lambda: repr(nl)", 2 * 10**4),
])
def test_functions_made_per_call_free_their_record(op, calls):
    code = CHILD.replace("{OP}", op).replace("{CALLS}", str(calls))
    env = subprocess_env()
    if "ASAN_OPTIONS" in env:
        # the sanitizer's allocator would hold on to freed memory
        env["ASAN_OPTIONS"] += ":quarantine_size_mb=0"
    proc = subprocess.run([sys.executable, "-c", code], env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    growth = int(proc.stdout)
    assert growth < 512 * 1024, f"resident set grew by {growth} bytes over {calls} calls"
