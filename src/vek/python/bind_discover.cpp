// Bindings of formula discovery: find_formula and PySearchResult.
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vek/discover/render.hpp"
#include "vek/discover/search.hpp"
#include "vek/python/callable.hpp"
#include "vek/python/docs.hpp"
#include "vek/python/native_call.hpp"
#include "vek/python/search_result.hpp"

namespace vek::py {
namespace {

using Result = Class<"PySearchResult", Found, "", doc::search_result_class>;

PyObject* result_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PySearchResult");
  return nullptr;
}

PyObject* result_repr(PyObject* self) {
  const Found& f = unbox<Found>(self);
  return to_py(discover::result_repr(f.formula, f.error, f.complexity));
}

// Pickled and copied by value through vek_math._pickle.search_result.
PyObject* result_reduce(const Found& f) {
  Ref params(to_py(f.params));
  if (!params) return nullptr;
  return reduce_to("search_result", Py_BuildValue("(NdKO)", to_py(f.formula), f.error,
                                                  static_cast<unsigned long long>(f.complexity), params.get()));
}

PyGetSetDef kResultGetters[] = {
    Result::getter<"formula", &Found::formula>(),       Result::getter<"error", &Found::error>(),
    Result::getter<"complexity", &Found::complexity>(), Result::getter<"params", &Found::params>(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kResultMethods[] = {
    Result::method<"to_latex", "", [](const Found& f) { return discover::to_latex(f.formula); }>(),
    Result::method<"to_python", "", [](const Found& f) { return discover::to_python(f.formula); }>(),
    Result::method<"__reduce__", "", result_reduce, doc::reduce>(),
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

constexpr ClassRecord kResultClass = Result::record(kResultSlots);

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

PyObject* find_formula(const std::vector<std::vector<double>>& columns, const std::vector<double>& target,
                       std::uint64_t max_complexity, std::uint64_t beam_width, double precision_goal, bool use_trig,
                       bool use_vek, double complexity_penalty) {
  if (!check_columns(columns)) return nullptr;
  const discover::SearchConfig config{max_complexity, beam_width, precision_goal,
                                      use_trig,       use_vek,    complexity_penalty};

  // The search runs without the interpreter lock; the calling thread takes
  // it back to run signal handlers (Ctrl-C stops the search).
  NativeCall call(true);
  auto best = call.run([&] { return discover::search(columns, target, config); });
  if (!best) Py_RETURN_NONE;
  return to_py(Found{std::move(best->formula), best->error, best->complexity, std::move(best->params)});
}

Export kRows[] = {
    search_result_type,
    function<"find_formula",
             "x_data, y_data, max_complexity=8, beam_width=2000, precision_goal=1e-10, use_trig=True, use_vek=True, "
             "complexity_penalty=0.001",
             find_formula, doc::find_formula>(),
};

}  // namespace

PyTypeObject* search_result_type() { return lazy_type<kResultClass>(); }
extern const std::span<Export> kDiscoverExports(kRows);

}  // namespace vek::py
