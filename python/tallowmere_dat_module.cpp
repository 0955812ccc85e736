// The tallowmere_dat Python module: the C++ library's archive, retrieval and sound-table decoder,
// with failures as a small exception hierarchy. Library calls run with the GIL released; Python
// objects are made only once it is held again.

#include <pybind11/operators.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <array>
#include <bit>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "tallowmere_dat/tallowmere_dat.h"

namespace py = pybind11;
namespace td = tallowmere_dat;
namespace ft = tallowmere_dat::file_type;

namespace {

// ---- Errors -------------------------------------------------------------------------------------

/// Library failures thrown through the binding; `translate` turns them into Python exceptions.
struct DatFailure {
  td::DatError error;
};
struct ReadFailure {
  td::ReadError error;
};

constexpr std::size_t kKinds = std::variant_size_v<td::DatError::Kind>;

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

/// The exception classes, made at import. Deliberately never released: they live as long as the
/// interpreter, and releasing them from a static destructor would run after it has gone.
struct ExceptionClasses {
  PyObject* dat_error = nullptr;
  PyObject* read_error = nullptr;
  std::array<PyObject*, kKinds> by_kind{};
};
ExceptionClasses exception_classes;

PyObject* add_exception(py::module_& m, const char* name, const py::tuple& bases,
                        const py::dict& attrs) {
  const std::string qualified = std::string("tallowmere_dat.") + name;
  PyObject* cls = PyErr_NewException(qualified.c_str(), bases.ptr(), attrs.ptr());
  if (cls == nullptr) throw py::error_already_set();
  m.add_object(name, py::reinterpret_borrow<py::object>(cls));
  return cls;
}

void add_exceptions(py::module_& m) {
  const py::object builtins = py::module_::import("builtins");
  // KeyError's str() is the repr of its argument; the message should read as it does elsewhere.
  py::dict plain_str;
  plain_str["__str__"] = builtins.attr("BaseException").attr("__str__");
  exception_classes.dat_error =
      add_exception(m, "DatError", py::make_tuple(builtins.attr("Exception")), py::dict());
  const py::object dat_error = py::reinterpret_borrow<py::object>(exception_classes.dat_error);
  exception_classes.read_error = add_exception(m, "ReadError", py::make_tuple(dat_error), {});
  for (std::size_t kind = 0; kind < kKinds; ++kind) {
    const char* name = kKindInfo[kind].python_class;
    const bool not_found = kind == td::DatError::Kind(td::DatError::NotFound{}).index();
    exception_classes.by_kind[kind] =
        name == nullptr ? exception_classes.dat_error
        : not_found ? add_exception(m, name, py::make_tuple(dat_error, builtins.attr("KeyError")),
                                    plain_str)
                    : add_exception(m, name, py::make_tuple(dat_error), {});
  }
}

/// The OS error number of an I/O failure, or None (also for failures that aren't I/O).
py::object os_error_number(const td::DatError& error) {
  std::optional<int> code;
  if (const auto* io = error.get_if<td::DatError::Io>()) code = io->error.os_code();
  if (const auto* path = error.get_if<td::DatError::PathError>()) code = path->source.os_code();
  return code ? py::object(py::int_(*code)) : py::object(py::none());
}

/// `cls(message)` with the attributes every failure of this module carries.
py::object make_exception(PyObject* cls, const std::string& message, const std::string& debug,
                          const char* kind) {
  py::object instance = py::reinterpret_borrow<py::object>(cls)(message);
  instance.attr("debug") = debug;
  instance.attr("kind") = kind;
  return instance;
}

void translate(std::exception_ptr pending) {
  try {
    if (pending) std::rethrow_exception(pending);
  } catch (const DatFailure& failure) {
    const std::size_t kind = failure.error.kind().index();
    PyObject* cls = exception_classes.by_kind[kind];
    py::object instance =
        make_exception(cls, failure.error.message(), failure.error.debug(), kKindInfo[kind].name);
    instance.attr("errno") = os_error_number(failure.error);
    PyErr_SetObject(cls, instance.ptr());
  } catch (const ReadFailure& failure) {
    PyObject* cls = exception_classes.read_error;
    py::object instance =
        make_exception(cls, failure.error.message(), failure.error.display(), "ReadError");
    PyErr_SetObject(cls, instance.ptr());
  }
}

template <typename T>
T value_or_throw(std::expected<T, td::DatError> result) {
  if (!result) throw DatFailure{std::move(result.error())};
  return std::move(*result);
}

template <typename T>
T value_or_throw(std::expected<T, td::ReadError> result) {
  if (!result) throw ReadFailure{std::move(result.error())};
  return std::move(*result);
}

// ---- Conversions --------------------------------------------------------------------------------

/// Runs `work` with the GIL released; `work` must not touch Python objects. Exceptions it throws
/// arrive with the GIL held again.
template <typename F>
auto without_gil(F&& work) {
  const py::gil_scoped_release released;
  return std::forward<F>(work)();
}

std::span<const std::uint8_t> bytes_of(const py::bytes& data) {
  // A bytes object never changes, so its buffer can be read while the GIL is released.
  return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.ptr())),
          static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()))};
}

py::bytes to_bytes(std::span<const std::uint8_t> data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

/// `value` as a double with the same value, and for a NaN the same sign, quiet bit and payload
/// (in the top of the mantissa). A plain conversion would quiet a signalling NaN.
double exact_double(float value) {
  constexpr std::uint32_t kExponent = 0x7F800000U;
  constexpr std::uint32_t kMantissa = 0x007FFFFFU;
  const auto bits = std::bit_cast<std::uint32_t>(value);
  if ((bits & kExponent) != kExponent || (bits & kMantissa) == 0) return value;
  const std::uint64_t sign = static_cast<std::uint64_t>(bits >> 31U) << 63U;
  const std::uint64_t payload = static_cast<std::uint64_t>(bits & kMantissa) << 29U;
  return std::bit_cast<double>(sign | 0x7FF0000000000000ULL | payload);
}

/// A slot as Python sees it: its entries as a list.
struct SoundData {
  py::list entries;
  std::int32_t unknown = 0;
};

/// A decoded table as Python sees it. Its maps become dicts (in ascending key order) when first
/// asked for, and stay those dicts: decoding a table for one look costs no Python objects.
class SoundTable {
 public:
  explicit SoundTable(ft::SoundTable table) : table_(std::move(table)) {}

  std::uint32_t id() const { return table_.id; }
  std::int32_t hash_key() const { return table_.hash_key; }

  const py::dict& hashes() {
    if (!hashes_) {
      hashes_.emplace();
      for (const auto& [key, data] : table_.hashes)
        (*hashes_)[py::int_(key)] = py::cast(data);
    }
    return *hashes_;
  }

  const py::dict& sounds() {
    if (!sounds_) {
      sounds_.emplace();
      for (const auto& [key, data] : table_.sounds) {
        py::list entries(data.entries.size());
        for (std::size_t i = 0; i < data.entries.size(); ++i)
          entries[i] = py::cast(data.entries[i]);
        (*sounds_)[py::int_(key)] = py::cast(SoundData{std::move(entries), data.unknown});
      }
    }
    return *sounds_;
  }

 private:
  ft::SoundTable table_;
  std::optional<py::dict> hashes_;
  std::optional<py::dict> sounds_;
};

ft::SoundTable decode(std::span<const std::uint8_t> data) {
  td::Cursor cursor(data);
  return value_or_throw(ft::SoundTable::read(cursor));
}

// ---- The archive --------------------------------------------------------------------------------

/// An open archive. Every call takes its own reference to the database, so `close()` on one
/// thread while another reads only lets the database go once that read is done. The reference
/// itself is only touched with the GIL held.
class Archive {
 public:
  explicit Archive(std::shared_ptr<const td::DatDatabase> db) : db_(std::move(db)) {}

  std::shared_ptr<const td::DatDatabase> database() const {
    if (!db_) throw py::value_error("I/O operation on closed archive");
    return db_;
  }
  void close() { db_.reset(); }

  td::DatFileEntry entry(std::uint32_t id) const {
    const td::DatFileEntry* found = database()->files().find(id);
    if (found == nullptr) throw DatFailure{td::DatError::NotFound{id}};
    return *found;
  }

  py::bytes read(std::uint32_t id) const {
    const auto db = database();
    return to_bytes(without_gil([&] { return value_or_throw(db->get_file_verified(id)); }));
  }

  py::bytes read_raw(std::uint32_t id) const {
    const td::DatFileEntry found = entry(id);
    const auto db = database();
    return to_bytes(
        without_gil([&] { return value_or_throw(db->read_file_data(found.offset, found.size)); }));
  }

  SoundTable sound_table(std::uint32_t id) const {
    const auto db = database();
    return SoundTable(
        without_gil([&] { return decode(value_or_throw(db->get_file_verified(id))); }));
  }

 private:
  std::shared_ptr<const td::DatDatabase> db_;
};

Archive open_archive(const std::filesystem::path& path) {
  auto db = without_gil([&] { return value_or_throw(td::DatDatabase::open(path)); });
  return Archive(std::make_shared<const td::DatDatabase>(std::move(db)));
}

/// Walks a run of directory entries, yielding identifiers or entries; holds the database so the
/// run stays valid after the archive is closed.
class EntryIterator {
 public:
  EntryIterator(std::shared_ptr<const td::DatDatabase> db,
                std::span<const td::DatFileEntry> entries, bool ids)
      : db_(std::move(db)), entries_(entries), ids_(ids) {}

  py::object next() {
    if (next_ == entries_.size()) throw py::stop_iteration();
    const td::DatFileEntry& entry = entries_[next_++];
    return ids_ ? py::object(py::int_(entry.id)) : py::cast(entry);
  }

 private:
  std::shared_ptr<const td::DatDatabase> db_;
  std::span<const td::DatFileEntry> entries_;
  bool ids_;
  std::size_t next_ = 0;
};

EntryIterator iterate(const Archive& archive, std::optional<std::uint8_t> type, bool ids) {
  auto db = archive.database();
  const auto entries = type ? db->files().of_type(*type) : db->files().entries();
  return {std::move(db), entries, ids};
}

std::string repr(const td::DatFileEntry& entry) {
  return py::str("Entry(id=0x{:08X}, size={}, compressed={}, offset=0x{:08X})")
      .format(entry.id, entry.size, entry.is_compressed(), entry.offset);
}

// ---- Bindings -----------------------------------------------------------------------------------

/// Binds a read-only float field `member` of `T`, bits kept (see `exact_double`).
template <typename T, typename C>
void float_field(C& cls, const char* name, float T::*member) {
  cls.def_property_readonly(name, [member](const T& self) { return exact_double(self.*member); });
}

void bind_records(py::module_& m) {
  py::class_<td::DatHeader> header(m, "Header", "The archive header's fields.");
  header.def_readonly("magic", &td::DatHeader::magic)
      .def_readonly("block_size", &td::DatHeader::block_size)
      .def_readonly("file_size", &td::DatHeader::file_size)
      .def_readonly("dataset", &td::DatHeader::dataset)
      .def_readonly("subset", &td::DatHeader::subset)
      .def_readonly("free_head", &td::DatHeader::free_head)
      .def_readonly("free_tail", &td::DatHeader::free_tail)
      .def_readonly("free_count", &td::DatHeader::free_count)
      .def_readonly("root_offset", &td::DatHeader::root_offset)
      .def_readonly("new_lru", &td::DatHeader::new_lru)
      .def_readonly("old_lru", &td::DatHeader::old_lru)
      .def_readonly("use_lru", &td::DatHeader::use_lru)
      .def_readonly("master_map_id", &td::DatHeader::master_map_id)
      .def_readonly("engine_version", &td::DatHeader::engine_version)
      .def_readonly("game_version", &td::DatHeader::game_version)
      .def_property_readonly(
          "version_string", [](const td::DatHeader& self) { return to_bytes(self.version_string); })
      .def_readonly("version_minor", &td::DatHeader::version_minor);

  py::class_<td::DatFileEntry>(m, "Entry", "One directory entry.")
      .def_readonly("id", &td::DatFileEntry::id)
      .def_readonly("bit_flags", &td::DatFileEntry::bit_flags)
      .def_readonly("offset", &td::DatFileEntry::offset)
      .def_readonly("size", &td::DatFileEntry::size)
      .def_readonly("timestamp", &td::DatFileEntry::timestamp)
      .def_readonly("version", &td::DatFileEntry::version)
      .def_property_readonly("compressed", &td::DatFileEntry::is_compressed)
      .def_property_readonly("type",
                             [](const td::DatFileEntry& self) { return td::type_of(self.id); })
      .def(py::self == py::self)  // NOLINT(misc-redundant-expression)
      .def("__repr__", &repr);

  py::class_<ft::SoundHashData> hash(m, "SoundHashData", "One hash record's values.");
  float_field(hash, "priority", &ft::SoundHashData::priority);
  float_field(hash, "probability", &ft::SoundHashData::probability);
  float_field(hash, "volume", &ft::SoundHashData::volume);

  py::class_<ft::SoundEntry> entry(m, "SoundEntry", "One wave that can play in a slot.");
  entry.def_readonly("wave_did", &ft::SoundEntry::wave_did);
  float_field(entry, "priority", &ft::SoundEntry::priority);
  float_field(entry, "probability", &ft::SoundEntry::probability);
  float_field(entry, "volume", &ft::SoundEntry::volume);

  py::class_<SoundData>(m, "SoundData", "One sound slot.")
      .def_readonly("entries", &SoundData::entries)
      .def_readonly("unknown", &SoundData::unknown);

  py::class_<SoundTable>(m, "SoundTable", "A decoded sound table.")
      .def_property_readonly("id", &SoundTable::id)
      .def_property_readonly("hash_key", &SoundTable::hash_key)
      .def_property_readonly("hashes", &SoundTable::hashes)
      .def_property_readonly("sounds", &SoundTable::sounds)
      .def_static(
          "parse",
          [](const py::bytes& data) {
            const auto bytes = bytes_of(data);
            return SoundTable(without_gil([&] { return decode(bytes); }));
          },
          py::arg("data"));
}

void bind_archive(py::module_& m) {
  py::class_<EntryIterator>(m, "_EntryIterator")
      .def("__iter__", [](EntryIterator& self) -> EntryIterator& { return self; })
      .def("__next__", &EntryIterator::next);

  py::class_<Archive>(m, "Archive", "An open archive; see tallowmere_dat.open.")
      .def_property_readonly("header",
                             [](const Archive& self) { return self.database()->header(); })
      .def("__len__", [](const Archive& self) { return self.database()->files().size(); })
      .def("__contains__", [](const Archive& self,
                              std::uint32_t id) { return self.database()->files().contains(id); })
      .def("__getitem__", &Archive::entry)
      .def("__iter__", [](const Archive& self) { return iterate(self, std::nullopt, true); })
      .def(
          "entries",
          [](const Archive& self, std::optional<std::uint8_t> type) {
            return iterate(self, type, false);
          },
          py::arg("type") = py::none())
      .def("read", &Archive::read, py::arg("id"))
      .def("read_raw", &Archive::read_raw, py::arg("id"))
      .def("sound_table", &Archive::sound_table, py::arg("id"))
      .def("close", &Archive::close)
      .def("__enter__", [](Archive& self) -> Archive& { return self; })
      .def("__exit__", [](Archive& self, const py::args&) {
        self.close();
        return false;
      });

  m.def("open", &open_archive, py::arg("path"), "Opens the archive at `path`.");
  m.def(
      "decompress_lrs",
      [](const py::bytes& data) {
        const auto input = bytes_of(data);
        return to_bytes(without_gil([&] { return td::decompress_lrs(input); }));
      },
      py::arg("data"), "Decompresses an LRS stream; never fails.");
}

}  // namespace

PYBIND11_MODULE(tallowmere_dat, m) {
  m.doc() = "Reads Tallowmere data archives.";
  add_exceptions(m);
  py::register_exception_translator(&translate);
  bind_records(m);
  bind_archive(m);
}
