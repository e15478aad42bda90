#include "vek/python/engine/from_py.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "vek/python/from_py.hpp"

namespace vek::py {

F64Buffer::~F64Buffer() {
  if (held_) PyBuffer_Release(&view_);
}

bool F64Buffer::acquire(PyObject* o, const char* name, int ndim, bool writable) {
  if (!PyObject_CheckBuffer(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be a float64 array (a buffer such as a numpy array), not '%s'", name,
                 Py_TYPE(o)->tp_name);
    return false;
  }
  if (PyObject_GetBuffer(o, &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) return false;
  held_ = true;
  object_ = o;
  if (!holds_doubles(view_)) {
    PyErr_Format(PyExc_TypeError, "%s must hold float64 values (buffer format '%s')", name,
                 view_.format != nullptr ? view_.format : "B");
    return false;
  }
  if (view_.ndim != ndim) {
    if (ndim == 2) {
      PyErr_Format(PyExc_ValueError, "%s must be two-dimensional, (n_samples, n_features); got %d dimension(s)", name,
                   view_.ndim);
    } else {
      PyErr_Format(PyExc_ValueError, "%s must be one-dimensional; got %d dimension(s)", name, view_.ndim);
    }
    return false;
  }
  if (!PyBuffer_IsContiguous(&view_, 'C')) {
    PyErr_Format(PyExc_ValueError, "%s must be C-contiguous (numpy.ascontiguousarray makes a copy that is)", name);
    return false;
  }
  // Values are read as doubles in place: a buffer at an odd address (one
  // cut from a byte string, say) would be misread.
  if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) != 0) {
    PyErr_Format(PyExc_ValueError,
                 "%s must be aligned to 8 bytes (numpy.require(a, requirements='CA') makes a copy that is)", name);
    return false;
  }
  if (writable && view_.readonly) {
    PyErr_Format(PyExc_ValueError, "%s is read-only", name);
    return false;
  }
  return true;
}

bool F64Buffer::overlaps(const F64Buffer& other) const noexcept {
  if (view_.len == 0 || other.view_.len == 0) return false;
  const auto* a = static_cast<const char*>(view_.buf);
  const auto* b = static_cast<const char*>(other.view_.buf);
  return a < b + other.view_.len && b < a + view_.len;
}

namespace {

// Whether an operator can be named, for an arity (0: any). Power blocks
// cannot: they take their exponent as ('pow', k).
bool nameable(const discover::OpDef& d, unsigned arity) {
  return d.group != discover::OpGroup::Block && (arity == 0 || d.arity == arity);
}

// The names of the operators that can be named, of one arity (0: any),
// comma-separated.
std::string operator_names(unsigned arity) {
  std::string names;
  for (const discover::OpDef& d : discover::kOps) {
    if (!nameable(d, arity)) continue;
    if (!names.empty()) names += ", ";
    names += d.name;
  }
  return names;
}

// The operator of that name that can be named for the arity, if any.
std::optional<discover::Op> named_operator(const char* text, unsigned arity) {
  const std::optional<discover::Op> op = discover::op_named(text);
  if (op && nameable(discover::op_def(*op), arity)) return op;
  return std::nullopt;
}

// The payload of node `where` ("nodes[3]") as a non-negative index.
bool index_at(PyObject* v, const char* where, const char* kind, std::size_t& out) {
  Ref idx(PyNumber_Index(v));
  if (!idx) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s: a %s index must be an int, not '%s'", where, kind, Py_TYPE(v)->tp_name);
    }
    return false;
  }
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
  if (x == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || x < 0) {
    PyErr_Format(PyExc_ValueError, "%s: %s index %R is out of range", where, kind, idx.get());
    return false;
  }
  out = static_cast<std::size_t>(x);
  return true;
}

// One (kind, value) node, `where` naming it in messages.
bool node_from_py(PyObject* item, const char* where, std::vector<discover::Node>& out) {
  if (!PyTuple_Check(item) && !PyList_Check(item)) {
    PyErr_Format(PyExc_TypeError, "%s must be a (kind, value) tuple, not '%s'", where, Py_TYPE(item)->tp_name);
    return false;
  }
  Ref pair(PySequence_Fast(item, "a node must be a tuple"));
  if (!pair) return false;
  if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
    PyErr_Format(PyExc_ValueError, "%s must have two items (kind, value), not %zd", where,
                 PySequence_Fast_GET_SIZE(pair.get()));
    return false;
  }
  PyObject* kind = PySequence_Fast_GET_ITEM(pair.get(), 0);
  PyObject* value = PySequence_Fast_GET_ITEM(pair.get(), 1);
  const char* k = PyUnicode_Check(kind) ? PyUnicode_AsUTF8(kind) : nullptr;
  if (k == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s: the kind must be a str", where);
    return false;
  }
  if (std::strcmp(k, "const") == 0) {
    double v;
    if (!PyFloat_Check(value) && !PyLong_Check(value)) {
      PyErr_Format(PyExc_TypeError, "%s: a constant must be a number, not '%s'", where, Py_TYPE(value)->tp_name);
      return false;
    }
    if (!from_py(value, v)) return false;
    out.push_back(discover::Node::constant(v));
  } else if (std::strcmp(k, "var") == 0 || std::strcmp(k, "param") == 0) {
    std::size_t idx;
    if (!index_at(value, where, k, idx)) return false;
    out.push_back(k[0] == 'v' ? discover::Node::var(idx) : discover::Node::param(idx, std::nan("")));
  } else if (std::strcmp(k, "op") == 0) {
    const char* op_text = PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    if (op_text == nullptr) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s: an operator must be named by a str", where);
      return false;
    }
    const std::optional<discover::Op> op = named_operator(op_text, 0);
    if (!op) {
      PyErr_Format(PyExc_ValueError, "%s: unknown operator '%s' (%s)", where, op_text, operator_names(0).c_str());
      return false;
    }
    out.push_back(discover::Node::op(*op));
  } else if (std::strcmp(k, "pow") == 0) {
    double v;
    if (!PyFloat_Check(value) && !PyLong_Check(value)) {
      PyErr_Format(PyExc_TypeError, "%s: an exponent must be a number, not '%s'", where, Py_TYPE(value)->tp_name);
      return false;
    }
    if (!from_py(value, v)) return false;
    out.push_back(discover::Node::power(v));
  } else {
    PyErr_Format(PyExc_ValueError, "%s: unknown kind '%s' (const, var, param, op or pow)", where, k);
    return false;
  }
  return true;
}

}  // namespace

bool from_py(PyObject* o, Nodes& out, const char* name) {
  if (!PyList_Check(o) && !PyTuple_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be a list of (kind, value) tuples, not '%s'", name, Py_TYPE(o)->tp_name);
    return false;
  }
  Ref seq(PySequence_Fast(o, "must be a list"));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  out.list.clear();
  out.list.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const std::string where = std::string(name) + '[' + std::to_string(i) + ']';
    if (!node_from_py(PySequence_Fast_GET_ITEM(seq.get(), i), where.c_str(), out.list)) return false;
  }
  return true;
}

bool from_py(PyObject* o, Seed& out, const char* name) {
  out.members.clear();
  if (o == Py_None) return true;
  if (PyUnicode_Check(o) || !PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of (nodes, params) pairs or None, not '%s'", name,
                 Py_TYPE(o)->tp_name);
    return false;
  }
  Ref seq(PySequence_Fast(o, "must be a sequence"));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    const std::string where = std::string(name) + '[' + std::to_string(i) + ']';
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyTuple_Check(item) && !PyList_Check(item)) {
      PyErr_Format(PyExc_TypeError, "%s must be a (nodes, params) pair, not '%s'", where.c_str(),
                   Py_TYPE(item)->tp_name);
      return false;
    }
    Ref pair(PySequence_Fast(item, "must be a pair"));
    if (!pair) return false;
    if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
      PyErr_Format(PyExc_ValueError, "%s must be a (nodes, params) pair", where.c_str());
      return false;
    }
    Nodes nodes;
    std::vector<double> params;
    if (!from_py(PySequence_Fast_GET_ITEM(pair.get(), 0), nodes, where.c_str())) return false;
    if (!from_py(PySequence_Fast_GET_ITEM(pair.get(), 1), params)) return false;
    for (discover::Node& node : nodes.list) {
      if (node.kind != discover::Node::Kind::Param) continue;
      if (node.index >= params.size()) {
        PyErr_Format(PyExc_ValueError, "%s: ('param', %zu) has no value among its %zu params", where.c_str(),
                     node.index, params.size());
        return false;
      }
      node.value = params[node.index];
    }
    out.members.push_back(std::move(nodes.list));
  }
  return true;
}

bool operators_from_py(PyObject* o, unsigned arity, std::optional<std::vector<discover::Op>>& out, const char* name) {
  out.reset();
  if (o == Py_None) return true;
  if (PyUnicode_Check(o) || !PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of operator names or None, not '%s'", name,
                 Py_TYPE(o)->tp_name);
    return false;
  }
  Ref seq(PySequence_Fast(o, "must be a sequence"));
  if (!seq) return false;
  std::vector<discover::Op> ops;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8(item) : nullptr;
    if (text == nullptr) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "%s[%zd] must be an operator name (str), not '%s'", name, i,
                     Py_TYPE(item)->tp_name);
      return false;
    }
    const std::optional<discover::Op> op = named_operator(text, arity);
    if (!op) {
      PyErr_Format(PyExc_ValueError, "%s: unknown %s operator '%s' (%s)", name, arity == 1 ? "unary" : "binary", text,
                   operator_names(arity).c_str());
      return false;
    }
    if (std::find(ops.begin(), ops.end(), *op) == ops.end()) ops.push_back(*op);
  }
  out = std::move(ops);
  return true;
}

bool from_py(PyObject* o, Callback& out, const char* name) {
  if (o != Py_None && !PyCallable_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be callable or None, not '%s'", name, Py_TYPE(o)->tp_name);
    return false;
  }
  out.fn = o != Py_None ? o : nullptr;
  return true;
}

}  // namespace vek::py
