// Argument binding of the engine's functions from one table per function: each parameter's
// name, how it may be given, and how it is stored. Adding an option is one table row; the
// interpreter's own parser matches positions and keywords (and words its errors), the table
// checks required keywords and converts in table order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>

#include "binding/boundary.hpp"
#include "binding/py_error.hpp"
#include "binding/python.hpp"
#include "common/panic.hpp"

namespace quillmarsh {

// Tables list their parameters in this order of kinds. An absent optional argument leaves
// the settings' default.
enum class Given : std::uint8_t {
  kPositional,          // required; by position or keyword
  kOptionalPositional,  // by position or keyword
  kRequiredKeyword,     // required; keyword only
  kOptionalKeyword,     // keyword only
};

template <class Settings>
struct Parameter {
  const char* name;
  Given given;
  // Converts and stores the argument; false with a Python error set. A TypeError,
  // ValueError or OverflowError is then prefixed with "argument '<name>': ".
  bool (*store)(PyObject* value, Settings& settings);
};

// Stores convert(value) (an optional, see binding/convert.hpp) into settings.*field.
template <auto field, auto convert, class Settings>
bool store_converted(PyObject* value, Settings& settings) {
  auto converted = convert(value);
  if (!converted) return false;
  settings.*field = std::move(*converted);
  return true;
}

// A signed 32-bit integer of at least 1 (tree and thread counts); ValueError below.
std::optional<std::int32_t> at_least_one(PyObject* object);

namespace detail {
// "fit() missing 2 required keyword-only arguments: 'a', 'b'"; false with TypeError set when
// any is missing.
bool check_required(const char* function, std::span<const char* const> names,
                    std::span<const Given> given, std::span<PyObject* const> values);
// Names the argument in a pending TypeError, ValueError or OverflowError.
void name_argument(const char* name);
}  // namespace detail

// Runs fn, a check of the core on the caller's data whose failures (panics) are worded for
// the caller: they become ValueError. False with it set.
template <class Fn>
bool panics_as_value_error(Fn&& fn) {
  try {
    fn();
    return true;
  } catch (const Panic& p) {
    return raise_value_error(p.message());
  }
}

// Binds args/kwargs of `function` to the table, then stores each given argument in table
// order. False with a Python error set at the first failure.
template <class Settings, std::size_t N>
bool parse_arguments(const char* function, const std::array<Parameter<Settings>, N>& table,
                     PyObject* args, PyObject* kwargs, Settings& settings) {
  std::array<const char*, N + 1> names{};
  std::array<Given, N> given{};
  std::string format;
  for (std::size_t i = 0; i < N; ++i) {
    names[i] = table[i].name;
    given[i] = table[i].given;
    const Given before = i > 0 ? table[i - 1].given : Given::kPositional;
    // The interpreter's parser has no required keyword-only arguments: all of them follow
    // "|", and check_required looks for the missing ones.
    if (given[i] != Given::kPositional && before == Given::kPositional) format += '|';
    if (given[i] >= Given::kRequiredKeyword && before < Given::kRequiredKeyword) format += '$';
    format += 'O';
  }
  format += ':';
  format += function;

  std::array<PyObject*, N> values{};
  std::array<PyObject**, N> slots{};
  for (std::size_t i = 0; i < N; ++i) slots[i] = &values[i];
  const int bound = std::apply(
      [&](auto*... slot) {
        // The parser takes the keyword list as char** before 3.13; it never writes to it.
        return PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(),
                                           const_cast<char**>(names.data()), slot...);
      },
      slots);
  if (bound == 0) return false;
  if (!detail::check_required(function, std::span(names).first(N), given, values)) return false;
  for (std::size_t i = 0; i < N; ++i) {
    if (values[i] == nullptr) continue;
    if (!table[i].store(values[i], settings)) {
      detail::name_argument(table[i].name);
      return false;
    }
  }
  return true;
}

// An entry point of the engine: binds the arguments to the table, then runs
// body(settings), which returns a new reference or nullptr with a Python error set; internal
// failures become PanicException, exhausted memory MemoryError.
template <class Settings, std::size_t N, class Body>
PyObject* call_with_arguments(const char* function, const std::array<Parameter<Settings>, N>& table,
                              PyObject* args, PyObject* kwargs, Body&& body) noexcept {
  return guarded<OutOfMemory::kMemoryError>([&]() -> PyObject* {
    Settings settings;
    if (!parse_arguments(function, table, args, kwargs, settings)) return nullptr;
    return body(settings);
  });
}

}  // namespace quillmarsh
