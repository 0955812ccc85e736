#include "tallowmere_dat/io_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace tallowmere_dat {
namespace {

// The kind names appear in the probe's stop message, so each operating-system error must land
// on its own kind and every kind must render under its own name.
TEST(IoErrorTest, OsErrorNumbersMapToTheirKinds) {
  const struct {
    int code;
    const char* kind;
  } cases[] = {
      {E2BIG, "ArgumentListTooLong"},
      {EADDRINUSE, "AddrInUse"},
      {EADDRNOTAVAIL, "AddrNotAvailable"},
      {EBUSY, "ResourceBusy"},
      {ECONNABORTED, "ConnectionAborted"},
      {ECONNREFUSED, "ConnectionRefused"},
      {ECONNRESET, "ConnectionReset"},
      {EDEADLK, "Deadlock"},
      {EDQUOT, "QuotaExceeded"},
      {EEXIST, "AlreadyExists"},
      {EFBIG, "FileTooLarge"},
      {EHOSTUNREACH, "HostUnreachable"},
      {EINTR, "Interrupted"},
      {EINVAL, "InvalidInput"},
      {EISDIR, "IsADirectory"},
      {ELOOP, "FilesystemLoop"},
      {ENOENT, "NotFound"},
      {ENOMEM, "OutOfMemory"},
      {ENOSPC, "StorageFull"},
      {ENOSYS, "Unsupported"},
      {EMLINK, "TooManyLinks"},
      {ENAMETOOLONG, "InvalidFilename"},
      {ENETDOWN, "NetworkDown"},
      {ENETUNREACH, "NetworkUnreachable"},
      {ENOTCONN, "NotConnected"},
      {ENOTDIR, "NotADirectory"},
      {ENOTEMPTY, "DirectoryNotEmpty"},
      {EPIPE, "BrokenPipe"},
      {EROFS, "ReadOnlyFilesystem"},
      {ESPIPE, "NotSeekable"},
      {ESTALE, "StaleNetworkFileHandle"},
      {ETIMEDOUT, "TimedOut"},
      {ETXTBSY, "ExecutableFileBusy"},
      {EXDEV, "CrossesDevices"},
      {EINPROGRESS, "InProgress"},
      {EMFILE, "TooManyOpenFiles"},
      {ENFILE, "TooManyOpenFiles"},
      {EOPNOTSUPP, "Unsupported"},
      {EIO, "InputOutputError"},
      {EACCES, "PermissionDenied"},
      {EPERM, "PermissionDenied"},
      {EAGAIN, "WouldBlock"},
      {ENOTBLK, "Uncategorized"},
      {9999, "Uncategorized"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    EXPECT_EQ(kind_name(kind_of_os_error(c.code)), c.kind);
    const IoError error = IoError::from_os(c.code);
    const std::string text = std::strerror(c.code);
    EXPECT_EQ(error.os_code(), c.code);
    EXPECT_EQ(error.message(), text);
    EXPECT_EQ(error.display(), text + " (os error " + std::to_string(c.code) + ")");
    EXPECT_EQ(error.debug(), "Os { code: " + std::to_string(c.code) + ", kind: " + c.kind +
                                 ", message: \"" + text + "\" }");
  }
}

TEST(IoErrorTest, EveryKindRendersUnderItsName) {
  const char* const names[] = {
      "NotFound",
      "PermissionDenied",
      "ConnectionRefused",
      "ConnectionReset",
      "HostUnreachable",
      "NetworkUnreachable",
      "ConnectionAborted",
      "NotConnected",
      "AddrInUse",
      "AddrNotAvailable",
      "NetworkDown",
      "BrokenPipe",
      "AlreadyExists",
      "WouldBlock",
      "NotADirectory",
      "IsADirectory",
      "DirectoryNotEmpty",
      "ReadOnlyFilesystem",
      "FilesystemLoop",
      "StaleNetworkFileHandle",
      "InvalidInput",
      "InvalidData",
      "TimedOut",
      "WriteZero",
      "StorageFull",
      "NotSeekable",
      "QuotaExceeded",
      "FileTooLarge",
      "ResourceBusy",
      "ExecutableFileBusy",
      "Deadlock",
      "CrossesDevices",
      "TooManyLinks",
      "InvalidFilename",
      "ArgumentListTooLong",
      "Interrupted",
      "Unsupported",
      "UnexpectedEof",
      "OutOfMemory",
      "InProgress",
      "InputOutputError",
      "TooManyOpenFiles",
      "Other",
      "Uncategorized",
  };
  for (std::size_t i = 0; i < std::size(names); ++i) {
    SCOPED_TRACE(names[i]);
    const auto kind = static_cast<IoErrorKind>(i);
    EXPECT_EQ(kind_name(kind), names[i]);
    const IoError error = IoError::with_message(kind, "a \"quoted\" text");
    EXPECT_EQ(error.os_code(), std::nullopt);
    EXPECT_EQ(error.display(), "a \"quoted\" text");
    EXPECT_EQ(error.debug(),
              std::string("Error { kind: ") + names[i] + ", message: \"a \\\"quoted\\\" text\" }");
  }
  EXPECT_EQ(static_cast<std::size_t>(IoErrorKind::Uncategorized) + 1, std::size(names));
}

}  // namespace
}  // namespace tallowmere_dat
