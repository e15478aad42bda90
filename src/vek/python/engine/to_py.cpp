#include "vek/python/engine/to_py.hpp"

#include <array>
#include <cstddef>
#include <string_view>

#include "vek/discover/beam.hpp"
#include "vek/python/to_py.hpp"

namespace vek::py {

namespace {

// A struct sequence type of N fields: its description, and the type once
// made (kept for the process's life, as every instance refers to it).
template <std::size_t N>
struct RecordType {
  const char* name;  // qualified: "vek_math._engine.<name>"
  const char* doc;
  std::array<PyStructSequence_Field, N + 1> fields;  // the last one {nullptr, nullptr}
  PyTypeObject* type = nullptr;

  bool make() {
    if (type != nullptr) return true;
    PyStructSequence_Desc desc{name, doc, fields.data(), static_cast<int>(N)};
    type = PyStructSequence_NewType(&desc);
    return type != nullptr;
  }
};

// A new instance of t whose fields, in order, are made by `make...` (each
// returning a new reference, or nullptr with an error set); nullptr at the
// first failure.
template <std::size_t N, class... Make>
PyObject* record_of(const RecordType<N>& t, Make&&... make) {
  static_assert(sizeof...(Make) == N, "one value per field");
  Ref o(PyStructSequence_New(t.type));
  if (!o) return nullptr;
  Py_ssize_t i = 0;
  const bool ok = ([&] {
    PyObject* v = make();
    if (v == nullptr) return false;
    PyStructSequence_SetItem(o.get(), i++, v);
    return true;
  }() && ...);
  return ok ? o.release() : nullptr;
}

RecordType<6> g_operator{
    "vek_math._engine.Operator",
    "One operator of the engine: a row of its operator table. Its renderings\n"
    "are templates in which \"{0}\" and \"{1}\" stand for the operands' texts.",
    {{{"name", "name in node lists: ('op', name)"},
      {"arity", "number of operands, 1 or 2"},
      {"group",
       "operator set: 'core', 'trig' (use_trig), 'vek' (use_vek), 'extra' (searched when named) or 'block' (power blocks: ('pow', exponent) nodes)"},
      {"text", "the engine's formula text, as in a record's formula"},
      {"latex", "LaTeX"},
      {"python", "Python, with the math module"},
      {nullptr, nullptr}}}};

RecordType<6> g_record{
    "vek_math._engine.Record",
    "A formula the search scored.",
    {{{"nodes", "the expression: ('const', value), ('var', index), ('param', index) or ('op', name), in postfix order"},
      {"formula", "the engine's text of the expression"},
      {"complexity", "node count"},
      {"loss", "RMSE on the data"},
      {"error", "penalised loss: loss * (penalty * complexity + 1)"},
      {"params", "fitted values of the ('param', i) nodes, by index"},
      {nullptr, nullptr}}}};

RecordType<8> g_outcome{"vek_math._engine.Outcome",
                        "What a search found.",
                        {{{"best", "the selected Record, or None when nothing was scored"},
                          {"front", "the Pareto front: Records by increasing complexity and falling loss"},
                          {"stopped",
                           "None, or why the search ended early: 'time_limit', 'interrupted', 'memory', "
                           "'memory_limit' or 'cluster'"},
                          {"levels", "search levels finished"},
                          {"generated", "candidates built"},
                          {"scored", "candidates scored on the data"},
                          {"beam", "the beam's members beyond the leaves as (nodes, params) pairs: a seed"},
                          {"validated",
                           "True when best was selected by cross-validation on noisy observations: it "
                           "stands, whatever formula of the front the penalised error would take"},
                          {nullptr, nullptr}}}};

const char* group_name(discover::OpGroup g) {
  switch (g) {
    case discover::OpGroup::Core: return "core";
    case discover::OpGroup::Trig: return "trig";
    case discover::OpGroup::Vek: return "vek";
    case discover::OpGroup::Extra: return "extra";
    case discover::OpGroup::Block: return "block";
  }
  return "?";
}

PyObject* str(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

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

bool add_engine_records(PyObject* module) {
  if (!g_operator.make() || !g_record.make() || !g_outcome.make()) return false;
  for (PyTypeObject* t : {g_operator.type, g_record.type, g_outcome.type}) {
    if (PyModule_AddType(module, t) != 0) return false;
  }
  Ref table(PyTuple_New(static_cast<Py_ssize_t>(discover::kOpCount)));
  if (!table) return false;
  for (std::size_t i = 0; i < discover::kOpCount; ++i) {
    PyObject* row = to_py(discover::kOps[i]);
    if (row == nullptr) return false;
    PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), row);
  }
  return PyModule_AddObjectRef(module, "OPERATORS", table.get()) == 0;
}

PyObject* to_py(const std::vector<discover::Node>& nodes) {
  return list_of(nodes.size(), [&](std::size_t i) { return node_to_py(nodes[i]); });
}

PyObject* to_py(const discover::OpDef& d) {
  return record_of(
      g_operator, [&] { return str(d.name); }, [&] { return PyLong_FromUnsignedLong(d.arity); },
      [&] { return PyUnicode_FromString(group_name(d.group)); }, [&] { return str(d.text); },
      [&] { return str(d.latex); }, [&] { return str(d.python); });
}

PyObject* to_py(const discover::SearchResult& r) {
  return record_of(
      g_record, [&] { return to_py(r.expr.nodes); }, [&] { return to_py(r.formula); },
      [&] { return to_py(r.complexity); }, [&] { return to_py(r.loss); }, [&] { return to_py(r.error); },
      [&] { return to_py(r.params); });
}

PyObject* to_py(const discover::SearchOutcome& out, const char* stopped) {
  return record_of(
      g_outcome, [&] { return out.best ? to_py(*out.best) : Py_NewRef(Py_None); },
      [&] { return list_of(out.front.size(), [&](std::size_t i) { return to_py(out.front[i]); }); },
      [&] { return stopped != nullptr ? PyUnicode_FromString(stopped) : Py_NewRef(Py_None); },
      [&] { return PyLong_FromSize_t(out.stats.levels); }, [&] { return PyLong_FromSize_t(out.stats.generated); },
      [&] { return PyLong_FromSize_t(out.stats.scored); },
      [&] {
        return list_of(out.beam.size(), [&](std::size_t i) -> PyObject* {
          std::vector<discover::Node> nodes = out.beam[i];
          discover::renumber_params(nodes);
          Ref n(to_py(nodes));
          Ref p(n ? to_py(discover::param_values(nodes)) : nullptr);
          if (!p) return nullptr;
          return PyTuple_Pack(2, n.get(), p.get());
        });
      },
      [&] { return PyBool_FromLong(out.validated ? 1 : 0); });
}

}  // namespace vek::py
