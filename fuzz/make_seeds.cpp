// Writes the seed corpora of the fuzz targets, built with the test archive builder and encoders:
// OUTPUT_DIR/lrs, OUTPUT_DIR/sound_table, OUTPUT_DIR/archive and OUTPUT_DIR/inspect (the archive
// seeds and flawed shapes for the integrity check). Usage: make_seeds OUTPUT_DIR

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/hostile_archives.h"
#include "tallowmere_testing/lrs_codec.h"
#include "tallowmere_testing/sound_table_writer.h"

namespace {

namespace fs = std::filesystem;
using tallowmere_dat::file_type::SoundEntry;
using tallowmere_testing::SoundRecordLayout;
using tallowmere_testing::SoundTableLayout;
using Bytes = std::vector<std::uint8_t>;

class SeedWriter {
 public:
  SeedWriter(const fs::path& root, const char* corpus) : dir_(root / corpus) {
    fs::create_directories(dir_);
  }
  void add(const std::string& name, const Bytes& bytes) {
    ok_ = tallowmere_testing::write_archive(dir_ / name, bytes) && ok_;
  }
  bool ok() const { return ok_; }

 private:
  fs::path dir_;
  bool ok_ = true;
};

Bytes text(const std::string& s) {
  return {s.begin(), s.end()};
}

/// Bytes from a fixed generator: incompressible content.
Bytes noise(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  for (auto& b : out) {
    seed = seed * 1664525U + 1013904223U;
    b = static_cast<std::uint8_t>(seed >> 24U);
  }
  return out;
}

SoundRecordLayout slot(std::uint32_t key, const std::vector<std::uint32_t>& waves) {
  SoundRecordLayout record{.key = key};
  for (const std::uint32_t wave : waves)
    record.data.entries.push_back(SoundEntry{wave, 1.0F, 0.5F, 0.25F});
  return record;
}

std::vector<SoundTableLayout> table_specs() {
  std::vector<SoundTableLayout> specs;
  specs.push_back({.id = 0x20000001, .sounds = {slot(0x76, {0x0A0004D2})}});
  specs.push_back({.id = 0x20000002});
  specs.push_back({.id = 0x20000003,
                   .hash_key = -5,
                   .hashes = {{1, {1, 2, 3}}, {2, {0.5F, -0.0F, 1e30F}}},
                   .sounds = {slot(0x46, {}), slot(0x8A, {1, 2, 3}), slot(0x10, {4})}});
  specs.push_back({.id = 0x20000004,
                   .hashes = {{7, {1, 1, 1}}, {7, {2, 2, 2}}},
                   .sounds = {slot(0x80, {5}), slot(0x80, {6, 7})}});
  specs.push_back({.id = 0x20000005,
                   .sounds = {slot(0x77, {8})},
                   .declared_hashes = -1,
                   .trailing = text("trailing bytes")});
  specs.push_back({.id = 0x20000006, .declared_hashes = -7, .declared_sounds = -1});
  SoundTableLayout many{.id = 0x20000007};
  for (std::uint32_t i = 0; i < 40; ++i)
    many.sounds.push_back(slot(0x40 + i, {0x0A000000 + i, i}));
  specs.push_back(many);
  SoundTableLayout nan{.id = 0x20000008, .hashes = {{3, {__builtin_nanf("1"), 0, 0}}}};
  specs.push_back(nan);
  SoundTableLayout lying{.id = 0x20000009, .sounds = {slot(0x78, {1})}};
  lying.sounds[0].declared_entries = 3;
  specs.push_back(lying);
  return specs;
}

void lrs_seeds(SeedWriter& out) {
  // The worked example and the edge cases of the format, as raw streams.
  const std::vector<std::pair<const char*, Bytes>> streams = {
      {"empty", {}},
      {"two-bytes", {0x41, 0x42}},
      {"prefix-only", {0x10, 0, 0, 0}},
      {"worked-example", {0x0A, 0, 0, 0, 0x10, 0x61, 0x62, 0x63, 0x03, 0x05}},
      {"cut-reference", {0x03, 0, 0, 0, 0x40, 0x41, 0x01, 0x0F}},
      {"overlap", {0x05, 0, 0, 0, 0x40, 0x41, 0x01, 0x02}},
      {"beyond-start", {0x05, 0, 0, 0, 0x20, 0x78, 0x79, 0x05, 0x01}},
      {"end-marker", {0x08, 0, 0, 0, 0x40, 0x41, 0x00, 0x00, 0x42}},
      {"ninth-token", {0x09, 0, 0, 0, 0, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0, 0x49}},
      {"first-token-reference", {0x09, 0, 0, 0, 0x80, 0x05, 0x03}},
      {"largest-fields", {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x41, 0xFF, 0xFF, 0x01, 0x0F}},
  };
  for (const auto& [name, bytes] : streams)
    out.add(name, bytes);
  out.add("greedy-4gib", tallowmere_testing::hostile_detail::greedy_lrs(0xFFFFFFFF, 40));
  // Encoder output over content that takes every path: text, runs, noise, long periods.
  std::string prose;
  for (int i = 0; i < 40; ++i)
    prose += "the slot plays wave " + std::to_string(i * 37 % 11) + " at volume 0.5; ";
  out.add("prose", tallowmere_testing::lrs_compress(text(prose)));
  out.add("run", tallowmere_testing::lrs_compress(Bytes(3000, 0x5A)));
  out.add("noise", tallowmere_testing::lrs_compress(noise(1500, 7)));
  Bytes periodic;
  for (int i = 0; i < 2500; ++i)
    periodic.push_back(static_cast<std::uint8_t>(i % 13 + (i / 1000)));
  out.add("periods", tallowmere_testing::lrs_compress(periodic));
  for (const auto& table_layout : table_specs()) {
    out.add("table-" + std::to_string(table_layout.id & 0xFF),
            tallowmere_testing::lrs_compress(tallowmere_testing::encode_sound_table(table_layout)));
  }
}

void sound_table_seeds(SeedWriter& out) {
  for (const auto& table_layout : table_specs()) {
    const Bytes bytes = tallowmere_testing::encode_sound_table(table_layout);
    out.add("table-" + std::to_string(table_layout.id & 0xFF), bytes);
  }
  Bytes cut = tallowmere_testing::encode_sound_table(table_specs()[2]);
  cut.resize(cut.size() - 3);
  out.add("cut-in-unknown", cut);
  out.add("empty", {});
}

void archive_seeds(SeedWriter& out) {
  using tallowmere_testing::ArchiveBuilder;
  const std::vector<SoundTableLayout> specs = table_specs();
  const struct {
    const char* name;
    tallowmere_testing::ArchiveOptions options;
    std::size_t files;
    bool compress;
  } shapes[] = {
      {"empty", {.block_size = 256}, 0, false},
      {"one-leaf", {.block_size = 128, .seed = 3, .spare_percent = 0}, 4, false},
      {"compressed", {.block_size = 128, .seed = 4, .spare_percent = 0}, 5, true},
      {"binary-tree", {.block_size = 96, .seed = 5, .fan_out = 1, .spare_percent = 0}, 3, false},
      {"fan-out-2", {.block_size = 64, .seed = 6, .fan_out = 2, .spare_percent = 0}, 5, true},
      {"tiny-blocks", {.block_size = 24, .seed = 7, .spare_percent = 0}, 2, false},
      {"junk-tails",
       {.block_size = 100, .seed = 8, .spare_percent = 5, .junk_tail_pointers = true},
       4,
       true},
      {"whole-node-blocks",
       {.block_size = tallowmere_testing::kNodeSize + 4, .seed = 9, .spare_percent = 0},
       3,
       false},
  };
  for (const auto& shape : shapes) {
    ArchiveBuilder builder(shape.options);
    for (std::size_t i = 0; i < shape.files; ++i) {
      const SoundTableLayout& table_layout = specs[i % specs.size()];
      const Bytes table = tallowmere_testing::encode_sound_table(table_layout);
      const std::uint32_t id = 0x20000000 + static_cast<std::uint32_t>(i) * 3;
      if (shape.compress && i % 2 == 0) {
        builder.add_compressed_file(id, table);
      } else {
        builder.add_file(id, table);
      }
      if (i % 3 == 0) builder.add_file(0x0A000000 + static_cast<std::uint32_t>(i), noise(90, 1));
    }
    out.add(shape.name, builder.build().bytes);
  }
  int index = 0;
  for (const auto& hostile : tallowmere_testing::hostile_archives()) {
    out.add("hostile-" + std::to_string(index++), hostile.bytes);
  }
}

/// Archives with the flaws the integrity check names that the hostile ones lack: an identifier in
/// a node and its child, two files on one block, a compressed entry too short for its prefix and
/// a chain of three blocks whose size takes it back to its first.
void inspect_seeds(SeedWriter& out) {
  using tallowmere_dat::DatFileEntry;
  using tallowmere_testing::ArchiveImage;
  constexpr std::uint32_t kBlock = 32;
  const auto archive = [](auto lay_out) {
    ArchiveImage image(kBlock);
    std::vector<DatFileEntry> entries;
    lay_out(image, entries);
    image.header().root_offset = image.append_node({.entries = entries});
    return std::move(image).release();
  };
  const auto stored = [](ArchiveImage& image, std::uint32_t id, const Bytes& bytes,
                         std::uint32_t flags) {
    return DatFileEntry{.bit_flags = flags,
                        .id = id,
                        .offset = image.append_chain(bytes),
                        .size = static_cast<std::uint32_t>(bytes.size())};
  };
  out.add("duplicate-id", [] {
    ArchiveImage image(kBlock);
    const std::uint32_t leaf = image.append_node({.entries = {{.bit_flags = 2, .id = 5}}});
    image.header().root_offset = image.append_node({.branches = {leaf}, .entries = {{.id = 5}}});
    return std::move(image).release();
  }());
  out.add("shared-block", archive([&](ArchiveImage& image, std::vector<DatFileEntry>& entries) {
            entries.push_back(stored(image, 0x01000001, noise(40, 2), 0));
            entries.push_back({.id = 0x01000002, .offset = entries[0].offset, .size = 20});
          }));
  out.add("short-compressed", archive([&](ArchiveImage& image, std::vector<DatFileEntry>& entries) {
            entries.push_back(stored(image, 0x0D000001, {7, 0}, 1));
          }));
  out.add("chain-loop", archive([](ArchiveImage& image, std::vector<DatFileEntry>& entries) {
            const std::vector<std::uint32_t> blocks{image.append(kBlock), image.append(kBlock),
                                                    image.append(kBlock)};
            image.write_chain(blocks, noise(3 * (kBlock - 4), 3), blocks[0]);
            entries.push_back({.id = 1, .offset = blocks[0], .size = 4 * (kBlock - 4)});
          }));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    (void)std::fputs("usage: make_seeds OUTPUT_DIR\n", stderr);
    return 2;
  }
  const fs::path root = argv[1];
  SeedWriter lrs(root, "lrs");
  SeedWriter tables(root, "sound_table");
  SeedWriter archives(root, "archive");
  SeedWriter inspected(root, "inspect");
  lrs_seeds(lrs);
  sound_table_seeds(tables);
  archive_seeds(archives);
  archive_seeds(inspected);
  inspect_seeds(inspected);
  if (!lrs.ok() || !tables.ok() || !archives.ok() || !inspected.ok()) {
    (void)std::fprintf(stderr, "make_seeds: cannot write under %s\n", argv[1]);
    return 1;
  }
  return 0;
}
