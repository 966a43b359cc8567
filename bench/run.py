"""Runs every bench/bench_*.py (or those named on the command line) in turn.

Each benchmark is run as its own process and prints one line per figure;
the runner prints a header per benchmark and fails if any benchmark fails.
"""

import glob
import os
import subprocess
import sys
import time


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    found = sorted(glob.glob(os.path.join(here, "bench_*.py")))
    if argv:
        wanted = {a if a.startswith("bench_") else "bench_" + a for a in argv}
        wanted = {w[:-3] if w.endswith(".py") else w for w in wanted}
        found = [f for f in found if os.path.basename(f)[:-3] in wanted]
        missing = wanted - {os.path.basename(f)[:-3] for f in found}
        if missing:
            print(f"no such benchmark: {', '.join(sorted(missing))}", file=sys.stderr)
            return 2
    if not found:
        print("no benchmarks yet (bench/bench_*.py)")
        return 0
    failed = []
    for path in found:
        name = os.path.basename(path)[:-3]
        print(f"== {name}", flush=True)
        start = time.perf_counter()
        rc = subprocess.call([sys.executable, path])
        print(f"   ({time.perf_counter() - start:.1f} s)", flush=True)
        if rc != 0:
            failed.append(name)
    if failed:
        print(f"failed: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
