#include "vek/python/to_py.hpp"

namespace vek::py {

namespace {

// A new list of n items, item i made by make(i); nullptr on failure.
template <class Make>
PyObject* build_list(std::size_t n, Make make) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
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

PyObject* tuple_from_pair(double a, double b) {
  const double v[2] = {a, b};
  return tuple_from<2>(v);
}

PyObject* list_from_pairs(const std::vector<std::pair<double, double>>& v) {
  return build_list(v.size(), [&](std::size_t i) { return tuple_from_pair(v[i].first, v[i].second); });
}

PyObject* list_from_triples(const std::vector<std::array<double, 3>>& v) {
  return build_list(v.size(), [&](std::size_t i) { return tuple_from<3>(v[i].data()); });
}

PyObject* list_from_octs(const std::vector<std::array<double, 8>>& v) {
  return build_list(v.size(), [&](std::size_t i) { return list_from_f64(v[i].data(), 8); });
}

PyObject* list_from_vecs(const std::vector<std::vector<double>>& v) {
  return build_list(v.size(), [&](std::size_t i) { return list_from_f64(v[i]); });
}

}  // namespace vek::py
