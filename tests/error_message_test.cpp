#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record_reader.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/dat_file_entry.h"
#include "tallowmere_dat/error.h"
#include "tallowmere_dat/io_error.h"
#include "tallowmere_dat/read_error.h"

namespace tallowmere_dat {
namespace {

// A message goes to a terminal or a log line as it is: one line, nothing a terminal acts on.
void expect_one_printable_line(const std::string& text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(byte >= 0x20 && byte != 0x7F) << "control byte " << int{byte} << " in " << text;
  }
}

// The record errors come from the record readers themselves, so that a change to their frames'
// wording shows here.
template <typename Record>
ReadError record_error(std::size_t length) {
  const std::vector<std::uint8_t> bytes(length, 0xAB);
  Cursor cursor(bytes);
  return Record::read(cursor).error();
}

TEST(DatErrorMessageTest, EveryVariant) {
  const struct {
    DatError error;
    std::string expected;
  } cases[] = {
      {DatError(IoError::fill_whole_buffer()), "archive cut short: failed to fill whole buffer"},
      {DatError(IoError::from_os(EIO)), "cannot read archive: Input/output error"},
      {DatError(record_error<DatHeader>(2)),
       "archive header cut short: failed to fill whole buffer while reading field 'magic'"},
      {DatError(record_error<DatHeader>(62)),
       "archive header cut short: not enough bytes in reader while reading field "
       "'version_string'"},
      {DatError(record_error<DatFileEntry>(0)),
       "directory entry cut short: failed to fill whole buffer while reading field 'bit_flags'"},
      {DatError(ReadError(IoError::fill_whole_buffer())),
       "archive cut short: failed to fill whole buffer"},
      {DatError(ReadError(ReadError::NoVariantMatch{0x1F0})),
       "no variant matched in archive at offset 0x1F0"},
      {DatError::NotFound{0x12345678}, "file 0x12345678 not found"},
      {DatError::DuplicateId{7}, "duplicate file 0x00000007"},
      {DatError::DuplicateNamespacedId{"sounds", 0x20000001},
       "duplicate file 0x20000001 in namespace 'sounds'"},
      {DatError::InvalidMagic{"found 0x00000000"}, "invalid magic number: found 0x00000000"},
      {DatError::UnsupportedVersion{3}, "unsupported archive version 3"},
      {DatError::InvalidNamespace{"n"}, "invalid namespace: n"},
      {DatError::Corruption{"directory node 0x00001F00 slot 3 leads back to node 0x00000400 on "
                            "its own path"},
       "corrupt archive: directory node 0x00001F00 slot 3 leads back to node 0x00000400 on its "
       "own path"},
      {DatError::DecompressionFailed{0x0D000002},
       "file 0x0D000002 is damaged: its compressed stream ends before the size it declares"},
      {DatError::PathError{"/x/client_portal.dat", IoError::from_os(ENOENT)},
       "cannot open '/x/client_portal.dat': No such file or directory"},
      {DatError::Other{"o"}, "o"},
      // Text from outside is escaped, never passed through to the terminal.
      {DatError::PathError{"/x/a\nb\x1b[1m\xFF.dat", IoError::from_os(ENOENT)},
       R"(cannot open '/x/a\nb\u{1b}[1m\xFF.dat': No such file or directory)"},
      {DatError::Corruption{"tab\there, \xE2\x80\xAEreversed\r"},
       R"(corrupt archive: tab\there, \u{202e}reversed\r)"},
      {DatError::Other{std::string("nul\0", 4)}, R"(nul\0)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    const std::string message = c.error.message();
    EXPECT_EQ(message, c.expected);
    expect_one_printable_line(message);
  }
}

TEST(ReadErrorMessageTest, EveryKind) {
  const BacktraceFrame field_b =
      BacktraceFrame::Full{"While parsing field 'b' in Pair", "label", 7, std::nullopt};
  const struct {
    ReadError error;
    std::string expected;
  } cases[] = {
      {ReadError::BadMagic{0x1F0, "[1, 2]"},
       "bad magic number in data at offset 0x1F0: found [1, 2]"},
      {ReadError::AssertFail{0, "count too big"}, "invalid data at offset 0x0: count too big"},
      {ReadError(IoError::fill_whole_buffer()), "data cut short: failed to fill whole buffer"},
      {ReadError(IoError::not_enough_bytes()), "data cut short: not enough bytes in reader"},
      {ReadError(IoError::from_os(EIO)), "cannot read data: Input/output error"},
      {ReadError::Custom{255, "oops"}, "invalid data at offset 0xFF: oops"},
      {ReadError::NoVariantMatch{16}, "no variant matched in data at offset 0x10"},
      {ReadError::EnumErrors{
           4,
           {{"A", ReadError::NoVariantMatch{4}}, {"B", ReadError(IoError::fill_whole_buffer())}}},
       "no variant matched in data at offset 0x4 (A: no variant matched in data at offset 0x4; B: "
       "data cut short: failed to fill whole buffer)"},
      {record_error<DatHeader>(2),
       "data cut short: failed to fill whole buffer while reading field 'magic' in DatHeader"},
      {ReadError::Backtrace{std::make_shared<const ReadError>(ReadError::NoVariantMatch{2}),
                            {field_b, BacktraceFrame::Message{"in a list"}}},
       "no variant matched in data at offset 0x2 while reading field 'b' in Pair; in a list"},
      // The shape a failed rewind leaves: the seek's error innermost, the first failure in a
      // frame after it.
      {ReadError::Backtrace{
           std::make_shared<const ReadError>(IoError::from_os(ESPIPE)),
           {BacktraceFrame::Message{"rewinding after a failure"},
            BacktraceFrame::Custom{std::make_shared<const ReadError>(IoError::fill_whole_buffer())},
            field_b}},
       "cannot read data: Illegal seek; rewinding after a failure; data cut short: failed to fill "
       "whole buffer while reading field 'b' in Pair"},
      {ReadError::Custom{0, "line\nbreak\x1b[22m"},
       R"(invalid data at offset 0x0: line\nbreak\u{1b}[22m)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    const std::string message = c.error.message();
    EXPECT_EQ(message, c.expected);
    expect_one_printable_line(message);
  }
}

TEST(IoErrorMessageTest, TextWithoutNumberOrKind) {
  const struct {
    IoError error;
    std::string expected;
  } cases[] = {
      {IoError::from_os(ENOENT), "No such file or directory"},
      {IoError::fill_whole_buffer(), "failed to fill whole buffer"},
      {IoError::with_message(IoErrorKind::OutOfMemory, "memory allocation failed"),
       "memory allocation failed"},
      {IoError::with_message(IoErrorKind::Other, "bell\a and \x1b[2J"),
       R"(bell\u{7} and \u{1b}[2J)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(c.error.message(), c.expected);
  }
}

}  // namespace
}  // namespace tallowmere_dat
