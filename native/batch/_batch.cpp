// Module zudirivi._batch, minimal form: the class Batch, whose instances carry
// `_cenv` (the pointer wrapper of the batch request's environment, None until
// a request is opened). The message lookup of TovrixError reads it.
#include "zd.hpp"

namespace {

void exec_batch(py::handle) {
    zd::ClassBuilder("Batch",
                     py::make_tuple(py::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))),
                     "Handle of one remote batch-optimization request.")
        .attr("_cenv", py::none())
        .create();
    zd::set_global("__test__", zd::steal(PyDict_New()));
}

} // namespace

ZD_MODULE(_batch, exec_batch)
