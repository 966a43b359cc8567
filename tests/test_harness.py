"""The build, the package and the test helpers themselves."""

import importlib
import os
import re
import sys

import pytest

from helpers import assert_no_leak, run_optimized

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULES = ["_util", "_tvx", "_exception", "_core", "_propkit", "_arrayexpr", "_buildaid", "_batch"]


def test_package_imports_with_every_module():
    import zudirivi

    if sys.version_info >= (3, 11):
        import tomllib
    else:
        import tomli as tomllib
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        assert zudirivi.__version__ == tomllib.load(f)["project"]["version"]

    for name in MODULES:
        mod = importlib.import_module("zudirivi." + name)
        assert mod.__name__ == "zudirivi." + name
        # Built modules and libtovrix live in the package folder.
        assert os.path.dirname(mod.__file__) == os.path.dirname(zudirivi.__file__)
    libdir = os.path.dirname(zudirivi.__file__)
    assert os.path.exists(os.path.join(libdir, "libtovrix.so"))


def test_assert_no_leak_passes_clean_and_catches_growth():
    assert_no_leak(lambda: [object() for _ in range(3)], repeat=500)
    hoard = []
    with pytest.raises(AssertionError, match="allocated blocks grew"):
        assert_no_leak(lambda: hoard.append(object()), repeat=500)


def test_run_optimized_drops_asserts_and_keeps_path():
    out = run_optimized(
        """
        import zudirivi
        assert False, "must be skipped under -O"
        print(__debug__, zudirivi.__name__)
        """,
        expected="False zudirivi",
    )
    assert out.endswith("\n")
    with pytest.raises(AssertionError, match="exited with 1"):
        run_optimized("raise SystemExit(1)")


def _pins():
    pins = {}
    with open(os.path.join(ROOT, "requirements.txt")) as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                name, version = line.split("==")
                pins[name.strip().lower()] = version.strip()
    return pins


def test_pins_agree_with_pyproject():
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        import tomli as tomllib
    from packaging.requirements import Requirement

    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)
    pins = _pins()
    reqs = (
        project["build-system"]["requires"]
        + project["project"]["dependencies"]
        + project["project"]["optional-dependencies"]["test"]
    )
    for text in reqs:
        req = Requirement(text)
        assert req.name.lower() in pins, f"{req.name} is not pinned in requirements.txt"
        assert req.specifier.contains(pins[req.name.lower()]), (text, pins[req.name.lower()])

    import numpy
    import scipy

    assert numpy.__version__ == pins["numpy"]
    assert scipy.__version__ == pins["scipy"]


def test_demo_runs_to_the_end():
    import subprocess

    out = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "demo.py")],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert "(x @ Q @ x + c @ x).getValue() = 34.0" in out.stdout
    assert 'getJSONSolution() -> {"X": [1.0, 2.5]}' in out.stdout
