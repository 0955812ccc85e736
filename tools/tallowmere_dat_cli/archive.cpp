#include "archive.h"

#include <algorithm>

#include "format.h"
#include "output.h"

namespace tallowmere_dat::cli {

void report_archive_error(std::string_view command, const std::string& path,
                          const DatError& error) {
  const bool names_path = error.get_if<DatError::PathError>() != nullptr;
  report({command, names_path ? "" : path, error.message()});
}

std::optional<DatDatabase> open_archive(const std::string& path, std::string_view command) {
  auto db = DatDatabase::open(path);
  if (!db) {
    report_archive_error(command, path, db.error());
    return std::nullopt;
  }
  return std::move(*db);
}

std::optional<std::vector<std::uint8_t>> fetch_file(const DatDatabase& db, std::uint32_t id,
                                                    std::string_view command) {
  auto bytes = db.get_file_verified(id);
  if (!bytes) {
    report({command, hex(id), bytes.error().message()});
    return std::nullopt;
  }
  return std::move(*bytes);
}

std::vector<const DatFileEntry*> listed_entries(const DatDatabase& db,
                                                std::span<const std::uint32_t> types) {
  std::vector<std::uint32_t> sorted(types.begin(), types.end());
  std::ranges::sort(sorted);
  const auto [duplicates, end] = std::ranges::unique(sorted);
  sorted.erase(duplicates, end);
  std::vector<const DatFileEntry*> entries;
  // Each type's entries are a contiguous ascending run, so ascending types keep the order.
  const auto add = [&](std::span<const DatFileEntry> run) {
    for (const DatFileEntry& entry : run)
      entries.push_back(&entry);
  };
  if (sorted.empty()) add(db.files().entries());
  for (const std::uint32_t type : sorted)
    add(db.files().of_type(static_cast<std::uint8_t>(type)));
  return entries;
}

}  // namespace tallowmere_dat::cli
