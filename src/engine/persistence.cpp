// The model file of a Forest, in a file or in memory, with the toolkit's metadata: save and
// to_bytes (Forest methods), load and from_bytes (module functions). The document is the
// native class's, so a saved forest loads into _UpliftRandomForestModel too. Serialising,
// parsing and file work run with the interpreter lock released.
#include <array>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "engine/arguments.hpp"
#include "engine/forest_methods.hpp"
#include "engine/forest_object.hpp"
#include "engine/functions.hpp"
#include "engine/waiting.hpp"
#include "model_file/json_writer.hpp"
#include "model_file/model_file.hpp"

namespace quillmarsh {

namespace {

struct SaveArguments {
  FsPath path;
  std::optional<std::string> metadata;
};

// None, or JSON text.
std::optional<std::optional<std::string>> metadata_text(PyObject* value) {
  if (value == Py_None) return std::optional<std::string>();
  std::optional<std::string> text = to_text(value);
  if (!text) return std::nullopt;
  return text;
}

constexpr std::array<Parameter<SaveArguments>, 2> kSaveParameters{{
    {"path", Given::kPositional, store_converted<&SaveArguments::path, to_fs_path>},
    {"metadata", Given::kOptionalPositional,
     store_converted<&SaveArguments::metadata, metadata_text>},
}};
constexpr std::array<Parameter<SaveArguments>, 1> kToBytesParameters{{
    {"metadata", Given::kOptionalPositional,
     store_converted<&SaveArguments::metadata, metadata_text>},
}};

// Metadata that is not one JSON value is the caller's error (ValueError): the writer checks
// it, and a forest alone can always be written.
bool check_metadata(const std::optional<std::string>& metadata) {
  if (!metadata) return true;
  if (panics_as_value_error([&] { write_model_json(UpliftRandomForestModel{}, metadata); })) {
    return true;
  }
  prefix_pending_error("metadata: ");
  return false;
}

// Raises the OSError of a file operation on `path` that failed: the subclass the interpreter
// picks for the error number (FileNotFoundError, IsADirectoryError, PermissionError, ...) with
// errno, strerror and the file name as given; OSError with the message for a failure without
// a number (a write that wrote nothing). Returns nullptr.
PyObject* raise_file_error(const FileError& error, const FsPath& path) {
  if (error.code == 0) {
    PyErr_Format(PyExc_OSError, "%s: %R", error.message.c_str(), path.object.get());
    return nullptr;
  }
  errno = error.code;
  return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.object.get());
}

// (Forest, metadata text or None)
PyObject* forest_and_metadata(ModelDocument document) {
  if (document.forest.trees.empty()) {
    PyErr_SetString(PyExc_ValueError, "the model holds no trees: there is no forest to load");
    return nullptr;
  }
  PyRef forest = PyRef::steal(new_forest_object(std::move(document.forest)));
  if (!forest) return nullptr;
  PyRef metadata = document.kit
                       ? PyRef::steal(PyUnicode_FromStringAndSize(
                             document.kit->data(), static_cast<Py_ssize_t>(document.kit->size())))
                       : PyRef::borrow(Py_None);
  if (!metadata) return nullptr;
  return PyTuple_Pack(2, forest.get(), metadata.get());
}

struct LoadArguments {
  FsPath path;
  PyObject* data = nullptr;
};

bool store_bytes(PyObject* value, LoadArguments& arguments) {
  if (!PyBytes_Check(value)) {
    PyErr_Format(PyExc_TypeError, "must be bytes, not '%s'", type_name(value).c_str());
    return false;
  }
  arguments.data = value;
  return true;
}

constexpr std::array<Parameter<LoadArguments>, 1> kLoadParameters{{
    {"path", Given::kPositional, store_converted<&LoadArguments::path, to_fs_path>},
}};
constexpr std::array<Parameter<LoadArguments>, 1> kFromBytesParameters{{
    {"data", Given::kPositional, store_bytes},
}};

}  // namespace

PyObject* forest_save(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments(
      "save", kSaveParameters, args, kwargs, [&](const SaveArguments& a) -> PyObject* {
        const EngineForest* forest = as_forest(self, "self");
        if (forest == nullptr || !check_metadata(a.metadata)) return nullptr;
        std::optional<FileError> failed;
        {
          const LockReleased released;
          failed = write_model_file(forest->record, a.metadata, a.path.bytes);
        }
        if (failed) return raise_file_error(*failed, a.path);
        Py_RETURN_NONE;
      });
}

PyObject* forest_to_bytes(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments(
      "to_bytes", kToBytesParameters, args, kwargs, [&](const SaveArguments& a) -> PyObject* {
        const EngineForest* forest = as_forest(self, "self");
        if (forest == nullptr || !check_metadata(a.metadata)) return nullptr;
        std::string text;
        {
          const LockReleased released;
          text = write_model_json(forest->record, a.metadata);
        }
        return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
      });
}

PyObject* engine_load(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments("load", kLoadParameters, args, kwargs, [](const LoadArguments& a) {
    std::variant<std::string, FileError> file;
    {
      const LockReleased released;
      file = read_model_file(a.path.bytes);
    }
    if (const auto* failed = std::get_if<FileError>(&file))
      return raise_file_error(*failed, a.path);
    ModelDocument loaded;
    {
      const LockReleased released;
      loaded = parse_model_document(std::get<std::string>(file));
    }
    return forest_and_metadata(std::move(loaded));
  });
}

PyObject* engine_from_bytes(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_with_arguments(
      "from_bytes", kFromBytesParameters, args, kwargs, [](const LoadArguments& a) -> PyObject* {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(a.data, &data, &size) != 0) return nullptr;
        ModelDocument parsed;
        {
          // bytes are immutable, and the argument holds them for the call
          const LockReleased released;
          parsed = parse_model_document(std::string_view(data, static_cast<std::size_t>(size)));
        }
        return forest_and_metadata(std::move(parsed));
      });
}

}  // namespace quillmarsh
