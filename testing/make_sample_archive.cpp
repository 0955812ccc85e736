// Writes the sample archive that the environ probe reads out of the box: a few dozen files
// around every boundary the report cares about; with `next`, the same archive as a patch would
// leave it, one change of each kind, for `tallowmere-dat diff`.
// Usage: make_sample_archive OUTPUT_PATH [next]

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/sound_table_writer.h"

namespace {

using tallowmere_dat::file_type::SoundEntry;
using tallowmere_testing::SoundRecordLayout;
using tallowmere_testing::SoundTableLayout;

/// A slot whose entries play the given waves.
SoundRecordLayout slot(std::uint32_t key, const std::vector<std::uint32_t>& waves) {
  SoundRecordLayout record{.key = key};
  for (const std::uint32_t wave : waves) {
    record.data.entries.push_back(SoundEntry{wave, 1.0F, 0.5F, 0.75F});
  }
  return record;
}

SoundTableLayout table(std::uint32_t id, std::vector<SoundRecordLayout> slots) {
  return SoundTableLayout{.id = id,
                          .hash_key = 0,
                          .hashes = {{.key = 7, .data = {1, 1, 1}}},
                          .sounds = std::move(slots)};
}

std::vector<std::uint8_t> text(const std::string& s) {
  return {s.begin(), s.end()};
}

tallowmere_testing::ArchiveBuilder sample(bool next) {
  using tallowmere_testing::encode_sound_table;
  // A small fan-out gives a directory three levels deep for this many files.
  tallowmere_testing::ArchiveBuilder builder(
      {.block_size = 256, .seed = 2024, .fan_out = 4, .header = {.game_version = next ? 1U : 0U}});

  // Non-sound files around the sound-table range, one of them compressed.
  builder.add_file(0x01000001, text("an unrelated file of type 0x01"));
  const std::vector<std::uint8_t> wave(700, 0x5A);
  if (next) {
    builder.add_compressed_file(0x0A000001, wave);  // the same bytes, stored another way
  } else {
    builder.add_file(0x0A000001, wave);
  }
  builder.add_compressed_file(0x0D000010, text(std::string(2000, 'x') + " and a compressed tail"));
  builder.add_file(0x1FFFFFFF, encode_sound_table(table(0x1FFFFFFF, {slot(0x80, {0x0A000099})})));
  builder.add_file(0x21000000, encode_sound_table(table(0x21000000, {slot(0x80, {0x0A000098})})));
  builder.add_file(0x40000001, text("type 0x40"), next ? 0x100 : 0);  // a flag bit set

  // Sound tables: the range's first identifier, environ slots at both boundaries, an empty slot
  // and one with several entries (only the first is reported).
  builder.add_file(0x20000000, encode_sound_table(
                                   table(0x20000000, {slot(0x76, {0x0A000001, 0x0A000002}),
                                                      slot(0x8A, {}), slot(0x01, {0x0A000003})})));
  builder.add_file(
      0x20000001,
      encode_sound_table(table(
          0x20000001, {slot(0x75, {next ? 0x0A000024U : 0x0A000004U}), slot(0x8B, {0x0A000005})})));
  builder.add_file(
      0x20000002,
      encode_sound_table(table(0x20000002, {slot(0x46, {0x0A000006}),
                                            slot(0x80, {0x0A000007, 0x0A000008, 0x0A000009})})));
  builder.add_file(0x20000003, encode_sound_table(table(0x20000003, {slot(0x4D, {})})));
  builder.add_file(
      0x20000004,
      encode_sound_table(table(0x20000004, {slot(0x45, {0x0A00000A}), slot(0x4E, {0x0A00000B})})));
  // Stored compressed: the report must see through the compression.
  builder.add_compressed_file(
      0x20000010,
      encode_sound_table(table(0x20000010, {slot(0x77, {0x0A000010}), slot(0x88, {0x0A000011}),
                                            slot(0x4A, {0x0A000012})})));
  // Cut short inside its last slot: counted in the census, skipped by the report.
  std::vector<std::uint8_t> truncated =
      encode_sound_table(table(0x20000011, {slot(0x78, {0x0A000013})}));
  truncated.resize(truncated.size() - 2);
  builder.add_file(0x20000011, std::move(truncated));
  // Negative hash count and trailing bytes: both ignored.
  SoundTableLayout odd = table(0x20000012, {slot(0x81, {0x0A000014}), slot(0x50, {0x0A000015})});
  odd.hashes.clear();
  odd.declared_hashes = -1;
  odd.trailing = text("trailing bytes");
  builder.add_file(0x20000012, encode_sound_table(odd));
  builder.add_file(0x20FFFFFF, encode_sound_table(table(0x20FFFFFF, {slot(0x8A, {0x0A0000FF})})));

  // Filler tables with neither environ nor ambient slots, and more non-sound files, so that the
  // directory has some depth.
  for (std::uint32_t i = 0; i < 12; ++i) {
    builder.add_file(0x20000100 + i,
                     encode_sound_table(table(0x20000100 + i, {slot(0x10 + i, {0x0A000100 + i})})));
    if (next && i == 11) continue;  // removed
    builder.add_file(0x06000000 + i,
                     text("texture " + std::to_string(i) + (next && i == 3 ? ", redrawn" : "")));
  }
  if (next) builder.add_file(0x06000100, text("a new texture"));
  return builder;
}

}  // namespace

int main(int argc, char** argv) {
  const bool next = argc == 3 && std::string(argv[2]) == "next";
  if (argc != 2 && !next) {
    (void)std::fputs("usage: make_sample_archive OUTPUT_PATH [next]\n", stderr);
    return 2;
  }
  const auto archive = sample(next).build();
  if (!tallowmere_testing::write_archive(argv[1], archive.bytes)) {
    (void)std::fprintf(stderr, "make_sample_archive: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
