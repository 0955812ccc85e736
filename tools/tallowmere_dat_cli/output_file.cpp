#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "tallowmere_report/write_all.h"

namespace tallowmere_dat::cli {
namespace {

namespace fs = std::filesystem;

// The kernel's own limit on links followed in one path.
constexpr int kMaxLinks = 40;

WriteFailure os_failure(std::string step, int code) {
  return WriteFailure{std::move(step), IoError::from_os(code)};
}

/// Paths whose files stand for something else (a descriptor, a terminal): written in place.
bool is_special_path(const std::string& path) {
  const std::string absolute = fs::absolute(path).lexically_normal().string();
  return absolute.starts_with("/dev/") || absolute.starts_with("/proc/");
}

/// Opens and writes the existing file at `path` as it is, truncating it.
std::expected<void, WriteFailure> write_in_place(const std::string& path,
                                                 std::span<const std::uint8_t> bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(os_failure("cannot open '" + path + "'", errno));
  auto written = write_all(fd, bytes);
  const int closed = ::close(fd);
  if (!written)
    return std::unexpected(WriteFailure{"cannot write '" + path + "'", written.error()});
  if (closed != 0) return std::unexpected(os_failure("cannot close '" + path + "'", errno));
  return {};
}

/// Where a path that names nothing yet leads: through any dangling symbolic links to the name
/// they point at, as the shell's `>` would create it.
std::expected<fs::path, WriteFailure> dangling_target(const std::string& path) {
  fs::path at = path;
  for (int links = 0; links <= kMaxLinks; ++links) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(at, ec);
    if (status.type() != fs::file_type::symlink) return at;
    const fs::path target = fs::read_symlink(at, ec);
    if (ec)
      return std::unexpected(os_failure("cannot read the link '" + at.string() + "'", ec.value()));
    at = target.is_absolute() ? target : at.parent_path() / target;
  }
  return std::unexpected(os_failure("cannot follow '" + path + "'", ELOOP));
}

/// Writes `bytes` atomically as `target`, through a descriptor of its directory.
std::expected<void, WriteFailure> replace_file(const fs::path& target,
                                               std::span<const std::uint8_t> bytes,
                                               const FileLook& look, Destination destination) {
  const fs::path parent = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  const int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return std::unexpected(os_failure("cannot open directory '" + parent.string() + "'", errno));
  }
  const OpenDirectory directory(fd, target.parent_path().string());
  return write_file_atomically(directory, target.filename().string(), bytes, look, destination);
}

}  // namespace

std::optional<FileIdentity> identity_of(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileIdentity{status.st_dev, status.st_ino};
}

std::expected<void, WriteFailure> write_output(const std::string& path,
                                               std::span<const std::uint8_t> bytes,
                                               const std::optional<FileIdentity>& protect) {
  if (path == "-") {
    if (auto written = write_all(STDOUT_FILENO, bytes); !written) {
      return std::unexpected(WriteFailure{"cannot write to standard output", written.error()});
    }
    return {};
  }
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    if (errno != ENOENT) return std::unexpected(os_failure("cannot reach '" + path + "'", errno));
    const auto target = dangling_target(path);
    if (!target) return std::unexpected(target.error());
    return replace_file(*target, bytes,
                        FileLook{.mode = default_file_mode(), .mtime = std::nullopt},
                        Destination::kNew);
  }
  if (protect && *protect == FileIdentity{status.st_dev, status.st_ino}) {
    return std::unexpected(
        WriteFailure{"refusing to overwrite the archive being read: '" + path + "'", std::nullopt});
  }
  if (!S_ISREG(status.st_mode) || is_special_path(path)) return write_in_place(path, bytes);
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  if (!real) return std::unexpected(os_failure("cannot resolve '" + path + "'", errno));
  return replace_file(real.get(), bytes,
                      FileLook{.mode = status.st_mode & 07777, .mtime = std::nullopt},
                      Destination::kMayExist);
}

}  // namespace tallowmere_dat::cli
