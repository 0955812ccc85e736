#pragma once

// An open archive as Python sees it: a mapping from identifier to entry, and its files' bytes.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "records.h"
#include "tallowmere_dat/tallowmere_dat.h"

namespace tallowmere_dat::python {

/// An open archive. Every call takes its own reference to the database, so `close()` on one
/// thread while another reads only lets the database go once that read is done. The reference
/// itself is only touched with the GIL held.
class Archive {
 public:
  /// An archive opened from a file at `path`, `file_length` bytes long at the open.
  Archive(std::shared_ptr<const DatDatabase> db, std::filesystem::path path,
          std::uint64_t file_length)
      : db_(std::move(db)), path_(std::move(path)), file_length_(file_length) {}
  /// An archive opened from `memory`, which lives as long as `db` does.
  Archive(std::shared_ptr<const DatDatabase> db, std::span<const std::uint8_t> memory)
      : db_(std::move(db)), memory_(memory), file_length_(memory.size()) {}

  /// The database; raises ValueError once the archive is closed.
  std::shared_ptr<const DatDatabase> database() const;
  void close() { db_.reset(); }
  bool closed() const { return !db_; }
  /// The path opened; nullopt for an archive opened from memory.
  std::optional<std::filesystem::path> path() const;
  /// The path opened, or "<memory>": the `archive` the JSON documents name.
  std::string name() const;

  /// check_archive of the archive's file or bytes, without the GIL.
  CheckReport check() const;
  /// explain_archive of the archive's file or bytes, without the GIL.
  Explanation explain(std::optional<std::uint32_t> id) const;

  /// The entry `key` (an int identifier or an Entry) names. Raises NotFoundError when the
  /// archive has none, TypeError for a key of another kind.
  DatFileEntry entry(const pybind11::handle& key) const;
  /// The entry `key` names, or nullopt for anything that names no entry of the archive.
  std::optional<DatFileEntry> find(const pybind11::handle& key) const;

  /// The file's bytes, verified, decoded straight into the bytes object's storage.
  pybind11::bytes read(const pybind11::handle& key) const;
  pybind11::bytes read_raw(const pybind11::handle& key) const;
  /// `read(key)` decoded as a SoundTable object; raises what `read` raises, or BinReadError.
  pybind11::object sound_table(const pybind11::handle& key) const;
  std::uint32_t decompressed_size(const pybind11::handle& key) const;

 private:
  /// Whether the file can supply a file of `stored` bytes that decode to `produced`: only then is
  /// the result allocated whole before it is read.
  bool backed_by_file(std::uint64_t stored, std::uint64_t produced) const;

  std::shared_ptr<const DatDatabase> db_;
  std::filesystem::path path_;
  /// The bytes of an archive opened from memory; empty for a file.
  std::optional<std::span<const std::uint8_t>> memory_;
  /// The file's length at the open.
  std::uint64_t file_length_;
};

/// Adds Archive, its iterator and the module's functions to `m`.
void bind_archive(pybind11::module_& m);

}  // namespace tallowmere_dat::python
