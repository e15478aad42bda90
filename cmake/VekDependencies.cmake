# Locating the third-party pieces of the build: oneTBB and numpy's headers.
#
# oneTBB is looked for first in the Python environment that runs the build
# (the `tbb-devel` package from the Python package index: headers, CMake
# config, and through its `tbb` dependency the shared libraries), then as an
# ordinary CMake package (TBB_DIR, CMAKE_PREFIX_PATH, the system). Passing
# -DTBB_DIR=... always wins.

# Runs a short Python snippet with the build's interpreter; the output, stripped,
# goes to <out> ("" when the interpreter is missing or the snippet fails).
function(vek_python_query out code)
  set(${out} "" PARENT_SCOPE)
  if(NOT Python_EXECUTABLE)
    return()
  endif()
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c "${code}"
    OUTPUT_VARIABLE text
    RESULT_VARIABLE rc
    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0)
    set(${out} "${text}" PARENT_SCOPE)
  endif()
endfunction()

# The folder holding TBBConfig.cmake of an installed `tbb-devel` distribution.
# importlib.metadata finds it wherever pip put it: a venv, the user site, or
# pip's temporary build environment.
function(vek_pypi_tbb_dir out)
  vek_python_query(dir [=[
import importlib.metadata as md, pathlib
try:
    dist = md.distribution("tbb-devel")
except md.PackageNotFoundError:
    raise SystemExit(1)
for f in dist.files or ():
    if f.name == "TBBConfig.cmake":
        print(pathlib.Path(dist.locate_file(f)).resolve().parent.as_posix())
        break
]=])
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

macro(vek_find_tbb)
  # A TBB_DIR that an earlier configure chose is chosen afresh (pip's build
  # environment lives in a new temporary folder each time); one given by hand
  # is kept.
  set(_vek_tbb_given OFF)
  if(DEFINED CACHE{TBB_DIR})
    if(NOT TBB_DIR OR "${TBB_DIR}" STREQUAL "${_VEK_TBB_DIR_AUTO}")
      unset(TBB_DIR CACHE)
    else()
      set(_vek_tbb_given ON)
    endif()
  endif()
  set(_vek_tbb_pypi "")
  if(NOT _vek_tbb_given)
    vek_pypi_tbb_dir(_vek_tbb_pypi)
  endif()
  if(_vek_tbb_pypi)
    find_package(TBB 2021.5 CONFIG QUIET COMPONENTS tbb tbbmalloc PATHS "${_vek_tbb_pypi}" NO_DEFAULT_PATH)
  endif()
  if(NOT TBB_FOUND)
    find_package(TBB 2021.5 CONFIG QUIET COMPONENTS tbb tbbmalloc)
  endif()
  if(NOT TBB_FOUND)
    if(Python_EXECUTABLE)
      set(_vek_where "the environment of ${Python_EXECUTABLE}")
    else()
      set(_vek_where "the Python environment that runs the build")
    endif()
    message(FATAL_ERROR
      "oneTBB (2021.5 or newer, with tbbmalloc) was not found. Any one of these provides it:\n"
      "  - from the Python package index: pip install tbb-devel  (into ${_vek_where}; "
      "`pip install .` with build isolation does this by itself)\n"
      "  - from the system: apt-get install libtbb-dev\n"
      "  - a copy elsewhere: cmake -DTBB_DIR=<prefix>/lib/cmake/TBB ...")
  endif()
  if(_vek_tbb_pypi AND "${TBB_DIR}" STREQUAL "${_vek_tbb_pypi}")
    set(VEK_TBB_FROM "pypi")
  elseif(_vek_tbb_given)
    set(VEK_TBB_FROM "TBB_DIR")
  else()
    set(VEK_TBB_FROM "search")
  endif()
  if(_vek_tbb_given)
    set(_VEK_TBB_DIR_AUTO "" CACHE INTERNAL "")
  else()
    set(_VEK_TBB_DIR_AUTO "${TBB_DIR}" CACHE INTERNAL "TBB_DIR as chosen by the last configure")
  endif()
  message(STATUS "oneTBB ${TBB_VERSION} (${VEK_TBB_FROM}): ${TBB_DIR}")
endmacro()

# vek_numpy_headers: an INTERFACE target with numpy's C API headers, taken from
# the numpy that the build's interpreter imports (numpy>=2 is a build
# requirement). VEK_NUMPY_INCLUDE_DIR holds the folder.
function(vek_find_numpy)
  vek_python_query(info [=[
import numpy
print(numpy.__version__ + ";" + numpy.get_include())
]=])
  list(LENGTH info n)
  if(NOT n EQUAL 2)
    message(STATUS "numpy not found for ${Python_EXECUTABLE}: vek_numpy_headers is not defined "
                   "(pip install 'numpy>=2')")
    return()
  endif()
  list(GET info 0 version)
  list(GET info 1 dir)
  if(version VERSION_LESS 2)
    message(FATAL_ERROR "numpy ${version} is too old to build against: pip install 'numpy>=2'")
  endif()
  set(VEK_NUMPY_INCLUDE_DIR "${dir}" PARENT_SCOPE)
  add_library(vek_numpy_headers INTERFACE)
  target_include_directories(vek_numpy_headers SYSTEM INTERFACE "${dir}")
  message(STATUS "numpy ${version} headers: ${dir}")
endfunction()
