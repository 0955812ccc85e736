#include "tallowmere_dat/diff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/lrs_codec.h"
#include "tallowmere_testing/random.h"
#include "tallowmere_testing/sound_table_writer.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat {
namespace {

using tallowmere_testing::Random;
using Bytes = std::vector<std::uint8_t>;

/// How a file is stored: as is, compressed, compressed as literals only, or compressed and cut
/// short after its prefix (so that it declares more than it produces).
enum class Form : std::uint8_t { Raw, Compressed, Literal, Damaged };

struct FilePlan {
  Bytes content;
  Form form = Form::Raw;
  std::uint32_t extra_flags = 0;

  Bytes stored() const {
    if (form == Form::Raw) return content;
    if (form == Form::Compressed) return tallowmere_testing::lrs_compress(content);
    Bytes out;
    for (unsigned shift = 0; shift < 32; shift += 8)
      out.push_back(static_cast<std::uint8_t>(content.size() >> shift));
    for (std::size_t i = 0; i < content.size(); ++i) {
      if (i % 8 == 0) out.push_back(0);  // a control byte: eight literals follow
      out.push_back(content[i]);
    }
    if (form == Form::Damaged) out.resize(4 + (out.size() - 4) / 2);
    return out;
  }
  std::uint32_t bit_flags() const { return (form == Form::Raw ? 0U : 1U) | extra_flags; }
};

using Files = std::map<std::uint32_t, FilePlan>;
/// What the diff must find per identifier: a kind, "added", "removed", or the unreadable side.
using Expected = std::map<std::uint32_t, std::variant<ChangeKind, std::string, DiffSide>>;

Bytes random_bytes(Random& random, std::size_t size) {
  Bytes bytes(size);
  for (auto& b : bytes)
    b = static_cast<std::uint8_t>(random.below(4));  // few symbols, so that LRS finds matches
  return bytes;
}

tallowmere_testing::BuiltArchive build(const Files& files, std::uint32_t fan_out,
                                       std::uint32_t game_version) {
  tallowmere_testing::ArchiveBuilder builder({.block_size = 48,
                                              .seed = 5,
                                              .fan_out = fan_out,
                                              .spare_percent = fan_out,
                                              .header = {.game_version = game_version}});
  for (const auto& [id, file] : files)
    builder.add_file(id, file.stored(), file.bit_flags());
  return builder.build();
}

/// Mutates `file` (the new side's; `old` is the old side's) one way picked at random, and
/// returns what the diff must report.
std::variant<ChangeKind, std::string, DiffSide> mutate(Random& random, FilePlan& old,
                                                       FilePlan& file) {
  const bool compressed = file.form != Form::Raw && !file.content.empty();
  switch (random.below(compressed ? 7 : 3)) {
    case 0:
      if (file.content.empty()) {
        file.content.push_back(1);
      } else {
        file.content[random.below(file.content.size())] ^=
            static_cast<std::uint8_t>(1 + random.below(3));
      }
      return ChangeKind::Content;
    case 1:
      for (const Form form : {Form::Literal, Form::Compressed, Form::Raw}) {
        if (FilePlan other{file.content, form, file.extra_flags}; other.stored() != file.stored()) {
          file.form = form;
          break;
        }
      }
      return ChangeKind::Stored;
    case 2:
      file.extra_flags ^= 2U;
      return ChangeKind::Metadata;
    case 3:
      file.form = Form::Damaged;
      return DiffSide::New;
    case 4:
      old.form = Form::Damaged;
      return DiffSide::Old;
    case 5:
      old.form = file.form = Form::Damaged;
      return DiffSide::Both;
    default:
      // Declared sizes that differ settle it without reading on to the damage.
      file.content.push_back(0);
      file.form = Form::Damaged;
      return ChangeKind::Content;
  }
}

// Random archive pairs made from one base by logged mutations, the new archive laid out
// differently (so every file moved); the report must be the log.
TEST(DiffTest, ReportEqualsTheMutationLogOfRandomArchivePairs) {
  Random random(0xD1FF);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    Files old_files;
    for (std::uint32_t i = 0; i < 40; ++i) {
      const std::uint32_t id = (random.below(3) == 0 ? 0x20000000U : 0x06000000U) | i;
      const Form form = static_cast<Form>(random.below(3));
      old_files[id] = {random_bytes(random, random.below(200)), form};
    }
    Files new_files = old_files;
    Expected expected;
    for (auto it = new_files.begin(); it != new_files.end();) {
      const std::uint64_t pick = random.below(8);
      if (pick == 0) {
        expected[it->first] = "removed";
        it = new_files.erase(it);
        continue;
      }
      if (pick < 4) expected[it->first] = mutate(random, old_files[it->first], it->second);
      ++it;
    }
    for (std::uint32_t id : {0x06000100U, 0x20000100U}) {
      new_files[id] = {random_bytes(random, random.below(100)), Form::Compressed};
      expected[id] = "added";
    }
    const auto old_built = build(old_files, 61, 1);
    const auto new_built = build(new_files, 2, random.between(1, 2));
    const tallowmere_testing::TempFile old_file(old_built.bytes);
    const tallowmere_testing::TempFile new_file(new_built.bytes);
    const auto old_db = DatDatabase::open(old_file.path());
    const auto new_db = DatDatabase::open(new_file.path());
    ASSERT_TRUE(old_db && new_db);

    DiffOptions options;
    if (random.below(2) == 0) options.selection.types = {0x06};
    const DiffReport report = diff_archives(*old_db, *new_db, options);
    DiffReport want;
    for (const auto& [id, outcome] : expected) {
      if (!options.selection.matches(id)) continue;
      const DatFileEntry* a = old_db->files().find(id);
      const DatFileEntry* b = new_db->files().find(id);
      if (const auto* kind = std::get_if<ChangeKind>(&outcome)) {
        want.changed.push_back({*kind, *a, *b});
      } else if (const auto* side = std::get_if<DiffSide>(&outcome)) {
        const DatError failed = DatError::DecompressionFailed{id};
        want.unreadable.push_back({*a, *b,
                                   *side != DiffSide::New ? failed : std::optional<DatError>{},
                                   *side != DiffSide::Old ? failed : std::optional<DatError>{}});
      } else {
        (std::get<std::string>(outcome) == "added" ? want.added : want.removed)
            .push_back(a != nullptr ? *a : *b);
      }
    }
    EXPECT_EQ(report.added, want.added);
    EXPECT_EQ(report.removed, want.removed);
    EXPECT_EQ(report.changed, want.changed);
    EXPECT_EQ(report.unreadable, want.unreadable);
    for (const UnreadableEntry& u : report.unreadable) {
      EXPECT_EQ(u.side(), std::get<DiffSide>(expected.at(u.id())));
      EXPECT_EQ(u.message(), DatError(DatError::DecompressionFailed{u.id()}).message());
    }
    std::uint64_t unchanged = 0;
    for (const DatFileEntry* e : options.selection.select(old_db->files()))
      unchanged += new_db->files().contains(e->id) && !expected.contains(e->id);
    EXPECT_EQ(report.unchanged, unchanged);
    std::uint64_t counted = 0;
    for (const TypeTotals& t : report.totals) {
      counted += t.files_added + t.files_removed + t.files_changed + t.files_unreadable +
                 t.files_unchanged;
    }
    EXPECT_EQ(counted, want.added.size() + want.removed.size() + want.changed.size() +
                           want.unreadable.size() + unchanged);

    std::vector<std::string_view> header_fields(report.header_changes.size());
    std::ranges::transform(report.header_changes, header_fields.begin(), &HeaderFieldChange::name);
    std::vector<std::string_view> want_fields;
    const DatHeader& h0 = old_db->header();
    const DatHeader& h1 = new_db->header();
    if (h0.file_size != h1.file_size) want_fields.push_back("file_size");
    if (h0.root_offset != h1.root_offset) want_fields.push_back("root_offset");
    if (h0.game_version != h1.game_version) want_fields.push_back("game_version");
    EXPECT_EQ(header_fields, want_fields);

    // Without reading files, the entries decide: size, flags, timestamp and version.
    const DiffReport entries_only =
        diff_archives(*old_db, *new_db, {.selection = options.selection, .metadata_only = true});
    std::vector<ChangedEntry> want_entries;
    for (const DatFileEntry* a : options.selection.select(old_db->files())) {
      const DatFileEntry* b = new_db->files().find(a->id);
      if (b != nullptr && (a->size != b->size || a->bit_flags != b->bit_flags ||
                           a->timestamp != b->timestamp || a->version != b->version)) {
        want_entries.push_back({ChangeKind::Metadata, *a, *b});
      }
    }
    EXPECT_EQ(entries_only.changed, want_entries);
    EXPECT_TRUE(entries_only.unreadable.empty());
    // An archive against itself: nothing differs (its damaged entries stay unreadable).
    const DiffReport same = diff_archives(*old_db, *old_db, options);
    EXPECT_TRUE(same.added.empty() && same.removed.empty() && same.changed.empty() &&
                same.header_changes.empty());
  }
}

/// A one-leaf archive of `entries`, each given its stored bytes; a chain marked broken gets one
/// block of them, pointing past the end of the archive.
struct StoredFile {
  DatFileEntry entry;
  Bytes stored;
  bool broken = false;
};

Bytes leaf_archive(const std::vector<StoredFile>& files) {
  constexpr std::uint32_t kBlock = 64;
  tallowmere_testing::ArchiveImage image(kBlock);
  std::vector<DatFileEntry> entries;
  for (StoredFile file : files) {
    file.entry.size = static_cast<std::uint32_t>(file.stored.size());
    if (file.broken) {
      file.entry.offset = image.append(kBlock);
      image.write_block(file.entry.offset, 0x00FFFF00, std::span(file.stored).first(kBlock - 4));
    } else {
      file.entry.offset = image.append_chain(file.stored);
    }
    entries.push_back(file.entry);
  }
  image.header().root_offset = image.append_node({.entries = entries});
  return image.bytes();
}

// Chains that can't be read, on either side: each side's error is the one reading its file alone
// gives, and declared sizes that differ settle a change before the damage is reached.
TEST(DiffTest, UnreadableChainsGiveEachSideItsOwnError) {
  const auto literal = [](std::size_t size) {
    return FilePlan{Bytes(size, 7), Form::Literal}.stored();
  };
  const DatFileEntry raw{.id = 1};
  const DatFileEntry packed{.bit_flags = 1, .id = 2};
  const auto with_id = [](DatFileEntry entry, std::uint32_t id) {
    entry.id = id;
    return entry;
  };
  const tallowmere_testing::TempFile old_file(leaf_archive({
      {raw, Bytes(200, 1), true},
      {packed, literal(103), true},
      {with_id(packed, 3), literal(103), true},
      {with_id(packed, 4), literal(103)},
  }));
  const tallowmere_testing::TempFile new_file(leaf_archive({
      {raw, Bytes(200, 1)},
      {packed, literal(20)},
      {with_id(packed, 3), literal(103)},
      {with_id(packed, 4), literal(103), true},
  }));
  const auto old_db = DatDatabase::open(old_file.path());
  const auto new_db = DatDatabase::open(new_file.path());
  ASSERT_TRUE(old_db && new_db);
  const DiffReport report = diff_archives(*old_db, *new_db, {});
  const auto error = [](const auto& db, std::uint32_t id) -> std::optional<DatError> {
    const auto read = db->get_file_verified(id);
    EXPECT_FALSE(read.has_value()) << id;
    return read ? std::nullopt : std::optional(read.error());
  };
  const auto entry_of = [](const auto& db, std::uint32_t id) { return *db->files().find(id); };
  const auto unreadable = [&](std::uint32_t id, DiffSide side) {
    return UnreadableEntry{entry_of(old_db, id), entry_of(new_db, id),
                           side == DiffSide::Old ? error(old_db, id) : std::nullopt,
                           side == DiffSide::New ? error(new_db, id) : std::nullopt};
  };
  EXPECT_EQ(
      report.changed,
      (std::vector<ChangedEntry>{{ChangeKind::Content, entry_of(old_db, 2), entry_of(new_db, 2)}}));
  EXPECT_EQ(report.unreadable, (std::vector<UnreadableEntry>{unreadable(1, DiffSide::Old),
                                                             unreadable(3, DiffSide::Old),
                                                             unreadable(4, DiffSide::New)}));
}

// Files too large to be held whole are streamed on both sides: compared exactly all the same.
TEST(DiffTest, LargeFilesAreComparedExactly) {
  Random random(0xB16);
  const Bytes big = random_bytes(random, std::size_t{9} << 20U);
  const Bytes packed = random_bytes(random, std::size_t{1} << 20U);
  Files old_files{
      {1, {big}}, {2, {big}}, {3, {packed, Form::Literal}}, {4, {packed, Form::Literal}}};
  Files new_files = old_files;
  new_files[2].content[std::size_t{5} << 20U] ^= 1U;
  new_files[4].content[7] ^= 1U;
  const auto built = [](const Files& files) {
    tallowmere_testing::ArchiveBuilder builder({.block_size = 4096, .spare_percent = 0});
    for (const auto& [id, file] : files)
      builder.add_file(id, file.stored(), file.bit_flags());
    return builder.build();
  };
  const tallowmere_testing::TempFile old_file(built(old_files).bytes);
  const tallowmere_testing::TempFile new_file(built(new_files).bytes);
  const auto old_db = DatDatabase::open(old_file.path());
  const auto new_db = DatDatabase::open(new_file.path());
  ASSERT_TRUE(old_db && new_db);
  const DiffReport report = diff_archives(*old_db, *new_db, {});
  const auto changed = [&](std::uint32_t id) {
    return ChangedEntry{ChangeKind::Content, *old_db->files().find(id), *new_db->files().find(id)};
  };
  EXPECT_EQ(report.changed, (std::vector<ChangedEntry>{changed(2), changed(4)}));
  EXPECT_TRUE(report.unreadable.empty());
  EXPECT_EQ(report.unchanged, 2U);
}

using file_type::SoundData;
using file_type::SoundHashData;
using file_type::SoundTable;

float bits(std::uint32_t value) {
  return std::bit_cast<float>(value);
}

SoundTable decode(const tallowmere_testing::SoundTableLayout& layout) {
  const Bytes bytes = tallowmere_testing::encode_sound_table(layout);
  Cursor cursor(bytes);
  return *SoundTable::read(cursor);
}

// Each case changes one field of one record (or adds or removes one); the diff must name exactly
// that record with its old and new values, floats by their bits.
TEST(DiffTest, SoundTableDiffNamesTheOneChangedRecord) {
  const float nan = bits(0x7FC00001);
  const tallowmere_testing::SoundTableLayout base{
      .id = 0x20000001,
      .hash_key = 9,
      .hashes = {{1, {0.5F, nan, -0.0F}}, {4, {1.0F, 2.0F, 3.0F}}},
      .sounds = {{7, SoundData{{{0x0A000001, nan, 1.0F, 0.0F}}, 3}},
                 {9, SoundData{{{0x0A000002, 1.0F, 1.0F, 1.0F}}, 0}}}};
  using Layout = tallowmere_testing::SoundTableLayout;
  const std::vector<std::pair<const char*, std::function<void(Layout&)>>> cases = {
      {"hash priority", [](Layout& s) { s.hashes[0].data.priority = 0.25F; }},
      {"hash nan payload", [](Layout& s) { s.hashes[0].data.probability = bits(0x7FC00002); }},
      {"hash sign of zero", [](Layout& s) { s.hashes[0].data.volume = 0.0F; }},
      {"hash added",
       [](Layout& s) {
         s.hashes.push_back({2, {}});
       }},
      {"hash removed", [](Layout& s) { s.hashes.erase(s.hashes.begin() + 1); }},
      {"slot wave", [](Layout& s) { s.sounds[0].data.entries[0].wave_did = 0x0A000003; }},
      {"slot nan payload",
       [](Layout& s) { s.sounds[0].data.entries[0].priority = bits(0xFFC00001); }},
      {"slot volume", [](Layout& s) { s.sounds[0].data.entries[0].volume = -0.0F; }},
      {"slot unknown", [](Layout& s) { s.sounds[1].data.unknown = 1; }},
      {"slot entry added", [](Layout& s) { s.sounds[1].data.entries.push_back({}); }},
      {"slot added",
       [](Layout& s) {
         s.sounds.push_back({8, SoundData{}});
       }},
      {"slot removed", [](Layout& s) { s.sounds.erase(s.sounds.begin()); }},
      {"id", [](Layout& s) { s.id = 0x20000002; }},
      {"hash key", [](Layout& s) { s.hash_key = -9; }},
  };
  const SoundTable old_table = decode(base);
  EXPECT_TRUE(diff_sound_tables(old_table, decode(base)).empty());  // the same NaN is equal
  for (const auto& [name, change] : cases) {
    SCOPED_TRACE(name);
    Layout changed = base;
    change(changed);
    const SoundTable new_table = decode(changed);
    const SoundTableDiff diff = diff_sound_tables(old_table, new_table);
    const std::size_t count =
        diff.hashes.size() + diff.sounds.size() + (diff.id ? 1 : 0) + (diff.hash_key ? 1 : 0);
    ASSERT_EQ(count, 1U);
    EXPECT_EQ(diff.id.has_value(), old_table.id != new_table.id);
    if (diff.id) {
      EXPECT_EQ(diff.id->new_value, new_table.id);
    }
    EXPECT_EQ(diff.hash_key.has_value(), old_table.hash_key != new_table.hash_key);
    if (diff.hash_key) {
      EXPECT_EQ(diff.hash_key->new_value, new_table.hash_key);
    }
    // Putting the one reported record's new value (or its absence) into the old table gives the
    // new table.
    std::vector<std::pair<std::uint32_t, SoundHashData>> hashes(old_table.hashes.begin(),
                                                                old_table.hashes.end());
    std::vector<std::pair<std::uint32_t, SoundData>> sounds(old_table.sounds.begin(),
                                                            old_table.sounds.end());
    const auto apply = [](auto& records, const auto& record_change, const auto& old_map) {
      EXPECT_EQ(record_change.old_value.has_value(), old_map.contains(record_change.key));
      std::erase_if(records, [&](const auto& r) { return r.first == record_change.key; });
      if (record_change.new_value)
        records.emplace_back(record_change.key, *record_change.new_value);
    };
    for (const auto& c : diff.hashes)
      apply(hashes, c, old_table.hashes);
    for (const auto& c : diff.sounds)
      apply(sounds, c, old_table.sounds);
    const SoundTable rebuilt{.id = new_table.id,
                             .hash_key = new_table.hash_key,
                             .hashes = FlatMap<std::uint32_t, SoundHashData>(hashes),
                             .sounds = FlatMap<std::uint32_t, SoundData>(sounds)};
    EXPECT_TRUE(tallowmere_testing::bitwise_equal(rebuilt, new_table));
  }
}

}  // namespace
}  // namespace tallowmere_dat
