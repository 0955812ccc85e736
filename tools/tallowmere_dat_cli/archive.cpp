#include "archive.h"

#include <algorithm>

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

std::vector<std::uint32_t> sorted_ids(const DatDatabase& db, std::optional<std::uint32_t> type) {
  std::vector<std::uint32_t> ids;
  ids.reserve(db.files().size());
  for (const auto& [id, entry] : db.files()) {
    if (!type || type_byte(id) == *type) ids.push_back(id);
  }
  std::ranges::sort(ids);
  return ids;
}

}  // namespace tallowmere_dat::cli
