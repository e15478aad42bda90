#include "vek/python/to_py.hpp"

namespace vek::py {

namespace {

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
  return list_of(n, [&](std::size_t i) { return new_float(v[i]); });
}

PyObject* to_py(const std::vector<std::pair<double, double>>& v) {
  return list_of(v.size(), [&](std::size_t i) {
    const double pair[2] = {v[i].first, v[i].second};
    return tuple_from<2>(pair);
  });
}

PyObject* to_py(const std::vector<std::array<double, 3>>& v) {
  return list_of(v.size(), [&](std::size_t i) { return tuple_from<3>(v[i].data()); });
}

PyObject* to_py(const std::vector<std::array<double, 8>>& v) {
  return list_of(v.size(), [&](std::size_t i) { return list_from_f64(v[i].data(), 8); });
}

PyObject* to_py(const std::vector<std::vector<double>>& v) {
  return list_of(v.size(), [&](std::size_t i) { return to_py(v[i]); });
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
