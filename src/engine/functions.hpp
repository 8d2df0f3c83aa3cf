// The module-level functions of quillmarsh_kit._engine, in the order of its method table.
#pragma once

#include "binding/python.hpp"

namespace quillmarsh {

PyObject* engine_fit(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* engine_load(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* engine_from_bytes(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* engine_merge(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* engine_exact_rows(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* engine_exact_words(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* engine_exact_group_counts(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* engine_exact_node(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* engine_exact_route_level(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* engine_exact_positions_level(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* engine_exact_samples_level(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* engine_exact_counts_level(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* engine_exact_candidates_level(PyObject* module, PyObject* args,
                                        PyObject* kwargs) noexcept;
PyObject* engine_exact_choose_level(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace quillmarsh
