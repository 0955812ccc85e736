#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "tallowmere_dat/io_error.h"
#include "tallowmere_dat/read_error.h"

namespace tallowmere_dat {

/// The archive library's error value: `debug()` is its exact rendering, `message()` its text for
/// people.
class DatError {
 public:
  struct Io {
    IoError error;
    friend bool operator==(const Io&, const Io&) = default;
  };
  struct BinRead {
    ReadError error;
    friend bool operator==(const BinRead&, const BinRead&) = default;
  };
  struct NotFound {
    std::uint32_t id = 0;
    friend bool operator==(const NotFound&, const NotFound&) = default;
  };
  struct DuplicateId {
    std::uint32_t id = 0;
    friend bool operator==(const DuplicateId&, const DuplicateId&) = default;
  };
  struct DuplicateNamespacedId {
    std::string namespace_;  ///< Rendered as `namespace`.
    std::uint32_t file_id = 0;
    friend bool operator==(const DuplicateNamespacedId&, const DuplicateNamespacedId&) = default;
  };
  struct InvalidMagic {
    std::string message;
    friend bool operator==(const InvalidMagic&, const InvalidMagic&) = default;
  };
  struct UnsupportedVersion {
    std::uint32_t version = 0;
    friend bool operator==(const UnsupportedVersion&, const UnsupportedVersion&) = default;
  };
  struct InvalidNamespace {
    std::string message;
    friend bool operator==(const InvalidNamespace&, const InvalidNamespace&) = default;
  };
  /// The archive contradicts itself in a way that would make reading it unsafe.
  struct Corruption {
    std::string message;
    friend bool operator==(const Corruption&, const Corruption&) = default;
  };
  /// A compressed file's stream ends before the size its prefix declares (or has no prefix).
  struct DecompressionFailed {
    std::uint32_t value = 0;  ///< The file's identifier.
    friend bool operator==(const DecompressionFailed&, const DecompressionFailed&) = default;
  };
  struct PathError {
    std::filesystem::path path;  ///< Exactly as passed to the open.
    IoError source;
    friend bool operator==(const PathError&, const PathError&) = default;
  };
  struct Other {
    std::string message;
    friend bool operator==(const Other&, const Other&) = default;
  };
  using Kind = std::variant<Io, BinRead, NotFound, DuplicateId, DuplicateNamespacedId, InvalidMagic,
                            UnsupportedVersion, InvalidNamespace, Corruption, DecompressionFailed,
                            PathError, Other>;

  /// The I/O error conversion: `Io`.
  DatError(IoError error) : kind_(Io{std::move(error)}) {}  // NOLINT: implicit conversion
  /// The read error conversion: `BinRead`.
  DatError(ReadError error) : kind_(BinRead{std::move(error)}) {}  // NOLINT: implicit conversion
  template <typename K>
  requires std::is_constructible_v<Kind, K&&> &&
      (!std::is_same_v<std::remove_cvref_t<K>, DatError>)DatError(K&& kind)
      : kind_(std::forward<K>(kind)) {}  // NOLINT: implicit conversion

  const Kind& kind() const { return kind_; }
  template <typename K>
  [[nodiscard]] const K* get_if() const {
    return std::get_if<K>(&kind_);
  }

  /// The single-line debug rendering, e.g. `NotFound(42)` or
  /// `PathError { path: "/x", source: Os { code: 2, kind: NotFound, message: "..." } }`.
  [[nodiscard]] std::string debug() const;

  /// One line for people, e.g. "file 0x12345678 not found" or "cannot open '/x/a.dat': No such
  /// file or directory": lower-case start, no trailing period, identifiers as 0x and eight hex
  /// digits. Text from outside (paths, OS and payload texts) has its control and other
  /// unprintable characters escaped (a line feed as \n, ESC as \u{1b}, a byte that isn't valid
  /// UTF-8 as \xHH), so the line is valid UTF-8 and safe to print. Cannot fail.
  [[nodiscard]] std::string message() const;

  friend bool operator==(const DatError&, const DatError&) = default;

 private:
  Kind kind_;
};

}  // namespace tallowmere_dat
