// The mounted tree's operations in-process, against the library's own reads of the same archive:
// names, attributes, directory paging, reads, the open-file cache's bound and concurrent opens.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "archive_fs.h"
#include "format.h"
#include "json_schema.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/random.h"
#include "tallowmere_testing/sound_table_writer.h"
#include "tallowmere_testing/temp_file.h"

namespace {

using tallowmere_dat::DatDatabase;
using tallowmere_dat::cli::hex;
using tallowmere_dat::mount::ArchiveTree;
using tallowmere_dat::mount::DirEntry;
using tallowmere_dat::mount::kRootNode;
using tallowmere_dat::mount::Node;
using tallowmere_dat::mount::TreeOptions;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kTable = 0x20000001;
constexpr std::uint32_t kDamaged = 0x06000010;
constexpr std::uint8_t kManyType = 0x41;
constexpr std::size_t kMany = 1000;

/// The errno of a failed result, 0 for a success.
template <class Result>
int error_of(const Result& result) {
  return result ? 0 : result.error();
}

Bytes pattern(std::uint32_t id, std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(std::size_t{id} * 31 + i * 7);
  return bytes;
}

/// A sound table, compressed and plain files, a damaged compressed file (its prefix declares
/// more than its stream gives), and a type with many files.
tallowmere_testing::BuiltArchive build_archive() {
  tallowmere_testing::ArchiveBuilder builder({.block_size = 64, .seed = 5});
  builder.add_file(kTable, tallowmere_testing::encode_sound_table(
                               {.id = kTable, .hashes = {{.key = 7, .data = {1, 0.5F, 2}}}}));
  builder.add_compressed_file(0x05000001, pattern(1, 5000));
  builder.add_file(0x05000002, pattern(2, 300));
  builder.add_file(kDamaged, {0xE8, 0x03, 0, 0, 0x00, 0x00}, 1);
  for (std::uint32_t i = 0; i < kMany; ++i)
    builder.add_file((std::uint32_t{kManyType} << 24U) | (i * 3), pattern(i, i % 97));
  return builder.build();
}

class MountTreeTest : public testing::Test {
 protected:
  MountTreeTest() : archive_(build_archive()), file_(archive_.bytes) {}

  DatDatabase open_db() const { return *DatDatabase::open(file_.path()); }

  std::unique_ptr<ArchiveTree> tree(TreeOptions options = {}) {
    return std::make_unique<ArchiveTree>(
        open_db(), file_.path().string(), options,
        [this](std::string_view line) { log_.emplace_back(line); });
  }

  /// The node that `path` ("/0x05/0x05000001") leads to.
  static std::expected<Node, int> walk(const ArchiveTree& tree, std::string_view path) {
    Node node = kRootNode;
    for (std::size_t at = 1; at < path.size();) {
      const std::size_t end = std::min(path.find('/', at), path.size());
      const auto found = tree.lookup(node, path.substr(at, end - at));
      if (!found) return std::unexpected(found.error());
      node = found->st_ino;
      at = end + 1;
    }
    return node;
  }

  /// The whole content of `path`, read `chunk` bytes at a time, or the errno of the open or read.
  static std::expected<Bytes, int> read_all(ArchiveTree& tree, std::string_view path,
                                            std::size_t chunk = 4096) {
    const auto node = walk(tree, path);
    if (!node) return std::unexpected(node.error());
    if (const int error = tree.open(*node, O_RDONLY); error != 0) return std::unexpected(error);
    Bytes all;
    Bytes buffer(chunk);
    for (;;) {
      const auto count = tree.read(*node, all.size(), buffer);
      if (!count) {
        tree.release(*node);
        return std::unexpected(count.error());
      }
      if (*count == 0) break;
      all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*count));
    }
    tree.release(*node);
    return all;
  }

  /// The names `readdir` gives for `path`, `page` entries per call.
  static std::vector<std::string> list(const ArchiveTree& tree, std::string_view path,
                                       std::size_t page) {
    const Node node = *walk(tree, path);
    std::vector<std::string> names;
    std::uint64_t offset = 0;
    for (bool more = true; more;) {
      std::size_t taken = 0;
      EXPECT_EQ(tree.readdir(node, offset,
                             [&](const DirEntry& entry, std::uint64_t next) {
                               if (taken == page) return false;
                               ++taken;
                               names.emplace_back(entry.name);
                               offset = next;
                               return true;
                             }),
                0);
      more = taken == page;
    }
    return names;
  }

  tallowmere_testing::BuiltArchive archive_;
  tallowmere_testing::TempFile file_;
  std::vector<std::string> log_;
};

TEST_F(MountTreeTest, NamesResolveOnlyInTheirCanonicalForm) {
  const auto fs = tree();
  const struct {
    std::string_view path;
    int error;  // 0: found
  } cases[] = {
      {"/0x05", 0},
      {"/0x05/0x05000001", 0},
      {"/0x20/0x20000001", 0},
      {"/sound-tables/0x20000001.json", 0},
      {"/.archive/check.json", 0},
      {"/0x5", ENOENT},
      {"/0x07", ENOENT},
      {"/0x05/0x5000001", ENOENT},
      {"/0x41/0x4100000f", ENOENT},
      {"/0x41/0x4100000F", 0},
      {"/0x05/0x06000010", ENOENT},
      {"/sound-tables/0x05000001.json", ENOENT},
      {"/sound-tables/0x20000001", ENOENT},
      {"/0x05/0x05000001/x", ENOTDIR},
      {"/.archive/other.json", ENOENT},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error_of(walk(*fs, c.path)), c.error) << c.path;
  }
  EXPECT_EQ(error_of(fs->getattr(Node{3} << 32U)), ENOENT);
  EXPECT_EQ(error_of(fs->getattr(0x100 + 0x07)), ENOENT);
}

TEST_F(MountTreeTest, AttributesComeFromTheEntries) {
  const auto fs = tree();
  const DatDatabase db = open_db();
  for (const auto& entry : archive_.entries) {
    const std::string path = "/" + hex(entry.id >> 24U, 2) + "/" + hex(entry.id);
    const auto st = fs->getattr(*walk(*fs, path));
    ASSERT_TRUE(st) << path;
    const auto size = db.decompressed_size(entry);
    EXPECT_EQ(static_cast<std::uint64_t>(st->st_size), size ? *size : entry.size) << path;
    EXPECT_EQ(st->st_mode, static_cast<mode_t>(S_IFREG | 0444));
    EXPECT_EQ(static_cast<std::uint64_t>(st->st_mtim.tv_sec), entry.timestamp);
    EXPECT_EQ(st->st_uid, getuid());
  }
  EXPECT_EQ(fs->getattr(kRootNode)->st_mode, static_cast<mode_t>(S_IFDIR | 0555));
  EXPECT_EQ(static_cast<std::uint64_t>(fs->statfs().f_blocks * fs->statfs().f_frsize),
            archive_.bytes.size());
}

TEST_F(MountTreeTest, EveryFileReadsAsTheLibraryGivesIt) {
  for (const bool raw : {false, true}) {
    const auto fs = tree({.raw = raw});
    const DatDatabase db = open_db();
    for (const auto& entry : archive_.entries) {
      const std::string path = "/" + hex(entry.id >> 24U, 2) + "/" + hex(entry.id);
      const auto expected =
          raw ? db.read_file_data(entry.offset, entry.size) : db.get_file_verified(entry.id);
      const auto got = read_all(*fs, path, 1000);
      ASSERT_EQ(got.has_value(), expected.has_value()) << path;
      if (got) {
        EXPECT_EQ(*got, *expected) << path;
      }
      EXPECT_EQ(error_of(got), expected ? 0 : EIO) << path;
    }
    EXPECT_EQ(fs->cache().open_nodes(), 0U);
  }
}

TEST_F(MountTreeTest, ADamagedFileReadsAsEioAndLogsWhy) {
  const DatDatabase db = open_db();
  ASSERT_FALSE(db.get_file_verified(kDamaged));
  const auto fs = tree();
  EXPECT_GT(fs->getattr(*walk(*fs, "/0x06/0x06000010"))->st_size, 0);
  EXPECT_EQ(error_of(read_all(*fs, "/0x06/0x06000010")), EIO);
  ASSERT_EQ(log_.size(), 1U);
  EXPECT_EQ(log_[0], "/0x06/0x06000010: " + db.get_file_verified(kDamaged).error().message());
}

TEST_F(MountTreeTest, DocumentsAreTheToolsJson) {
  const auto fs = tree();
  const DatDatabase db = open_db();
  const auto text = [](const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); };
  const std::string path = file_.path().string();
  EXPECT_EQ(text(*read_all(*fs, "/.archive/header.json")),
            tallowmere_dat::cli::header_document(path, db).dump(2) + "\n");
  EXPECT_EQ(text(*read_all(*fs, "/.archive/listing.json")),
            tallowmere_dat::cli::listing_document(path, db, {}).dump(2) + "\n");
  const auto table =
      tallowmere_dat::cli::Json::parse(text(*read_all(*fs, "/sound-tables/0x20000001.json")));
  EXPECT_EQ(table.at("archive"), path);
  EXPECT_EQ(table.at("id"), "0x20000001");
  EXPECT_EQ(table.at("hashes").at(0).at("volume"), 2);
  const auto check = tallowmere_dat::cli::Json::parse(text(*read_all(*fs, "/.archive/check.json")));
  EXPECT_EQ(check["archive"], path);
  for (const std::string_view document :
       {"/.archive/header.json", "/.archive/check.json", "/sound-tables/0x20000001.json"}) {
    EXPECT_EQ(static_cast<std::size_t>(fs->getattr(*walk(*fs, document))->st_size),
              read_all(*fs, document)->size())
        << document;
  }
}

TEST_F(MountTreeTest, DirectoriesPageByOffset) {
  const auto fs = tree();
  std::vector<std::string> expected = {".", ".."};
  for (std::uint32_t i = 0; i < kMany; ++i)
    expected.push_back(hex((std::uint32_t{kManyType} << 24U) | (i * 3)));
  for (const std::size_t page : {std::size_t{1}, std::size_t{7}, kMany + 5})
    EXPECT_EQ(list(*fs, "/0x41", page), expected) << page;
  EXPECT_EQ(list(*fs, "/", 3), (std::vector<std::string>{".", "..", ".archive", "sound-tables",
                                                         "0x05", "0x06", "0x20", "0x41"}));
  EXPECT_EQ(list(*fs, "/sound-tables", 2),
            (std::vector<std::string>{".", "..", "0x20000001.json"}));
  EXPECT_EQ(fs->readdir(*walk(*fs, "/0x05/0x05000002"), 0, [](auto&&...) { return true; }),
            ENOTDIR);
}

TEST_F(MountTreeTest, NothingOpensForWriting) {
  const auto fs = tree();
  const Node file = *walk(*fs, "/0x05/0x05000002");
  for (const int flags : {O_WRONLY, O_RDWR, O_RDONLY | O_TRUNC})
    EXPECT_EQ(fs->open(file, flags), EROFS) << flags;
  EXPECT_EQ(fs->open(kRootNode, O_RDONLY), EISDIR);
  EXPECT_EQ(fs->cache().open_nodes(), 0U);
}

TEST_F(MountTreeTest, TheCacheStaysWithinItsBudget) {
  // Files of 0x41 are at most 96 bytes: room for about three of them at once.
  const auto fs = tree({.cache_budget = 300});
  std::vector<Node> nodes;
  Bytes buffer(10);
  for (std::uint32_t i = 90; i < 97; ++i) {
    const Node node = *walk(*fs, "/0x41/" + hex((std::uint32_t{kManyType} << 24U) | (i * 3)));
    ASSERT_EQ(fs->open(node, O_RDONLY), 0);
    ASSERT_EQ(fs->read(node, 0, buffer), 10U);
    EXPECT_LE(fs->cache().kept_bytes(), 300U);
    nodes.push_back(node);
  }
  EXPECT_GT(fs->cache().kept_bytes(), 180U);
  // The evicted first file is decoded again, correctly.
  ASSERT_EQ(fs->read(nodes[0], 80, buffer), 10U);
  const Bytes first = pattern(90, 90);
  EXPECT_EQ(buffer, Bytes(first.begin() + 80, first.end()));
  // A file larger than the whole budget is served without being kept.
  EXPECT_EQ(*read_all(*fs, "/0x05/0x05000001"), pattern(1, 5000));
  EXPECT_LE(fs->cache().kept_bytes(), 300U);
  for (const Node node : nodes)
    fs->release(node);
  EXPECT_EQ(fs->cache().kept_bytes(), 0U);
  EXPECT_EQ(fs->cache().open_nodes(), 0U);
  // Reads without an open (the kernel's zero-message opens) are kept too, within the budget.
  for (const Node node : nodes) {
    ASSERT_EQ(fs->read(node, 0, buffer), 10U);
    EXPECT_LE(fs->cache().kept_bytes(), 300U);
  }
  EXPECT_GT(fs->cache().kept_bytes(), 180U);
  EXPECT_LE(fs->cache().open_nodes(), 3U);
}

TEST_F(MountTreeTest, ConcurrentOpensOfTheSameFilesAgree) {
  const auto fs = tree({.cache_budget = 2000});
  std::vector<std::string> paths;
  paths.reserve(41);
  for (std::uint32_t i = 0; i < 40; ++i)
    paths.push_back("/0x41/" + hex((std::uint32_t{kManyType} << 24U) | (i * 3)));
  paths.emplace_back("/0x05/0x05000001");
  const DatDatabase db = open_db();
  std::atomic<int> mismatches = 0;
  std::vector<std::thread> threads;
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    threads.emplace_back([&, seed] {
      tallowmere_testing::Random random(seed);
      for (int round = 0; round < 300; ++round) {
        const std::string& path = paths[random.below(paths.size())];
        const std::uint32_t id = *tallowmere_dat::cli::parse_hex(path.substr(path.size() - 10), 8);
        const auto got = read_all(*fs, path, 1 + random.below(700));
        const auto expected = db.get_file_verified(id);
        if (!got || !expected || *got != *expected) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(fs->cache().open_nodes(), 0U);
  EXPECT_EQ(fs->cache().kept_bytes(), 0U);
}

}  // namespace
