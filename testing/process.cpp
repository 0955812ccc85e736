#include "tallowmere_testing/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace tallowmere_testing {
namespace {

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::abort();
}

/// An unlinked temporary file: the descriptor alone keeps it.
int anonymous_file() {
  char name[] = "/tmp/tallowmere-process-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) fail("mkstemp");
  ::unlink(name);
  return fd;
}

std::string read_all(int fd) {
  std::string text;
  char buffer[65536];
  ::lseek(fd, 0, SEEK_SET);
  for (ssize_t n = 0; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

int stdout_descriptor(StdoutTarget target, int capture_fd) {
  switch (target) {
    case StdoutTarget::kCapture:
      return capture_fd;
    case StdoutTarget::kDevFull:
      return ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    case StdoutTarget::kDevNull:
      return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    case StdoutTarget::kClosedPipe: {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0) fail("pipe2");
      ::close(ends[0]);
      return ends[1];
    }
  }
  return -1;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  const int out_fd = anonymous_file();
  const int err_fd = anonymous_file();
  const int in_fd = anonymous_file();
  if (::write(in_fd, options.stdin_data.data(), options.stdin_data.size()) < 0) fail("write");
  ::lseek(in_fd, 0, SEEK_SET);
  const int child_stdout = stdout_descriptor(options.stdout_target, out_fd);
  if (child_stdout < 0) fail("stdout target");

  std::vector<char*> args;
  for (const auto& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));  // NOLINT: execv
  args.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    ::dup2(in_fd, STDIN_FILENO);
    ::dup2(child_stdout, STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
    if (options.address_space_limit) {
      const rlimit limit{*options.address_space_limit, *options.address_space_limit};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    if (options.working_directory && ::chdir(options.working_directory->c_str()) != 0) _exit(126);
    ::execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) fail("waitpid");
  }
  ProcessResult result;
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.out = read_all(out_fd);
  result.err = read_all(err_fd);
  if (child_stdout != out_fd) ::close(child_stdout);
  ::close(out_fd);
  ::close(err_fd);
  ::close(in_fd);
  return result;
}

}  // namespace tallowmere_testing
