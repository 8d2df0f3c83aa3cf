// Building result lists.
#include "binding/results.hpp"

namespace quillmarsh {

PyObject* float_list(const std::vector<double>& values) {
  return build_list(values.size(), [&](std::size_t i) { return PyFloat_FromDouble(values[i]); });
}

PyObject* text_list(const std::vector<std::string>& texts) {
  return build_list(texts.size(), [&](std::size_t i) {
    return PyUnicode_DecodeUTF8(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()),
                                "strict");
  });
}

}  // namespace quillmarsh
