#include "tallowmere_dat/check.h"

#include <algorithm>
#include <map>
#include <new>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "archive_source.h"
#include "block_chain.h"
#include "chain_trace.h"
#include "directory.h"
#include "directory_scan.h"
#include "format_detail.h"
#include "tallowmere_dat/file_index.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_dat/lrs.h"
#include "window_source.h"

namespace tallowmere_dat {
namespace {

using detail::DirectoryScan;
using detail::hex32;
using detail::ScannedEntry;
using detail::ScannedNode;
using detail::TracedChain;

std::string hex_offset(std::uint64_t value) {
  return "0x" + detail::hex(value, 8);
}

/// "1 byte", "2 bytes".
std::string byte_count(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

std::string owner_name(Owner owner) {
  switch (owner.kind) {
    case Owner::Kind::Header:
      return "the header";
    case Owner::Kind::Node:
      return "directory node " + hex32(owner.ref);
    case Owner::Kind::File:
      break;
  }
  return "file " + hex32(owner.ref);
}

/// Identifiers are exclusive bounds one beyond the u32 range on either side when absent.
struct SlotBounds {
  std::int64_t low = -1;
  std::int64_t high = std::int64_t{1} << 32;

  bool holds(std::uint32_t id) const { return low < id && id < high; }
  static std::string bound(std::int64_t value) {
    return value < 0 || value > 0xFFFFFFFF ? "none" : hex32(static_cast<std::uint32_t>(value));
  }
};

class Checker {
 public:
  explicit Checker(const detail::OpenedArchive& archive)
      : header_(archive.header), length_(archive.length), source_(*archive.source) {}

  std::expected<CheckReport, DatError> run(CheckDepth depth) {
    const std::uint32_t block_size = header_.block_size;
    if (block_size <= 4) {
      add(FindingKind::BlockSizeTooSmall, Severity::Error, {DatHeader::kOffset + 4}, {},
          "block_size " + std::to_string(block_size) +
              " leaves no room for data after a block's 4-byte pointer");
    }
    if (length_ < header_.file_size) {
      add(FindingKind::FileShort, Severity::Error, {length_, header_.file_size}, {},
          "the file is " + byte_count(length_) + " long, shorter than the " +
              std::to_string(header_.file_size) + " its header declares");
    }
    extents_.push_back({0, std::min<std::uint64_t>(length_, 0x190), Owner{}});
    // In a sound archive each block belongs to one chain and each stored byte to one file. Chains
    // that share blocks many times over would make checking them all take time quadratic in the
    // file's size, so the work, the directory's included, stops at a few times what it holds.
    std::uint64_t blocks_left =
        kOverlapFactor * (length_ / std::max<std::uint32_t>(block_size, 1) + 1);
    auto scan =
        detail::scan_directory(source_, block_size, header_.root_offset, length_, blocks_left);
    if (!scan) return std::unexpected(std::move(scan.error()));
    for (const ScannedNode& node : scan->nodes)
      blocks_left -= std::min(blocks_left, node.chain.blocks.size());
    if (scan->stopped) {
      add(FindingKind::CheckStopped, Severity::Error, {}, {},
          "the directory nodes' chains claim more than " + std::to_string(kOverlapFactor) +
              " times the blocks the file holds: the rest of the archive is not checked");
    }
    check_directory(*scan);
    std::vector<DatFileEntry> files;
    files.reserve(scan->kept.size());
    for (const std::size_t i : scan->kept)
      files.push_back(scan->entries[i].entry);
    report_duplicates(*scan);
    if (!scan->stopped) {
      if (auto checked = check_files(files, depth, blocks_left); !checked) {
        return std::unexpected(std::move(checked.error()));
      }
    }
    report_file_findings(FilePhase::Chains);
    build_segments();
    report_file_findings(FilePhase::Contents);
    layout_.file_length = length_;
    layout_.block_size = block_size;
    layout_.entry_count = files.size();
    return CheckReport{std::move(findings_), std::move(layout_)};
  }

 private:
  /// The two parts of the files' pass whose findings are reported apart: the chains' before the
  /// overlaps between them, the contents' after.
  enum class FilePhase : std::uint8_t { Chains, Contents };

  /// A finding of the files' pass, held back to be reported in identifier order whatever the
  /// order the files were read in.
  struct FileFinding {
    FilePhase phase;
    std::size_t rank;  ///< the file's place in identifier order
    Finding finding;
  };

  /// Traces every file's chain and, with `CheckDepth::Full`, decodes each complete compressed
  /// entry and sound table from the bytes the trace collects, so that each chain is read once.
  /// The files are read in ascending offset order through a window, so the archive is read about
  /// once in large reads. Where a budget runs out, which files it stops at depends on the order,
  /// so then the pass is made again in identifier order, as the findings name it.
  std::expected<void, DatError> check_files(std::span<const DatFileEntry> files, CheckDepth depth,
                                            std::uint64_t blocks_left) {
    held_up_to_ = findings_.size();
    std::vector<std::size_t> order(files.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::ranges::stable_sort(order, {}, [&](std::size_t i) { return files[i].offset; });
    const std::size_t extents = extents_.size();
    const ArchiveLayout layout = layout_;
    detail::WindowSource window(source_);
    auto swept = sweep_files(files, order, depth, blocks_left, &window);
    if (!swept) return std::unexpected(std::move(swept.error()));
    if (*swept) return {};
    extents_.resize(extents);
    layout_ = layout;
    file_findings_.clear();
    std::iota(order.begin(), order.end(), std::size_t{0});
    swept = sweep_files(files, order, depth, blocks_left, nullptr);
    if (!swept) return std::unexpected(std::move(swept.error()));
    return {};
  }

  /// The files' pass over `files` in `order`, read through `window` when given. Without a
  /// window (in identifier order) a budget that runs out stops the pass with a finding; with
  /// one, it makes the pass return false at once.
  std::expected<bool, DatError> sweep_files(std::span<const DatFileEntry> files,
                                            std::span<const std::size_t> order, CheckDepth depth,
                                            std::uint64_t blocks_left,
                                            detail::WindowSource* window) {
    const detail::BlockSource& source =
        window != nullptr ? static_cast<const detail::BlockSource&>(*window) : source_;
    const std::uint32_t block_size = header_.block_size;
    std::uint64_t bytes_left = depth == CheckDepth::Full ? kOverlapFactor * (length_ + 1) : 0;
    bool contents_stopped = depth != CheckDepth::Full;
    for (const std::size_t rank : order) {
      const DatFileEntry& entry = files[rank];
      const bool wanted = !contents_stopped && entry.size <= bytes_left && needs_contents(entry);
      if (window != nullptr && entry.size > 0) {
        window->cover(entry.offset, detail::contiguous_extent(block_size, entry.size));
      }
      stored_.clear();
      auto chain = detail::trace_chain(source, block_size, entry.offset, entry.size, length_,
                                       blocks_left, wanted ? &stored_ : nullptr);
      if (!chain) return std::unexpected(DatError(std::move(chain.error())));
      if (chain->end == detail::ChainEnd::OverBudget) {
        if (window != nullptr) return false;
        stop(entry.id, "the files' chains claim more than " + std::to_string(kOverlapFactor) +
                           " times the blocks the file holds");
        hold_back(FilePhase::Chains, rank);
        break;
      }
      blocks_left -= chain->blocks.size();
      check_chain({Owner::Kind::File, entry.id}, *chain);
      hold_back(FilePhase::Chains, rank);
      if (!chain->blocks.empty()) {
        const std::size_t runs = detail::run_count(*chain, block_size);
        layout_.chains += 1;
        layout_.contiguous_chains += runs == 1 ? 1 : 0;
        layout_.runs += runs;
      }
      if (chain->end != detail::ChainEnd::Complete || contents_stopped) continue;
      if (entry.size > bytes_left) {
        if (window != nullptr) return false;
        stop(entry.id, "the files' stored bytes add up to more than " +
                           std::to_string(kOverlapFactor) + " times the file's length");
        contents_stopped = true;
      } else {
        bytes_left -= entry.size;
        if (wanted) check_contents(entry, stored_);
      }
      hold_back(FilePhase::Contents, rank);
    }
    return true;
  }

  static bool needs_contents(const DatFileEntry& entry) {
    return is_sound_table_id(entry.id) || entry.is_compressed();
  }

  /// Moves the findings made since the last call, for the file of `rank`, to those held back.
  void hold_back(FilePhase phase, std::size_t rank) {
    for (std::size_t i = held_up_to_; i < findings_.size(); ++i)
      file_findings_.push_back({phase, rank, std::move(findings_[i])});
    findings_.resize(held_up_to_);
  }

  /// Reports the held-back findings of `phase` in identifier order.
  void report_file_findings(FilePhase phase) {
    std::vector<FileFinding*> ordered;
    for (FileFinding& held : file_findings_) {
      if (held.phase == phase) ordered.push_back(&held);
    }
    std::ranges::stable_sort(ordered, {}, &FileFinding::rank);
    for (FileFinding* held : ordered)
      findings_.push_back(std::move(held->finding));
    held_up_to_ = findings_.size();
  }

  struct Extent {
    std::uint64_t begin;
    std::uint64_t end;
    Owner owner;
  };

  /// How many times over the chains may claim the file's blocks, or the files its bytes.
  static constexpr std::uint64_t kOverlapFactor = 4;

  void stop(std::uint32_t id, const std::string& why) {
    add(FindingKind::CheckStopped, Severity::Error, {}, {id},
        why + ": files from " + hex32(id) + " on are not checked further");
  }

  void add(FindingKind kind, Severity severity, std::vector<std::uint64_t> offsets,
           std::vector<std::uint32_t> ids, std::string message) {
    findings_.push_back({kind, severity, std::move(offsets), std::move(ids), std::move(message)});
  }

  static std::string reached_as(const DirectoryScan& scan, const ScannedNode& node) {
    if (!node.parent) return "the root";
    return "slot " + std::to_string(node.slot) + " of node " +
           hex32(scan.nodes[*node.parent].offset);
  }

  void check_directory(const DirectoryScan& scan) {
    std::vector<SlotBounds> ranges(scan.nodes.size());
    for (std::size_t i = 0; i < scan.nodes.size(); ++i) {
      const ScannedNode& node = scan.nodes[i];
      const std::string name = "directory node " + hex32(node.offset);
      if (node.error) {
        add(FindingKind::DirectoryUnreadable, Severity::Error, {node.offset}, {},
            name + " (" + reached_as(scan, node) + ") can't be read: " + node.error->message());
        continue;
      }
      check_chain({Owner::Kind::Node, node.offset}, node.chain);
      const std::span<const ScannedEntry> entries =
          std::span(scan.entries).subspan(node.first_entry, node.entry_count);
      if (node.parent) ranges[i] = slot_range(scan, ranges[*node.parent], *node.parent, node.slot);
      check_order(name, node.offset, entries);
      const auto outside = std::ranges::find_if(
          entries, [&](const ScannedEntry& e) { return !ranges[i].holds(e.entry.id); });
      if (outside != entries.end()) {
        add(FindingKind::ChildOutOfRange, Severity::Warning, {node.offset}, {outside->entry.id},
            name + " (" + reached_as(scan, node) + "): id " + hex32(outside->entry.id) +
                " lies outside its slot's range, between " + SlotBounds::bound(ranges[i].low) +
                " and " + SlotBounds::bound(ranges[i].high));
      }
    }
    for (const detail::NodeLink& link : scan.links) {
      const std::uint32_t parent = scan.nodes[link.parent].offset;
      const ScannedNode& target = scan.nodes[link.target];
      const std::string slot = "slot " + std::to_string(link.slot);
      if (link.on_path) {
        add(FindingKind::DirectoryCycle, Severity::Error, {parent, target.offset}, {},
            "directory node " + hex32(parent) + " " + slot + " leads back to node " +
                hex32(target.offset) + " on its own path");
      } else {
        add(FindingKind::SharedNode, Severity::Error, {target.offset, parent}, {},
            "directory node " + hex32(target.offset) + " is reached from " + slot + " of node " +
                hex32(parent) + " as well as from " + reached_as(scan, target));
      }
    }
  }

  /// The range of identifiers that the child in `slot` of node `parent` may hold.
  static SlotBounds slot_range(const DirectoryScan& scan, SlotBounds outer, std::size_t parent,
                               std::uint32_t slot) {
    const ScannedNode& node = scan.nodes[parent];
    const std::span<const ScannedEntry> entries =
        std::span(scan.entries).subspan(node.first_entry, node.entry_count);
    if (slot > 0 && slot <= entries.size()) outer.low = entries[slot - 1].entry.id;
    if (slot < entries.size()) outer.high = entries[slot].entry.id;
    return outer;
  }

  void check_order(const std::string& name, std::uint32_t offset,
                   std::span<const ScannedEntry> entries) {
    const auto broken = std::ranges::adjacent_find(
        entries,
        [](const ScannedEntry& a, const ScannedEntry& b) { return b.entry.id <= a.entry.id; });
    if (broken == entries.end()) return;
    const ScannedEntry& next = *std::next(broken);
    add(FindingKind::IdOrder, Severity::Warning, {offset}, {broken->entry.id, next.entry.id},
        name + ": entry " + std::to_string(next.index) + " (id " + hex32(next.entry.id) +
            ") does not ascend from entry " + std::to_string(broken->index) + " (id " +
            hex32(broken->entry.id) + ")");
  }

  /// Reports each identifier that occurs in more than one entry record, naming the one the
  /// reader keeps.
  void report_duplicates(const DirectoryScan& scan) {
    const auto id_of = [&](std::size_t i) { return scan.entries[i].entry.id; };
    std::vector<std::size_t> order(scan.entries.size());
    for (std::size_t i = 0; i < order.size(); ++i)
      order[i] = i;
    std::ranges::stable_sort(order, {}, id_of);
    auto kept = scan.kept.begin();
    for (auto first = order.begin(); first != order.end();) {
      const std::uint32_t id = id_of(*first);
      const auto last =
          std::find_if(first, order.end(), [&](std::size_t i) { return id_of(i) != id; });
      while (kept != scan.kept.end() && id_of(*kept) < id)
        ++kept;
      if (last - first > 1 && kept != scan.kept.end() && id_of(*kept) == id) {
        report_duplicate(scan, std::span<const std::size_t>(first, last), *kept);
      }
      first = last;
    }
  }

  void report_duplicate(const DirectoryScan& scan, std::span<const std::size_t> group,
                        std::size_t winner) {
    const auto place = [&](std::size_t i) {
      const ScannedEntry& e = scan.entries[i];
      return "node " + hex32(scan.nodes[e.node].offset) + " entry " + std::to_string(e.index);
    };
    const std::uint32_t id = scan.entries[winner].entry.id;
    std::string message = "id " + hex32(id) + " occurs " + std::to_string(group.size()) + " times:";
    std::vector<std::uint64_t> offsets;
    for (const std::size_t i : group) {
      message += (i == group.front() ? " " : ", ") + place(i);
      const ScannedEntry& e = scan.entries[i];
      offsets.push_back(detail::file_offset_of(scan.nodes[e.node].chain,
                                               detail::kEntriesAt + e.index * DatFileEntry::kSize)
                            .value_or(scan.nodes[e.node].offset));
    }
    add(FindingKind::DuplicateId, Severity::Error, std::move(offsets), {id},
        message + "; " + place(winner) + " wins");
  }

  void check_chain(Owner owner, const TracedChain& chain) {
    const std::uint32_t block_size = header_.block_size;
    for (const detail::TracedBlock& block : chain.blocks) {
      const std::uint64_t end =
          std::min(std::max(std::uint64_t{block.offset} + block_size, block.payload_end), length_);
      if (block.offset >= end) continue;
      if (extents_.back().owner == owner && extents_.back().end == block.offset) {
        extents_.back().end = end;
      } else {
        extents_.push_back({block.offset, end, owner});
      }
    }
    std::vector<std::uint32_t> ids;
    if (owner.kind == Owner::Kind::File) ids.push_back(owner.ref);
    const std::string name = owner_name(owner) + ": chain";
    switch (chain.end) {
      case detail::ChainEnd::Complete:
      case detail::ChainEnd::BlockSizeTooSmall:  // reported once, for the header
      case detail::ChainEnd::OverBudget:         // reported as the check's stop
        return;
      case detail::ChainEnd::PastEnd: {
        const detail::TracedBlock& last = chain.blocks.back();
        add(FindingKind::ChainPastEnd, Severity::Error, {last.offset, last.payload_end},
            std::move(ids),
            name + " runs past the end of the file: block " + hex32(last.offset) +
                " needs bytes up to " + hex_offset(last.payload_end) + ", the file ends at " +
                hex_offset(length_));
        return;
      }
      case detail::ChainEnd::Loop: {
        const std::uint32_t from = chain.blocks.back().offset;
        add(FindingKind::ChainLoop, Severity::Error, {from, chain.at}, std::move(ids),
            name + " loops: block " + hex32(from) + " leads back to block " + hex32(chain.at));
        return;
      }
      case detail::ChainEnd::BadOffset: {
        std::vector<std::uint64_t> offsets{chain.at};
        if (!chain.blocks.empty()) offsets.push_back(chain.blocks.back().offset);
        add(FindingKind::ChainBadOffset, Severity::Error, std::move(offsets), std::move(ids),
            name + " meets block offset " + hex32(chain.at) +
                ", which leaves no payload position below 4 GiB");
        return;
      }
    }
  }

  /// Cuts the file into ranges by how many owners claim them, and reports each range claimed by
  /// two different owners (adjacent ranges of the same two owners as one).
  void build_segments() {
    struct Event {
      std::uint64_t at;
      bool starts;
      std::size_t extent;
    };
    std::vector<Event> events;
    events.reserve(extents_.size() * 2);
    for (std::size_t i = 0; i < extents_.size(); ++i) {
      events.push_back({extents_[i].begin, true, i});
      events.push_back({extents_[i].end, false, i});
    }
    // Ends before starts at one position: touching ranges don't overlap.
    std::ranges::sort(events, [](const Event& a, const Event& b) {
      return a.at != b.at ? a.at < b.at : (!a.starts && b.starts);
    });
    std::map<Owner, std::uint32_t> active;
    std::optional<std::pair<Owner, Owner>> last_pair;
    std::uint64_t at = 0;
    const auto emit = [&](std::uint64_t to) {
      if (to <= at) return;
      Segment segment{.begin = at,
                      .end = to,
                      .owner = active.empty() ? Owner{} : active.begin()->first,
                      .claims = static_cast<std::uint32_t>(active.size())};
      layout_.segments.push_back(segment);
      if (active.size() >= 2) claimed_twice(segment, std::next(active.begin())->first, last_pair);
      at = to;
    };
    for (const Event& event : events) {
      emit(event.at);
      const Owner owner = extents_[event.extent].owner;
      if (event.starts) {
        ++active[owner];
      } else if (--active[owner] == 0) {
        active.erase(owner);
      }
    }
    emit(length_);
  }

  void claimed_twice(const Segment& segment, Owner other,
                     std::optional<std::pair<Owner, Owner>>& last_pair) {
    const std::pair<Owner, Owner> pair{segment.owner, other};
    if (last_pair == pair && findings_.back().offsets[1] == segment.begin) {
      Finding& finding = findings_.back();
      finding.offsets[1] = segment.end;
      finding.message = claimed_message(pair, finding.offsets[0], segment.end);
      return;
    }
    last_pair = pair;
    std::vector<std::uint32_t> ids;
    for (const Owner owner : {pair.first, pair.second}) {
      if (owner.kind == Owner::Kind::File) ids.push_back(owner.ref);
    }
    add(FindingKind::ClaimedTwice, Severity::Error, {segment.begin, segment.end}, std::move(ids),
        claimed_message(pair, segment.begin, segment.end));
  }

  static std::string claimed_message(const std::pair<Owner, Owner>& pair, std::uint64_t begin,
                                     std::uint64_t end) {
    return "bytes " + hex_offset(begin) + " to " + hex_offset(end) + " are claimed by " +
           owner_name(pair.first) + " and by " + owner_name(pair.second);
  }

  /// Decodes the contents of `entry`, a compressed entry or a sound table whose chain is
  /// complete, from its stored bytes.
  void check_contents(const DatFileEntry& entry, const std::vector<std::uint8_t>& stored) {
    const std::vector<std::uint8_t>* content = &stored;
    if (entry.is_compressed() && entry.size > 0) {
      const std::optional<std::uint32_t> declared = decompress_lrs_into(stored, decompressed_);
      if (!declared || decompressed_.size() != *declared) {
        add(FindingKind::DecompressionShort, Severity::Error, {entry.offset}, {entry.id},
            declared ? "file " + hex32(entry.id) + ": compressed stream gives " +
                           byte_count(decompressed_.size()) + ", its prefix declares " +
                           std::to_string(*declared)
                     : "file " + hex32(entry.id) + ": compressed entry of " +
                           byte_count(entry.size) + " is too short for its size prefix");
        return;
      }
      content = &decompressed_;
    }
    if (is_sound_table_id(entry.id)) check_sound_table(entry, *content);
  }

  void check_sound_table(const DatFileEntry& entry, std::span<const std::uint8_t> content) {
    Cursor cursor(content);
    auto decoded = file_type::SoundTable::read(cursor);
    const std::string name = "sound table " + hex32(entry.id) + ": ";
    if (!decoded) {
      add(FindingKind::SoundTableUndecodable, Severity::Error, {entry.offset}, {entry.id},
          name + "not a complete sound table: " + decoded.error().message());
      return;
    }
    const std::size_t used = content.size() - cursor.remaining().size();
    if (used < content.size()) {
      add(FindingKind::SoundTableTrailing, Severity::Error, {entry.offset}, {entry.id},
          name + byte_count(content.size() - used) +
              " left over after its last sound record, from byte " + std::to_string(used) + " of " +
              std::to_string(content.size()));
    }
  }

  DatHeader header_;
  std::uint64_t length_;
  const detail::BlockSource& source_;
  std::vector<Finding> findings_;
  std::vector<Extent> extents_;
  ArchiveLayout layout_;
  std::vector<FileFinding> file_findings_;
  /// Where the findings not made by the files' pass end.
  std::size_t held_up_to_ = 0;
  std::vector<std::uint8_t> stored_;
  std::vector<std::uint8_t> decompressed_;
};

}  // namespace

std::string_view finding_name(FindingKind kind) {
  switch (kind) {
    case FindingKind::BlockSizeTooSmall:
      return "block-size-too-small";
    case FindingKind::FileShort:
      return "file-short";
    case FindingKind::DirectoryUnreadable:
      return "directory-unreadable";
    case FindingKind::DirectoryCycle:
      return "directory-cycle";
    case FindingKind::SharedNode:
      return "shared-node";
    case FindingKind::DuplicateId:
      return "duplicate-id";
    case FindingKind::IdOrder:
      return "id-order";
    case FindingKind::ChildOutOfRange:
      return "child-out-of-range";
    case FindingKind::ChainPastEnd:
      return "chain-past-end";
    case FindingKind::ChainLoop:
      return "chain-loop";
    case FindingKind::ChainBadOffset:
      return "chain-bad-offset";
    case FindingKind::ClaimedTwice:
      return "claimed-twice";
    case FindingKind::DecompressionShort:
      return "decompression-short";
    case FindingKind::SoundTableUndecodable:
      return "sound-table-undecodable";
    case FindingKind::SoundTableTrailing:
      return "sound-table-trailing";
    case FindingKind::CheckStopped:
      return "check-stopped";
  }
  return "unknown";
}

namespace {

std::expected<CheckReport, DatError> check(std::expected<detail::OpenedArchive, DatError> archive,
                                           CheckDepth depth) {
  if (!archive) return std::unexpected(std::move(archive.error()));
  try {
    return Checker(*archive).run(depth);
  } catch (const std::bad_alloc&) {
    return std::unexpected(DatError(IoError::with_message(
        IoErrorKind::OutOfMemory, "memory allocation failed checking the archive")));
  }
}

}  // namespace

std::expected<CheckReport, DatError> check_archive(const std::filesystem::path& path,
                                                   CheckDepth depth) {
  return check(detail::open_archive(path), depth);
}

std::expected<CheckReport, DatError> check_archive(std::span<const std::uint8_t> bytes,
                                                   CheckDepth depth) {
  return check(detail::open_archive(bytes), depth);
}

}  // namespace tallowmere_dat
