#include "tallowmere_dat/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "file_ext.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat {
namespace {

using tallowmere_testing::TempFile;

bool is_open(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

TEST(FileTest, ANameWithANulByteIsRefusedBeforeTheSystemSeesIt) {
  const auto file = File::open_read_only(std::string("client_portal.dat\0.bak", 22));
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error(), IoError::with_message(IoErrorKind::InvalidInput,
                                                "file name contained an unexpected NUL byte"));
}

int fd_of(const File& file) {
  return detail::FileDescriptor::of(file);
}

TEST(FileTest, MoveAssignmentClosesTheOldFileAndTakesTheOther) {
  const std::vector<std::uint8_t> bytes{1, 2, 3};
  const TempFile first(bytes);
  const TempFile second(bytes);
  auto a = File::open_read_only(first.path());
  auto b = File::open_read_only(second.path());
  ASSERT_TRUE(a.has_value() && b.has_value());
  const int old_fd = fd_of(*a);
  const int taken_fd = fd_of(*b);
  *a = std::move(*b);
  EXPECT_EQ(fd_of(*a), taken_fd);
  EXPECT_EQ(fd_of(*b), -1);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
  EXPECT_FALSE(is_open(old_fd));
  File& self = *a;
  *a = std::move(self);
  EXPECT_EQ(fd_of(*a), taken_fd);
  EXPECT_TRUE(is_open(taken_fd));
}

TEST(FileTest, FailuresCarryTheOperatingSystemError) {
  // A directory opens read-only but can't be read; a pipe can't report or change a position.
  auto dir = File::open_read_only("/tmp");
  ASSERT_TRUE(dir.has_value());
  std::vector<std::uint8_t> buffer(4);
  const auto read = dir->read(buffer);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error(), IoError::from_os(EISDIR));

  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  auto pipe = File::open_read_only("/proc/self/fd/" + std::to_string(ends[0]));
  ::close(ends[0]);
  ::close(ends[1]);
  ASSERT_TRUE(pipe.has_value());
  EXPECT_EQ(pipe->position().error(), IoError::from_os(ESPIPE));
  EXPECT_EQ(pipe->seek(0).error(), IoError::from_os(ESPIPE));
  // A position past what the system's offsets can express is refused before any call.
  EXPECT_EQ(dir->seek(std::uint64_t{std::numeric_limits<off_t>::max()} + 1).error(),
            IoError::from_os(EINVAL));
}

}  // namespace
}  // namespace tallowmere_dat
