#include "archive.h"

#include "format.h"
#include "output.h"
#include "selection_args.h"

namespace tallowmere_dat::cli {

std::string archive_error_text(const std::string& path, const DatError& error) {
  if (error.get_if<DatError::PathError>() != nullptr) return error.message();
  return escaped_text(path) + ": " + error.message();
}

void report_archive_error(std::string_view command, const std::string& path,
                          const DatError& error) {
  report({command, archive_error_text(path, error)});
}

std::optional<DatDatabase> open_archive(const std::string& path, std::string_view command,
                                        OpenOptions options) {
  auto db = DatDatabase::open(path, options);
  if (!db) {
    report_archive_error(command, path, db.error());
    return std::nullopt;
  }
  if (const std::vector<SkippedNode>& skipped = db->skipped(); !skipped.empty()) {
    report({command, escaped_text(path),
            count_text(skipped.size(), "directory subtree", "directory subtrees") +
                " left out, the first at " + hex(skipped.front().offset) + ": " +
                skipped.front().message});
  }
  return std::move(*db);
}

bool fetch_file(const DatDatabase& db, const DatFileEntry& entry, std::vector<std::uint8_t>& out,
                std::string_view command) {
  const auto read = db.get_file_verified(entry.id, out);
  if (read) return true;
  report_file_error(command, entry, read.error());
  return false;
}

bool is_large_file(const DatFileEntry& entry) {
  constexpr std::uint32_t kLarge = 8U << 20U;
  return entry.size > (entry.is_compressed() ? kLarge / 8 : kLarge);
}

void report_file_error(std::string_view command, const DatFileEntry& entry, const DatError& error) {
  // A bare I/O error ("failed to fill whole buffer") means nothing without what was being read.
  const std::string where =
      error.get_if<DatError::Io>() == nullptr
          ? ""
          : format("reading its %u stored bytes from offset 0x%08X", entry.size, entry.offset);
  report({command, hex(entry.id), where, error.message()});
}

std::size_t report_unselected_ids(std::string_view command, const Selection& selection,
                                  const DatDatabase& db) {
  const std::vector<std::uint32_t> missing = missing_ids(selection, db.files());
  for (const std::uint32_t id : missing)
    report({command, hex(id), DatError(DatError::NotFound{id}).message()});
  std::size_t excluded = 0;
  for (const IdRange range : selection.ranges) {
    if (range.first != range.last || !db.files().contains(range.first) ||
        selection.matches(range.first)) {
      continue;
    }
    report({command, hex(range.first), "not of the types selected by --type"});
    ++excluded;
  }
  return missing.size() + excluded;
}

}  // namespace tallowmere_dat::cli
