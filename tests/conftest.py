import importlib.util
import os
import sys

# helpers.py sits next to this file; tests in sub-folders import it by name.
_here = os.path.dirname(os.path.abspath(__file__))
if _here not in sys.path:
    sys.path.insert(0, _here)


def _testmods_dir():
    """<build>/testmods beside the build whose zudirivi is on the path."""
    spec = importlib.util.find_spec("zudirivi")
    if spec is None or not spec.submodule_search_locations:
        return None
    pkg = os.path.abspath(list(spec.submodule_search_locations)[0])
    return os.path.join(os.path.dirname(os.path.dirname(pkg)), "testmods")


_testmods = _testmods_dir()
if _testmods and os.path.isdir(_testmods) and _testmods not in sys.path:
    sys.path.append(_testmods)
