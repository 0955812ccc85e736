#include "records.h"

#include <pybind11/operators.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "buffer.h"
#include "errors.h"

namespace py = pybind11;

namespace tallowmere_dat::python {
namespace {

namespace ft = file_type;

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

// ---- Light records: named tuples made in C++ ---------------------------------------------------

/// A struct-sequence type (a named tuple of C): immutable, compared, hashed and pickled as a
/// tuple, and cheap to make. Fields marked hex show as 0x and eight hex digits in the repr.
struct RecordType {
  PyTypeObject* type = nullptr;
  std::vector<std::string> names;
  std::vector<bool> hex;
};

RecordType hash_data_type;
RecordType sound_entry_type;
RecordType sound_data_type;
RecordType finding_type;

/// An int as 0x and eight hex digits; a tuple of ints as a tuple of those.
std::string hex_repr(const py::handle& value) {
  if (!py::isinstance<py::tuple>(value)) return py::str("0x{:08X}").format(value);
  std::string items;
  for (const py::handle item : value)
    items += (items.empty() ? "" : ", ") + hex_repr(item);
  return "(" + items + (py::len(value) == 1 ? ",)" : ")");
}

std::string record_repr(const RecordType& record, const py::handle& self) {
  std::string text = std::string(py::str(py::type::handle_of(self).attr("__name__"))) + "(";
  for (std::size_t i = 0; i < record.names.size(); ++i) {
    const py::handle value = PyStructSequence_GetItem(self.ptr(), static_cast<Py_ssize_t>(i));
    text += (i == 0 ? "" : ", ") + record.names[i] + "=" +
            (record.hex[i] ? hex_repr(value) : std::string(py::repr(value)));
  }
  return text + ")";
}

struct FieldDoc {
  const char* name;
  const char* doc;
  bool hex = false;
};

void add_record_type(py::module_& m, RecordType& record, const char* name, const char* doc,
                     const std::vector<FieldDoc>& fields) {
  // The type keeps pointers to its names and docs: string literals, and the qualified name,
  // which must live as long as the type, that is, as long as the interpreter.
  static std::deque<std::string> qualified_names;  // never moves its strings
  const char* qualified =
      qualified_names.emplace_back(std::string("tallowmere_dat.") + name).c_str();
  std::vector<PyStructSequence_Field> members;
  for (const FieldDoc& field : fields) {
    members.push_back({field.name, field.doc});
    record.names.emplace_back(field.name);
    record.hex.push_back(field.hex);
  }
  members.push_back({nullptr, nullptr});
  PyStructSequence_Desc desc{qualified, doc, members.data(), static_cast<int>(fields.size())};
  record.type = PyStructSequence_NewType(&desc);
  if (record.type == nullptr) throw py::error_already_set();
  const auto cls = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(record.type));
  cls.attr("__repr__") =
      py::cpp_function([&record](const py::handle& self) { return record_repr(record, self); },
                       py::name("__repr__"), py::is_method(cls));
  m.add_object(name, cls);
}

/// A new record of `record`'s type holding `items`, whose references it takes over (a null one
/// is a failed allocation).
template <std::size_t N>
py::object make_record(const RecordType& record, std::array<PyObject*, N> items) {
  // Allocated as the tuple it is: the record types have no hidden fields, and
  // PyStructSequence_New would look the type's sizes up by name, twice, for every record.
  PyObject* made = nullptr;
  if (std::ranges::find(items, nullptr) == items.end()) {
    made = record.type->tp_alloc(record.type, static_cast<Py_ssize_t>(N));
  }
  if (made == nullptr) {
    for (PyObject* item : items)
      Py_XDECREF(item);
    throw py::error_already_set();
  }
  for (std::size_t i = 0; i < N; ++i)
    PyStructSequence_SetItem(made, static_cast<Py_ssize_t>(i), items[i]);
  return py::reinterpret_steal<py::object>(made);
}

/// `value` as a Python float (a new reference; null with an error set when it can't be made).
/// Sound tables repeat a handful of values (1.0, 0.75, 0.5...) over thousands of records, so the
/// floats made last are kept, a few dozen by their bits, and shared, as floats are immutable;
/// the GIL guards the cache.
PyObject* new_float(float value) {
  struct Made {
    std::uint32_t bits = 0;
    PyObject* number = nullptr;
  };
  static std::array<Made, 64> recent{};
  const auto bits = std::bit_cast<std::uint32_t>(value);
  Made& slot = recent[(bits * 0x9E3779B1U) >> 26U];
  if (slot.number == nullptr || slot.bits != bits) {
    PyObject* number = PyFloat_FromDouble(exact_double(value));
    if (number == nullptr) return nullptr;
    Py_XDECREF(slot.number);
    slot = {bits, number};
  }
  Py_INCREF(slot.number);
  return slot.number;
}

}  // namespace

py::object hash_data_record(const file_type::SoundHashData& data) {
  return make_record<3>(hash_data_type, {new_float(data.priority), new_float(data.probability),
                                         new_float(data.volume)});
}

namespace {

py::object sound_entry_record(const ft::SoundEntry& entry) {
  return make_record<4>(sound_entry_type,
                        {PyLong_FromUnsignedLong(entry.wave_did), new_float(entry.priority),
                         new_float(entry.probability), new_float(entry.volume)});
}

}  // namespace

py::object sound_data_record(const file_type::SoundData& data) {
  PyObject* entries = PyTuple_New(static_cast<Py_ssize_t>(data.entries.size()));
  if (entries == nullptr) throw py::error_already_set();
  for (std::size_t i = 0; i < data.entries.size(); ++i) {
    PyTuple_SET_ITEM(entries, static_cast<Py_ssize_t>(i),
                     sound_entry_record(data.entries[i]).release().ptr());
  }
  return make_record<2>(sound_data_type, {entries, PyLong_FromLong(data.unknown)});
}

namespace {

/// A read-only dict (a mappingproxy over one) of `map`'s records, keys ascending, made by `make`.
template <typename Map, typename Make>
py::object dict_of(const Map& map, Make make) {
  py::dict dict;
  for (const auto& [key, value] : map) {
    const py::object key_object = py::reinterpret_steal<py::object>(PyLong_FromUnsignedLong(key));
    if (!key_object || PyDict_SetItem(dict.ptr(), key_object.ptr(), make(value).ptr()) != 0) {
      throw py::error_already_set();
    }
  }
  return py::reinterpret_steal<py::object>(PyDictProxy_New(dict.ptr()));
}

// ---- Sound tables -------------------------------------------------------------------------------

ft::SoundTable decode(std::span<const std::uint8_t> data) {
  Cursor cursor(data);
  return value_or_throw(ft::SoundTable::read(cursor));
}

std::uint32_t bits(float value) {
  return std::bit_cast<std::uint32_t>(value);
}
float from_bits(std::uint32_t value) {
  return std::bit_cast<float>(value);
}

/// A table as plain tuples of ints, floats as their bits: the pickled state, exact for NaNs.
py::tuple table_state(const ft::SoundTable& table) {
  py::list hashes;
  for (const auto& [key, h] : table.hashes)
    hashes.append(py::make_tuple(key, bits(h.priority), bits(h.probability), bits(h.volume)));
  py::list sounds;
  for (const auto& [key, slot] : table.sounds) {
    py::list entries;
    for (const ft::SoundEntry& e : slot.entries) {
      entries.append(
          py::make_tuple(e.wave_did, bits(e.priority), bits(e.probability), bits(e.volume)));
    }
    sounds.append(py::make_tuple(key, slot.unknown, py::tuple(entries)));
  }
  return py::make_tuple(table.id, table.hash_key, py::tuple(hashes), py::tuple(sounds));
}

ft::SoundTable table_from_state(const py::tuple& state) {
  using Hash = std::pair<std::uint32_t, ft::SoundHashData>;
  using Slot = std::pair<std::uint32_t, ft::SoundData>;
  std::vector<Hash> hashes;
  for (const auto h : state[2].cast<py::tuple>()) {
    const auto [key, p, q, v] =
        h.cast<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>>();
    hashes.push_back({key, {from_bits(p), from_bits(q), from_bits(v)}});
  }
  std::vector<Slot> sounds;
  for (const auto s : state[3].cast<py::tuple>()) {
    const auto [key, unknown, entry_states] =
        s.cast<std::tuple<std::uint32_t, std::int32_t, py::tuple>>();
    ft::SoundData data{.unknown = unknown};
    for (const auto e : entry_states) {
      const auto [wave, p, q, v] =
          e.cast<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>>();
      data.entries.push_back({wave, from_bits(p), from_bits(q), from_bits(v)});
    }
    sounds.emplace_back(key, std::move(data));
  }
  return {.id = state[0].cast<std::uint32_t>(),
          .hash_key = state[1].cast<std::int32_t>(),
          .hashes = FlatMap<std::uint32_t, ft::SoundHashData>(std::move(hashes)),
          .sounds = FlatMap<std::uint32_t, ft::SoundData>(std::move(sounds))};
}

void bind_sound_table(py::module_& m) {
  add_record_type(m, hash_data_type, "SoundHashData",
                  "One hash record's values. Floats keep their stored bits, NaN payloads included.",
                  {{"priority", nullptr}, {"probability", nullptr}, {"volume", nullptr}});
  add_record_type(m, sound_entry_type, "SoundEntry",
                  "One wave that can play in a slot. Floats keep their stored bits.",
                  {{"wave_did", "The wave's file identifier.", true},
                   {"priority", nullptr},
                   {"probability", nullptr},
                   {"volume", nullptr}});
  add_record_type(m, sound_data_type, "SoundData", "One sound slot.",
                  {{"entries", "Its SoundEntry records in file order (a tuple; may be empty)."},
                   {"unknown", "Stored, not interpreted."}});

  py::class_<SoundTable>(m, "SoundTable",
                         "A decoded sound table; compared by value, hashable and picklable.")
      .def_property_readonly(
          "id", [](const SoundTable& self) { return self.table().id; },
          "As stored; not compared with the archive identifier.")
      .def_property_readonly("hash_key",
                             [](const SoundTable& self) { return self.table().hash_key; })
      .def_property_readonly(
          "hashes", &SoundTable::hashes,
          "SoundHashData records by key, in ascending key order (a read-only dict).")
      .def_property_readonly("sounds", &SoundTable::sounds,
                             "SoundData slots by key, in ascending key order (a read-only dict).")
      .def_static(
          "parse",
          [](const py::object& data) {
            const BytesLike bytes(data);
            return SoundTable(without_gil([&] { return decode(bytes.span()); }));
          },
          py::arg("data"),
          "Decodes a sound table from any bytes-like object; bytes after the last record are "
          "ignored. Raises ReadError when the data ends inside the table.")
      .def(
          "__eq__",
          [](const SoundTable& self, const py::object& other) -> py::object {
            if (!py::isinstance<SoundTable>(other))
              return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            return py::bool_(self.table() == other.cast<const SoundTable&>().table());
          },
          py::is_operator())
      .def("__hash__",
           [](const SoundTable& self) {
             const ft::SoundTable& t = self.table();
             return py::hash(py::make_tuple(t.id, t.hash_key, t.hashes.size(), t.sounds.size()));
           })
      .def("__repr__",
           [](const SoundTable& self) {
             const ft::SoundTable& t = self.table();
             return py::str("<SoundTable 0x{:08X}: {} slots, {} hashes>")
                 .format(t.id, t.sounds.size(), t.hashes.size());
           })
      .def(py::pickle([](const SoundTable& self) { return table_state(self.table()); },
                      [](const py::tuple& state) { return SoundTable(table_from_state(state)); }));
}

// ---- Header, entries, findings ------------------------------------------------------------------

py::tuple header_state(const DatHeader& header) {
  py::tuple state(kHeaderFields.size());
  for (std::size_t i = 0; i < kHeaderFields.size(); ++i) {
    const HeaderField& field = kHeaderFields[i];
    state[i] = field.number != nullptr ? py::object(py::int_(header.*field.number))
                                       : py::object(to_bytes(header.version_string));
  }
  return state;
}

DatHeader header_from_state(const py::tuple& state) {
  if (state.size() != kHeaderFields.size()) throw py::value_error("not a Header's state");
  DatHeader header;
  for (std::size_t i = 0; i < kHeaderFields.size(); ++i) {
    const HeaderField& field = kHeaderFields[i];
    if (field.number != nullptr) {
      header.*field.number = state[i].cast<std::uint32_t>();
      continue;
    }
    const std::string version = state[i].cast<std::string>();
    if (version.size() != header.version_string.size()) {
      throw py::value_error("version_string must be 16 bytes");
    }
    std::copy(version.begin(), version.end(), header.version_string.begin());
  }
  return header;
}

void bind_header(py::module_& m) {
  py::class_<DatHeader> header(
      m, "Header", "The archive header's fields, read but not validated; a value object.");
  py::tuple names(kHeaderFields.size());
  for (std::size_t i = 0; i < kHeaderFields.size(); ++i) {
    const HeaderField& field = kHeaderFields[i];
    const std::string name(field.name);
    names[i] = name;
    if (field.number == nullptr) {
      header.def_property_readonly(
          name.c_str(), [](const DatHeader& self) { return to_bytes(self.version_string); },
          "The 16 stored bytes, as they are.");
      continue;
    }
    header.def_property_readonly(
        name.c_str(), [member = field.number](const DatHeader& self) { return self.*member; });
  }
  header.attr("_fields") = names;
  header
      .def(py::self == py::self)  // NOLINT(misc-redundant-expression)
      .def("__hash__", [](const DatHeader& self) { return py::hash(header_state(self)); })
      .def("__repr__",
           [](const DatHeader& self) {
             return py::str(
                        "Header(magic=0x{:08X}, block_size={}, file_size={}, "
                        "root_offset=0x{:08X}, version_string={!r})")
                 .format(self.magic, self.block_size, self.file_size, self.root_offset,
                         to_bytes(self.version_string));
           })
      .def(py::pickle(&header_state, &header_from_state));
}

py::tuple entry_state(const DatFileEntry& e) {
  return py::make_tuple(e.bit_flags, e.id, e.offset, e.size, e.timestamp, e.version);
}

void bind_entry(py::module_& m) {
  py::class_<DatFileEntry>(m, "Entry", "One directory entry; a value object.")
      .def_readonly("id", &DatFileEntry::id)
      .def_readonly("bit_flags", &DatFileEntry::bit_flags)
      .def_readonly("offset", &DatFileEntry::offset, "The file's first block.")
      .def_readonly("size", &DatFileEntry::size,
                    "Bytes stored (the compressed size for a compressed file).")
      .def_readonly("timestamp", &DatFileEntry::timestamp)
      .def_readonly("version", &DatFileEntry::version)
      .def_property_readonly("compressed", &DatFileEntry::is_compressed,
                             "Bit 0 of bit_flags: the stored bytes are LRS-compressed.")
      .def_property_readonly(
          "type", [](const DatFileEntry& self) { return type_of(self.id); },
          "The identifier's type byte (its top eight bits).")
      .def(py::self == py::self)  // NOLINT(misc-redundant-expression)
      .def("__hash__", [](const DatFileEntry& self) { return py::hash(entry_state(self)); })
      .def("__repr__",
           [](const DatFileEntry& e) {
             return py::str("Entry(id=0x{:08X}, size={}, compressed={}, offset=0x{:08X})")
                 .format(e.id, e.size, e.is_compressed(), e.offset);
           })
      .def(py::pickle(&entry_state, [](const py::tuple& s) {
        return DatFileEntry{s[0].cast<std::uint32_t>(), s[1].cast<std::uint32_t>(),
                            s[2].cast<std::uint32_t>(), s[3].cast<std::uint32_t>(),
                            s[4].cast<std::uint32_t>(), s[5].cast<std::uint32_t>()};
      }));
}

}  // namespace

const py::object& SoundTable::hashes() {
  if (!hashes_) hashes_ = dict_of(table_.hashes, hash_data_record);
  return *hashes_;
}

const py::object& SoundTable::sounds() {
  if (!sounds_) sounds_ = dict_of(table_.sounds, sound_data_record);
  return *sounds_;
}

py::bytes to_bytes(std::span<const std::uint8_t> data) {
  return {reinterpret_cast<const char*>(data.data()), data.size()};
}

py::list findings_of(const std::vector<Finding>& findings) {
  py::list list;
  for (const Finding& finding : findings) {
    py::tuple offsets(finding.offsets.size());
    for (std::size_t i = 0; i < finding.offsets.size(); ++i)
      offsets[i] = finding.offsets[i];
    py::tuple ids(finding.ids.size());
    for (std::size_t i = 0; i < finding.ids.size(); ++i)
      ids[i] = finding.ids[i];
    list.append(make_record<5>(
        finding_type,
        {py::str(std::string(finding_name(finding.kind))).release().ptr(),
         py::str(finding.severity == Severity::Error ? "error" : "warning").release().ptr(),
         offsets.release().ptr(), ids.release().ptr(), py::str(finding.message).release().ptr()}));
  }
  return list;
}

void bind_records(py::module_& m) {
  bind_sound_table(m);
  bind_header(m);
  bind_entry(m);
  add_record_type(m, finding_type, "Finding",
                  "One thing wrong with an archive, with the fields of `check --json`.",
                  {{"kind", "What it is about, e.g. \"chain-loop\"."},
                   {"severity", "\"error\" or \"warning\"."},
                   {"offsets", "The file offsets it concerns, the main one first.", true},
                   {"ids", "The file identifiers it concerns.", true},
                   {"message", "One line for people."}});
}

}  // namespace tallowmere_dat::python
