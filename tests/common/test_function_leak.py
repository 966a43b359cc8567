"""Compiled functions made per call give all their memory back.

The parameter record of a compiled function is native memory that
tracemalloc and the block count do not see: the test reads the resident set
size of child interpreters instead."""

import subprocess
import sys

from helpers import subprocess_env

CHILD = r"""
import gc, os, sys
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
op = eval(sys.argv[1])
for _ in range(2000):
    op()
gc.collect()
before = rss()
for _ in range(10**5):
    op()
gc.collect()
print(rss() - before)
"""

OPS = [
    "lambda: tvp.MLinExpr._from_linexprs(cells)",
    "lambda: repr(le)",
    "lambda: repr(q)",
    "lambda: repr(nl)",
]


def test_functions_made_per_call_free_their_record():
    env = subprocess_env()
    if "ASAN_OPTIONS" in env:
        # the sanitizer's allocator would hold on to freed memory
        env["ASAN_OPTIONS"] += ":quarantine_size_mb=0"
    # One child per operation, run side by side.
    children = [subprocess.Popen([sys.executable, "-c", CHILD, op], env=env, text=True,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE) for op in OPS]
    growth = {}
    for op, child in zip(OPS, children):
        out, err = child.communicate(timeout=300)
        assert child.returncode == 0, err
        growth[op] = int(out)
    # A record lost per call would add about 96 bytes a call, 9.6 MB in all;
    # the allocators' own steps stay within about 1.5 MB.
    assert all(g < 3 * 2**20 for g in growth.values()), growth
