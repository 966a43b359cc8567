"""Model helpers of zudirivi._buildaid on 10^6 elements.

Each figure is the helper's time over a baseline of the same size measured in
this run: the same names or lists built by a Python comprehension, or
`tolist()` of 10^6 floats.
"""

import itertools
import time

import numpy as np

import zudirivi as tvp
from zudirivi import _buildaid as ba

N = 10**6
SIDE = 1000


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def python_listify(d):
    index = [(i, j) for i in range(SIDE) for j in range(SIDE)]
    return [d.get(k, 0.0) for k in index]


def python_listify_flattening(d):
    # the same, with keys flattened as _listify does (exact tuples opened)
    index = [tuple(itertools.chain(*[c if type(c) is tuple else (c,) for c in k]))
             for k in itertools.product(range(SIDE), range(SIDE))]
    return [d.get(k, 0.0) for k in index]


def main():
    # names
    fast = best(lambda: ba._nd_indexed_names("x", (N,)))
    fast_py = best(lambda: [f"x[{i}]" for i in range(N)])
    general = best(lambda: ba._nd_indexed_names("x", (SIDE, SIDE)))
    general_py = best(
        lambda: ["x[%d,%d]" % t for t in itertools.product(range(SIDE), range(SIDE))])
    assert ba._nd_indexed_names("x", (SIDE, SIDE))[-1] == "x[999,999]"

    # keyword broadcasting over the product of two index sets
    d = {(i, j): float(i + j) for i in range(SIDE) for j in range(SIDE)}

    def listify():
        return ba._listify(SIDE, SIDE, lb=d).listify("lb", 0.0)

    assert listify() == python_listify(d)
    lst = best(listify)
    lst_py = best(lambda: python_listify(d))
    lst_py_flat = best(lambda: python_listify_flattening(d), repeat=3)

    # x + c recognised as variables and values
    m = tvp.Model()
    x = m.addMVar((N,))
    m.update()
    e = tvp.MLinExpr._from_mvar(x, force_full=True) + np.arange(N, dtype=float)
    conv = best(lambda: ba._convert_mle_to_predvar_predval(e), repeat=3)
    floats = np.arange(N, dtype=float)
    tolist = best(lambda: floats.tolist())

    print(f"nd_indexed_names_vector_over_fstring_comprehension: {fast / fast_py:.2f}")
    print(f"nd_indexed_names_1000x1000_over_percent_product: {general / general_py:.2f}")
    print(f"listify_dict_1000x1000_over_python_comprehension: {lst / lst_py:.2f}")
    print(f"listify_dict_1000x1000_over_flattening_comprehension: {lst / lst_py_flat:.2f}")
    print(f"convert_mle_full_over_tolist: {conv / tolist:.2f}")


if __name__ == "__main__":
    main()
