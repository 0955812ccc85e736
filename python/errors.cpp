#include "errors.h"

#include <algorithm>
#include <array>
#include <exception>
#include <optional>
#include <variant>

namespace py = pybind11;

namespace tallowmere_dat::python {
namespace {

constexpr std::size_t kKinds = std::variant_size_v<DatError::Kind>;

/// The names of `DatError::Kind`'s alternatives, in its order, and the Python class of each that
/// can occur (the others raise `DatError` itself).
struct KindInfo {
  const char* name;
  const char* python_class;
};
constexpr std::array<KindInfo, kKinds> kKindInfo = {{
    {"Io", "IoError"},
    {"BinRead", "BinReadError"},
    {"NotFound", "NotFoundError"},
    {"DuplicateId", nullptr},
    {"DuplicateNamespacedId", nullptr},
    {"InvalidMagic", nullptr},
    {"UnsupportedVersion", nullptr},
    {"InvalidNamespace", nullptr},
    {"Corruption", "CorruptionError"},
    {"DecompressionFailed", "DecompressionFailedError"},
    {"PathError", "PathError"},
    {"Other", nullptr},
}};

/// The index of alternative `K` in `Variant`.
template <typename K, typename Variant>
struct AlternativeIndex;
template <typename K, typename... Alternatives>
struct AlternativeIndex<K, std::variant<Alternatives...>> {
  static constexpr std::size_t value = [] {
    constexpr std::array<bool, sizeof...(Alternatives)> same = {std::is_same_v<K, Alternatives>...};
    return static_cast<std::size_t>(std::ranges::find(same, true) - same.begin());
  }();
};

template <typename K>
constexpr std::size_t kind_index() {
  return AlternativeIndex<K, DatError::Kind>::value;
}

/// The exception classes, made at import. Deliberately never released: they live as long as the
/// interpreter, and releasing them from a static destructor would run after it has gone.
struct ExceptionClasses {
  PyObject* dat_error = nullptr;
  PyObject* read_error = nullptr;
  std::array<PyObject*, kKinds> by_kind{};
  /// PathError's subclass for each OSError subclass that an errno selects, made when first met.
  PyObject* path_errors_by_os_class = nullptr;
};
ExceptionClasses classes;

PyObject* new_class(const char* name, const py::tuple& bases, const py::dict& attrs) {
  const std::string qualified = std::string("tallowmere_dat.") + name;
  PyObject* cls = PyErr_NewException(qualified.c_str(), bases.ptr(), attrs.ptr());
  if (cls == nullptr) throw py::error_already_set();
  return cls;
}

/// A class whose str() is its message, as for any exception, where KeyError would show the repr
/// and OSError "[Errno 2] ..." once its attributes are set.
py::dict plain_str(const char* doc) {
  py::dict attrs;
  attrs["__str__"] = py::module_::import("builtins").attr("BaseException").attr("__str__");
  attrs["__doc__"] = doc;
  return attrs;
}

/// The class a failure of `kind` raises, with its second base (besides DatError) and docstring.
struct ClassShape {
  const char* other_base;
  const char* doc;
};
ClassShape shape_of(std::size_t kind) {
  if (kind == kind_index<DatError::NotFound>()) {
    return {"KeyError", "The archive has no file with this identifier; also a KeyError."};
  }
  if (kind == kind_index<DatError::Io>()) {
    return {"OSError", "A read failed, or the file ended before the data did; also an OSError."};
  }
  if (kind == kind_index<DatError::PathError>()) {
    return {"OSError",
            "The archive's file can't be opened; also the OSError subclass its errno selects "
            "(FileNotFoundError, PermissionError, IsADirectoryError, ...)."};
  }
  if (kind == kind_index<DatError::BinRead>()) {
    return {nullptr, "A record (the header, a directory node, a sound table) can't be read."};
  }
  if (kind == kind_index<DatError::Corruption>()) {
    return {nullptr, "The archive contradicts itself in a way that would make reading it unsafe."};
  }
  return {nullptr, "A compressed file decompresses to fewer bytes than its prefix declares."};
}

/// PathError's subclass that is also the OSError subclass `errno` selects (FileNotFoundError for
/// ENOENT), or PathError itself when it selects none.
PyObject* path_error_class(const py::object& error_number) {
  PyObject* path_error = classes.by_kind[kind_index<DatError::PathError>()];
  if (error_number.is_none()) return path_error;
  const py::object builtins = py::module_::import("builtins");
  const py::object os_class = builtins.attr("type")(builtins.attr("OSError")(error_number, ""));
  if (os_class.is(builtins.attr("OSError"))) return path_error;
  const auto cache = py::reinterpret_borrow<py::dict>(classes.path_errors_by_os_class);
  if (!cache.contains(os_class)) {
    cache[os_class] = py::reinterpret_steal<py::object>(new_class(
        "PathError", py::make_tuple(py::handle(path_error), os_class), plain_str(nullptr)));
  }
  return cache[os_class].ptr();
}

/// A path as Python shows file names: undecodable bytes kept as surrogates.
py::object filename_of(const std::filesystem::path& path) {
  const std::string& native = path.native();
  return py::reinterpret_steal<py::object>(
      PyUnicode_DecodeFSDefaultAndSize(native.data(), static_cast<Py_ssize_t>(native.size())));
}

/// `cls(message)` with the attributes every failure of this module carries.
py::object make_exception(PyObject* cls, const std::string& message, const std::string& debug,
                          const char* kind) {
  py::object instance = py::reinterpret_borrow<py::object>(cls)(message);
  instance.attr("debug") = debug;
  instance.attr("kind") = kind;
  return instance;
}

void raise(const py::object& instance) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance.ptr());
}

}  // namespace

py::object dat_exception(const DatError& error) {
  const std::size_t kind = error.kind().index();
  const IoError* io = nullptr;
  if (const auto* failure = error.get_if<DatError::Io>()) io = &failure->error;
  const auto* path = error.get_if<DatError::PathError>();
  if (path != nullptr) io = &path->source;
  const std::optional<int> code = io != nullptr ? io->os_code() : std::nullopt;
  const py::object error_number = code ? py::object(py::int_(*code)) : py::object(py::none());

  PyObject* cls = path != nullptr ? path_error_class(error_number) : classes.by_kind[kind];
  py::object instance = make_exception(cls, error.message(), error.debug(), kKindInfo[kind].name);
  instance.attr("errno") = error_number;
  if (io != nullptr) instance.attr("strerror") = io->message();
  if (path != nullptr) instance.attr("filename") = filename_of(path->path);
  return instance;
}

namespace {

void translate(std::exception_ptr pending) {
  try {
    if (pending) std::rethrow_exception(pending);
  } catch (const DatFailure& failure) {
    raise(dat_exception(failure.error));
  } catch (const ReadFailure& failure) {
    raise(make_exception(classes.read_error, failure.error.message(), failure.error.display(),
                         "ReadError"));
  } catch (const TableFailure& failure) {
    const std::size_t kind = kind_index<DatError::BinRead>();
    py::object instance = make_exception(classes.by_kind[kind], failure.message,
                                         failure.error.debug(), kKindInfo[kind].name);
    instance.attr("errno") = py::none();
    raise(instance);
  }
}

}  // namespace

void add_exceptions(py::module_& m) {
  const py::object builtins = py::module_::import("builtins");
  const auto add = [&m](const char* name, PyObject* cls) {
    m.add_object(name, py::reinterpret_borrow<py::object>(cls));
    return cls;
  };
  py::dict dat_attrs;
  dat_attrs["__doc__"] = "A failure of the archive library. str() is one line for people.";
  classes.dat_error =
      add("DatError", new_class("DatError", py::make_tuple(builtins.attr("Exception")), dat_attrs));
  const auto dat_error = py::reinterpret_borrow<py::object>(classes.dat_error);
  py::dict read_attrs;
  read_attrs["__doc__"] = "Bytes that don't decode as the record asked for (SoundTable.parse).";
  classes.read_error =
      add("ReadError", new_class("ReadError", py::make_tuple(dat_error), read_attrs));
  for (std::size_t kind = 0; kind < kKinds; ++kind) {
    const char* name = kKindInfo[kind].python_class;
    if (name == nullptr) {
      classes.by_kind[kind] = classes.dat_error;
      continue;
    }
    const ClassShape shape = shape_of(kind);
    const py::tuple bases = shape.other_base != nullptr
                                ? py::make_tuple(dat_error, builtins.attr(shape.other_base))
                                : py::make_tuple(dat_error);
    classes.by_kind[kind] = add(name, new_class(name, bases, plain_str(shape.doc)));
  }
  classes.path_errors_by_os_class = py::dict().release().ptr();
  py::register_exception_translator(&translate);
}

py::error_already_set not_found(const py::int_& key) {
  const bool negative = key < py::int_(0);
  const std::string text =
      py::str("{}0x{:X}").format(negative ? "-" : "", negative ? -key : py::object(key));
  const std::size_t kind = kind_index<DatError::NotFound>();
  const py::object instance = make_exception(
      classes.by_kind[kind], "file " + text + " not found",
      "NotFound(" + std::string(py::str(py::handle(key))) + ")", kKindInfo[kind].name);
  instance.attr("errno") = py::none();
  raise(instance);
  return {};
}

}  // namespace tallowmere_dat::python
