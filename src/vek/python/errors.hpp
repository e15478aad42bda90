// The exception mapping at the Python boundary: native failures never cross
// into the interpreter as C++ exceptions.
#pragma once

#include <exception>
#include <new>

#include "vek/common/panic.hpp"
#include "vek/python/py.hpp"

namespace vek::py {

// The PanicException type (a BaseException subclass), made on first use.
// Borrowed reference, or nullptr with an error set.
PyObject* panic_exception_type();

// Writes the panic report to stderr, then raises PanicException(message).
void raise_panic(const char* message);

// Runs f() (which returns a new reference or nullptr with an error set) and
// maps every C++ exception: Panic and unknown failures to PanicException,
// bad_alloc to MemoryError, Interrupted to the pending signal exception.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const vek::Panic& e) {
    raise_panic(e.what());
  } catch (const vek::Interrupted&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("native code failed with an unknown exception");
  }
  return nullptr;
}

}  // namespace vek::py
