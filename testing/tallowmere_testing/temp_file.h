#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

namespace tallowmere_testing {

/// A file with the given bytes in a fresh temporary directory, removed when destroyed.
class TempFile {
 public:
  explicit TempFile(std::span<const std::uint8_t> bytes,
                    const std::string& name = "client_portal.dat") {
    std::string dir_template =
        (std::filesystem::temp_directory_path() / "tallowmere-XXXXXX").string();
    if (::mkdtemp(dir_template.data()) == nullptr) std::abort();
    dir_ = dir_template;
    path_ = dir_ / name;
    std::ofstream out(path_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),  // NOLINT: ofstream takes char
              static_cast<std::streamsize>(bytes.size()));
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::filesystem::path path_;
};

}  // namespace tallowmere_testing
