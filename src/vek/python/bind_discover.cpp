// Bindings of formula discovery: find_formula and PySearchResult.
#include <cmath>
#include <string>
#include <vector>

#include "vek/discover/render.hpp"
#include "vek/discover/search.hpp"
#include "vek/python/args.hpp"
#include "vek/python/docs.hpp"
#include "vek/python/errors.hpp"
#include "vek/python/from_py.hpp"
#include "vek/python/native_call.hpp"
#include "vek/python/search_result.hpp"
#include "vek/python/registry.hpp"
#include "vek/python/to_py.hpp"
#include "vek/python/types.hpp"

namespace vek::py {
namespace {

const Found& found(PyObject* self) { return unbox<Found>(self); }

PyObject* result_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PySearchResult");
  return nullptr;
}

PyObject* result_repr(PyObject* self) {
  const Found& f = found(self);
  return str_from(discover::result_repr(f.formula, f.error, f.complexity));
}

PyObject* get_formula(PyObject* self, void*) { return str_from(found(self).formula); }
PyObject* get_error(PyObject* self, void*) { return PyFloat_FromDouble(found(self).error); }
PyObject* get_complexity(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(found(self).complexity);
}
PyObject* get_params(PyObject* self, void*) { return list_from_f64(found(self).params); }

PyObject* method_to_latex(PyObject* self, PyObject*) { return str_from(discover::to_latex(found(self).formula)); }
PyObject* method_to_python(PyObject* self, PyObject*) { return str_from(discover::to_python(found(self).formula)); }

PyGetSetDef kResultGetters[] = {
    {"formula", get_formula, nullptr, nullptr, nullptr},
    {"error", get_error, nullptr, nullptr, nullptr},
    {"complexity", get_complexity, nullptr, nullptr, nullptr},
    {"params", get_params, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickled and copied by value through vek_math._pickle.search_result.
PyObject* result_reduce(PyObject* self, PyObject*) {
  const Found& f = found(self);
  Ref params(list_from_f64(f.params));
  if (!params) return nullptr;
  return reduce_to("search_result", Py_BuildValue("(NdKO)", str_from(f.formula), f.error,
                                                  static_cast<unsigned long long>(f.complexity), params.get()));
}

PyMethodDef kResultMethods[] = {
    {"to_latex", method_to_latex, METH_NOARGS, doc::result_to_latex},
    {"to_python", method_to_python, METH_NOARGS, doc::result_to_python},
    {"__reduce__", result_reduce, METH_NOARGS, kReduceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kResultSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Found>)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, kResultGetters},
    {Py_tp_methods, kResultMethods},
    {0, nullptr},
};

const ClassRecord kResultClass{"PySearchResult", nullptr, doc::search_result_class,
                               static_cast<int>(sizeof(Boxed<Found>)), kResultSlots};

constexpr const char* kFindParams[] = {"x_data",   "y_data",  "max_complexity", "beam_width",
                                       "precision_goal", "use_trig", "use_vek", "complexity_penalty"};
constexpr ArgSpec kFind{"find_formula", nullptr, kFindParams, 2};

// The search reads the row count from the first column and every column at
// each row: refuse data it would read out of bounds.
bool check_columns(const std::vector<std::vector<double>>& columns) {
  if (columns.empty()) {
    PyErr_SetString(PyExc_ValueError, "x_data must hold at least one column (a list of values per variable)");
    return false;
  }
  const std::size_t rows = columns[0].size();
  for (std::size_t i = 1; i < columns.size(); ++i) {
    if (columns[i].size() < rows) {
      PyErr_Format(PyExc_ValueError, "column %zu of x_data has %zu values, fewer than the %zu of column 0", i,
                   columns[i].size(), rows);
      return false;
    }
  }
  return true;
}

// An opt-in progress hook for front ends (the command line): when
// vek_math._runtime.search_progress is callable, it is called after every
// scored level with (level, generated, scored, best formula or None, best
// error). Sets `out` to a new reference or leaves it empty.
bool progress_callback(Ref& out) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* runtime = PyDict_GetItemString(modules, "vek_math._runtime");  // borrowed
  if (runtime == nullptr) return true;
  Ref hook(PyObject_GetAttrString(runtime, "search_progress"));
  if (!hook) {
    PyErr_Clear();
    return true;
  }
  if (hook.get() != Py_None && PyCallable_Check(hook.get())) out = std::move(hook);
  return true;
}

PyObject* find_formula(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[8];
    std::vector<std::vector<double>> columns;
    std::vector<double> target;
    discover::SearchConfig config;  // the defaults of the signature
    if (!parse_fast(kFind, args, nargs, kwnames, a) || !arg(kFind, 0, a[0], to_vec_vec, columns) ||
        !arg(kFind, 1, a[1], to_f64_vec, target) ||
        !opt_arg(kFind, 2, a[2], to_index, config.max_complexity) ||
        !opt_arg(kFind, 3, a[3], to_index, config.beam_width) ||
        !opt_arg(kFind, 4, a[4], to_f64, config.precision_goal) ||
        !opt_arg(kFind, 5, a[5], to_bool, config.use_trig) || !opt_arg(kFind, 6, a[6], to_bool, config.use_vek) ||
        !opt_arg(kFind, 7, a[7], to_f64, config.complexity_penalty) || !check_columns(columns))
      return nullptr;
    PyTypeObject* type = search_result_type();
    if (type == nullptr) return nullptr;
    Ref progress;
    if (!progress_callback(progress)) return nullptr;

    // The search runs without the interpreter lock; the calling thread takes
    // it back to run signal handlers (Ctrl-C stops the search) and the
    // progress hook. A hook that raises ends the search, and its exception
    // is this call's, whatever level it was raised at.
    NativeCall call(true);
    bool failed = false;
    discover::SearchHooks hooks;
    if (progress) {
      hooks.on_level = [&](const discover::LevelInfo& info) {
        call.with_gil([&] {
          if (failed) return;
          Ref best_formula(info.best ? str_from(info.best->formula) : Py_NewRef(Py_None));
          Ref ret(best_formula ? PyObject_CallFunction(progress.get(), "nnnOd", static_cast<Py_ssize_t>(info.level),
                                                       static_cast<Py_ssize_t>(info.generated),
                                                       static_cast<Py_ssize_t>(info.scored), best_formula.get(),
                                                       info.best ? info.best->error : std::nan(""))
                               : nullptr);
          failed = !ret;
        });
        if (failed) throw Interrupted();
      };
    }
    auto best = call.run([&] { return discover::search(columns, target, config, &hooks); });
    if (failed) return nullptr;  // the hook's exception
    if (!best) Py_RETURN_NONE;
    return box(type, Found{std::move(best->formula), best->error, best->complexity, std::move(best->params)});
  });
}

}  // namespace

PyTypeObject* search_result_type() { return lazy_type<kResultClass>(); }

namespace reg {
PyMethodDef find_formula{"find_formula", fast(vek::py::find_formula), kFast, doc::find_formula};
}  // namespace reg

}  // namespace vek::py
