#include "diff.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive.h"
#include "buffer.h"
#include "records.h"

namespace py = pybind11;

namespace tallowmere_dat::python {
namespace {

/// A DiffReport as Python objects: its lists made once, iterable as its change records.
struct PyDiffReport {
  py::list added;
  py::list removed;
  py::list changed;
  py::list unreadable;
  std::uint64_t unchanged = 0;
  py::list header_changes;
  py::list totals;
  bool has_differences = false;
  /// Added, removed and changed entries as Change records, ascending by identifier.
  py::list changes;
};

/// The module's record types, named tuples made once at import.
struct DiffTypes {
  py::object change;
  py::object unreadable;
  py::object totals;
  py::object table_diff;
};

DiffTypes& diff_types() {
  static DiffTypes types;
  return types;
}

py::object named_tuple(py::module_& m, const char* name, const char* fields, const char* doc) {
  py::object type = py::module_::import("collections")
                        .attr("namedtuple")(name, fields, py::arg("module") = "tallowmere_dat");
  type.attr("__doc__") = doc;
  m.add_object(name, type);
  return type;
}

py::object header_value(const HeaderValue& value) {
  if (const auto* number = std::get_if<std::uint32_t>(&value)) return py::int_(*number);
  return to_bytes(std::get<std::array<std::uint8_t, 16>>(value));
}

py::object totals_record(const TypeTotals& t) {
  return diff_types().totals(t.type, t.files_added, t.bytes_added, t.files_removed, t.bytes_removed,
                             t.files_changed, t.bytes_changed, t.files_unreadable,
                             t.files_unchanged);
}

PyDiffReport python_report(const DiffReport& report) {
  const DiffTypes& types = diff_types();
  PyDiffReport out;
  std::vector<std::pair<std::uint32_t, py::object>> changes;
  for (const DatFileEntry& entry : report.added) {
    out.added.append(entry);
    changes.emplace_back(entry.id, types.change(entry.id, "added", py::none(), entry));
  }
  for (const DatFileEntry& entry : report.removed) {
    out.removed.append(entry);
    changes.emplace_back(entry.id, types.change(entry.id, "removed", entry, py::none()));
  }
  for (const ChangedEntry& c : report.changed) {
    py::object record =
        types.change(c.new_entry.id, std::string(change_name(c.kind)), c.old_entry, c.new_entry);
    out.changed.append(record);
    changes.emplace_back(c.new_entry.id, std::move(record));
  }
  std::ranges::stable_sort(changes, {}, &std::pair<std::uint32_t, py::object>::first);
  for (auto& [id, record] : changes)
    out.changes.append(std::move(record));
  for (const UnreadableEntry& u : report.unreadable) {
    out.unreadable.append(types.unreadable(u.id(), std::string(side_name(u.side())), u.message(),
                                           u.old_entry, u.new_entry));
  }
  for (const HeaderFieldChange& h : report.header_changes) {
    out.header_changes.append(
        py::make_tuple(std::string(h.name), header_value(h.old_value), header_value(h.new_value)));
  }
  for (const TypeTotals& t : report.totals)
    out.totals.append(totals_record(t));
  out.unchanged = report.unchanged;
  out.has_differences = report.has_differences();
  return out;
}

/// The selection `ids` and `types` make; None selects any. An empty list would select
/// everything, the opposite of what it says, so it is refused.
Selection selection_of(const std::optional<std::vector<std::uint32_t>>& ids,
                       const std::optional<std::vector<std::uint8_t>>& types) {
  if ((ids && ids->empty()) || (types && types->empty())) {
    throw py::value_error("ids and types select nothing when empty; pass None for any");
  }
  Selection selection;
  for (const std::uint32_t id : ids.value_or(std::vector<std::uint32_t>{}))
    selection.ranges.push_back({id, id});
  selection.types = types.value_or(std::vector<std::uint8_t>{});
  return selection;
}

PyDiffReport diff(const Archive& old_archive, const Archive& new_archive,
                  const std::optional<std::vector<std::uint8_t>>& types,
                  const std::optional<std::vector<std::uint32_t>>& ids, bool metadata_only) {
  const DiffOptions options{.selection = selection_of(ids, types), .metadata_only = metadata_only};
  const auto old_db = old_archive.database();
  const auto new_db = new_archive.database();
  return python_report(without_gil([&] { return diff_archives(*old_db, *new_db, options); }));
}

template <typename Value, typename Make>
py::list record_changes(const std::vector<RecordChange<Value>>& changes, Make make) {
  py::list list;
  for (const RecordChange<Value>& c : changes) {
    list.append(py::make_tuple(c.key, c.old_value ? make(*c.old_value) : py::object(py::none()),
                               c.new_value ? make(*c.new_value) : py::object(py::none())));
  }
  return list;
}

template <typename T>
py::object value_change(const std::optional<ValueChange<T>>& change) {
  if (!change) return py::none();
  return py::make_tuple(change->old_value, change->new_value);
}

py::object table_diff(const SoundTable& self, const SoundTable& other) {
  const SoundTableDiff d = diff_sound_tables(self.table(), other.table());
  return diff_types().table_diff(value_change(d.id), value_change(d.hash_key),
                                 record_changes(d.hashes, hash_data_record),
                                 record_changes(d.sounds, sound_data_record));
}

}  // namespace

void bind_diff(py::module_& m) {
  DiffTypes& types = diff_types();
  types.change = named_tuple(
      m, "Change", "id kind old new",
      "An entry added, removed or changed: kind is \"added\", \"removed\", \"content\", "
      "\"stored\" or \"metadata\"; old and new are the Entry on each side (None where absent).");
  types.unreadable = named_tuple(
      m, "Unreadable", "id side message old new",
      "An entry in both archives whose file couldn't be read on side \"old\", \"new\" or "
      "\"both\"; message says why in one line.");
  types.totals = named_tuple(m, "DiffTotals",
                             "type files_added bytes_added files_removed bytes_removed "
                             "files_changed bytes_changed files_unreadable files_unchanged",
                             "What changed within one type byte; bytes are stored sizes.");
  types.table_diff = named_tuple(
      m, "SoundTableDiff", "id hash_key hashes sounds",
      "What differs between two sound tables: id and hash_key are (old, new) or None; hashes "
      "and sounds are (key, old, new) records, ascending by key, old or new None where the "
      "record is absent. Floats compare by their bits.");

  py::class_<PyDiffReport>(m, "DiffReport",
                           "The differences between two archives; every list ascends by "
                           "identifier. Iterating gives the added, removed and changed entries "
                           "as Change records.")
      .def_readonly("added", &PyDiffReport::added, "The new archive's entries the old one lacks.")
      .def_readonly("removed", &PyDiffReport::removed,
                    "The old archive's entries the new one lacks.")
      .def_readonly("changed", &PyDiffReport::changed, "Change records of changed entries.")
      .def_readonly("unreadable", &PyDiffReport::unreadable, "Unreadable records.")
      .def_readonly("unchanged", &PyDiffReport::unchanged,
                    "How many entries are in both archives and equal.")
      .def_readonly("header_changes", &PyDiffReport::header_changes,
                    "(name, old, new) for each header field that differs, in file order.")
      .def_readonly("totals", &PyDiffReport::totals, "DiffTotals per type byte, ascending.")
      .def_readonly("has_differences", &PyDiffReport::has_differences,
                    "True when anything differs or couldn't be read, header included.")
      .def("__iter__", [](const PyDiffReport& self) { return self.changes.attr("__iter__")(); })
      .def("__repr__", [](const PyDiffReport& self) {
        return py::str("<DiffReport {} added, {} removed, {} changed, {} unreadable>")
            .format(py::len(self.added), py::len(self.removed), py::len(self.changed),
                    py::len(self.unreadable));
      });

  m.def("diff", &diff, py::arg("old"), py::arg("new"), py::kw_only(), py::arg("types") = py::none(),
        py::arg("ids") = py::none(), py::arg("metadata_only") = false,
        "Compares two open archives: the entries named in ids (None: any) whose type byte is in "
        "types (None: any), and the headers. With metadata_only no file is read. Files that "
        "can't be read are listed, never raised; the call raises only ValueError for a closed "
        "archive or an empty ids or types. Runs without the GIL.");

  const py::object table = m.attr("SoundTable");
  table.attr("diff") =
      py::cpp_function(&table_diff, py::name("diff"), py::is_method(table), py::arg("other"),
                       "The SoundTableDiff from this table to other.");
}

}  // namespace tallowmere_dat::python
