// Freeing objects of heap types.
#include "binding/type_parts.hpp"

namespace quillmarsh {

void free_heap_object(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

}  // namespace quillmarsh
