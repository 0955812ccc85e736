#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat {

class ReadError;

/// One context frame of a `ReadError::Backtrace`.
class BacktraceFrame {
 public:
  /// A frame naming where in the reader's source it was added.
  struct Full {
    std::string message;
    std::string file;
    std::uint32_t line = 0;
    std::optional<std::string> code;
    friend bool operator==(const Full&, const Full&) = default;
  };
  /// A frame with a message only.
  struct Message {
    std::string message;
    friend bool operator==(const Message&, const Message&) = default;
  };
  /// A frame carrying another error, shown by its display text.
  struct Custom {
    std::shared_ptr<const ReadError> error;
    friend bool operator==(const Custom& a, const Custom& b);
  };
  using Kind = std::variant<Full, Message, Custom>;

  BacktraceFrame(Full frame) : kind_(std::move(frame)) {}     // NOLINT: implicit by design
  BacktraceFrame(Message frame) : kind_(std::move(frame)) {}  // NOLINT: implicit by design
  BacktraceFrame(Custom frame) : kind_(std::move(frame)) {}   // NOLINT: implicit by design

  const Kind& kind() const { return kind_; }
  /// The frame's message: its own text, or the carried error's display text.
  [[nodiscard]] std::string message() const;

  friend bool operator==(const BacktraceFrame&, const BacktraceFrame&) = default;

 private:
  Kind kind_;
};

/// The error of reading numbers and records from a byte source.
class ReadError {
 public:
  struct BadMagic {
    std::uint64_t pos = 0;
    std::string found;  ///< Debug rendering of the value found.
    friend bool operator==(const BadMagic&, const BadMagic&) = default;
  };
  struct AssertFail {
    std::uint64_t pos = 0;
    std::string message;
    friend bool operator==(const AssertFail&, const AssertFail&) = default;
  };
  struct Io {
    IoError error;
    friend bool operator==(const Io&, const Io&) = default;
  };
  struct Custom {
    std::uint64_t pos = 0;
    std::string err;  ///< Display text of the custom error.
    friend bool operator==(const Custom&, const Custom&) = default;
  };
  struct NoVariantMatch {
    std::uint64_t pos = 0;
    friend bool operator==(const NoVariantMatch&, const NoVariantMatch&) = default;
  };
  struct EnumErrors {
    std::uint64_t pos = 0;
    std::vector<std::pair<std::string, ReadError>> variant_errors;
    friend bool operator==(const EnumErrors&, const EnumErrors&);
  };
  struct Backtrace {
    std::shared_ptr<const ReadError> error;  ///< The innermost error; never a Backtrace.
    std::vector<BacktraceFrame> frames;      ///< Innermost first.
    friend bool operator==(const Backtrace&, const Backtrace&);
  };
  using Kind =
      std::variant<BadMagic, AssertFail, Io, Custom, NoVariantMatch, EnumErrors, Backtrace>;

  ReadError(IoError error) : kind_(Io{std::move(error)}) {}  // NOLINT: implicit conversion
  template <typename K>
  requires std::is_constructible_v<Kind, K&&> ReadError(K&& kind)
      : kind_(std::forward<K>(kind)) {}  // NOLINT: implicit conversion

  const Kind& kind() const { return kind_; }
  template <typename K>
  [[nodiscard]] const K* get_if() const {
    return std::get_if<K>(&kind_);
  }

  /// The display rendering.
  [[nodiscard]] std::string display() const;
  /// The debug rendering: the same text as `display()`.
  [[nodiscard]] std::string debug() const;

  /// One line for people, e.g. "data cut short: failed to fill whole buffer", with a framed
  /// error's innermost cause first and its field context after it ("... while reading field
  /// 'magic' in DatHeader"). Offsets are in hex; no control characters. Cannot fail.
  [[nodiscard]] std::string message() const;

  friend bool operator==(const ReadError&, const ReadError&) = default;

 private:
  Kind kind_;
};

/// Adds `frame` to `error`: appended to an existing backtrace, or wrapping any other error.
ReadError with_context(ReadError error, BacktraceFrame frame);

}  // namespace tallowmere_dat
