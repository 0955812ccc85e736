#pragma once

// The two files of an identifier present in both archives, and how they differ. A pair is read
// whole, into buffers reused from pair to pair, or, where a file is large, streamed on both
// sides at once, so that memory never follows the files' sizes.

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "stream_comparison.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/diff.h"

namespace tallowmere_dat::detail {

/// A file's bytes as read, or why they couldn't be.
using ReadBytes = std::expected<std::span<const std::uint8_t>, DatError>;

/// What the comparison asks of a pair's files. Each side's stored bytes are as `read_file_data`
/// gives them, its content as `get_file_verified` does, its size as `decompressed_size` does.
class FilePair {
 public:
  FilePair() = default;
  FilePair(const FilePair&) = delete;
  FilePair& operator=(const FilePair&) = delete;
  virtual ~FilePair() = default;

  [[nodiscard]] virtual const DatFileEntry& entry(DiffSide side) const = 0;
  /// The error reading the side's stored bytes, or nullopt.
  [[nodiscard]] virtual std::optional<DatError> stored_error(DiffSide side) = 0;
  /// Whether the sides store the same bytes; both must be readable.
  [[nodiscard]] virtual bool stored_equal() = 0;
  /// The error retrieving the side's content, or nullopt.
  [[nodiscard]] virtual std::optional<DatError> content_error(DiffSide side) = 0;
  /// Whether the sides' contents are equal; both must be retrievable.
  [[nodiscard]] virtual bool content_equal() = 0;
  [[nodiscard]] virtual std::expected<std::uint32_t, DatError> size(DiffSide side) = 0;
};

/// `ChangeKind::Metadata` when the entries' flags, timestamp or version differ, else nullopt.
[[nodiscard]] std::optional<ChangeKind> metadata_change(const DatFileEntry& a,
                                                        const DatFileEntry& b);

/// How the pair changed, or nullopt when it is equal or when a side can't be read, which then
/// has its error in `unreadable`. Reads only what the answer needs.
[[nodiscard]] std::optional<ChangeKind> compare_files(FilePair& files, UnreadableEntry& unreadable);

/// A pair read whole, each side at most once: its content decoded from its stored bytes. The
/// buffers are reused from pair to pair: fresh ones per file would cost a page fault per page.
class WholeFilePair final : public FilePair {
 public:
  WholeFilePair(const DatDatabase& old_archive, const DatDatabase& new_archive)
      : sides_{Side(old_archive), Side(new_archive)} {}

  /// Takes the pair `old_entry`, whose stored bytes (or the error reading them) are
  /// `old_stored`, and `new_entry`, read when first needed.
  void take(const DatFileEntry& old_entry, ReadBytes old_stored, const DatFileEntry& new_entry);

  const DatFileEntry& entry(DiffSide side) const override { return *of(side).entry; }
  std::optional<DatError> stored_error(DiffSide side) override;
  bool stored_equal() override;
  std::optional<DatError> content_error(DiffSide side) override;
  bool content_equal() override;
  std::expected<std::uint32_t, DatError> size(DiffSide side) override;

 private:
  struct Side {
    explicit Side(const DatDatabase& of) : archive(&of) {}
    const ReadBytes& stored();
    const ReadBytes& content();

    const DatDatabase* archive;
    const DatFileEntry* entry = nullptr;
    std::optional<ReadBytes> stored_bytes;
    std::optional<ReadBytes> content_bytes;
    std::vector<std::uint8_t> stored_buffer;
    std::vector<std::uint8_t> content_buffer;
  };

  Side& of(DiffSide side) { return sides_[side == DiffSide::Old ? 0 : 1]; }
  const Side& of(DiffSide side) const { return sides_[side == DiffSide::Old ? 0 : 1]; }

  std::array<Side, 2> sides_;
};

/// A pair streamed on both sides at once, each comparison once, with memory of a few chunks.
class StreamedFilePair final : public FilePair {
 public:
  StreamedFilePair(const DatDatabase& old_archive, const DatFileEntry& old_entry,
                   const DatDatabase& new_archive, const DatFileEntry& new_entry)
      : archives_{&old_archive, &new_archive}, entries_{&old_entry, &new_entry} {}

  const DatFileEntry& entry(DiffSide side) const override { return *entries_[index(side)]; }
  std::optional<DatError> stored_error(DiffSide side) override;
  bool stored_equal() override;
  std::optional<DatError> content_error(DiffSide side) override;
  bool content_equal() override;
  std::expected<std::uint32_t, DatError> size(DiffSide side) override;

 private:
  /// One side's streamed read: of its stored bytes or of its content.
  using SideRead = std::expected<void, DatError> (*)(const DatDatabase&, const DatFileEntry&,
                                                     const ChunkSink&);

  static std::size_t index(DiffSide side) { return side == DiffSide::Old ? 0 : 1; }
  static std::optional<DatError> error_of(const StreamComparison& compared, DiffSide side);
  /// Both sides read by `read`, compared.
  StreamComparison compare(SideRead read) const;
  const StreamComparison& stored();
  const StreamComparison& content();

  std::array<const DatDatabase*, 2> archives_;
  std::array<const DatFileEntry*, 2> entries_;
  std::optional<StreamComparison> stored_;
  std::optional<StreamComparison> content_;
};

/// True when `entry`'s file is small enough to be held whole while compared: up to 8 MiB stored,
/// or 1 MiB when compressed (it may decode to eight times that).
[[nodiscard]] bool held_whole(const DatFileEntry& entry);

}  // namespace tallowmere_dat::detail
