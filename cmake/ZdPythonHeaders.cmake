# Header locations of pybind11 and NumPy, asked from the interpreter CMake found
# (the project's virtual environment), so that the build matches what runs.

function(zd_python_query out code what)
  execute_process(
    COMMAND ${Python_EXECUTABLE} -c "${code}"
    OUTPUT_VARIABLE value
    ERROR_VARIABLE err
    RESULT_VARIABLE rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0 OR NOT IS_DIRECTORY "${value}")
    message(FATAL_ERROR
      "Cannot find the ${what} headers with ${Python_EXECUTABLE}: ${err}\n"
      "Install the pinned requirements (scripts/test does) or pass -D${out}=<dir>.")
  endif()
  set(${out} "${value}" CACHE PATH "${what} include directory")
endfunction()

if(NOT ZD_PYBIND11_INCLUDE)
  zd_python_query(ZD_PYBIND11_INCLUDE "import pybind11; print(pybind11.get_include())" "pybind11")
endif()
if(NOT ZD_NUMPY_INCLUDE)
  zd_python_query(ZD_NUMPY_INCLUDE "import numpy; print(numpy.get_include())" "NumPy")
endif()
