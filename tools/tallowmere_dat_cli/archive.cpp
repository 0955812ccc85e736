#include "archive.h"

#include "format.h"
#include "output.h"

namespace tallowmere_dat::cli {

void report_archive_error(std::string_view command, const std::string& path,
                          const DatError& error) {
  const bool names_path = error.get_if<DatError::PathError>() != nullptr;
  report({command, names_path ? "" : path, error.message()});
}

std::optional<DatDatabase> open_archive(const std::string& path, std::string_view command,
                                        OpenOptions options) {
  auto db = DatDatabase::open(path, options);
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

}  // namespace tallowmere_dat::cli
