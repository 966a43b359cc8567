// Placeholder for the module zudirivi._propkit: an empty module, so that the
// package builds and imports. Delete this file when the real module lands.
#include <Python.h>

namespace {

PyModuleDef_Slot placeholder_slots[] = {{0, nullptr}};

PyModuleDef placeholder_def = {
    PyModuleDef_HEAD_INIT,
    "zudirivi._propkit",
    "Placeholder until the module lands.",
    0,
    nullptr,
    placeholder_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__propkit(void) {
    return PyModuleDef_Init(&placeholder_def);
}
