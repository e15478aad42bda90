#include "vek/python/from_py.hpp"

#include <algorithm>
#include <cstring>

namespace vek::py {

void set_cannot_convert(PyObject* o, const char* target) {
  Ref name(PyType_GetQualName(Py_TYPE(o)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

void wrap_arg_error(const char* name) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr || !Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(exc);
    return;
  }
  Ref original(exc);
  Ref message(PyUnicode_FromFormat("argument '%s': %S", name, exc));
  if (!message) return;
  Ref wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) return;
  PyException_SetCause(wrapped.get(), PyException_GetCause(exc));  // steals the new reference
  PyErr_SetRaisedException(wrapped.release());
}

namespace {

// numpy's complexfloating type (strong reference), once numpy is imported;
// before that no numpy scalar exists.
PyTypeObject* numpy_complex_type() {
  static PyObject* type = nullptr;
  if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);
  Ref numpy(PyImport_GetModule(Ref(PyUnicode_FromString("numpy")).get()));
  if (numpy) {
    Ref t(PyObject_GetAttrString(numpy.get(), "complexfloating"));
    if (t && PyType_Check(t.get())) type = t.release();
  }
  PyErr_Clear();
  return reinterpret_cast<PyTypeObject*>(type);
}

bool is_complex(PyObject* o) {
  if (PyLong_Check(o) || PyFloat_Check(o)) return false;
  if (PyComplex_Check(o)) return true;
  PyTypeObject* numpy_complex = numpy_complex_type();
  return numpy_complex != nullptr && PyType_IsSubtype(Py_TYPE(o), numpy_complex);
}

}  // namespace

bool from_py_nonfloat(PyObject* o, double& out) {
  if (is_complex(o)) {
    PyErr_Format(PyExc_TypeError, "must be real number, not %.50s", Py_TYPE(o)->tp_name);
    return false;
  }
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

namespace {

// Conversions of long sequences run pending signal handlers every so many
// items, so Ctrl-C stops them too; false with the handler's exception set.
inline bool signals_ok(Py_ssize_t i) {
  constexpr Py_ssize_t kEvery = Py_ssize_t{1} << 16;
  return i % kEvery != kEvery - 1 || PyErr_CheckSignals() == 0;
}

// A length that only sizes the buffer: an object that lies about its
// length must not make us reserve absurd amounts up front.
constexpr Py_ssize_t kMaxUntrustedReserve = Py_ssize_t{1} << 16;

// The outer rules shared by every vector conversion: no str, a sequence,
// its length as a capacity hint (a failing length is ignored), then each
// element in iteration order. `each(item)` converts one element.
template <class T, class Each>
bool for_each_element(PyObject* o, std::vector<T>& out, Each each) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) {
    set_cannot_convert(o, "Sequence");
    return false;
  }
  out.clear();
  // Exact lists and tuples: index directly. The size is re-read on every
  // step, exactly as the list iterator does, in case a conversion hook
  // mutates the list; the item is held while foreign code may run.
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    const bool is_list = PyList_CheckExact(o);
    out.reserve(static_cast<std::size_t>(Py_SIZE(o)));
    for (Py_ssize_t i = 0; i < Py_SIZE(o); ++i) {
      if (!signals_ok(i)) return false;
      Ref item(Py_NewRef(is_list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i)));
      if (!each(item.get())) return false;
    }
    return true;
  }
  Py_ssize_t hint = PySequence_Size(o);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out.reserve(static_cast<std::size_t>(std::min(hint, kMaxUntrustedReserve)));
  Ref it(PyObject_GetIter(o));
  if (!it) return false;
  for (Py_ssize_t i = 0;; ++i) {
    if (!signals_ok(i)) return false;
    Ref item(PyIter_Next(it.get()));
    if (!item) break;
    if (!each(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// An exact list or tuple of exactly N exact floats, read without running any
// Python code (so nothing can change it meanwhile); false for anything else.
template <std::size_t N>
bool exact_floats(PyObject* seq, std::array<double, N>& out) {
  PyObject** items;
  if (PyList_CheckExact(seq)) {
    items = reinterpret_cast<PyListObject*>(seq)->ob_item;
  } else if (PyTuple_CheckExact(seq)) {
    items = reinterpret_cast<PyTupleObject*>(seq)->ob_item;
  } else {
    return false;
  }
  if (Py_SIZE(seq) != static_cast<Py_ssize_t>(N)) return false;
  for (std::size_t k = 0; k < N; ++k) {
    if (!PyFloat_CheckExact(items[k])) return false;
    out[k] = PyFloat_AS_DOUBLE(items[k]);
  }
  return true;
}

bool f64_at(PyObject* seq, Py_ssize_t k, double& out) {
  Ref item(PySequence_GetItem(seq, k));
  return item && from_py(item.get(), out);
}

}  // namespace

bool holds_doubles(const Py_buffer& view) noexcept {
  const char* f = view.format != nullptr ? view.format : "B";
  if (*f == '@' || *f == '=' || (*f == '<' && PY_LITTLE_ENDIAN) || (*f == '>' && !PY_LITTLE_ENDIAN)) ++f;
  return view.itemsize == sizeof(double) && f[0] == 'd' && f[1] == '\0';
}

// A one-dimensional, C-contiguous buffer of native doubles (a numpy float64
// array, array.array('d'), a memoryview of either) that is also a sequence:
// copied in one go. Its elements iterate to the same values, so the result
// equals the iteration rule. Returns false, with no error set, for anything
// else.
bool copy_double_buffer(PyObject* o, std::vector<double>& out) {
  if (!PyObject_CheckBuffer(o) || !PySequence_Check(o)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_ND | PyBUF_FORMAT) != 0) {
    PyErr_Clear();
    return false;
  }
  const bool fits = view.ndim == 1 && holds_doubles(view);
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};  // also when the copy below cannot get its memory
  if (fits) {
    const auto* p = static_cast<const double*>(view.buf);
    out.assign(p, p + view.shape[0]);
  }
  return fits;
}

bool from_py(PyObject* o, std::vector<double>& out) {
  if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o) && copy_double_buffer(o, out)) return true;
  // Exact list of exact floats: the common case, kept tight.
  if (PyList_CheckExact(o)) {
    const Py_ssize_t n = PyList_GET_SIZE(o);
    out.resize(static_cast<std::size_t>(n));
    PyObject** items = reinterpret_cast<PyListObject*>(o)->ob_item;
    Py_ssize_t i = 0;
    for (; i < n; ++i) {
      PyObject* item = items[i];
      if (!PyFloat_CheckExact(item)) break;
      out[static_cast<std::size_t>(i)] = PyFloat_AS_DOUBLE(item);
    }
    if (i == n) return true;
    // Something else inside: continue by the general rule from here on.
    out.resize(static_cast<std::size_t>(i));
    for (; i < PyList_GET_SIZE(o); ++i) {
      if (!signals_ok(i)) return false;
      Ref item(Py_NewRef(PyList_GET_ITEM(o, i)));
      double v;
      if (!from_py(item.get(), v)) return false;
      out.push_back(v);
    }
    return true;
  }
  return for_each_element(o, out, [&](PyObject* item) {
    double v;
    if (!from_py(item, v)) return false;
    out.push_back(v);
    return true;
  });
}

bool from_py(PyObject* o, std::vector<std::pair<double, double>>& out) {
  return for_each_element(o, out, [&](PyObject* item) {
    if (!PyTuple_Check(item)) {
      set_cannot_convert(item, "PyTuple");
      return false;
    }
    if (PyTuple_GET_SIZE(item) != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", PyTuple_GET_SIZE(item));
      return false;
    }
    double a, b;
    if (!from_py(PyTuple_GET_ITEM(item, 0), a) || !from_py(PyTuple_GET_ITEM(item, 1), b)) return false;
    out.emplace_back(a, b);
    return true;
  });
}

bool from_py(PyObject* o, std::vector<std::array<double, 8>>& out) {
  return for_each_element(o, out, [&](PyObject* item) {
    if (!PySequence_Check(item)) {
      set_cannot_convert(item, "Sequence");
      return false;
    }
    const Py_ssize_t len = PySequence_Size(item);
    if (len < 0) return false;
    if (len != 8) {
      PyErr_Format(PyExc_ValueError, "expected a sequence of length %d (got %zd)", 8, len);
      return false;
    }
    std::array<double, 8> g;
    if (exact_floats(item, g)) {
      out.push_back(g);
      return true;
    }
    for (Py_ssize_t k = 0; k < 8; ++k) {
      if (f64_at(item, k, g[static_cast<std::size_t>(k)])) continue;
      // The group shrank while its own items were converted: report the
      // length it has now rather than the bare IndexError of the lookup.
      if (PyErr_ExceptionMatches(PyExc_IndexError)) {
        const Py_ssize_t now = PySequence_Size(item);
        if (now >= 0 && now != 8) {
          PyErr_Clear();
          PyErr_Format(PyExc_ValueError, "expected a sequence of length %d (got %zd)", 8, now);
        }
      }
      return false;
    }
    out.push_back(g);
    return true;
  });
}

bool from_py(PyObject* o, std::vector<std::vector<double>>& out) {
  return for_each_element(o, out, [&](PyObject* item) {
    std::vector<double> v;
    if (!from_py(item, v)) return false;
    out.push_back(std::move(v));
    return true;
  });
}

bool from_py(PyObject* o, std::vector<std::int8_t>& out) {
  return for_each_element(o, out, [&](PyObject* item) {
    const long v = PyLong_AsLong(item);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < -128 || v > 127) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
    out.push_back(static_cast<std::int8_t>(v));
    return true;
  });
}

bool from_py(PyObject* o, std::uint64_t& out) {
  Ref idx(PyNumber_Index(o));
  if (!idx) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool from_py(PyObject* o, std::int64_t& out) {
  Ref idx(PyNumber_Index(o));
  if (!idx) return false;
  const long long v = PyLong_AsLongLong(idx.get());
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool from_py(PyObject* o, bool& out) {
  if (PyBool_Check(o)) {
    out = o == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(o);
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) PyErr_Clear();
  const char* mod = module && PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8(module.get()) : nullptr;
  if (mod == nullptr) PyErr_Clear();
  const char* name = type->tp_name;
  if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
  if (mod != nullptr && std::strcmp(mod, "numpy") == 0 &&
      (std::strcmp(name, "bool_") == 0 || std::strcmp(name, "bool") == 0)) {
    if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
      Ref qual(PyType_GetQualName(type));
      if (qual)
        PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", qual.get());
      return false;
    }
    const int truth = type->tp_as_number->nb_bool(o);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  set_cannot_convert(o, "PyBool");
  return false;
}

bool from_py(PyObject* o, std::string& out) {
  if (!PyUnicode_Check(o)) {
    set_cannot_convert(o, "PyString");
    return false;
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(o, &len);
  if (text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(len));
  return true;
}

}  // namespace vek::py
