// Element names: the name of one indexed element, the names of a whole block
// in row-major order, and the one-element key simplification.
#include "buildaid.hpp"

#include <charconv>
#include <climits>
#include <cstring>
#include <string_view>

namespace buildaid {

py::object simplify(py::handle tup) {
    Py_ssize_t n = PyObject_Size(tup.ptr());
    if (n < 0)
        zd::throw_error();
    if (n == 1) {
        py::object zero = py::int_(0);
        return zd::steal(PyObject_GetItem(tup.ptr(), zero.ptr()));
    }
    return zd::borrow(tup.ptr());
}

py::object py_simplify_tuple(const zd::Args &a) {
    return simplify(a[0]);
}

namespace {

// ",".join(map(str, index)); null with the error set when it fails.
PyObject *joined_components(PyObject *index) {
    py::object sep = zd::steal(PyUnicode_FromStringAndSize(",", 1));
    PyObject *it = PyObject_GetIter(index);
    if (!it)
        return nullptr;
    py::object iter = zd::steal(it);
    py::list parts;
    while (PyObject *item = PyIter_Next(it)) {
        PyObject *s = PyObject_Str(item);
        Py_DECREF(item);
        if (!s)
            return nullptr;
        int r = PyList_Append(parts.ptr(), s);
        Py_DECREF(s);
        if (r < 0)
            return nullptr;
    }
    if (PyErr_Occurred())
        return nullptr;
    return PyUnicode_Join(sep.ptr(), parts.ptr());
}

} // namespace

py::object py_indexname(const zd::Args &a) {
    py::handle name = a[0], index = a[1];
    if (!truthy(name))
        return zd::steal(PyUnicode_FromStringAndSize("", 0));
    py::object text;
    PyObject *isstr = PyObject_CallOneArg(zd::global(ZD_STR("_isstr")).ptr(), index.ptr());
    int is_str = -1;
    if (isstr) {
        is_str = PyObject_IsTrue(isstr);
        Py_DECREF(isstr);
    }
    if (is_str == 1) {
        text = zd::steal(PyObject_Str(index.ptr()));
    } else {
        PyObject *t = is_str == 0 ? joined_components(index.ptr()) : nullptr;
        if (t) {
            text = zd::steal(t);
        } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            text = zd::steal(PyObject_Str(index.ptr()));
        } else {
            zd::throw_error();
        }
    }
    py::object head = zd::steal(PyObject_Str(name.ptr()));
    return zd::steal(PyUnicode_FromFormat("%U[%U]", head.ptr(), text.ptr()));
}

namespace {

// Appends the decimal digits of v to a char buffer.
inline char *put_int(char *p, long long v) {
    return std::to_chars(p, p + 24, v).ptr;
}

// The digits of each index, in row-major order over dims, joined by ",".
class IndexWalk {
public:
    explicit IndexWalk(const std::vector<Py_ssize_t> &dims) : dims_(dims), idx_(dims.size(), 0) {}

    // The text of the current index; then steps to the next.
    const std::string &next() {
        text_.clear();
        for (size_t d = 0; d < idx_.size(); ++d) {
            if (d)
                text_.push_back(',');
            char digits[24];
            char *end = put_int(digits, idx_[d]);
            text_.append(digits, end);
        }
        for (size_t d = idx_.size(); d-- > 0;) {
            if (++idx_[d] < dims_[d])
                break;
            idx_[d] = 0;
        }
        return text_;
    }

private:
    const std::vector<Py_ssize_t> &dims_;
    std::vector<Py_ssize_t> idx_;
    std::string text_;
};

// The prefix text of one character width, put in front of each name.
template <class Ch>
struct NamePrefix {
    const Ch *data;
    Py_ssize_t len;
    Py_UCS4 maxchar;

    explicit NamePrefix(PyObject *prefix)
        : data(reinterpret_cast<const Ch *>(PyUnicode_DATA(prefix))),
          len(PyUnicode_GET_LENGTH(prefix)), maxchar(PyUnicode_MAX_CHAR_VALUE(prefix)) {
        if (maxchar < 127)
            maxchar = 127;
    }

    static void put(Ch *&out, std::string_view text) {
        for (char c : text)
            *out++ = (Ch)c;
    }

    // A new str prefix + "[" + the pieces in turn + "]".
    template <class... S>
    PyObject *make(const S &...pieces) const {
        Py_ssize_t n = (Py_ssize_t)(0 + ... + pieces.size());
        PyObject *s = PyUnicode_New(len + 2 + n, maxchar);
        if (!s)
            zd::throw_error();
        Ch *out = reinterpret_cast<Ch *>(PyUnicode_DATA(s));
        std::memcpy(out, data, len * sizeof(Ch));
        out += len;
        *out++ = '[';
        (put(out, pieces), ...);
        *out = ']';
        return s;
    }
};

// Makes names prefix + "[" + lead + i + trail + "]" for i in [0, n), written
// straight into new str objects of the prefix's character width.
template <class Ch>
void fast_names(PyObject *list, PyObject *prefix, const std::string &lead, const std::string &trail,
                int n) {
    const NamePrefix<Ch> head(prefix);
    char digits[24];
    for (int i = 0; i < n; ++i) {
        char *end = put_int(digits, i);
        PyList_SET_ITEM(list, i,
                        head.make(std::string_view(lead), std::string_view(digits, end - digits),
                                  std::string_view(trail)));
    }
}

// The general odometer walk: names prefix + "[" + i0,i1,... + "]" in
// row-major order over dims, with every prefix text of one width.
template <class Ch>
void general_names(PyObject *list, PyObject *prefix, const std::vector<Py_ssize_t> &dims,
                   Py_ssize_t total) {
    const NamePrefix<Ch> head(prefix);
    IndexWalk walk(dims);
    for (Py_ssize_t k = 0; k < total; ++k)
        PyList_SET_ITEM(list, k, head.make(std::string_view(walk.next())));
}

template <template <class> class F, class... A>
void by_kind(PyObject *prefix, A &&...args) {
    switch (PyUnicode_KIND(prefix)) {
    case PyUnicode_1BYTE_KIND:
        F<Py_UCS1>::run(prefix, args...);
        break;
    case PyUnicode_2BYTE_KIND:
        F<Py_UCS2>::run(prefix, args...);
        break;
    default:
        F<Py_UCS4>::run(prefix, args...);
        break;
    }
}

template <class Ch>
struct Fast {
    static void run(PyObject *prefix, PyObject *list, const std::string &lead,
                    const std::string &trail, int n) {
        fast_names<Ch>(list, prefix, lead, trail, n);
    }
};
template <class Ch>
struct General {
    static void run(PyObject *prefix, PyObject *list, const std::vector<Py_ssize_t> &dims,
                    Py_ssize_t total) {
        general_names<Ch>(list, prefix, dims, total);
    }
};

// Names of a prefix that is not an exact str: format(prefix, spec) + "[" +
// index text + "]", the prefix formatted anew for each name, in order (its
// __format__ may answer differently each time).
template <class IndexText>
void formatted_names(PyObject *list, py::handle prefix, const char *spec, Py_ssize_t total,
                     IndexText &&index_text) {
    py::object s = zd::steal(PyUnicode_FromString(spec));
    for (Py_ssize_t k = 0; k < total; ++k) {
        const std::string &text = index_text(k);
        py::object head = zd::steal(PyObject_Format(prefix.ptr(), s.ptr()));
        PyObject *name = PyUnicode_FromFormat("%U[%s]", head.ptr(), text.c_str());
        if (!name)
            zd::throw_error();
        PyList_SET_ITEM(list, k, name);
    }
}

int as_int32(py::handle v) {
    py::object i = zd::steal(PyNumber_Index(v.ptr()));
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred())
        zd::throw_error();
    if (overflow || x > INT_MAX || x < INT_MIN)
        zd::raise(PyExc_OverflowError, "value too large to convert to int");
    return (int)x;
}

} // namespace

py::object py_nd_indexed_names(const zd::Args &a) {
    py::handle prefix = a[0], shape = a[1];
    py::object numpy = zd::import("numpy");
    py::object empty = zd::steal(PyTuple_New(0));
    if (zd::check(PyObject_RichCompareBool(shape.ptr(), empty.ptr(), Py_EQ))) {
        py::object one = zd::steal(PyList_New(1));
        PyList_SET_ITEM(one.ptr(), 0, prefix.inc_ref().ptr());
        return one;
    }
    py::object maxdim = zd::steal(PyObject_CallOneArg(builtin_max, shape.ptr()));
    int n = as_int32(maxdim);
    py::object prod = numpy.attr("prod")(shape);
    py::object nobj = py::int_(n);
    if (zd::check(PyObject_RichCompareBool(prod.ptr(), nobj.ptr(), Py_EQ))) {
        py::object argmax = numpy.attr("argmax")(shape);
        Py_ssize_t npos = PyNumber_AsSsize_t(argmax.ptr(), PyExc_OverflowError);
        if (npos == -1 && PyErr_Occurred())
            zd::throw_error();
        Py_ssize_t ndim = PyObject_Size(shape.ptr());
        if (ndim < 0)
            zd::throw_error();
        std::string lead, trail;
        for (Py_ssize_t k = 0; k < npos; ++k)
            lead += "0,";
        for (Py_ssize_t k = 0; k < ndim - npos - 1; ++k)
            trail += ",0";
        int count = n > 0 ? n : 0;
        py::object list = zd::steal(PyList_New(count));
        if (count == 0)
            return list; // no name, so the prefix is never formatted
        if (PyUnicode_CheckExact(prefix.ptr())) {
            // A str formats as itself: its text is written into each name.
            zd::check(PyUnicode_READY(prefix.ptr()));
            by_kind<Fast>(prefix.ptr(), list.ptr(), lead, trail, count);
            return list;
        }
        std::string text;
        formatted_names(list.ptr(), prefix, "", count, [&](Py_ssize_t i) -> const std::string & {
            char digits[24];
            char *end = put_int(digits, i);
            text.assign(lead).append(digits, end).append(trail);
            return text;
        });
        return list;
    }
    std::vector<Py_ssize_t> dims;
    Py_ssize_t total = 1;
    {
        py::object it = zd::steal(PyObject_GetIter(shape.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            py::object d = zd::steal(raw);
            if (!PyIndex_Check(d.ptr()))
                zd::raisef(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                           zd::type_name(d));
            Py_ssize_t v = PyNumber_AsSsize_t(d.ptr(), PyExc_OverflowError);
            if (v == -1 && PyErr_Occurred())
                zd::throw_error();
            dims.push_back(v < 0 ? 0 : v);
        }
        if (PyErr_Occurred())
            zd::throw_error();
    }
    for (Py_ssize_t d : dims) {
        if (d == 0) {
            total = 0;
            break;
        }
        if (total > PY_SSIZE_T_MAX / d)
            return zd::steal(PyErr_NoMemory());
        total *= d;
    }
    py::object list = zd::steal(PyList_New(total));
    if (total == 0)
        return list;
    if (PyUnicode_CheckExact(prefix.ptr())) {
        zd::check(PyUnicode_READY(prefix.ptr()));
        by_kind<General>(prefix.ptr(), list.ptr(), dims, total);
        return list;
    }
    IndexWalk walk(dims);
    formatted_names(list.ptr(), prefix, "s", total,
                    [&](Py_ssize_t) -> const std::string & { return walk.next(); });
    return list;
}

} // namespace buildaid
