#include "vek/python/errors.hpp"

namespace vek::py {

namespace {

constexpr const char kPanicDoc[] =
    "The exception raised when native code called from Python panics.\n\n"
    "Like SystemExit, it derives from BaseException so that it typically propagates\n"
    "all the way through the stack and makes the interpreter exit.";

PyObject* g_panic_type = nullptr;  // kept for the life of the process

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type != nullptr) return g_panic_type;
  // The package's runtime namespace holds the type so that Python code can
  // name it (vek_math.PanicException); a bare build of the extension makes
  // its own with the same name and base.
  Ref runtime(PyImport_ImportModule("vek_math._runtime"));
  if (runtime) {
    Ref type(PyObject_GetAttrString(runtime.get(), "PanicException"));
    if (type && PyType_Check(type.get()) &&
        PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.get()),
                         reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
      g_panic_type = type.release();
      return g_panic_type;
    }
  }
  PyErr_Clear();
  g_panic_type = PyErr_NewExceptionWithDoc("vek_math._runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  return g_panic_type;
}

void raise_panic(const char* message) {
  // Whatever was pending is superseded by the panic.
  PyObject* pending = PyErr_GetRaisedException();
  Py_XDECREF(pending);
  PySys_FormatStderr("vek_core: native panic: %s\n", message);
  PyErr_Clear();  // a failing stderr must not hide the panic
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  Ref text(PyUnicode_FromString(message));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

}  // namespace vek::py
