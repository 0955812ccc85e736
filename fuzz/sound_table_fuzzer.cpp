// Sound-table decoder on any bytes. A failure must be the bare end-of-data error at a number that
// the data cuts short; a success must be exactly what its consumed bytes define: the same table
// from those bytes alone, a failure from one byte fewer, and the same table again from its
// canonical re-encoding, which is no longer than the bytes consumed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <span>
#include <vector>

#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_dat/io_error.h"
#include "tallowmere_testing/sound_table_writer.h"

namespace {

using tallowmere_dat::Cursor;
using tallowmere_dat::ReadError;
using tallowmere_dat::file_type::SoundTable;

[[noreturn]] void fail(const char* what) {
  (void)std::fprintf(stderr, "sound_table_fuzzer: %s\n", what);
  std::abort();
}

struct Decoded {
  std::expected<SoundTable, ReadError> table;
  std::uint64_t position;
};

/// Decodes from an exact-size copy, so that a read past the end is caught by the sanitizer.
Decoded decode(std::span<const std::uint8_t> bytes) {
  const std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
  Cursor cursor(copy);
  auto table = SoundTable::read(cursor);
  return {std::move(table), *cursor.position()};
}

void check_failure(const ReadError& error, std::uint64_t position, std::size_t size) {
  const auto* io = error.get_if<ReadError::Io>();
  if (io == nullptr || !(io->error == tallowmere_dat::IoError::fill_whole_buffer())) {
    fail("a failure is not the bare end-of-data error");
  }
  // Every number is 4 bytes at a multiple of 4, and fails only when fewer than 4 bytes are left.
  if (position % 4 != 0 || position > size || size - position >= 4) {
    fail("a failure leaves the cursor away from the number that was cut short");
  }
  if (error.display() != "failed to fill whole buffer") fail("unexpected failure text");
}

/// Each key once, in ascending order: what iteration and lookup rely on.
template <typename Map>
bool strictly_ascending(const Map& map) {
  return std::ranges::adjacent_find(map, std::ranges::greater_equal{},
                                    [](const auto& item) { return item.first; }) == map.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const Decoded first = decode(input);
  if (!first.table) {
    check_failure(first.table.error(), first.position, size);
    return 0;
  }
  const std::uint64_t consumed = first.position;
  if (consumed % 4 != 0 || consumed > size || consumed < 16) fail("bad position after success");
  if (!strictly_ascending(first.table->hashes) || !strictly_ascending(first.table->sounds)) {
    fail("a map's keys are not strictly ascending");
  }

  // Bytes after the table are ignored, and the table needs every byte it consumed.
  const Decoded exact = decode(input.first(static_cast<std::size_t>(consumed)));
  if (!exact.table || !tallowmere_testing::bitwise_equal(*exact.table, *first.table)) {
    fail("the consumed bytes alone do not decode to the same table");
  }
  const Decoded shorter = decode(input.first(static_cast<std::size_t>(consumed) - 1));
  if (shorter.table) fail("the table decodes without its last byte");
  check_failure(shorter.table.error(), shorter.position, static_cast<std::size_t>(consumed) - 1);

  // What the format defines survives a round trip: identifier, hash key and both maps, floats
  // bit for bit. Record order, repeated keys and negative counts do not.
  const std::vector<std::uint8_t> canonical = tallowmere_testing::encode_sound_table(*first.table);
  if (canonical.size() > consumed) fail("the canonical encoding is longer than the input's");
  const Decoded again = decode(canonical);
  if (!again.table || again.position != canonical.size() ||
      !tallowmere_testing::bitwise_equal(*again.table, *first.table)) {
    fail("the canonical encoding does not decode to the same table");
  }
  return 0;
}
