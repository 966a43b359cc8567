// Module zudirivi._batch: the class Batch, the client handle of one request
// held by the remote batch-optimization service (the Korvel). It owns the
// library's batch handle, reads the request's attributes through the library,
// passes instructions about the request on and fetches its JSON solution.
#include "zd.hpp"

#include "tovrix.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using MsgFn = PyObject *(*)(void *);
using PtrFn = void *(*)(PyObject *);
using WrapFn = PyObject *(*)(void *);

MsgFn get_env_errormsg_string = nullptr;
MsgFn get_model_errormsg_string = nullptr; // bound for the load's check only
WrapFn wrapptr_fn = nullptr;
PtrFn ptr_fn = nullptr;
PyObject *g_batch_class = nullptr; // the class itself, for super() (held for the process)

const char class_doc[] =
    "Tovrix batch object.\n"
    "\n"
    "Commonly used methods:\n"
    "  abort: Abort the execution of the batch request.\n"
    "  discard: Discard everything related to the batch from the Korvel.\n"
    "  dispose: Free the local resources of this object.\n"
    "  getJSONSolution: Return the solution of the batch request in JSON format.\n"
    "  update: Refresh all local attributes from the Korvel.\n"
    "\n"
    "Attributes that can be queried:\n"
    "  BatchErrorCode: Last error code of the batch object.\n"
    "  BatchErrorMessage: Last error text of the batch object.\n"
    "  BatchID: ID of the associated batch request.\n"
    "  BatchStatus: Status of the batch object.\n"
    "\n"
    "Use help() on any of these methods for more information.";

const char dispose_doc[] = "ROUTINE:\n"
                           "  dispose()\n"
                           "\n"
                           "PURPOSE:\n"
                           "  Free all resources associated with this Batch object.\n"
                           "\n"
                           "ARGUMENTS:\n"
                           "  None.\n"
                           "\n"
                           "RETURN VALUE:\n"
                           "  None.\n"
                           "\n"
                           "EXAMPLE:\n"
                           "  batch.dispose()\n"
                           "\n"
                           "NOTES:\n"
                           "  After this call, this object must not be used any more.\n";

const char close_doc[] = "ROUTINE:\n"
                         "  close()\n"
                         "\n"
                         "Synonymous to Batch.dispose()\n";

const char abort_doc[] = "ROUTINE:\n"
                         "  abort()\n"
                         "\n"
                         "PURPOSE:\n"
                         "  Ask the Korvel to abort the processing of the associated batch\n"
                         "  request. On success, its status changes to TVX.BATCH_ABORTED.\n"
                         "\n"
                         "ARGUMENTS:\n"
                         "  None.\n"
                         "\n"
                         "RETURN VALUE:\n"
                         "  None.\n"
                         "\n"
                         "EXAMPLE:\n"
                         "  batch.abort()\n";

const char retry_doc[] = "ROUTINE:\n"
                         "  retry()\n"
                         "\n"
                         "PURPOSE:\n"
                         "  Ask the Korvel to retry the optimization of a failed or aborted\n"
                         "  batch request. On success, its status changes to\n"
                         "  TVX.BATCH_SUBMITTED.\n"
                         "\n"
                         "ARGUMENTS:\n"
                         "  None.\n"
                         "\n"
                         "RETURN VALUE:\n"
                         "  None.\n"
                         "\n"
                         "EXAMPLE:\n"
                         "  batch.retry()\n";

const char discard_doc[] = "ROUTINE:\n"
                           "  discard()\n"
                           "\n"
                           "PURPOSE:\n"
                           "  Ask the Korvel to discard the input and output data of this batch,\n"
                           "  including its stored solution if there is one. Use it once the\n"
                           "  solution has been retrieved, to save storage space on the server.\n"
                           "  Later queries for this batch fail with the error code\n"
                           "  TVX_ERROR_DATA_NOT_AVAILABLE.\n"
                           "\n"
                           "ARGUMENTS:\n"
                           "  None.\n"
                           "\n"
                           "RETURN VALUE:\n"
                           "  None.\n"
                           "\n"
                           "EXAMPLE:\n"
                           "  batch.discard()\n";

const char update_doc[] = "ROUTINE:\n"
                          "  update()\n"
                          "\n"
                          "PURPOSE:\n"
                          "  Update all attributes from the Korvel.\n"
                          "\n"
                          "ARGUMENTS:\n"
                          "  None.\n"
                          "\n"
                          "RETURN VALUE:\n"
                          "  None.\n"
                          "\n"
                          "EXAMPLE:\n"
                          "  batch.update()\n"
                          "\n"
                          "NOTES:\n"
                          "  The attributes of Batch objects are cached locally; this method\n"
                          "  fetches their latest values from the Korvel.\n";

const char getJSONSolution_doc[] =
    "ROUTINE:\n"
    "  getJSONSolution()\n"
    "\n"
    "PURPOSE:\n"
    "  Query the stored solution of a completed batch from the Korvel and\n"
    "  return it as a JSON string (its format is described in the reference\n"
    "  manual). The status of the batch request must be TVX.BATCH_COMPLETED.\n"
    "\n"
    "ARGUMENTS:\n"
    "  None.\n"
    "\n"
    "RETURN VALUE:\n"
    "  A JSON string representation of the current solution.\n"
    "\n"
    "EXAMPLE:\n"
    "  json_text = batch.getJSONSolution()\n";

const char writeJSONSolution_doc[] =
    "ROUTINE:\n"
    "  writeJSONSolution\n"
    "\n"
    "PURPOSE:\n"
    "  Query the stored solution of a completed batch from the Korvel as a\n"
    "  JSON string and store it in the given file (its format is described in\n"
    "  the reference manual). The status of the batch request must be\n"
    "  TVX.BATCH_COMPLETED.\n"
    "\n"
    "ARGUMENTS:\n"
    "  filename (string): The name of the file to write.\n"
    "\n"
    "RETURN VALUE:\n"
    "  None.\n"
    "\n"
    "EXAMPLE:\n"
    "  batch.writeJSONSolution(\"solution.json\")\n";

// ---------------------------------------------------------------------------
// Helpers

void *raw_ptr(py::handle wrapper) {
    void *p = ptr_fn(wrapper.ptr());
    if (PyErr_Occurred())
        throw zd::python_error();
    return p;
}

// An attribute of the instance dict or the class, without the fallback to
// __getattr__ (which would ask the library, or recurse for the private
// names); None when there is none.
py::object own_attr(py::handle self, py::handle name) {
    PyObject *v = PyObject_GenericGetAttr(self.ptr(), name.ptr());
    if (v)
        return zd::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw zd::python_error();
    PyErr_Clear();
    return py::none();
}

void set_attr(py::handle self, py::handle name, py::handle value) {
    zd::check(PyObject_SetAttr(self.ptr(), name.ptr(), value.ptr()));
}

// `_stringtobytes(text)`; its buffer goes to the library as a C string.
py::object to_bytes(py::handle text) {
    py::object b = zd::global(ZD_STR("_stringtobytes"))(text);
    if (!PyBytes_Check(b.ptr()) && !PyByteArray_Check(b.ptr()))
        zd::raisef(PyExc_TypeError, "expected bytes, %.200s found", zd::type_name(b));
    return b;
}

const char *c_text(py::handle b) {
    return PyBytes_Check(b.ptr()) ? PyBytes_AS_STRING(b.ptr()) : PyByteArray_AS_STRING(b.ptr());
}

// A text the library returned, copied into a str by `_bytestostring`.
py::object library_text(const char *text) {
    py::object b = zd::steal(PyBytes_FromString(text ? text : ""));
    return zd::global(ZD_STR("_bytestostring"))(b);
}

[[noreturn]] void raise_tovrix(py::handle code, py::handle argument) {
    py::object exc = zd::global(ZD_STR("TovrixError"))(code, argument);
    if (!PyExceptionInstance_Check(exc.ptr()))
        zd::raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(PyExceptionInstance_Class(exc.ptr()), exc.ptr());
    throw zd::python_error();
}

[[noreturn]] void raise_tovrix(int code, py::handle argument) {
    raise_tovrix(py::int_(code), argument);
}

[[noreturn]] void raise_freed() {
    raise_tovrix(0, py::str("Batch has already been freed"));
}

[[noreturn]] void raise_internal() {
    py::object code = zd::global(ZD_STR("TVX")).attr(ZD_STR("INTERNAL"));
    raise_tovrix(code, py::str("Unexpected internal error"));
}

// The `_cbatch` wrappers whose handle has been handed to the library's free
// while `_cbatch` still holds them: clearing `_cbatch` may run a subclass's
// code, which must find the handle freed.
std::vector<PyObject *> g_freed;

bool being_freed(py::handle cbatch) {
    return std::find(g_freed.begin(), g_freed.end(), cbatch.ptr()) != g_freed.end();
}

// Marks a wrapper as freed for as long as it lives.
class FreedMark {
public:
    explicit FreedMark(py::handle cbatch) : cbatch_(cbatch.ptr()) { g_freed.push_back(cbatch_); }
    ~FreedMark() { g_freed.erase(std::find(g_freed.begin(), g_freed.end(), cbatch_)); }
    FreedMark(const FreedMark &) = delete;
    FreedMark &operator=(const FreedMark &) = delete;

private:
    PyObject *cbatch_;
};

// The library batch handle of an open Batch; a NULL handle (unopened or
// disposed) never reaches the library. Read it after any step that may run
// Python code: that code may dispose the batch.
TVXbatch *open_batch(py::handle self) {
    py::object cbatch = own_attr(self, ZD_STR("_cbatch"));
    auto *b = being_freed(cbatch) ? nullptr : static_cast<TVXbatch *>(raw_ptr(cbatch));
    if (!b)
        raise_freed();
    return b;
}

// Flags of a batch attribute, the name lower-cased for the library; a failed
// query raises AttributeError with the batch environment's last message.
int attr_flags(py::handle self, py::handle name, py::object &uname, TVXbatch *&batch) {
    if (own_attr(self, ZD_STR("_cbatch")).is_none())
        raise_freed();
    uname = to_bytes(zd::steal(PyObject_CallMethodNoArgs(name.ptr(), ZD_STR("lower").ptr())));
    batch = open_batch(self);
    int flags = 0;
    if (TVXgetbatchattrflags(batch, c_text(uname), &flags) != 0) {
        void *env = raw_ptr(own_attr(self, ZD_STR("_cenv")));
        zd::raise_obj(PyExc_AttributeError, zd::steal(get_env_errormsg_string(env)));
    }
    return flags;
}

// ---------------------------------------------------------------------------
// Construction and life cycle

// __new__(cls, *args, **kwargs)
py::object Batch_new(const zd::Args &a) {
    py::handle cls = a[0];
    py::object sup = zd::steal(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject *>(&PySuper_Type), g_batch_class, cls.ptr(), nullptr));
    py::object self = sup.attr(ZD_STR("__new__"))(cls);
    set_attr(self, ZD_STR("_cbatch"), py::none());
    return self;
}

void dispose_handle(py::handle self);

// __init__(self, batchID, env=None)
py::object Batch_init(const zd::Args &a) {
    py::handle self = a[0];
    py::object bytebid = to_bytes(zd::steal(PyObject_Str(a[1].ptr())));
    py::object env = zd::borrow(a[2].ptr());
    if (env.is_none())
        env = zd::global(ZD_STR("tovrix")).attr(ZD_STR("_getdefaultenv"))();
    py::object cenv = zd::steal(PyObject_GetAttr(env.ptr(), ZD_STR("_cenv").ptr()));
    auto *cenvptr = static_cast<TVXenv *>(raw_ptr(cenv));
    if (!cenvptr) // an environment that was never created
        raise_tovrix(TVX_ERROR_NULL_ARGUMENT, env);
    // Opening an open handle again first lets go of the request it holds.
    if (!own_attr(self, ZD_STR("_cbatch")).is_none())
        dispose_handle(self);
    TVXbatch *cbatchptr = nullptr;
    int error = TVXgetbatch(cenvptr, c_text(bytebid), &cbatchptr);
    if (error)
        raise_tovrix(error, env);
    // A handle that cannot be wrapped is ours alone: free it.
    PyObject *wrapped = wrapptr_fn(cbatchptr);
    if (!wrapped) {
        TVXfreebatch(cbatchptr);
        throw zd::python_error();
    }
    set_attr(self, ZD_STR("_cbatch"), zd::steal(wrapped));
    py::object cbatch = zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("_cbatch").ptr()));
    TVXenv *benv =
        TVXgetbatchenv(being_freed(cbatch) ? nullptr : static_cast<TVXbatch *>(raw_ptr(cbatch)));
    set_attr(self, ZD_STR("_cenv"), zd::steal(wrapptr_fn(benv)));
    set_attr(self, ZD_STR("_uenv"), env);
    return py::none();
}

// __getattr__(self, name): a batch attribute, read through the library.
py::object batch_attribute(py::handle self, py::handle name) {
    py::object uname;
    TVXbatch *batch = nullptr;
    int flags = attr_flags(self, name, uname, batch);
    switch (flags & TVX_BATCH_ATTR_TYPE_MASK) {
    case TVX_TYPE_INT: {
        int ival = 0;
        if (int code = TVXgetbatchintattr(batch, c_text(uname), &ival))
            raise_tovrix(code, self);
        return py::int_(ival);
    }
    case TVX_TYPE_STRING: {
        const char *sval = nullptr;
        if (int code = TVXgetbatchstrattr(batch, c_text(uname), &sval))
            raise_tovrix(code, self);
        return library_text(sval);
    }
    default:
        raise_internal();
    }
}

py::object Batch_getattr(const zd::Args &a) {
    return batch_attribute(a[0], a[1]);
}

// Attribute lookup of the class itself: ordinary lookup, then the batch
// attribute, as Python's own hook for __getattr__ does, but without raising
// and discarding an AttributeError and binding a method first on every read.
// Subclasses, and the class once its __getattr__ is replaced, get Python's
// hook back from the interpreter.
PyObject *Batch_getattro(PyObject *self, PyObject *name) {
    PyObject *found = _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1);
    if (found || PyErr_Occurred())
        return found;
    ZD_TRY
    return batch_attribute(self, name).release().ptr();
    ZD_CATCH(nullptr)
}

// __setattr__(self, name, value): private names go to the instance dict;
// batch attributes are never written.
py::object Batch_setattr(const zd::Args &a) {
    py::handle self = a[0], name = a[1], value = a[2];
    py::object first = zd::steal(PyObject_GetItem(name.ptr(), py::int_(0).ptr()));
    if (zd::check(PyObject_RichCompareBool(first.ptr(), ZD_STR("_").ptr(), Py_EQ))) {
        py::object dict = zd::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
        zd::check(PyObject_SetItem(dict.ptr(), name.ptr(), value.ptr()));
        return py::none();
    }
    py::object uname;
    TVXbatch *batch = nullptr;
    int flags = attr_flags(self, name, uname, batch);
    if (flags & TVX_BATCH_ATTR_READONLY)
        zd::raise_obj(PyExc_AttributeError,
                      zd::steal(PyUnicode_FromFormat("Attribute '%S' cannot be set", name.ptr())));
    raise_internal();
}

py::object Batch_del(const zd::Args &a) {
    zd::steal(PyObject_CallMethodNoArgs(a[0].ptr(), ZD_STR("dispose").ptr()));
    return py::none();
}

// Frees the library batch handle once: the environments are dropped first,
// the user's kept alive until after the free; a failed free still counts.
void dispose_handle(py::handle self) {
    py::object uenv = own_attr(self, ZD_STR("_uenv"));
    set_attr(self, ZD_STR("_cenv"), py::none());
    set_attr(self, ZD_STR("_uenv"), py::none());
    PyObject *cb = PyObject_GetAttr(self.ptr(), ZD_STR("_cbatch").ptr());
    if (!cb) {
        PyErr_Clear();
        return;
    }
    py::object cbatch = zd::steal(cb);
    // None, or a handle whose free is under way in a dispose that runs
    // this one from its assignment of `_cbatch`.
    if (cbatch.is_none() || being_freed(cbatch))
        return;
    auto *batch = static_cast<TVXbatch *>(raw_ptr(cbatch));
    FreedMark freed(cbatch);
    int error = batch ? TVXfreebatch(batch) : 0;
    int set = PyObject_SetAttr(self.ptr(), ZD_STR("_cbatch").ptr(), Py_None);
    // Whatever the assignment did, the freed handle must not stay behind.
    PyObject *et, *ev, *etb;
    PyErr_Fetch(&et, &ev, &etb);
    if (PyObject *dict = PyObject_GenericGetDict(self.ptr(), nullptr)) {
        PyObject *now = PyDict_GetItemWithError(dict, ZD_STR("_cbatch").ptr());
        if (now == cbatch.ptr())
            PyDict_SetItem(dict, ZD_STR("_cbatch").ptr(), Py_None);
        Py_DECREF(dict);
    }
    PyErr_Clear();
    PyErr_Restore(et, ev, etb);
    if (set < 0)
        throw zd::python_error();
    if (error)
        raise_tovrix(error, self);
}

py::object Batch_dispose(const zd::Args &a) {
    dispose_handle(a[0]);
    return py::none();
}

py::object Batch_close(const zd::Args &a) {
    return zd::steal(PyObject_CallMethodNoArgs(a[0].ptr(), ZD_STR("dispose").ptr()));
}

py::object Batch_enter(const zd::Args &a) {
    return zd::borrow(a[0].ptr());
}

py::object Batch_exit(const zd::Args &a) {
    zd::steal(PyObject_CallMethodNoArgs(a[0].ptr(), ZD_STR("close").ptr()));
    return zd::borrow(Py_False);
}

py::object Batch_eq(const zd::Args &a) {
    py::handle self = a[0], other = a[1];
    py::object cls = zd::global(ZD_STR("Batch"));
    if (!zd::check(PyObject_IsInstance(other.ptr(), cls.ptr())))
        return zd::borrow(Py_False);
    py::object mine = zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("batchID").ptr()));
    py::object theirs = zd::steal(PyObject_GetAttr(other.ptr(), ZD_STR("batchID").ptr()));
    return zd::steal(PyObject_RichCompare(mine.ptr(), theirs.ptr(), Py_EQ));
}

py::object Batch_repr(const zd::Args &a) {
    py::handle self = a[0];
    py::object cbatch = own_attr(self, ZD_STR("_cbatch"));
    if (cbatch.is_none() || being_freed(cbatch))
        return py::str("<zudirivi.Batch, invalid or closed state>");
    py::object id = zd::steal(PyObject_GetAttr(self.ptr(), ZD_STR("BatchID").ptr()));
    py::object text = zd::steal(PyObject_Format(id.ptr(), nullptr));
    return zd::steal(PyUnicode_FromFormat("<zudirivi.Batch, ID %U>", text.ptr()));
}

// __dir__: the class's names, the instance's and the library's batch
// attribute names, once each, sorted. Without a batch environment (unopened
// or disposed) the library is not asked.
py::object Batch_dir(const zd::Args &a) {
    py::handle self = a[0];
    py::list listattr;
    auto *env = static_cast<TVXenv *>(raw_ptr(own_attr(self, ZD_STR("_cenv"))));
    int n = env ? TVXgetnumbatchattributes(env) : 0;
    for (int i = 0; i < n; i++) {
        env = static_cast<TVXenv *>(raw_ptr(own_attr(self, ZD_STR("_cenv"))));
        if (!env)
            break;
        const char *sval = nullptr;
        if (int code = TVXgetbatchattrname(env, i, &sval))
            raise_tovrix(code, self);
        listattr.append(library_text(sval));
    }
    py::object names = zd::steal(PyObject_Dir(reinterpret_cast<PyObject *>(Py_TYPE(self.ptr()))));
    py::object dict = zd::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    py::object keys = zd::steal(PySequence_List(dict.ptr()));
    names = zd::steal(PySequence_Concat(names.ptr(), keys.ptr()));
    names = zd::steal(PySequence_Concat(names.ptr(), listattr.ptr()));
    py::object unique = zd::steal(PySet_New(names.ptr()));
    py::object result = zd::steal(PySequence_List(unique.ptr()));
    zd::check(PyList_Sort(result.ptr()));
    return result;
}

// ---------------------------------------------------------------------------
// Operations on the request

template <int (*Call)(TVXbatch *)>
py::object Batch_instruction(const zd::Args &a) {
    py::handle self = a[0];
    if (int error = Call(open_batch(self)))
        raise_tovrix(error, self);
    return py::none();
}

py::object Batch_getJSONSolution(const zd::Args &a) {
    py::handle self = a[0];
    char *sval = nullptr;
    if (int error = TVXgetbatchjsonsolution(open_batch(self), &sval))
        raise_tovrix(error, self);
    // The text is the library's: hand it back whether or not it decodes.
    PyObject *result = PyUnicode_DecodeUTF8(
        sval ? sval : "", sval ? static_cast<Py_ssize_t>(std::strlen(sval)) : 0, "strict");
    TVXfree(sval);
    return zd::steal(result);
}

py::object Batch_writeJSONSolution(const zd::Args &a) {
    py::handle self = a[0];
    // The name first: its conversion may run code (a path's __fspath__) that
    // disposes the batch.
    py::object fname = to_bytes(a[1]);
    TVXbatch *batch = open_batch(self);
    if (int error = TVXwritebatchjsonsolution(batch, c_text(fname)))
        raise_tovrix(error, self);
    return py::none();
}

// ---------------------------------------------------------------------------

void exec_batch(py::handle) {
    zd::load_step();
    get_env_errormsg_string = reinterpret_cast<MsgFn>(
        zd::bind_capi("zudirivi._exception", "_get_env_errormsg_string", "PyObject *(void *)"));
    zd::load_step();
    get_model_errormsg_string = reinterpret_cast<MsgFn>(
        zd::bind_capi("zudirivi._exception", "_get_model_errormsg_string", "PyObject *(void *)"));
    zd::load_step();
    wrapptr_fn =
        reinterpret_cast<WrapFn>(zd::bind_capi("zudirivi._util", "_wrapptr", "PyObject *(void *)"));
    zd::load_step();
    ptr_fn = reinterpret_cast<PtrFn>(zd::bind_capi("zudirivi._util", "_ptr", "void *(PyObject *)"));

    zd::load_step();
    zd::set_global("tovrix", zd::import_from(zd::import("zudirivi._core"), ZD_STR("tovrix")));
    zd::load_step();
    zd::set_global("TovrixError",
                   zd::import_from(zd::import("zudirivi._exception"), ZD_STR("TovrixError")));
    zd::load_step();
    zd::set_global("TVX", zd::import_from(zd::import("zudirivi._tvx"), ZD_STR("TVX")));
    zd::load_step();
    py::object util = zd::import("zudirivi._util");
    zd::set_global("_bytestostring", zd::import_from(util, ZD_STR("_bytestostring")));
    zd::set_global("_stringtobytes", zd::import_from(util, ZD_STR("_stringtobytes")));

    zd::ClassBuilder cls(
        "Batch", py::make_tuple(py::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))),
        class_doc);
    cls.staticmethod("__new__", "cls, *args, **kwargs", Batch_new)
        .method("__init__", "self, batchID, env=None", Batch_init)
        .method("__getattr__", "self, name", Batch_getattr)
        .method("__setattr__", "self, name, value", Batch_setattr)
        .method("__del__", "self", Batch_del)
        .method("dispose", "self", Batch_dispose, dispose_doc)
        .method("close", "self", Batch_close, close_doc)
        .method("__enter__", "self", Batch_enter)
        .method("__exit__", "self, exc_type, exc_value, traceback", Batch_exit)
        .method("__eq__", "self, other", Batch_eq)
        .method("__repr__", "self", Batch_repr)
        .method("__dir__", "self", Batch_dir)
        .method("abort", "self", Batch_instruction<TVXabortbatch>, abort_doc)
        .method("retry", "self", Batch_instruction<TVXretrybatch>, retry_doc)
        .method("discard", "self", Batch_instruction<TVXdiscardbatch>, discard_doc)
        .method("update", "self", Batch_instruction<TVXupdatebatch>, update_doc)
        .method("getJSONSolution", "self", Batch_getJSONSolution, getJSONSolution_doc)
        .method("writeJSONSolution", "self, filename", Batch_writeJSONSolution,
                writeJSONSolution_doc);
    g_batch_class = cls.create().release().ptr();
    reinterpret_cast<PyTypeObject *>(g_batch_class)->tp_getattro = Batch_getattro;
}

} // namespace

ZD_MODULE(_batch, exec_batch)
