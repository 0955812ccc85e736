#include "archive_fs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "format.h"
#include "json_schema.h"
#include "tallowmere_dat/check.h"
#include "tallowmere_dat/file_type/sound_table.h"

namespace tallowmere_dat::mount {
namespace {

using cli::hex;

constexpr Node kArchiveDirNode = 2;
constexpr Node kSoundDirNode = 3;
constexpr Node kFirstDocumentNode = 4;
constexpr Node kFirstTypeDirNode = 0x100;
constexpr Node kFileSpace = Node{1} << 32U;
constexpr Node kSoundJsonSpace = Node{2} << 32U;
constexpr std::uint8_t kSoundTableType = 0x20;
constexpr std::string_view kJsonSuffix = ".json";

constexpr std::array<std::string_view, 3> kDocuments = {"header.json", "check.json",
                                                        "listing.json"};

/// The identifier that `name` spells exactly as the tree names it ("0x" and eight upper-case
/// digits), so that each file has one name only.
std::optional<std::uint32_t> canonical_id(std::string_view name) {
  const auto id = cli::parse_hex(name, 8);
  if (!id || hex(*id) != name) return std::nullopt;
  return id;
}

Bytes as_bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

std::string document_text(const cli::Json& document) {
  return document.dump(2) + "\n";
}

}  // namespace

ArchiveTree::ArchiveTree(DatDatabase db, std::string archive_path, TreeOptions options, Log log)
    : db_(std::move(db)),
      archive_path_(std::move(archive_path)),
      options_(options),
      log_(std::move(log)),
      uid_(getuid()),
      gid_(getgid()),
      cache_(options.cache_budget) {
  struct stat archive {};
  if (::stat(archive_path_.c_str(), &archive) == 0) {
    archive_time_ = archive.st_mtim;
    archive_size_ = static_cast<std::uint64_t>(archive.st_size);
  }
  for (unsigned type = 0; type < 256; ++type) {
    if (!db_.files().of_type(static_cast<std::uint8_t>(type)).empty())
      types_.push_back(static_cast<std::uint8_t>(type));
  }
}

std::optional<ArchiveTree::Decoded> ArchiveTree::decode(Node node) const {
  if (node == kRootNode) return Decoded{Kind::Root, 0};
  if (node == kArchiveDirNode) return Decoded{Kind::ArchiveDir, 0};
  if (node == kSoundDirNode) return Decoded{Kind::SoundDir, 0};
  if (node >= kFirstDocumentNode && node < kFirstDocumentNode + kDocuments.size()) {
    return Decoded{Kind::Document, static_cast<std::uint32_t>(node - kFirstDocumentNode)};
  }
  if (node >= kFirstTypeDirNode && node < kFirstTypeDirNode + 256) {
    const auto type = static_cast<std::uint8_t>(node - kFirstTypeDirNode);
    if (!std::ranges::binary_search(types_, type)) return std::nullopt;
    return Decoded{Kind::TypeDir, type};
  }
  const auto id = static_cast<std::uint32_t>(node & 0xFFFFFFFFU);
  const Node space = node & ~Node{0xFFFFFFFFU};
  if (!db_.files().contains(id)) return std::nullopt;
  if (space == kFileSpace) return Decoded{Kind::File, id};
  if (space == kSoundJsonSpace && type_of(id) == kSoundTableType)
    return Decoded{Kind::SoundJson, id};
  return std::nullopt;
}

std::expected<struct stat, int> ArchiveTree::lookup(Node parent, std::string_view name) const {
  const auto what = decode(parent);
  if (!what) return std::unexpected(ENOENT);
  const auto node = child_node(*what, name);
  if (!node) return std::unexpected(node.error());
  return attributes(*node);
}

std::expected<struct stat, int> ArchiveTree::getattr(Node node) const {
  return attributes(node);
}

std::expected<Node, int> ArchiveTree::child_node(const Decoded& parent,
                                                 std::string_view name) const {
  switch (parent.kind) {
    case Kind::Root: {
      if (name == ".archive") return kArchiveDirNode;
      if (name == "sound-tables") return kSoundDirNode;
      const auto type = cli::parse_hex(name, 2);
      if (type && hex(*type, 2) == name && decode(kFirstTypeDirNode + *type))
        return kFirstTypeDirNode + *type;
      break;
    }
    case Kind::ArchiveDir:
      if (const auto at = std::ranges::find(kDocuments, name); at != kDocuments.end())
        return kFirstDocumentNode + static_cast<Node>(at - kDocuments.begin());
      break;
    case Kind::SoundDir:
      if (name.ends_with(kJsonSuffix)) {
        const auto id = canonical_id(name.substr(0, name.size() - kJsonSuffix.size()));
        if (id && decode(kSoundJsonSpace | *id)) return kSoundJsonSpace | *id;
      }
      break;
    case Kind::TypeDir:
      if (const auto id = canonical_id(name); id && type_of(*id) == parent.value) {
        if (decode(kFileSpace | *id)) return kFileSpace | *id;
      }
      break;
    case Kind::Document:
    case Kind::File:
    case Kind::SoundJson:
      return std::unexpected(ENOTDIR);
  }
  return std::unexpected(ENOENT);
}

std::expected<struct stat, int> ArchiveTree::attributes(Node node) const {
  const auto what = decode(node);
  if (!what) return std::unexpected(ENOENT);
  switch (what->kind) {
    case Kind::Document:
      return file_stat(node, file_size(*what, node), archive_time_);
    case Kind::File:
    case Kind::SoundJson: {
      const auto time = static_cast<time_t>(db_.files().find(what->value)->timestamp);
      return file_stat(node, file_size(*what, node), {.tv_sec = time, .tv_nsec = 0});
    }
    default:
      return directory_stat(node);
  }
}

struct stat ArchiveTree::directory_stat(Node node) const {
  struct stat st {};
  st.st_ino = node;
  st.st_mode = S_IFDIR | 0555;
  st.st_nlink = 2;
  st.st_uid = uid_;
  st.st_gid = gid_;
  st.st_atim = st.st_mtim = st.st_ctim = archive_time_;
  return st;
}

struct stat ArchiveTree::file_stat(Node node, std::uint64_t size, struct timespec time) const {
  struct stat st {};
  st.st_ino = node;
  st.st_mode = S_IFREG | 0444;
  st.st_nlink = 1;
  st.st_uid = uid_;
  st.st_gid = gid_;
  st.st_size = static_cast<off_t>(size);
  st.st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
  st.st_blksize = 4096;
  st.st_atim = st.st_mtim = st.st_ctim = time;
  return st;
}

std::uint64_t ArchiveTree::file_size(const Decoded& what, Node node) const {
  if (what.kind != Kind::File) return document_size(what, node);
  const DatFileEntry& entry = *db_.files().find(what.value);
  if (options_.raw) return entry.size;
  const auto size = db_.decompressed_size(entry);
  return size ? *size : std::max<std::uint64_t>(entry.size, 1);
}

std::uint64_t ArchiveTree::document_size(const Decoded& what, Node node) const {
  {
    const std::lock_guard lock(sizes_mutex_);
    if (const auto known = document_sizes_.find(node); known != document_sizes_.end())
      return known->second;
  }
  const auto bytes = content(what);
  const std::uint64_t size = bytes ? bytes->size() : 1;
  const std::lock_guard lock(sizes_mutex_);
  document_sizes_.emplace(node, size);
  return size;
}

std::expected<Bytes, std::string> ArchiveTree::content(const Decoded& what) const {
  switch (what.kind) {
    case Kind::File: {
      const DatFileEntry& entry = *db_.files().find(what.value);
      auto bytes = options_.raw ? db_.read_file_data(entry.offset, entry.size)
                                : db_.get_file_verified(what.value);
      if (!bytes) return std::unexpected(bytes.error().message());
      return std::move(*bytes);
    }
    case Kind::SoundJson: {
      const auto bytes = db_.get_file_verified(what.value);
      if (!bytes) return std::unexpected(bytes.error().message());
      Cursor cursor(*bytes);
      const auto table = file_type::SoundTable::read(cursor);
      if (!table) return std::unexpected("not a complete sound table: " + table.error().message());
      // Every top-level document names its archive, as `sound-table --json` does.
      return as_bytes(document_text(
          cli::with_archive(archive_path_, cli::sound_table_json(what.value, *table))));
    }
    case Kind::Document: {
      if (what.value == 0) return as_bytes(document_text(cli::header_document(archive_path_, db_)));
      if (what.value == 2) {
        return as_bytes(document_text(cli::listing_document(archive_path_, db_, Selection{})));
      }
      const auto report = check_archive(archive_path_);
      if (!report) return std::unexpected(report.error().message());
      return as_bytes(document_text(cli::check_document(archive_path_, *report)));
    }
    default:
      return std::unexpected(std::string(std::strerror(EISDIR)));
  }
}

std::size_t ArchiveTree::child_count(const Decoded& what) const {
  switch (what.kind) {
    case Kind::Root:
      return 2 + types_.size();
    case Kind::ArchiveDir:
      return kDocuments.size();
    case Kind::SoundDir:
      return db_.files().of_type(kSoundTableType).size();
    case Kind::TypeDir:
      return db_.files().of_type(static_cast<std::uint8_t>(what.value)).size();
    default:
      return 0;
  }
}

DirEntry ArchiveTree::child(const Decoded& what, std::size_t index, std::string& name) const {
  switch (what.kind) {
    case Kind::Root:
      if (index == 0) return {".archive", kArchiveDirNode, S_IFDIR};
      if (index == 1) return {"sound-tables", kSoundDirNode, S_IFDIR};
      name = hex(types_[index - 2], 2);
      return {name, kFirstTypeDirNode + types_[index - 2], S_IFDIR};
    case Kind::ArchiveDir:
      return {kDocuments[index], kFirstDocumentNode + index, S_IFREG};
    case Kind::SoundDir: {
      const std::uint32_t id = db_.files().of_type(kSoundTableType)[index].id;
      name = hex(id) + std::string(kJsonSuffix);
      return {name, kSoundJsonSpace | id, S_IFREG};
    }
    default: {
      const std::uint32_t id = db_.files().of_type(static_cast<std::uint8_t>(what.value))[index].id;
      name = hex(id);
      return {name, kFileSpace | id, S_IFREG};
    }
  }
}

int ArchiveTree::readdir(Node node, std::uint64_t offset, const DirSink& sink) const {
  const auto what = decode(node);
  if (!what) return ENOENT;
  if (what->kind == Kind::Document || what->kind == Kind::File || what->kind == Kind::SoundJson)
    return ENOTDIR;
  // Positions 0 and 1 are "." and ".."; the children follow in their sorted order, so an offset
  // is all a later call needs to go on.
  const std::size_t count = child_count(*what);
  std::string name;
  for (std::uint64_t position = offset; position < count + 2; ++position) {
    const DirEntry entry = position == 0   ? DirEntry{".", node, S_IFDIR}
                           : position == 1 ? DirEntry{"..", kRootNode, S_IFDIR}
                                           : child(*what, position - 2, name);
    if (!sink(entry, position + 1)) break;
  }
  return 0;
}

int ArchiveTree::open(Node node, int flags) {
  const auto what = decode(node);
  if (!what) return ENOENT;
  if (what->kind != Kind::Document && what->kind != Kind::File && what->kind != Kind::SoundJson)
    return EISDIR;
  if ((flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC) != 0) return EROFS;
  cache_.open(node);
  return 0;
}

std::expected<std::size_t, int> ArchiveTree::read(Node node, std::uint64_t offset,
                                                  std::span<std::uint8_t> out) {
  SharedBytes bytes = cache_.find(node);
  if (!bytes) {
    const auto what = decode(node);
    if (!what) return std::unexpected(ENOENT);
    auto loaded = content(*what);
    if (!loaded) {
      log_(path_of(*what) + ": " + loaded.error());
      return std::unexpected(EIO);
    }
    bytes = cache_.keep(node, std::make_shared<const Bytes>(std::move(*loaded)));
  }
  if (offset >= bytes->size()) return 0;
  const std::size_t count = std::min<std::uint64_t>(out.size(), bytes->size() - offset);
  std::copy_n(bytes->begin() + static_cast<std::ptrdiff_t>(offset), count, out.begin());
  return count;
}

std::string ArchiveTree::path_of(const Decoded& what) const {
  switch (what.kind) {
    case Kind::File:
      // Appended piece by piece: GCC 12 at -O2 misreads "/" + std::string as an overlapping copy.
      return std::string("/")
          .append(hex(type_of(what.value), 2))
          .append("/")
          .append(hex(what.value));
    case Kind::SoundJson:
      return "/sound-tables/" + hex(what.value) + std::string(kJsonSuffix);
    case Kind::Document:
      return "/.archive/" + std::string(kDocuments[what.value]);
    default:
      return "/";
  }
}

void ArchiveTree::release(Node node) {
  cache_.release(node);
}

struct statvfs ArchiveTree::statfs() const {
  struct statvfs st {};
  st.f_bsize = 4096;
  st.f_frsize = 1;
  st.f_blocks = archive_size_;
  st.f_files = db_.files().size() + types_.size() + 3;
  st.f_namemax = 255;
  st.f_flag = ST_RDONLY | ST_NOSUID;
  return st;
}

}  // namespace tallowmere_dat::mount
