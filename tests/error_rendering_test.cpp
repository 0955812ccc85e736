#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tallowmere_dat/error.h"
#include "tallowmere_dat/read_error.h"

namespace tallowmere_dat {
namespace {

// The framed block, assembled from its rules rather than from the program's output.
const std::string kBold = "\x1b[1m";
const std::string kUnbold = "\x1b[22m";

std::string times(const std::string& piece, int n) {
  std::string out;
  for (int i = 0; i < n; ++i)
    out += piece;
  return out;
}

std::string opening_bar() {
  return "\n \xE2\x95\xBA" + times("\xE2\x94\x81", 20) + "\xE2\x94\x85 Backtrace \xE2\x94\x85" +
         times("\xE2\x94\x81", 20) + "\xE2\x95\xB8\n\n";
}

std::string closing_bar() {
  return "\n \xE2\x95\xBA" + times("\xE2\x94\x81", 53) + "\xE2\x95\xB8\n\n";
}

BacktraceFrame field_frame(const std::string& field, const std::string& record,
                           std::uint32_t line) {
  return BacktraceFrame::Full{"While parsing field '" + field + "' in " + record,
                              "crates/tallowmere-dat/src/lib", line, std::nullopt};
}

TEST(IoErrorTest, OsErrorCarriesStrerrorTextAndKind) {
  const IoError e = IoError::from_os(ENOENT);
  EXPECT_EQ(e.kind(), IoErrorKind::NotFound);
  EXPECT_EQ(e.os_code(), ENOENT);
  EXPECT_EQ(e.display(), "No such file or directory (os error 2)");
  EXPECT_EQ(e.debug(), "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
}

TEST(IoErrorTest, FixedMessageForms) {
  EXPECT_EQ(IoError::fill_whole_buffer().debug(),
            "Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }");
  EXPECT_EQ(IoError::fill_whole_buffer().display(), "failed to fill whole buffer");
  EXPECT_EQ(IoError::not_enough_bytes().display(), "not enough bytes in reader");
  EXPECT_EQ(IoError::not_enough_bytes().kind(), IoErrorKind::UnexpectedEof);
  EXPECT_FALSE(IoError::not_enough_bytes().os_code().has_value());
}

TEST(DatErrorDebugTest, EveryVariant) {
  const struct {
    DatError error;
    std::string expected;
  } cases[] = {
      {DatError::NotFound{0x2A}, "NotFound(42)"},
      {DatError::DuplicateId{7}, "DuplicateId(7)"},
      {DatError::DuplicateNamespacedId{"sounds", 4294967295U},
       "DuplicateNamespacedId { namespace: \"sounds\", file_id: 4294967295 }"},
      {DatError::InvalidMagic{"x"}, "InvalidMagic(\"x\")"},
      {DatError::UnsupportedVersion{0}, "UnsupportedVersion(0)"},
      {DatError::InvalidNamespace{"n"}, "InvalidNamespace(\"n\")"},
      {DatError::Corruption{"bad"}, "Corruption(\"bad\")"},
      {DatError::DecompressionFailed{12}, "DecompressionFailed(12)"},
      {DatError::Other{"o"}, "Other(\"o\")"},
      {DatError(IoError::fill_whole_buffer()),
       "Io(Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" })"},
      {DatError(ReadError(IoError::fill_whole_buffer())), "BinRead(failed to fill whole buffer)"},
      {DatError::PathError{"/nowhere/client_portal.dat", IoError::from_os(ENOENT)},
       "PathError { path: \"/nowhere/client_portal.dat\", source: Os { code: 2, kind: NotFound, "
       "message: \"No such file or directory\" } }"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.error.debug(), c.expected);
}

TEST(DatErrorDebugTest, ConversionsPickTheirVariants) {
  EXPECT_NE(DatError(IoError::fill_whole_buffer()).get_if<DatError::Io>(), nullptr);
  EXPECT_NE(DatError(ReadError(IoError::fill_whole_buffer())).get_if<DatError::BinRead>(), nullptr);
}

TEST(DatErrorDebugTest, TextsAndPathsAreEscaped) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"a\"b", R"("a\"b")"},
      {"back\\slash", R"("back\\slash")"},
      {std::string("\n\r\t\0", 4), R"("\n\r\t\0")"},
      {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
      {"caf\xC3\xA9 \xE2\x94\x81", "\"caf\xC3\xA9 \xE2\x94\x81\""},
      {"\xC2\x85", R"("\u{85}")"},
      {"bad\xFF\xC3", R"("bad\xFF\xC3")"},
      {"\xED\xA0\x80", R"("\xED\xA0\x80")"},  // an encoded surrogate is not valid UTF-8
      {"\xC0\xAF", R"("\xC0\xAF")"},          // nor is an overlong form
      // Unprintable: general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, and Zs other than U+0020.
      {"\u2066", R"("\u{2066}")"},                // Cf, left-to-right isolate
      {"\u061C", R"("\u{61c}")"},                 // Cf, Arabic letter mark
      {"\u00AD", R"("\u{ad}")"},                  // Cf, soft hyphen
      {"\u200B", R"("\u{200b}")"},                // Cf, zero width space
      {"\U000E0001", R"("\u{e0001}")"},           // Cf, outside the Basic Multilingual Plane
      {"\uE000", R"("\u{e000}")"},                // Co, first of its block
      {"\U0010FFFD", R"("\u{10fffd}")"},          // Co, last of its block
      {"\u0378", R"("\u{378}")"},                 // Cn, unassigned
      {"\uFFFF", R"("\u{ffff}")"},                // Cn, a noncharacter
      {"\U0010FFFF", R"("\u{10ffff}")"},          // Cn, the last code point
      {"\u2028\u2029", R"("\u{2028}\u{2029}")"},  // Zl, Zp
      {"\u00A0", R"("\u{a0}")"},                  // Zs, no-break space
      {"\u3000", R"("\u{3000}")"},                // Zs, ideographic space
      {"\u1680", R"("\u{1680}")"},                // Zs, Ogham space mark
      // Printable, including the neighbours of unprintable ranges.
      {"\u00E9", "\"\u00E9\""},
      {"\u4E2D", "\"\u4E2D\""},
      {"\U0001F600", "\"\U0001F600\""},
      {"~\u00A1\u0377\u037A", "\"~\u00A1\u0377\u037A\""},
      {"\uFFFD", "\"\uFFFD\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(DatError(DatError::Corruption{c.text}).debug(), "Corruption(" + c.expected + ")");
    EXPECT_EQ(DatError(DatError::PathError{c.text, IoError::fill_whole_buffer()}).debug(),
              "PathError { path: " + c.expected +
                  ", source: Error { kind: UnexpectedEof, message: \"failed to fill whole "
                  "buffer\" } }");
  }
}

TEST(ReadErrorDisplayTest, PlainKinds) {
  const struct {
    ReadError error;
    std::string expected;
  } cases[] = {
      {ReadError::BadMagic{0x1F0, "[1, 2]"}, "bad magic at 0x1f0: [1, 2]"},
      {ReadError::AssertFail{0, "count too big"}, "count too big at 0x0"},
      {ReadError(IoError::from_os(EIO)), "Input/output error (os error 5)"},
      {ReadError::Custom{255, "oops"}, "oops at 0xff"},
      {ReadError::NoVariantMatch{16}, "no variants matched at 0x10"},
      {ReadError::EnumErrors{
           4,
           {{"A", ReadError::NoVariantMatch{4}}, {"B", ReadError(IoError::fill_whole_buffer())}}},
       "no variants matched at 0x4:\n  A: no variants matched at 0x4\n  B: failed to fill whole "
       "buffer"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.display(), c.expected);
    EXPECT_EQ(c.error.debug(), c.expected);
  }
}

TEST(ReadErrorDisplayTest, FramedBlockOfAFieldFailure) {
  const ReadError error =
      with_context(ReadError(IoError::fill_whole_buffer()), field_frame("magic", "DatHeader", 176));
  const std::string expected =
      opening_bar() + " 0: " + kBold + kBold + "Error: failed to fill whole buffer" + kUnbold +
      "\n" + std::string(11, ' ') + kBold + "While parsing field 'magic' in DatHeader" + kUnbold +
      kUnbold + "\n     at crates/tallowmere-dat/src/lib:176\n" + closing_bar();
  EXPECT_EQ(error.display(), expected);
  EXPECT_EQ(error.debug(), expected);
  EXPECT_EQ(DatError(error).debug(), "BinRead(" + expected + ")");
}

TEST(ReadErrorDisplayTest, FramedBlockWithSeveralFrameKinds) {
  ReadError error = ReadError::Backtrace{
      std::make_shared<const ReadError>(ReadError::EnumErrors{2, {}}),
      {BacktraceFrame::Message{"first"},
       BacktraceFrame::Full{"second", "f.rs", 9, std::string("code\n")},
       BacktraceFrame::Custom{std::make_shared<const ReadError>(ReadError::NoVariantMatch{3})}}};
  const std::string expected = opening_bar() + " 0: " + kBold + kBold +
                               "Error: no variants matched at 0x2:" + kUnbold + "\n    ..." +
                               kBold + "first" + kUnbold + kUnbold + "\n" + " 1: " + kBold +
                               "second" + kUnbold + "\n     at f.rs:9\ncode\n" + " 2: " + kBold +
                               "no variants matched at 0x3" + kUnbold + "\n" + closing_bar();
  EXPECT_EQ(error.display(), expected);
}

TEST(ReadErrorDisplayTest, BacktraceWithoutFramesIsJustTheBars) {
  const ReadError error =
      ReadError::Backtrace{std::make_shared<const ReadError>(IoError::fill_whole_buffer()), {}};
  EXPECT_EQ(error.display(), opening_bar() + closing_bar());
}

TEST(WithContextTest, AppendsToABacktraceAndNeverNests) {
  const ReadError inner(IoError::fill_whole_buffer());
  const ReadError once = with_context(inner, BacktraceFrame::Message{"a"});
  const ReadError twice = with_context(once, BacktraceFrame::Message{"b"});
  const auto* bt = twice.get_if<ReadError::Backtrace>();
  ASSERT_NE(bt, nullptr);
  EXPECT_EQ(*bt->error, inner);
  ASSERT_EQ(bt->frames.size(), 2U);
  EXPECT_EQ(bt->frames[0].message(), "a");
  EXPECT_EQ(bt->frames[1].message(), "b");
}

TEST(ErrorEqualityTest, EveryVariantComparesItsWholePayload) {
  // Each pair differs in one field only; tests across the project compare errors with ==.
  const struct {
    DatError a;
    DatError b;
  } dat_errors[] = {
      {DatError(IoError::fill_whole_buffer()), DatError(IoError::not_enough_bytes())},
      {DatError(ReadError(IoError::fill_whole_buffer())), DatError(ReadError::NoVariantMatch{0})},
      {DatError::NotFound{1}, DatError::NotFound{2}},
      {DatError::DuplicateId{1}, DatError::DuplicateId{2}},
      {DatError::DuplicateNamespacedId{"a", 1}, DatError::DuplicateNamespacedId{"a", 2}},
      {DatError::DuplicateNamespacedId{"a", 1}, DatError::DuplicateNamespacedId{"b", 1}},
      {DatError::InvalidMagic{"a"}, DatError::InvalidMagic{"b"}},
      {DatError::UnsupportedVersion{1}, DatError::UnsupportedVersion{2}},
      {DatError::InvalidNamespace{"a"}, DatError::InvalidNamespace{"b"}},
      {DatError::Corruption{"a"}, DatError::Corruption{"b"}},
      {DatError::DecompressionFailed{1}, DatError::DecompressionFailed{2}},
      {DatError::PathError{"/a", IoError::from_os(ENOENT)},
       DatError::PathError{"/a", IoError::from_os(EACCES)}},
      {DatError::Other{"a"}, DatError::Other{"b"}},
      {DatError::NotFound{1}, DatError::DuplicateId{1}},
  };
  for (const auto& c : dat_errors) {
    SCOPED_TRACE(c.a.debug());
    EXPECT_EQ(c.a, DatError(c.a));
    EXPECT_NE(c.a, c.b);
  }
  const auto inner = std::make_shared<const ReadError>(IoError::fill_whole_buffer());
  const struct {
    ReadError a;
    ReadError b;
  } read_errors[] = {
      {ReadError::BadMagic{1, "x"}, ReadError::BadMagic{1, "y"}},
      {ReadError::AssertFail{1, "x"}, ReadError::AssertFail{2, "x"}},
      {ReadError::Custom{1, "x"}, ReadError::Custom{1, "y"}},
      {ReadError::NoVariantMatch{1}, ReadError::NoVariantMatch{2}},
      {ReadError::EnumErrors{1, {{"A", ReadError::NoVariantMatch{1}}}},
       ReadError::EnumErrors{1, {{"A", ReadError::NoVariantMatch{2}}}}},
      {ReadError::Backtrace{inner, {BacktraceFrame::Message{"m"}}},
       ReadError::Backtrace{inner, {BacktraceFrame::Message{"n"}}}},
      {ReadError::Backtrace{inner, {BacktraceFrame::Full{"m", "f", 1, std::nullopt}}},
       ReadError::Backtrace{inner, {BacktraceFrame::Full{"m", "f", 1, std::string("c")}}}},
      {ReadError::Backtrace{inner, {BacktraceFrame::Custom{inner}}},
       ReadError::Backtrace{inner,
                            {BacktraceFrame::Custom{
                                std::make_shared<const ReadError>(ReadError::NoVariantMatch{0})}}}},
  };
  for (const auto& c : read_errors) {
    SCOPED_TRACE(c.a.display());
    EXPECT_EQ(c.a, ReadError(c.a));
    EXPECT_NE(c.a, c.b);
  }
}

}  // namespace
}  // namespace tallowmere_dat
