// The argument binder shared by __new__ and every method with parameters: positional
// arguments from the left, then keywords by name; every parameter is required.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "binding/python.hpp"

namespace quillmarsh {

template <std::size_t N>
struct Signature {
  std::string_view full_name;  // "_UpliftRandomForestModel.fit()"
  std::array<const char*, N> params;
};

// Fills out[i] with a borrowed reference to the argument of params[i]. On a binding error
// raises the TypeError and returns false. args is a tuple, kwargs a dict or nullptr.
bool bind_arguments(std::string_view full_name, std::span<const char* const> params, PyObject* args,
                    PyObject* kwargs, std::span<PyObject*> out);

template <std::size_t N>
bool bind_arguments(const Signature<N>& signature, PyObject* args, PyObject* kwargs,
                    std::array<PyObject*, N>& out) {
  return bind_arguments(signature.full_name, signature.params, args, kwargs, out);
}

}  // namespace quillmarsh
