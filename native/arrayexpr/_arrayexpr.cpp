// Module zudirivi._arrayexpr: the frame. Binds the core expression types
// (instance sizes tested against the record layout), the pointer function of
// _util, imports the names every class uses as module globals, then creates
// the classes and module functions in their fixed order.
#include "arrayexpr.hpp"
#include "ownmembers.hpp"

namespace arrayexpr {

PyTypeObject *LinExpr_type = nullptr;
PyTypeObject *QuadExpr_type = nullptr;
ptr_fn ptr = nullptr;

} // namespace arrayexpr

namespace {

// `from <module> import <names...>`, binding each name as a module global.
void import_names(const char *module, std::initializer_list<const char *> names,
                  std::source_location loc = std::source_location::current()) {
    zd::load_step(loc);
    py::object mod = zd::import(module);
    for (const char *name : names) {
        py::object key = zd::steal(PyUnicode_InternFromString(name));
        zd::set_global(name, zd::import_from(mod, key), loc);
    }
}

void exec_arrayexpr(py::handle) {
    // Core record types. The module keeps its references for its lifetime.
    zd::bind_core_record_types(&arrayexpr::LinExpr_type, &arrayexpr::QuadExpr_type);

    zd::load_step();
    arrayexpr::ptr = reinterpret_cast<arrayexpr::ptr_fn>(
        zd::bind_capi("zudirivi._util", "_ptr", "void *(PyObject *)"));

    zd::load_step();
    zd::set_global("itertools", zd::import("itertools"));
    import_names("collections.abc", {"Iterable"});
    import_names("zudirivi._propkit", {"_attrlist", "_getattrinfo", "_gettypedattrlist",
                                       "_prefetchattr", "_settypedattrlist"});
    import_names("zudirivi._core", {"Constr", "GenConstr", "QConstr", "TempConstr", "Var",
                                    "GenExpr", "NLExpr", "_ExprTree"});
    import_names("zudirivi._exception", {"TovrixError"});
    import_names("zudirivi._tvx", {"TVX"});
    import_names("zudirivi._util", {"_all_refs_match", "_axis_to_axeslist", "_broadcast_shapes",
                                    "_isscalar", "_isstr", "_matmul_shape", "_dense_matmul_kernel",
                                    "_sparse_right_matmul_kernel", "_sparse_left_matmul_kernel"});

    define_MVar();
    define_MLinExpr();
    define_MQuadExpr();
    define_MConstr();
    define_MQConstr();
    define_MGenConstr();
    define_mfunctions();
    define_MNLExpr();
    // What the sums' speed paths compare MVar and MLinExpr with later.
    arrayexpr::record_own_members();

    zd::set_global("__test__", zd::steal(PyDict_New()));
}

} // namespace

ZD_MODULE(_arrayexpr, exec_arrayexpr)
