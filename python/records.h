#pragma once

// The module's value objects: the sound table and its records, the archive's header, and check
// findings.

#include <pybind11/pybind11.h>

#include <optional>

#include "tallowmere_dat/tallowmere_dat.h"

namespace tallowmere_dat::python {

/// A decoded table as Python sees it. Its maps become read-only dicts (in ascending key order) of
/// light record objects (named tuples made in C++) when first asked for, and stay those dicts:
/// decoding a table for one look costs no Python objects.
class SoundTable {
 public:
  explicit SoundTable(file_type::SoundTable table) : table_(std::move(table)) {}

  const file_type::SoundTable& table() const { return table_; }
  const pybind11::object& hashes();
  const pybind11::object& sounds();

 private:
  file_type::SoundTable table_;
  std::optional<pybind11::object> hashes_;
  std::optional<pybind11::object> sounds_;
};

/// Adds SoundHashData, SoundEntry, SoundData, SoundTable, Header, Entry and Finding to `m`.
void bind_records(pybind11::module_& m);

/// A SoundHashData record of `data`.
pybind11::object hash_data_record(const file_type::SoundHashData& data);
/// A SoundData record of `data`, its entries a tuple of SoundEntry records.
pybind11::object sound_data_record(const file_type::SoundData& data);

/// The check's findings as a list of Finding objects.
pybind11::list findings_of(const std::vector<Finding>& findings);

/// `bytes` of `data`'s bytes.
pybind11::bytes to_bytes(std::span<const std::uint8_t> data);

}  // namespace tallowmere_dat::python
