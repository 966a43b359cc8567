// Helpers shared by the matrix handles (MVar, MConstr, MQConstr,
// MGenConstr): the model test, the attribute-info triple, shaping of the
// values of a list write, building the array of a list read, and attribute
// forwarding.
#pragma once

#include "arrayexpr.hpp"
#include "zd_numpy.hpp"

namespace handle {

// An element index read from a cell (`_colno`, `_rowno`, ...) as an int
// within 32 bits; OverflowError beyond.
py::object int32_index(py::object value);

// Reads the element index attribute of cells. For cells of exactly the
// element class, whose index is a getset descriptor of that class (data
// descriptors win over everything else in ordinary lookup), the getter is
// called directly instead of a full attribute lookup per cell.
class IndexReader {
public:
    // `elem_class`: module global of the element class ("Var");
    // `index_attr`: its index attribute ("_colno").
    IndexReader(const char *elem_class, const char *index_attr);
    // The index of a cell as a new reference to an int within 32 bits.
    py::object read(PyObject *cell) const {
        return int32_index(zd::steal(
            Py_IS_TYPE(cell, type_) ? get_(cell, closure_) : PyObject_GetAttr(cell, name_.ptr())));
    }

private:
    py::object name_, cls_, descr_;
    PyTypeObject *type_ = nullptr;
    getter get_ = nullptr;
    void *closure_ = nullptr;
};

// True when self._cmodel is None (a handle without a model).
bool no_model(py::handle self);

// numpy.array([]).reshape(shape): the result of a read without a model.
py::object empty_result(py::handle shape);

// _getattrinfo(self, name), unpacked into exactly three values.
struct AttrInfo {
    py::object type; // the data-type code as returned
    long type_code;  // the same as a C long
    long kind;
    bool settable;
};
AttrInfo attrinfo(py::handle self, py::handle name);

// A data-type code as a C long; -1 for an object that is no int.
long type_code(py::handle code);

// A list of n references to one value.
py::object repeated(py::handle value, Py_ssize_t n);

[[noreturn]] void shape_mismatch();

// The values of a list write, one per element in row-major order, from the
// value given to setAttr: a text, an ndarray (one item spread, else of the
// handle's shape), a numeric scalar or an iterable (one item spread, else a
// one-dimensional handle of its length). `elements` is the handle's element
// array. The result is always a list or tuple with one item per element; a
// one-item iterable whose `*` does not repeat it into one raises
// "Shape mismatch".
py::object flat_values(py::handle value, PyArrayObject *elements);

// The new array of a list read, of dtype chosen by the data-type code (0
// "U1", 1 int32, 2 float64, 3 object), in `shape`.
py::object list_to_array(py::handle flat, long attrtype, py::handle shape);

// __getattr__: the solver attribute `name` through self.getAttr(name).
// Protocol probes (dunder names) and the handle's own private state names
// in `own` (null-terminated) raise AttributeError instead, so that an
// instance made without __init__ (copy.copy, pickling) cannot recurse.
py::object forward_getattr(py::handle self, py::handle name, const char *const *own);

// __setattr__: a name starting with "_" goes to the instance dict, any other
// to self.setAttr(name, value); an empty name raises IndexError.
void forward_setattr(py::handle self, py::handle name, py::handle value);

// __dir__: sorted distinct names of the class, the instance dict and the
// model's attributes of the handle's kind.
py::object dir(py::handle self);

} // namespace handle
