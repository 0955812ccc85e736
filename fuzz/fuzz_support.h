#pragma once

// What the archive-level fuzz targets share: a memory file that the library opens by path, the
// abort that reports a broken property, and the check that an error is one the bytes can cause.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tallowmere_dat/error.h"
#include "tallowmere_dat/io_error.h"

namespace tallowmere_fuzz {

/// Ends the run with `what` on standard error, so libFuzzer keeps the input as a crash.
[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
  (void)std::fprintf(stderr, "fuzz target: %s %s\n", what, detail.c_str());
  std::abort();
}

/// One memory file for the whole run, rewritten for every input.
class MemoryFile {
 public:
  MemoryFile() : fd_(::memfd_create("archive", 0)) {
    if (fd_ < 0) fail("memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  void assign(const std::uint8_t* data, std::size_t size) const {
    if (::ftruncate(fd_, 0) != 0) fail("ftruncate failed");
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) fail("pwrite failed");
      done += static_cast<std::size_t>(n);
    }
  }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

/// The errors an archive's bytes can cause: data ending early, a header or node cut short,
/// or a layout the reader refuses to follow. Each must render.
inline void check_error(const tallowmere_dat::DatError& error) {
  using tallowmere_dat::DatError;
  const std::string text = error.debug();
  if (text.empty()) fail("an error renders empty");
  if (const auto* io = error.get_if<DatError::Io>()) {
    if (io->error.kind() != tallowmere_dat::IoErrorKind::UnexpectedEof) {
      fail("unexpected I/O error", text);
    }
    return;
  }
  if (const auto* bin_read = error.get_if<DatError::BinRead>()) {
    if (bin_read->error.get_if<tallowmere_dat::ReadError::Backtrace>() == nullptr) {
      fail("a record failure without its field frame", text);
    }
    return;
  }
  if (error.get_if<DatError::Corruption>() == nullptr) fail("unexpected error variant", text);
}

}  // namespace tallowmere_fuzz
