// Native -> Python result conversions. Each returns a new reference, or
// nullptr with a Python exception set.
#pragma once

#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "vek/python/py.hpp"

namespace vek::py {

PyObject* list_from_f64(const double* v, std::size_t n);
inline PyObject* list_from_f64(const std::vector<double>& v) { return list_from_f64(v.data(), v.size()); }
PyObject* list_from_pairs(const std::vector<std::pair<double, double>>& v);
PyObject* list_from_triples(const std::vector<std::array<double, 3>>& v);
PyObject* list_from_octs(const std::vector<std::array<double, 8>>& v);
PyObject* list_from_vecs(const std::vector<std::vector<double>>& v);
PyObject* tuple_from_pair(double a, double b);

}  // namespace vek::py
