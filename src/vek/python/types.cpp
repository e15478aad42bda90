#include "vek/python/types.hpp"

#include <vector>

namespace vek::py {

PyTypeObject* make_type(const ClassRecord& record) {
  std::vector<PyType_Slot> slots;
  for (PyType_Slot* s = record.slots; s != nullptr && s->slot != 0; ++s) slots.push_back(*s);
  slots.push_back({Py_tp_doc, const_cast<char*>(record.doc)});  // copied by the interpreter
  slots.push_back({0, nullptr});

  PyType_Spec spec{record.name, record.basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace vek::py
