#include "tallowmere_dat/io_error.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "debug_text.h"
#include "message_detail.h"

namespace tallowmere_dat {

std::string_view kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound:
      return "NotFound";
    case IoErrorKind::PermissionDenied:
      return "PermissionDenied";
    case IoErrorKind::ConnectionRefused:
      return "ConnectionRefused";
    case IoErrorKind::ConnectionReset:
      return "ConnectionReset";
    case IoErrorKind::HostUnreachable:
      return "HostUnreachable";
    case IoErrorKind::NetworkUnreachable:
      return "NetworkUnreachable";
    case IoErrorKind::ConnectionAborted:
      return "ConnectionAborted";
    case IoErrorKind::NotConnected:
      return "NotConnected";
    case IoErrorKind::AddrInUse:
      return "AddrInUse";
    case IoErrorKind::AddrNotAvailable:
      return "AddrNotAvailable";
    case IoErrorKind::NetworkDown:
      return "NetworkDown";
    case IoErrorKind::BrokenPipe:
      return "BrokenPipe";
    case IoErrorKind::AlreadyExists:
      return "AlreadyExists";
    case IoErrorKind::WouldBlock:
      return "WouldBlock";
    case IoErrorKind::NotADirectory:
      return "NotADirectory";
    case IoErrorKind::IsADirectory:
      return "IsADirectory";
    case IoErrorKind::DirectoryNotEmpty:
      return "DirectoryNotEmpty";
    case IoErrorKind::ReadOnlyFilesystem:
      return "ReadOnlyFilesystem";
    case IoErrorKind::FilesystemLoop:
      return "FilesystemLoop";
    case IoErrorKind::StaleNetworkFileHandle:
      return "StaleNetworkFileHandle";
    case IoErrorKind::InvalidInput:
      return "InvalidInput";
    case IoErrorKind::InvalidData:
      return "InvalidData";
    case IoErrorKind::TimedOut:
      return "TimedOut";
    case IoErrorKind::WriteZero:
      return "WriteZero";
    case IoErrorKind::StorageFull:
      return "StorageFull";
    case IoErrorKind::NotSeekable:
      return "NotSeekable";
    case IoErrorKind::QuotaExceeded:
      return "QuotaExceeded";
    case IoErrorKind::FileTooLarge:
      return "FileTooLarge";
    case IoErrorKind::ResourceBusy:
      return "ResourceBusy";
    case IoErrorKind::ExecutableFileBusy:
      return "ExecutableFileBusy";
    case IoErrorKind::Deadlock:
      return "Deadlock";
    case IoErrorKind::CrossesDevices:
      return "CrossesDevices";
    case IoErrorKind::TooManyLinks:
      return "TooManyLinks";
    case IoErrorKind::InvalidFilename:
      return "InvalidFilename";
    case IoErrorKind::ArgumentListTooLong:
      return "ArgumentListTooLong";
    case IoErrorKind::Interrupted:
      return "Interrupted";
    case IoErrorKind::Unsupported:
      return "Unsupported";
    case IoErrorKind::UnexpectedEof:
      return "UnexpectedEof";
    case IoErrorKind::OutOfMemory:
      return "OutOfMemory";
    case IoErrorKind::InProgress:
      return "InProgress";
    case IoErrorKind::InputOutputError:
      return "InputOutputError";
    case IoErrorKind::TooManyOpenFiles:
      return "TooManyOpenFiles";
    case IoErrorKind::Other:
      return "Other";
    case IoErrorKind::Uncategorized:
      return "Uncategorized";
  }
  return "Uncategorized";
}

IoErrorKind kind_of_os_error(int code) {
  switch (code) {
    case E2BIG:
      return IoErrorKind::ArgumentListTooLong;
    case EADDRINUSE:
      return IoErrorKind::AddrInUse;
    case EADDRNOTAVAIL:
      return IoErrorKind::AddrNotAvailable;
    case EBUSY:
      return IoErrorKind::ResourceBusy;
    case ECONNABORTED:
      return IoErrorKind::ConnectionAborted;
    case ECONNREFUSED:
      return IoErrorKind::ConnectionRefused;
    case ECONNRESET:
      return IoErrorKind::ConnectionReset;
    case EDEADLK:
      return IoErrorKind::Deadlock;
    case EDQUOT:
      return IoErrorKind::QuotaExceeded;
    case EEXIST:
      return IoErrorKind::AlreadyExists;
    case EFBIG:
      return IoErrorKind::FileTooLarge;
    case EHOSTUNREACH:
      return IoErrorKind::HostUnreachable;
    case EINTR:
      return IoErrorKind::Interrupted;
    case EINVAL:
      return IoErrorKind::InvalidInput;
    case EISDIR:
      return IoErrorKind::IsADirectory;
    case ELOOP:
      return IoErrorKind::FilesystemLoop;
    case ENOENT:
      return IoErrorKind::NotFound;
    case ENOMEM:
      return IoErrorKind::OutOfMemory;
    case ENOSPC:
      return IoErrorKind::StorageFull;
    case ENOSYS:
      return IoErrorKind::Unsupported;
    case EMLINK:
      return IoErrorKind::TooManyLinks;
    case ENAMETOOLONG:
      return IoErrorKind::InvalidFilename;
    case ENETDOWN:
      return IoErrorKind::NetworkDown;
    case ENETUNREACH:
      return IoErrorKind::NetworkUnreachable;
    case ENOTCONN:
      return IoErrorKind::NotConnected;
    case ENOTDIR:
      return IoErrorKind::NotADirectory;
    case ENOTEMPTY:
      return IoErrorKind::DirectoryNotEmpty;
    case EPIPE:
      return IoErrorKind::BrokenPipe;
    case EROFS:
      return IoErrorKind::ReadOnlyFilesystem;
    case ESPIPE:
      return IoErrorKind::NotSeekable;
    case ESTALE:
      return IoErrorKind::StaleNetworkFileHandle;
    case ETIMEDOUT:
      return IoErrorKind::TimedOut;
    case ETXTBSY:
      return IoErrorKind::ExecutableFileBusy;
    case EXDEV:
      return IoErrorKind::CrossesDevices;
    case EINPROGRESS:
      return IoErrorKind::InProgress;
    case EMFILE:
    case ENFILE:
      return IoErrorKind::TooManyOpenFiles;
    case EOPNOTSUPP:
      return IoErrorKind::Unsupported;
    case EIO:
      return IoErrorKind::InputOutputError;
    case EACCES:
    case EPERM:
      return IoErrorKind::PermissionDenied;
    case EAGAIN:
      return IoErrorKind::WouldBlock;
    default:
      return IoErrorKind::Uncategorized;
  }
}

IoError IoError::from_os(int code) {
  // strerror_r's GNU form may return a static string instead of filling the buffer.
  char buffer[256] = {};
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return IoError(kind_of_os_error(code), code, text);
}

IoError IoError::last_os_error() {
  return from_os(errno);
}

IoError IoError::with_message(IoErrorKind kind, std::string_view message) {
  return IoError(kind, std::nullopt, std::string(message));
}

IoError IoError::fill_whole_buffer() {
  return with_message(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
}

IoError IoError::not_enough_bytes() {
  return with_message(IoErrorKind::UnexpectedEof, "not enough bytes in reader");
}

std::string IoError::message() const {
  return detail::escape_unprintable(message_);
}

std::string IoError::display() const {
  if (!os_code_) return message_;
  return message_ + " (os error " + std::to_string(*os_code_) + ")";
}

std::string IoError::debug() const {
  const std::string kind = std::string(kind_name(kind_));
  const std::string message = detail::quote_debug(message_);
  if (!os_code_) return "Error { kind: " + kind + ", message: " + message + " }";
  return "Os { code: " + std::to_string(*os_code_) + ", kind: " + kind + ", message: " + message +
         " }";
}

namespace detail {

std::string io_message(const IoError& error, std::string_view subject) {
  const std::string text = error.message();
  if (error.kind() == IoErrorKind::UnexpectedEof) {
    return std::string(subject) + " cut short: " + text;
  }
  return "cannot read " + std::string(subject) + ": " + text;
}

}  // namespace detail

}  // namespace tallowmere_dat
