// The environ probe: opens the archive at the path compiled in, and prints the census of its
// sound tables and the environ slot report. Takes no arguments and reads no configuration.

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "portal_path.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_report/environ_report.h"
#include "tallowmere_report/write_all.h"

namespace {

using tallowmere_dat::write_all;

[[noreturn]] void stop(const std::string& message) {
  (void)write_all(STDERR_FILENO, message + "\n");
  std::_Exit(101);
}

}  // namespace

int main() {
  // A reader that closes the pipe early must surface as a failed write, not kill the process.
  (void)std::signal(SIGPIPE, SIG_IGN);

  auto db = tallowmere_dat::DatDatabase::open(kPortalPath);
  if (!db) stop("called `Result::unwrap()` on an `Err` value: " + db.error().debug());

  // The report goes out in large pieces as it is produced, so it is never held whole; the
  // first failed write stops the probe, as a failed print would.
  (void)tallowmere_dat::write_environ_report(*db, [](std::string_view piece) {
    if (auto written = write_all(STDOUT_FILENO, piece); !written) {
      stop("failed printing to stdout: " + written.error().display());
    }
    return true;
  });
  return 0;
}
