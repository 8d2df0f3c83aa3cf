// The pieces every type of the two modules is made of: a C++ value stored inside the Python
// object, the end of an object's life, and method-table entries.
#pragma once

#include <memory>
#include <new>
#include <type_traits>

#include "binding/python.hpp"

namespace quillmarsh {

// A C++ value living in raw storage inside a Python object, so that the object's struct
// stays standard-layout and a PyObject* of its type may be reinterpreted as that struct.
// Constructed with std::construct_at(&stored.get(), ...) once the object is allocated.
template <class T>
struct Stored {
  alignas(T) unsigned char storage[sizeof(T)];

  T& get() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }
};
static_assert(std::is_standard_layout_v<Stored<int>>);

// The end of a heap type's tp_dealloc: frees the object through its type's tp_free and
// releases the reference the object held on its type.
void free_heap_object(PyObject* self) noexcept;

// tp_dealloc of a type whose object struct holds one Stored value at `member`.
template <class Object, auto member>
void dealloc_stored(PyObject* self) noexcept {
  std::destroy_at(&(reinterpret_cast<Object*>(self)->*member).get());
  free_heap_object(self);
}

// A method-table entry's function. The interpreter calls through PyCFunction and dispatches
// on the flags; the detour through void(*)() is the sanctioned way to cast between function
// pointer types.
template <class Method>
PyCFunction as_cfunction(Method method) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

}  // namespace quillmarsh
