#include "vek/python/to_py.hpp"

namespace vek::py {

namespace {

constexpr std::size_t kSignalCheckEvery = std::size_t{1} << 16;

// A new list of n items, item i made by make(i); nullptr on failure.
template <class Make>
PyObject* build_list(std::size_t n, Make make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    // Long results: Ctrl-C is honoured while they are built, too.
    if (i % kSignalCheckEvery == kSignalCheckEvery - 1 && PyErr_CheckSignals() != 0) {
      Py_DECREF(list);
      return nullptr;
    }
    PyObject* item = make(i);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

template <std::size_t N>
PyObject* tuple_from(const double* v) {
  PyObject* t = PyTuple_New(N);
  if (t == nullptr) return nullptr;
  for (std::size_t k = 0; k < N; ++k) {
    PyObject* f = new_float(v[k]);
    if (f == nullptr) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(k), f);
  }
  return t;
}

}  // namespace

PyObject* list_from_f64(const double* v, std::size_t n) {
  return build_list(n, [&](std::size_t i) { return new_float(v[i]); });
}

PyObject* to_py(const std::vector<std::pair<double, double>>& v) {
  return build_list(v.size(), [&](std::size_t i) {
    const double pair[2] = {v[i].first, v[i].second};
    return tuple_from<2>(pair);
  });
}

PyObject* to_py(const std::vector<std::array<double, 3>>& v) {
  return build_list(v.size(), [&](std::size_t i) { return tuple_from<3>(v[i].data()); });
}

PyObject* to_py(const std::vector<std::array<double, 8>>& v) {
  return build_list(v.size(), [&](std::size_t i) { return list_from_f64(v[i].data(), 8); });
}

PyObject* to_py(const std::vector<std::vector<double>>& v) {
  return build_list(v.size(), [&](std::size_t i) { return to_py(v[i]); });
}

PyObject* reduce_to(const char* reconstructor, PyObject* args) {
  Ref owned_args(args);
  if (!owned_args) return nullptr;
  Ref module(PyImport_ImportModule("vek_math._pickle"));
  if (!module) return nullptr;
  Ref func(PyObject_GetAttrString(module.get(), reconstructor));
  if (!func) return nullptr;
  return PyTuple_Pack(2, func.get(), owned_args.get());
}

}  // namespace vek::py
