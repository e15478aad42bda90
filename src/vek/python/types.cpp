#include "vek/python/types.hpp"

#include <string>
#include <vector>

namespace vek::py {

PyTypeObject* make_type(const ClassRecord& record) {
  std::string doc;
  if (record.text_signature != nullptr) {
    doc = std::string(record.name) + record.text_signature + "\n--\n\n";
  }
  doc += record.doc_body;

  std::vector<PyType_Slot> slots;
  for (PyType_Slot* s = record.slots; s != nullptr && s->slot != 0; ++s) slots.push_back(*s);
  slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});  // copied by the interpreter
  slots.push_back({0, nullptr});

  const std::string qualified = std::string("vek_core.") + record.name;
  PyType_Spec spec{qualified.c_str(), record.basicsize, 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace vek::py
