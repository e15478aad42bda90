#include "vek/python/engine/to_py.hpp"

#include <string_view>

#include "vek/python/to_py.hpp"

namespace vek::py {

namespace {

// d[key] = value, stealing value; false (error set) when value is null or
// the store fails.
bool put(PyObject* d, const char* key, PyObject* value) {
  Ref v(value);
  return v && PyDict_SetItemString(d, key, v.get()) == 0;
}

PyObject* node_to_py(const discover::Node& n) {
  using Kind = discover::Node::Kind;
  switch (n.kind) {
    case Kind::Const: return Py_BuildValue("(sd)", "const", n.value);
    case Kind::Var: return Py_BuildValue("(sn)", "var", static_cast<Py_ssize_t>(n.index));
    case Kind::Param: return Py_BuildValue("(sn)", "param", static_cast<Py_ssize_t>(n.index));
    case Kind::Op: {
      if (n.opcode == discover::Op::Pow) return Py_BuildValue("(sd)", "pow", n.value);
      const std::string_view name = discover::op_name(n.opcode);
      return Py_BuildValue("(ss#)", "op", name.data(), static_cast<Py_ssize_t>(name.size()));
    }
  }
  PyErr_SetString(PyExc_SystemError, "unknown node kind");
  return nullptr;
}

}  // namespace

PyObject* to_py(const std::vector<discover::Node>& nodes) {
  return list_of(nodes.size(), [&](std::size_t i) { return node_to_py(nodes[i]); });
}

PyObject* to_py(const discover::SearchResult& r) {
  Ref d(PyDict_New());
  if (!d || !put(d.get(), "nodes", to_py(r.expr.nodes)) || !put(d.get(), "formula", to_py(r.formula)) ||
      !put(d.get(), "complexity", to_py(r.complexity)) || !put(d.get(), "loss", to_py(r.loss)) ||
      !put(d.get(), "error", to_py(r.error)) || !put(d.get(), "params", to_py(r.params)))
    return nullptr;
  return d.release();
}

PyObject* to_py(const discover::SearchOutcome& out, const char* stopped) {
  Ref d(PyDict_New());
  if (!d || !put(d.get(), "best", out.best ? to_py(*out.best) : Py_NewRef(Py_None)) ||
      !put(d.get(), "front", list_of(out.front.size(), [&](std::size_t i) { return to_py(out.front[i]); })) ||
      !put(d.get(), "stopped", stopped != nullptr ? PyUnicode_FromString(stopped) : Py_NewRef(Py_None)) ||
      !put(d.get(), "levels", PyLong_FromSize_t(out.stats.levels)) ||
      !put(d.get(), "generated", PyLong_FromSize_t(out.stats.generated)) ||
      !put(d.get(), "scored", PyLong_FromSize_t(out.stats.scored)))
    return nullptr;
  return d.release();
}

}  // namespace vek::py
