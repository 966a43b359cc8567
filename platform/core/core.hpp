// Model side of the stand-in module _core: Env, the package class tovrix,
// the element classes Var, Constr, QConstr, GenConstr, Model and tupledict.
//
// Ownership: the library model lives in a small internal object (ModelCore)
// held by its Model and by every element made in it, so an element outlives
// its Model safely (its attributes stay readable through `_cmodel`). The
// ModelCore holds the Env, whose library environment goes last.
#pragma once

#include "zd.hpp"

#include <structmember.h>

#include "core_expr.hpp"
#include "core_records.hpp"
#include "tovrix.h"

#include <cmath>
#include <string>
#include <vector>

// Types made by the module init.
extern PyTypeObject *Var_Type;
extern PyTypeObject *Constr_Type;
extern PyTypeObject *QConstr_Type;
extern PyTypeObject *GenConstr_Type;
extern PyTypeObject *Model_Type;
extern PyTypeObject *Env_Type;

namespace core {

// ---------------------------------------------------------------------------
// Objects
// ---------------------------------------------------------------------------

struct EnvObject {
    PyObject_HEAD TVXenv *env; // NULL when creation failed
    PyObject *cenv;            // pointer wrapper, or None
    PyObject *weakreflist;
};

// The library model and its pointer wrapper; freed with the last holder.
struct ModelCoreObject {
    PyObject_HEAD TVXmodel *model;
    PyObject *cmodel; // pointer wrapper (`_cmodel`)
    PyObject *env;    // the Env object
};

// Element kinds, in the order of the Model's per-kind lists.
enum ElemKind { KIND_VAR = 0, KIND_CONSTR = 1, KIND_QCONSTR = 2, KIND_GENCONSTR = 3 };
constexpr int NUM_KINDS = 4;

// Var, Constr, QConstr and GenConstr share this record.
//  index: the element index users see: 0 or more in the model, -1 pending,
//         -2 once removed by an update.
//  pos:   the position that names the element in library build calls
//         (index as of the last update, or count + k for the k-th pending
//         one); -1 once dropped from the model.
struct ElemObject {
    PyObject_HEAD ModelCoreObject *mc; // never NULL
    int index;
    int pos;
    int removed; // remove() was called; takes effect at the next update
};

struct ModelObject {
    PyObject_HEAD ModelCoreObject *mc; // NULL until __init__ ran
    PyObject *env;
    PyObject *lists[NUM_KINDS]; // element objects: the indexed ones first, then pending
    Py_ssize_t nupd[NUM_KINDS]; // counts as of the last update
    bool dirty[NUM_KINDS];      // removals recorded since the last update
    bool optimizing;
    PyObject *dict;
    PyObject *weakreflist;
};

inline ElemObject *elem(PyObject *o) {
    return reinterpret_cast<ElemObject *>(o);
}
inline ModelObject *model(PyObject *o) {
    return reinterpret_cast<ModelObject *>(o);
}

// Element kind of an object, or -1 when it is no element.
int elem_kind(PyObject *o);
inline bool is_var(PyObject *o) {
    return PyObject_TypeCheck(o, Var_Type);
}
extern PyTypeObject **const elem_types[NUM_KINDS];
extern const char *const elem_typenames[NUM_KINDS]; // "Var", "Constr", ...
extern const int elem_typeenums[NUM_KINDS];         // 1, 2, 4, 5

// A new element of `kind` in `mc`, pending at position `pos`.
PyObject *new_elem(int kind, ModelCoreObject *mc, int pos);

// ---------------------------------------------------------------------------
// Module-wide bindings (set at load)
// ---------------------------------------------------------------------------

extern void *(*ptr_fn)(PyObject *);     // _util's _ptr
extern PyObject *(*wrapptr_fn)(void *); // _util's _wrapptr
extern PyObject *TovrixError;           // the exception class
extern PyObject *TVX;                   // the constants class

// _propkit's functions, imported on first use (it loads after _core).
py::object propkit(const char *name);
// _arrayexpr's classes, imported on first use.
py::object arrayexpr(const char *name);

// Raises TovrixError(code, owner) after a failed library call: the exception
// takes the message from the owner (an Env, a Model or an element).
[[noreturn]] void raise_lib(int code, PyObject *owner);
// Raises TovrixError(code, message).
[[noreturn]] void raise_tvx(int code, const char *message);

// The Model's checks on an element given to it: belongs to this model and
// is not dropped. Raises TovrixError(NOT_IN_MODEL, "<Kind> not in model").
void check_owned(ModelObject *m, PyObject *o, int kind);

// Library double for a Python double: +-inf become +-TVX_INFINITY.
inline double to_lib(double d) {
    if (std::isinf(d))
        return d > 0 ? TVX_INFINITY : -TVX_INFINITY;
    return d;
}

// Text of a variable in printed expressions and in its repr.
PyObject *var_label(PyObject *var);
// X of n variables (one list call per run of the same model).
int var_values(PyObject *const *vars, Py_ssize_t n, double *out);

// The default environment (tovrix._getdefaultenv()), a new reference.
PyObject *default_env();

// Type creation, called by the module init in this order.
void add_env_types(py::handle module);
void add_elem_types(py::handle module);
void add_model_type(py::handle module);

// Model methods in further units.
PyObject *Model_addVar(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *Model_addMVar(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *Model_addConstr(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *Model_addGenConstrNL(PyObject *self, PyObject *args, PyObject *kwds);

// The model's library handle; raises when __init__ has not run.
TVXmodel *model_handle(ModelObject *m);

// ---------------------------------------------------------------------------
// Rows: linear terms of many constraints in CSR form
// ---------------------------------------------------------------------------

struct Rows {
    std::vector<int64_t> beg; // n + 1 entries
    std::vector<int> ind;     // positions of variables
    std::vector<double> val;
    std::vector<double> constant; // per row
    size_t size() const { return beg.empty() ? 0 : beg.size() - 1; }
};

// Adds coefficient * (linear operand) to the terms of the row being built:
// a Var, a LinExpr (through its cont_ref chain) or a number (constant only).
// Returns false when `o` is none of these.
bool add_linear_terms(ModelObject *m, PyObject *o, double mult, std::vector<int> &ind,
                      std::vector<double> &val, double &constant);

// Element names: none, one text per element, or a prefix that gets the
// element's multi-index ("x[1,2]"; the prefix alone for a 0-d shape).
struct Names {
    std::vector<std::string> own;
    std::vector<const char *> ptrs; // empty: no names
    const char *const *data() const { return ptrs.empty() ? nullptr : ptrs.data(); }
};
void make_names(PyObject *name, const std::vector<Py_ssize_t> &shape, Names &out);

// Shape from an int or a sequence of ints (non-negative).
std::vector<Py_ssize_t> parse_shape(PyObject *shape);
Py_ssize_t shape_size(const std::vector<Py_ssize_t> &shape);

// Values of a number or array-like broadcast to `shape`, in C order, as
// library doubles; `what` names the argument in errors.
void broadcast_doubles(PyObject *o, const std::vector<Py_ssize_t> &shape, const char *what,
                       std::vector<double> &out);

// A new C-contiguous object array of `shape` holding `items` (references
// taken over).
py::object object_array(const std::vector<Py_ssize_t> &shape, std::vector<PyObject *> &items);

// Appends new elements to the model's list of their kind.
void append_elems(ModelObject *m, int kind, const std::vector<PyObject *> &items);

// Matrix comparisons (model_addconstr_matrix.cpp): returns the handle, or a
// null object when neither side is a matrix object.
py::object add_matrix_constr(ModelObject *m, PyObject *lhs, char sense, PyObject *rhs,
                             PyObject *name);
// General constraints for matrix arguments (model_addconstr_matrix.cpp).
py::object add_matrix_genconstr(ModelObject *m, PyObject *resvar, PyObject *expr, PyObject *name);
bool is_matrix_object(PyObject *o);

} // namespace core
