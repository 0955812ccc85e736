#include "archive.h"

#include "format.h"
#include "output.h"

namespace tallowmere_dat::cli {

std::optional<DatDatabase> open_archive(const std::string& path) {
  auto db = DatDatabase::open(path);
  if (!db) {
    report("cannot open archive '" + path + "': " + db.error().debug());
    return std::nullopt;
  }
  return std::move(*db);
}

std::optional<std::vector<std::uint8_t>> fetch_file(const DatDatabase& db, std::uint32_t id,
                                                    std::string_view command) {
  auto bytes = db.get_file(id);
  if (!bytes) {
    report(std::string(command) + ": " + hex(id) + ": " + bytes.error().debug());
    return std::nullopt;
  }
  return std::move(*bytes);
}

std::span<const DatFileEntry> listed_entries(const DatDatabase& db,
                                             std::optional<std::uint32_t> type) {
  if (!type) return db.files().entries();
  return db.files().of_type(static_cast<std::uint8_t>(*type));
}

}  // namespace tallowmere_dat::cli
