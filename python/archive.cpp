#include "archive.h"

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "buffer.h"
#include "errors.h"
#include "fast_method.h"
#include "huge_pages.h"
#include "json.h"
#include "json_schema.h"

namespace py = pybind11;

namespace tallowmere_dat::python {
namespace {

/// What a mapping key names: an identifier, an int that can be none, or something else.
struct Key {
  std::optional<std::uint32_t> id;
  bool is_int = false;
};

Key key_of_int(PyObject* number) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
  if (overflow == 0 && value >= 0 && value <= 0xFFFFFFFFLL) {
    return {static_cast<std::uint32_t>(value), true};
  }
  return {std::nullopt, true};
}

Key key_of(const py::handle& key) {
  if (PyLong_CheckExact(key.ptr())) return key_of_int(key.ptr());  // the common case first
  if (py::isinstance<DatFileEntry>(key)) return {key.cast<const DatFileEntry&>().id, true};
  if (!PyIndex_Check(key.ptr())) return {};
  const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(key.ptr()));
  if (!number) throw py::error_already_set();
  return key_of_int(number.ptr());
}

/// This thread's buffer for sound tables' bytes, reused from table to table.
std::vector<std::uint8_t>& table_buffer() {
  thread_local std::vector<std::uint8_t> buffer;
  return buffer;
}

/// A sound table that doesn't decode, as BinReadError: its identifier, and where decoding
/// stopped. Made without the GIL, so without Python objects.
TableFailure table_failure(std::uint32_t id, ReadError error, std::size_t at, std::size_t size) {
  std::array<char, 96> where{};
  (void)std::snprintf(where.data(), where.size(), "sound table 0x%08X is damaged: ", id);
  std::string message = where.data() + error.message() + ", reading the number at byte " +
                        std::to_string(at) + " of " + std::to_string(size);
  return {DatError(std::move(error)), std::move(message)};
}

}  // namespace

std::shared_ptr<const DatDatabase> Archive::database() const {
  if (!db_) throw py::value_error("I/O operation on closed archive");
  return db_;
}

std::optional<std::filesystem::path> Archive::path() const {
  return memory_ ? std::nullopt : std::optional(path_);
}

std::string Archive::name() const {
  return memory_ ? "<memory>" : path_.string();
}

CheckReport Archive::check() const {
  const auto db = database();  // keeps the bytes of an archive in memory alive
  return without_gil(
      [&] { return value_or_throw(memory_ ? check_archive(*memory_) : check_archive(path_)); });
}

Explanation Archive::explain(std::optional<std::uint32_t> id) const {
  const auto db = database();
  return without_gil([&] {
    return value_or_throw(memory_ ? explain_archive(*memory_, id) : explain_archive(path_, id));
  });
}

std::optional<DatFileEntry> Archive::find(const py::handle& key) const {
  const Key named = key_of(key);
  const auto db = database();
  const DatFileEntry* found = named.id ? db->files().find(*named.id) : nullptr;
  return found != nullptr ? std::optional(*found) : std::nullopt;
}

DatFileEntry Archive::entry(const py::handle& key) const {
  const Key named = key_of(key);
  if (!named.is_int) {
    throw py::type_error("an identifier is an int or an Entry, not " +
                         std::string(py::str(py::type::handle_of(key).attr("__name__"))));
  }
  if (!named.id) throw not_found(py::reinterpret_steal<py::int_>(PyNumber_Index(key.ptr())));
  const DatFileEntry* found = database()->files().find(*named.id);
  if (found == nullptr) throw DatFailure{DatError::NotFound{*named.id}};
  return *found;
}

namespace {

/// A new bytes object of `size` bytes, filled by `fill` (given its storage) with the GIL
/// released. The object is ours alone until it is returned, so its storage may be filled.
template <typename Fill>
py::bytes filled_bytes(std::uint32_t size, Fill fill) {
  auto bytes = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, size));
  if (!bytes) throw py::error_already_set();
  const std::span storage(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.ptr())), size);
  detail::advise_huge_pages(storage.data(), storage.size());
  without_gil([&] { value_or_throw(fill(storage)); });
  return bytes;
}

/// The size a compressed file's stored bytes declare in their 4-byte little-endian prefix; 0
/// when they are too short to hold it.
std::uint32_t declared_size(std::span<const std::uint8_t> stored) {
  std::uint32_t size = 0;
  for (std::size_t i = 0; stored.size() >= 4 && i < 4; ++i)
    size |= std::uint32_t{stored[i]} << (8 * i);
  return size;
}

/// A bytes object being filled as a file's chunks arrive, grown as they need. Its storage may be
/// written without the GIL (the object is ours alone until returned); it is resized, and dropped,
/// with the GIL held.
class GrowingBytes {
 public:
  /// Room for `capacity` bytes (at least one: an empty bytes object is shared, so can't grow),
  /// growing to `most` at most.
  GrowingBytes(std::size_t capacity, std::size_t most)
      : bytes_(PyBytes_FromStringAndSize(
            nullptr, static_cast<Py_ssize_t>(std::max<std::size_t>(capacity, 1)))),
        most_(most) {
    if (bytes_ == nullptr) throw py::error_already_set();
    detail::advise_huge_pages(PyBytes_AS_STRING(bytes_),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(bytes_)));
  }
  GrowingBytes(const GrowingBytes&) = delete;
  GrowingBytes& operator=(const GrowingBytes&) = delete;
  ~GrowingBytes() { Py_XDECREF(bytes_); }

  /// Room for `count` more bytes, the storage doubling as needed up to the most the result can
  /// be; false with a Python error set when it can't grow. The GIL must be held.
  bool reserve(std::size_t count) {
    const auto capacity = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes_));
    if (filled_ + count <= capacity) return true;
    return resize(std::max(filled_ + count, std::min(2 * capacity, most_)));
  }

  /// Appends `chunk`, for which room is reserved; needs no GIL.
  void append(std::span<const std::uint8_t> chunk) {
    std::memcpy(PyBytes_AS_STRING(bytes_) + filled_, chunk.data(), chunk.size());
    filled_ += chunk.size();
  }

  /// The bytes appended, as a bytes object; with the GIL held.
  py::bytes release() {
    if (!resize(filled_)) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(std::exchange(bytes_, nullptr));
  }

 private:
  bool resize(std::size_t size) {
    return _PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(size)) == 0;
  }

  PyObject* bytes_;
  std::size_t most_ = 0;
  std::size_t filled_ = 0;
};

/// `entry`'s file streamed into a new bytes object that starts with room for `capacity` bytes
/// and grows only as the bytes arrive, up to the entry's size for a stored file. They are read with
/// the GIL released; it is taken back between chunks to grow the object and to run the signal
/// handlers, so that Ctrl-C (KeyboardInterrupt) ends a long read.
py::bytes streamed_bytes(const DatDatabase& db, const DatFileEntry& entry, std::size_t capacity) {
  GrowingBytes bytes(capacity, entry.is_compressed() ? std::size_t{0xFFFFFFFF} : entry.size);
  bool raised = false;
  const auto streamed = without_gil([&] {
    return db.stream_file(entry, [&](std::span<const std::uint8_t> chunk) {
      {
        const py::gil_scoped_acquire held;
        raised = PyErr_CheckSignals() != 0 || !bytes.reserve(chunk.size());
      }
      if (!raised) bytes.append(chunk);
      return !raised;
    });
  });
  if (raised) throw py::error_already_set();
  value_or_throw(streamed);
  return bytes.release();
}

/// Files above this size are streamed, so that Ctrl-C can end their read; a smaller one is read
/// (and decoded) whole, in a few hundredths of a second.
constexpr std::uint32_t kStreamedSize = 64U << 20U;

}  // namespace

bool Archive::backed_by_file(std::uint64_t stored, std::uint64_t produced) const {
  // A stream of m bytes gives at most 8m; a chain longer than the file must loop.
  return stored <= file_length_ && produced <= 8 * stored;
}

py::bytes Archive::read(const py::handle& key) const {
  const DatFileEntry found = entry(key);
  const auto db = database();
  if (found.size <= kStreamedSize && backed_by_file(found.size, found.size)) {
    if (!found.is_compressed() || found.size == 0) {
      return filled_bytes(found.size, [&](std::span<std::uint8_t> out) {
        return db->get_file_verified_into(found, out);
      });
    }
    // The stored bytes are read once; their prefix sizes the result they are decoded into.
    const std::vector<std::uint8_t> stored =
        without_gil([&] { return value_or_throw(db->read_file_data(found.offset, found.size)); });
    const std::uint32_t size = declared_size(stored);
    if (backed_by_file(found.size, size)) {
      return filled_bytes(size, [&](std::span<std::uint8_t> out) {
        return decompress_verified_into(found.id, stored, out);
      });
    }
  }
  // A large file is streamed, so that Ctrl-C can end its read; and a size the file can't back
  // (a chain over overlapping blocks may make 4 GiB of a small file) costs memory only as the
  // bytes really arrive.
  return streamed_bytes(
      *db, found, static_cast<std::size_t>(std::min<std::uint64_t>(found.size, file_length_)));
}

py::bytes Archive::read_raw(const py::handle& key) const {
  const DatFileEntry found = entry(key);
  const auto db = database();
  // The stored bytes are what verified retrieval gives for the entry marked uncompressed.
  DatFileEntry stored = found;
  stored.bit_flags &= ~1U;
  if (found.size <= kStreamedSize && backed_by_file(found.size, found.size)) {
    return filled_bytes(found.size, [&](std::span<std::uint8_t> out) {
      return db->get_file_verified_into(stored, out);
    });
  }
  // Streamed as `read` streams a large file.
  return streamed_bytes(
      *db, stored, static_cast<std::size_t>(std::min<std::uint64_t>(found.size, file_length_)));
}

py::object Archive::sound_table(const py::handle& key) const {
  const DatFileEntry found = entry(key);
  const auto db = database();
  return py::cast(SoundTable(without_gil([&] {
    std::vector<std::uint8_t>& bytes = table_buffer();
    value_or_throw(db->get_file_verified(found.id, bytes));
    Cursor cursor(bytes);
    auto table = file_type::SoundTable::read(cursor);
    if (!table) {
      const std::size_t at = bytes.size() - cursor.remaining().size();
      throw table_failure(found.id, std::move(table.error()), at, bytes.size());
    }
    return std::move(*table);
  })));
}

std::uint32_t Archive::decompressed_size(const py::handle& key) const {
  const DatFileEntry found = entry(key);
  const auto db = database();
  return without_gil([&] { return value_or_throw(db->decompressed_size(found)); });
}

namespace {

/// Walks a run of the archive's entries (by position in its index), yielding identifiers or
/// entries; raises ValueError once the archive is closed.
class EntryIterator {
 public:
  EntryIterator(py::object archive, std::size_t begin, std::size_t end, bool ids)
      : archive_(std::move(archive)), next_(begin), end_(end), ids_(ids) {}

  /// The next identifier or entry; a null object at the end.
  py::object next() {
    const auto db = of_.database();
    if (next_ == end_) return {};
    const DatFileEntry& entry = db->files().entries()[next_++];
    return ids_ ? py::object(py::int_(entry.id)) : py::cast(entry);
  }

  /// `next` for `__next__`, which raises StopIteration at the end.
  py::object next_or_stop() {
    py::object item = next();
    if (!item) throw py::stop_iteration();
    return item;
  }

 private:
  py::object archive_;
  const Archive& of_ = archive_.cast<const Archive&>();  // kept alive by archive_
  std::size_t next_;
  std::size_t end_;
  bool ids_;
};

EntryIterator iterate(const py::object& self, std::optional<std::uint8_t> type, bool ids) {
  const auto db = self.cast<const Archive&>().database();
  const std::span all = db->files().entries();
  if (!type) return {self, 0, all.size(), ids};
  const std::span run = db->files().of_type(*type);
  const auto begin = static_cast<std::size_t>(run.data() - all.data());
  return {self, run.empty() ? 0 : begin, run.empty() ? 0 : begin + run.size(), ids};
}

/// Reads files of an archive in the order they lie in it, yielding (Entry, bytes) pairs, or
/// (Entry, DatError) for a file that can't be read; raises ValueError once the archive is closed.
class BulkIterator {
 public:
  BulkIterator(py::object archive, const std::optional<std::vector<std::uint32_t>>& ids)
      : archive_(std::move(archive)), db_(archive_.cast<const Archive&>().database()) {
    std::vector<const DatFileEntry*> entries;
    if (!ids) {
      for (const DatFileEntry& entry : db_->files())
        entries.push_back(&entry);
    } else {
      for (const std::uint32_t id : *ids) {
        if (const DatFileEntry* entry = db_->files().find(id)) entries.push_back(entry);
      }
    }
    reader_.emplace(*db_, std::move(entries));
  }

  py::tuple next() {
    try {
      (void)archive_.cast<const Archive&>().database();
    } catch (...) {
      reader_.reset();  // a closed archive's file is let go now, not when the iterator is
      db_.reset();
      throw;
    }
    if (!reader_) throw py::stop_iteration();
    std::optional<BulkFile> file = without_gil([&] { return reader_->next(); });
    if (!file) throw py::stop_iteration();
    if (!file->bytes) return py::make_tuple(file->entry, dat_exception(file->bytes.error()));
    return py::make_tuple(file->entry, to_bytes(*file->bytes));
  }

 private:
  py::object archive_;
  std::shared_ptr<const DatDatabase> db_;
  std::optional<BulkReader> reader_;
};

Archive open_file(const std::filesystem::path& path, OpenOptions options) {
  // A directory opens, and then fails as a header that can't be read; it is a path that can't
  // be opened as an archive.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw DatFailure{DatError::PathError{path, IoError::from_os(EISDIR)}};
  }
  auto db = without_gil([&] { return value_or_throw(DatDatabase::open(path, options)); });
  // Unknown counts as empty: every read then takes the path whose memory grows as it reads.
  std::uint64_t length = std::filesystem::file_size(path, ec);
  if (ec) length = 0;
  return {std::make_shared<const DatDatabase>(std::move(db)), path, length};
}

/// A database over the bytes of a Python object, whose buffer it holds for its whole life.
struct MemoryDatabase {
  explicit MemoryDatabase(const py::object& data) : bytes(data) {}
  BytesLike bytes;
  std::optional<DatDatabase> db;
};

/// `data` itself when its buffer is read-only; else a copy of its bytes, since a writable buffer
/// (a bytearray) could change under reads made without the GIL.
py::object immutable_bytes(const py::object& data) {
  const BytesLike view(data);
  if (view.read_only()) return data;
  return to_bytes(view.span());
}

Archive open_memory(const py::object& data, OpenOptions options) {
  // The buffer is released with the GIL, whichever thread lets the database go last.
  const std::shared_ptr<MemoryDatabase> holder(new MemoryDatabase(immutable_bytes(data)),
                                               [](MemoryDatabase* held) {
                                                 const py::gil_scoped_acquire gil;
                                                 delete held;
                                               });
  const std::span bytes = holder->bytes.span();
  holder->db.emplace(
      without_gil([&] { return value_or_throw(DatDatabase::open(bytes, options)); }));
  return {std::shared_ptr<const DatDatabase>(holder, &*holder->db), bytes};
}

/// Opens `source`: a path (str or os.PathLike) or any bytes-like object.
Archive open_archive(const py::object& source, bool salvage) {
  const OpenOptions options{.salvage = salvage};
  if (py::isinstance<py::str>(source) || py::hasattr(source, "__fspath__")) {
    return open_file(source.cast<std::filesystem::path>(), options);
  }
  return open_memory(source, options);
}

/// The explanation as the dict `explain --json` prints.
py::object explanation_json(const Archive& archive, const Explanation& explanation) {
  const std::string text = cli::json_line(cli::explanation_document(archive.name(), explanation));
  return py::module_::import("json").attr("loads")(text);
}

const char* const kReadDoc =
    "The file's bytes, decompressed when the entry is compressed; key is an identifier or an "
    "Entry.\n\nRaises NotFoundError, IoError or CorruptionError when the bytes can't be read, "
    "and DecompressionFailedError when a compressed file decompresses to other than the size "
    "it declares. Runs without the GIL; a large file is read in chunks, between which the "
    "signal handlers run, so Ctrl-C (KeyboardInterrupt) ends a long read.";

}  // namespace

void bind_archive(py::module_& m) {
  py::class_<EntryIterator> entry_iterator(m, "_EntryIterator");
  entry_iterator.def("__iter__", [](EntryIterator& self) -> EntryIterator& { return self; })
      .def("__next__", &EntryIterator::next_or_stop);
  set_iteration<&EntryIterator::next>(entry_iterator);
  py::class_<BulkIterator>(m, "_BulkIterator")
      .def("__iter__", [](BulkIterator& self) -> BulkIterator& { return self; })
      .def("__next__", &BulkIterator::next);

  const py::module_ abc = py::module_::import("collections.abc");
  py::class_<Archive>(m, "Archive",
                      "An open archive: a Mapping from identifier to Entry (ascending), and its "
                      "files' bytes.\n\nUsable as a context manager. After close() every use "
                      "raises ValueError. One archive may be read from several threads at once.")
      .def_property_readonly(
          "header", [](const Archive& self) { return self.database()->header(); },
          "The archive's Header.")
      .def_property_readonly("path", &Archive::path,
                             "The path the archive was opened from; None when opened from "
                             "memory.")
      .def_property_readonly(
          "skipped",
          [](const Archive& self) {
            py::list list;
            for (const SkippedNode& node : self.database()->skipped())
              list.append(py::make_tuple(node.offset, node.message));
            return list;
          },
          "The directory nodes a salvaging open left out, with their subtrees: (offset, "
          "message) pairs in the order the walk met them; empty after a strict open.")
      .def_property_readonly("closed", &Archive::closed, "True once close() has been called.")
      .def(
          "__len__", [](const Archive& self) { return self.database()->files().size(); },
          "The number of files.")
      .def(
          "__contains__",
          [](const Archive& self, const py::handle& key) { return self.find(key).has_value(); },
          py::arg("key"), "True when key is an identifier (or Entry) of a file of the archive.")
      .def(
          "__getitem__",
          [](const Archive& self, const py::handle& key) {
            if (!key_of(key).is_int) {
              PyErr_SetObject(PyExc_KeyError, key.ptr());
              throw py::error_already_set();
            }
            return self.entry(key);
          },
          py::arg("key"), "The Entry of file key; NotFoundError (a KeyError) when there is none.")
      .def(
          "__iter__", [](const py::object& self) { return iterate(self, std::nullopt, true); },
          "The identifiers, ascending.")
      .def(
          "keys", [abc](const py::object& self) { return abc.attr("KeysView")(self); },
          "The identifiers, ascending, as a KeysView.")
      .def(
          "values", [abc](const py::object& self) { return abc.attr("ValuesView")(self); },
          "The entries in ascending identifier order, as a ValuesView.")
      .def(
          "items", [abc](const py::object& self) { return abc.attr("ItemsView")(self); },
          "(identifier, Entry) pairs in ascending identifier order, as an ItemsView.")
      .def(
          "get",
          [](const Archive& self, const py::handle& key, const py::object& default_value) {
            const auto found = self.find(key);
            return found ? py::cast(*found) : default_value;
          },
          py::arg("key"), py::arg("default") = py::none(),
          "The Entry of file key, or default when the archive has none.")
      .def(
          "entries",
          [](const py::object& self, std::optional<std::uint8_t> type) {
            return iterate(self, type, false);
          },
          py::arg("type") = py::none(),
          "The entries in ascending identifier order: all, or those of one type byte.")
      .def(
          "_read_many",
          [](const py::object& self, const std::optional<std::vector<std::uint32_t>>& ids) {
            return BulkIterator(self, ids);
          },
          py::arg("ids") = py::none(),
          "Every file, or those of ids, in the order they lie in the archive; see read_many.")
      .def("read_raw", &Archive::read_raw, py::arg("key"),
           "The file's bytes as stored (still compressed for a compressed entry); a large file "
           "is read in chunks, as by read(), so Ctrl-C ends a long read.")
      .def("decompressed_size", &Archive::decompressed_size, py::arg("key"),
           "The size read(key) returns, read from a compressed file's prefix; raises what read() "
           "raises for the prefix.")
      .def(
          "check", [](const Archive& self) { return findings_of(self.check().findings); },
          "Checks the archive's file or bytes: a list of Finding (the fields of `check "
          "--json`), empty when nothing is wrong.")
      .def(
          "explain",
          [](const Archive& self, std::optional<std::uint32_t> id) {
            return explanation_json(self, self.explain(id));
          },
          py::arg("id") = py::none(),
          "The header's fields and, with id, that entry's record, path, chain and records: the "
          "dict `explain --json` prints (its archive is \"<memory>\" for bytes).")
      .def("close", &Archive::close,
           "Closes the archive; reads running on other threads finish "
           "first. Closing twice is fine.")
      .def("__enter__", [](const py::object& self) { return self; })
      .def("__exit__",
           [](Archive& self, const py::args&) {
             self.close();
             return false;
           })
      .def("__repr__", [](const Archive& self) {
        const auto path = self.path();
        const std::string name =
            path ? std::string(py::repr(py::str(path->filename().string()))) : "in memory";
        if (self.closed()) return "<Archive " + name + " closed>";
        return "<Archive " + name + " " + std::to_string(self.database()->files().size()) +
               " entries>";
      });
  auto archive_class = py::reinterpret_borrow<py::class_<Archive>>(m.attr("Archive"));
  def_one_argument_method<&Archive::read>(archive_class, "read", "key", kReadDoc);
  def_one_argument_method<&Archive::sound_table>(
      archive_class, "sound_table", "key",
      "read(key) decoded as a sound table.\n\nRaises what read() raises, or BinReadError naming "
      "the file and where decoding stopped when the table is cut short.");
  abc.attr("Mapping").attr("register")(m.attr("Archive"));

  m.def("open", &open_archive, py::arg("source"), py::kw_only(), py::arg("salvage") = false,
        "Opens an archive, a path or any bytes-like object, and reads its header and whole "
        "directory.\n\nBytes whose buffer is read-only (bytes, a memoryview of them) are held, "
        "not copied; writable ones (bytearray) are copied. Raises PathError (an OSError) when "
        "the file can't be opened, BinReadError when the header is cut short, and IoError, "
        "CorruptionError or BinReadError when the directory can't be read; with salvage, nodes "
        "that can't be read are left out instead and listed in Archive.skipped.");
  m.def(
      "decompress_lrs",
      [](const py::object& data) {
        const BytesLike input(data);
        return to_bytes(without_gil([&] { return decompress_lrs(input.span()); }));
      },
      py::arg("data"),
      "Decompresses LRS-compressed bytes (a 4-byte size prefix, then the stream) from any "
      "bytes-like object.\n\nNever fails: a damaged stream gives the bytes decoded before the "
      "damage; input shorter than 4 bytes comes back unchanged.");
}

}  // namespace tallowmere_dat::python
