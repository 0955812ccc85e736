// Writes the archives the Python module's tests read, with the project's archive builder.
// Usage: make_test_archives DIR
//        make_test_archives --wrap FILE < BYTES   (FILE: an archive holding BYTES as 0x20000001)
//   DIR/tables.dat  well-formed: sound tables (NaN floats with payloads, compressed, cut short,
//                   damaged compression), other files and two of type byte 0; header fields set
//   DIR/many.dat    800 files, half of them sound tables, a quarter of those compressed
//   DIR/broken.dat  a file whose chain loops (Corruption) and one that runs off the end (Io)
//   DIR/short.dat   ends inside the header (BinRead on open)
//   DIR/overlap16m.dat, DIR/overlap512m.dat  file 0x06000001 of 16 MiB and 512 MiB over
//                   a chain of overlapping blocks (64 KiB payloads, 4 bytes apart)

#include <bit>
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

using tallowmere_dat::file_type::SoundEntry;
using tallowmere_testing::SoundRecordLayout;
using tallowmere_testing::SoundTableLayout;

float from_bits(std::uint32_t bits) {
  return std::bit_cast<float>(bits);
}

std::vector<std::uint8_t> text(const std::string& s) {
  return {s.begin(), s.end()};
}

SoundRecordLayout slot(std::uint32_t key, std::vector<SoundEntry> entries,
                       std::int32_t unknown = 0) {
  return {.key = key, .data = {.entries = std::move(entries), .unknown = unknown}};
}

std::vector<std::uint8_t> table(std::uint32_t id, std::vector<SoundRecordLayout> slots) {
  return tallowmere_testing::encode_sound_table(SoundTableLayout{
      .id = id,
      .hash_key = -5,
      .hashes = {{.key = 9, .data = {1.0F, 0.25F, 0.5F}}, {.key = 2, .data = {3.0F, 0.125F, 2.0F}}},
      .sounds = std::move(slots)});
}

std::vector<std::uint8_t> tables_archive() {
  tallowmere_dat::DatHeader header{.magic = 0x5442,
                                   .dataset = 1,
                                   .subset = 2,
                                   .free_head = 3,
                                   .free_tail = 4,
                                   .free_count = 5,
                                   .new_lru = 6,
                                   .old_lru = 7,
                                   .use_lru = 8,
                                   .master_map_id = 9,
                                   .engine_version = 10,
                                   .game_version = 11,
                                   .version_minor = 12};
  const std::string version = "v1.2.3";
  std::copy(version.begin(), version.end(), header.version_string.begin());
  tallowmere_testing::ArchiveBuilder builder(
      {.block_size = 64, .seed = 11, .fan_out = 3, .header = header});

  builder.add_file(0x00000007, text("type byte 0"));
  builder.add_file(0x00FFFFFF, text("type byte 0, too"));
  builder.add_file(0x01000001, text("an unrelated file"));
  builder.add_compressed_file(0x0A000001, text(std::string(500, 'w') + " wave"));
  builder.add_file(
      0x20000001,
      table(0x20000001, {slot(0x8A, {{0x0A000002, 1, 0.5F, 0.75F}}), slot(0x46, {}, 7),
                         slot(0x76, {{0x0A000001, 2, 0.25F, 1}, {0x0A000003, 3, 0.125F, 1}})}));
  // NaNs whose payloads must survive: quiet, signalling, negative; and the infinities, -0.0.
  builder.add_file(0x20000002,
                   tallowmere_testing::encode_sound_table(SoundTableLayout{
                       .id = 0x20000002,
                       .hash_key = 0,
                       .hashes = {{.key = 1,
                                   .data = {from_bits(0x7FC00001), from_bits(0x7F800001),
                                            from_bits(0xFFC12345)}}},
                       .sounds = {slot(0x80, {{0x0A000004, from_bits(0x7F800000),
                                               from_bits(0xFF800000), from_bits(0x80000000)}})}}));
  const std::vector<std::uint8_t> compressed = table(0x20000003, {slot(0x77, {})});
  builder.add_compressed_file(0x20000003, compressed);
  // Cut short inside its last slot.
  std::vector<std::uint8_t> cut = table(0x20000004, {slot(0x78, {{0x0A000005, 1, 1, 1}})});
  cut.resize(cut.size() - 2);
  builder.add_file(0x20000004, std::move(cut));
  // Declares 100 bytes; its stream holds 8 literals and ends.
  builder.add_file(0x20000005, {100, 0, 0, 0, 0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}, 1);
  // A whole table whose prefix declares four bytes more than its stream gives: plain retrieval
  // returns the table, verified retrieval refuses it.
  std::vector<std::uint8_t> overclaimed =
      tallowmere_testing::lrs_compress(table(0x20000006, {slot(0x79, {{0x0A000006, 1, 1, 1}})}));
  overclaimed[0] = static_cast<std::uint8_t>(overclaimed[0] + 4);
  builder.add_file(0x20000006, std::move(overclaimed), 1);
  builder.add_file(0x21000000, text("not a sound table"));
  return builder.build().bytes;
}

std::vector<std::uint8_t> many_archive() {
  tallowmere_testing::ArchiveBuilder builder({.block_size = 48, .seed = 5});
  for (std::uint32_t i = 0; i < 400; ++i) {
    // Up to four slots with keys spread over 0x40-0x9F, across the environ and ambient ranges.
    std::vector<SoundRecordLayout> slots;
    for (std::uint32_t k = 0; k < i % 5; ++k) {
      slots.push_back(slot(0x40 + ((i * 7) + (k * 13)) % 0x60, {{0x0A000000 + i, 1, 1, 1}}));
    }
    const std::uint32_t id = 0x20000000 + i;
    if (i % 4 == 0) {
      builder.add_compressed_file(id, table(id, std::move(slots)));
    } else {
      builder.add_file(id, table(id, std::move(slots)));
    }
    builder.add_file(0x06000000 + i,
                     std::vector<std::uint8_t>((i * 37) % 500, static_cast<std::uint8_t>(i)));
  }
  return builder.build().bytes;
}

std::vector<std::uint8_t> broken_archive() {
  tallowmere_testing::ArchiveImage image(64);
  const std::vector<std::uint8_t> payload(60, 0xAB);
  const std::uint32_t loop = image.append(64);
  image.write_block(loop, loop, payload);
  const std::uint32_t tail = image.append(64);
  image.write_block(tail, 0, payload);
  image.header().root_offset =
      image.append_node({.entries = {{.id = 0x30000001, .offset = loop, .size = 1U << 20U},
                                     {.id = 0x30000002, .offset = tail, .size = 1U << 20U},
                                     {.id = 0x30000003, .offset = tail, .size = 60}}});
  return std::move(image).release();
}

}  // namespace

/// An archive holding standard input's bytes as file 0x20000001.
int wrap(const char* path) {
  std::vector<std::uint8_t> bytes;
  for (int c = std::getchar(); c != EOF; c = std::getchar())
    bytes.push_back(static_cast<std::uint8_t>(c));
  tallowmere_testing::ArchiveBuilder builder({.block_size = 64, .seed = 3});
  builder.add_file(0x20000001, std::move(bytes));
  return tallowmere_testing::write_archive(path, builder.build().bytes) ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--wrap") return wrap(argv[2]);
  if (argc != 2) {
    (void)std::fputs("usage: make_test_archives DIR | --wrap FILE < BYTES\n", stderr);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  const bool written =
      tallowmere_testing::write_archive(dir / "tables.dat", tables_archive()) &&
      tallowmere_testing::write_archive(dir / "many.dat", many_archive()) &&
      tallowmere_testing::write_archive(dir / "broken.dat", broken_archive()) &&
      tallowmere_testing::write_archive(dir / "short.dat", std::vector<std::uint8_t>(0x150, 0)) &&
      tallowmere_testing::write_archive(
          dir / "overlap16m.dat",
          tallowmere_testing::overlapping_chain_archive(65540, 256, 0, 16U << 20U)) &&
      tallowmere_testing::write_archive(
          dir / "overlap512m.dat",
          tallowmere_testing::overlapping_chain_archive(65540, 8192, 0, 512U << 20U));
  if (!written) {
    (void)std::fprintf(stderr, "make_test_archives: cannot write into %s\n", argv[1]);
    return 1;
  }
  return 0;
}
