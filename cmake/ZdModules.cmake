# zd_add_module(<name> <dir>): an extension module zudirivi.<name> built from
# every .cpp below <dir> (subfolders included, so no source is left out),
# linked with the shared layer and the solver library, placed in
# <build>/python/zudirivi next to libtovrix.so (found through $ORIGIN).
# zd_add_test_module(<name> <dir>): the same, placed in <build>/testmods and
# not installed; skipped while <dir> has no sources.

set(ZD_MODULE_TARGETS "")

# The .cpp files of <dir> and its subfolders; a placeholder_*.cpp counts only
# while it is alone, so the real module's first file replaces it even before it is deleted.
function(_zd_module_sources out dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  set(real ${sources})
  list(FILTER real EXCLUDE REGEX "/placeholder_[^/]*\\.cpp$")
  if(real)
    set(sources ${real})
  endif()
  set(${out} ${sources} PARENT_SCOPE)
endfunction()

function(_zd_module_target target name dir outdir rpath sources)
  Python_add_library(${target} MODULE WITH_SOABI ${sources})
  target_link_libraries(${target} PRIVATE zdcommon tovrix)
  target_include_directories(${target} PRIVATE ${dir})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${name}
    PREFIX ""
    LIBRARY_OUTPUT_DIRECTORY ${outdir}
    BUILD_RPATH "${rpath}"
    INSTALL_RPATH "$ORIGIN")
  if(ZD_PCH)
    target_precompile_headers(${target} REUSE_FROM zdcommon)
  endif()
endfunction()

function(zd_add_module name dir)
  _zd_module_sources(sources ${dir})
  if(NOT sources)
    # Keep the package importable while a directory is between placeholder
    # and real sources: build an empty module, and say so.
    message(WARNING "Module ${name}: no .cpp file in ${dir}; building an empty module")
    string(REPLACE "@NAME@" "${name}" text [=[
// Generated: the module's directory has no sources.
#include <Python.h>
static PyModuleDef_Slot slots[] = {{0, nullptr}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "zudirivi.@NAME@", nullptr, 0, nullptr, slots,
                          nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_@NAME@(void) { return PyModuleDef_Init(&def); }
]=])
    set(sources ${CMAKE_BINARY_DIR}/generated/empty${name}.cpp)
    file(CONFIGURE OUTPUT ${sources} CONTENT "${text}" @ONLY)
  endif()
  set(target zdmod${name})
  _zd_module_target(${target} ${name} ${dir} ${ZD_PKG_DIR} "$ORIGIN" "${sources}")
  set(ZD_MODULE_TARGETS ${ZD_MODULE_TARGETS} ${target} PARENT_SCOPE)
endfunction()

function(zd_add_test_module name dir)
  _zd_module_sources(sources ${dir})
  if(NOT sources)
    return()
  endif()
  file(RELATIVE_PATH rel ${ZD_TESTMOD_DIR} ${ZD_PKG_DIR})
  _zd_module_target(zdtest${name} ${name} ${dir} ${ZD_TESTMOD_DIR} "$ORIGIN/${rel}" "${sources}")
endfunction()
