#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowmere_dat {

/// The category of an I/O failure, named after the platform's usual error kinds.
enum class IoErrorKind : std::uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  QuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  InProgress,
  InputOutputError,
  TooManyOpenFiles,
  Other,
  Uncategorized,
};

/// The name of `kind` as it appears in debug renderings, e.g. "UnexpectedEof".
std::string_view kind_name(IoErrorKind kind);

/// The kind that an operating-system error number belongs to (`Uncategorized` if none).
IoErrorKind kind_of_os_error(int code);

/// A platform I/O failure: either an operating-system error (with its error number and
/// `strerror` text) or an error of a given kind with a fixed message.
class IoError {
 public:
  /// The error for OS error number `code`; its text comes from `strerror`.
  static IoError from_os(int code);
  /// The error for the current `errno`.
  static IoError last_os_error();
  /// An error without an OS error number.
  static IoError with_message(IoErrorKind kind, std::string_view message);
  /// The end-of-file error of a read that could not fill its buffer.
  static IoError fill_whole_buffer();
  /// The end-of-file error of a counted byte array that came up short.
  static IoError not_enough_bytes();

  [[nodiscard]] IoErrorKind kind() const { return kind_; }
  std::optional<int> os_code() const { return os_code_; }
  /// The one-line text for people: `strerror`'s for an OS error, else the fixed message, with
  /// control and other unprintable characters escaped (see `DatError::message`). Cannot fail.
  [[nodiscard]] std::string message() const;

  /// "No such file or directory (os error 2)", or the fixed message alone.
  [[nodiscard]] std::string display() const;
  /// `Os { code: 2, kind: NotFound, message: "..." }` or `Error { kind: ..., message: "..." }`.
  [[nodiscard]] std::string debug() const;

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  IoError(IoErrorKind kind, std::optional<int> os_code, std::string message)
      : kind_(kind), os_code_(os_code), message_(std::move(message)) {}

  IoErrorKind kind_;
  std::optional<int> os_code_;
  std::string message_;
};

}  // namespace tallowmere_dat
