"""Module _batch: its globals and the C-function bindings of its load."""

import subprocess
import sys
import textwrap

from zudirivi import TVX, TovrixError, _batch, _core, _util

from helpers import BARE_PACKAGE, BINDING_LOADER, subprocess_env


def test_module_globals():
    assert _batch.tovrix is _core.tovrix
    assert _batch.TovrixError is TovrixError and _batch.TVX is TVX
    assert _batch._bytestostring is _util._bytestostring
    assert _batch._stringtobytes is _util._stringtobytes
    assert _batch.Batch.__name__ == "Batch" and not hasattr(_batch, "__test__")


def test_binding_errors_fail_the_load():
    # A child interpreter with the package's modules but not its __init__.
    code = BARE_PACKAGE + BINDING_LOADER + textwrap.dedent(r"""
        for name in ("_util", "_tvx", "_exception", "_core"):
            importlib.import_module("zudirivi." + name)
        util = sys.modules["zudirivi._util"].__pyx_capi__
        exc = sys.modules["zudirivi._exception"].__pyx_capi__
        model = exc.pop("_get_model_errormsg_string")
        env = exc.pop("_get_env_errormsg_string")
        load("_batch")  # the environment's message function is bound first
        exc["_get_env_errormsg_string"] = env
        load("_batch")
        exc["_get_model_errormsg_string"] = wrong
        load("_batch")
        exc["_get_model_errormsg_string"] = model
        wrapptr = util.pop("_wrapptr")
        load("_batch")
        util["_wrapptr"] = util["_ptr"]
        load("_batch")
        util["_wrapptr"] = wrapptr
        ptr = util.pop("_ptr")
        load("_batch")
        util["_ptr"] = ptr
        umod = sys.modules["zudirivi._util"]
        del umod.__pyx_capi__
        load("_batch")
        umod.__pyx_capi__ = util
        load("_batch")
    """)
    proc = subprocess.run([sys.executable, "-c", code], env=subprocess_env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "ImportError zudirivi._exception does not export expected C function "
        "_get_env_errormsg_string True",
        "ImportError zudirivi._exception does not export expected C function "
        "_get_model_errormsg_string True",
        "TypeError C function zudirivi._exception._get_model_errormsg_string has wrong "
        "signature (expected PyObject *(void *), got int (void)) True",
        "ImportError zudirivi._util does not export expected C function _wrapptr True",
        "TypeError C function zudirivi._util._wrapptr has wrong signature "
        "(expected PyObject *(void *), got void *(PyObject *)) True",
        "ImportError zudirivi._util does not export expected C function _ptr True",
        "AttributeError module 'zudirivi._util' has no attribute '__pyx_capi__' True",
        "loaded _batch",
    ]
