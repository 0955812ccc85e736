#define FUSE_USE_VERSION 312
#include "fuse_binding.h"

#include <fuse_lowlevel.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace tallowmere_dat::mount {
namespace {

/// The archive never changes under the mount, so the kernel may keep names and attributes for
/// as long as it likes: a year.
constexpr double kForever = 365.0 * 24 * 3600;

ArchiveTree& tree_of(fuse_req_t request) {
  return *static_cast<ArchiveTree*>(fuse_req_userdata(request));
}

/// Where libfuse's messages go while it serves, and the part of a line it has written so far
/// (it writes some lines in pieces).
const Log* fuse_messages = nullptr;
std::mutex fuse_message_mutex;
std::string fuse_message_line;

void log_fuse_message(enum fuse_log_level /*level*/, const char* pattern, va_list args) {
  std::array<char, 512> text{};
  const int length = std::vsnprintf(text.data(), text.size(), pattern, args);
  const std::lock_guard lock(fuse_message_mutex);
  fuse_message_line.append(text.data(), static_cast<std::size_t>(std::clamp(length, 0, 511)));
  for (std::size_t end = fuse_message_line.find('\n'); end != std::string::npos;
       end = fuse_message_line.find('\n')) {
    std::string_view line(fuse_message_line.data(), end);
    if (line.starts_with("fuse: ")) line.remove_prefix(6);
    if (fuse_messages != nullptr && !line.empty()) (*fuse_messages)(line);
    fuse_message_line.erase(0, end + 1);
  }
}

/// What a plain directory entry tells of its node: its number and type.
struct stat child_stat(const DirEntry& entry) {
  struct stat attributes {};
  attributes.st_ino = entry.node;
  attributes.st_mode = entry.type;
  return attributes;
}

/// Set when the kernel opens files without asking: then `open` declines once and every later
/// open costs no round trip, with the pages kept as `keep_cache` keeps them.
std::atomic<bool> zero_message_opens = false;

void on_init(void* /*userdata*/, fuse_conn_info* connection) {
  zero_message_opens = (connection->capable & FUSE_CAP_NO_OPEN_SUPPORT) != 0;
  // Nothing changes, so a changed mtime never has to drop cached pages.
  connection->want &= ~static_cast<unsigned>(FUSE_CAP_AUTO_INVAL_DATA);
}

void on_lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  const auto found = tree_of(request).lookup(parent, name);
  if (!found && found.error() != ENOENT) {
    fuse_reply_err(request, found.error());
    return;
  }
  // A missing name is answered with node 0, which the kernel keeps as a negative entry.
  fuse_entry_param entry{};
  entry.attr_timeout = kForever;
  entry.entry_timeout = kForever;
  if (found) {
    entry.ino = found->st_ino;
    entry.attr = *found;
  }
  fuse_reply_entry(request, &entry);
}

void on_getattr(fuse_req_t request, fuse_ino_t node, fuse_file_info* /*file*/) {
  const auto attributes = tree_of(request).getattr(node);
  if (!attributes) {
    fuse_reply_err(request, attributes.error());
    return;
  }
  fuse_reply_attr(request, &*attributes, kForever);
}

void on_opendir(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
  const auto attributes = tree_of(request).getattr(node);
  if (!attributes || !S_ISDIR(attributes->st_mode)) {
    fuse_reply_err(request, attributes ? ENOTDIR : attributes.error());
    return;
  }
  file->cache_readdir = 1;
  file->keep_cache = 1;
  fuse_reply_open(request, file);
}

/// Fills one page of directory `node` from `offset`. With `plus`, each entry carries its
/// attributes too, so that opening it later needs no lookup of its own.
void reply_directory_page(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                          bool plus) {
  ArchiveTree& tree = tree_of(request);
  std::vector<char> page(size);
  std::size_t used = 0;
  std::string name;
  const int error = tree.readdir(
      node, static_cast<std::uint64_t>(offset), [&](const DirEntry& entry, std::uint64_t next) {
        name.assign(entry.name);
        char* at = page.data() + used;
        const std::size_t room = size - used;
        const auto next_offset = static_cast<off_t>(next);
        std::size_t needed = 0;
        if (plus) {
          fuse_entry_param child{};
          child.attr.st_ino = entry.node;
          child.attr.st_mode = entry.type;
          // The kernel keeps no entry for "." and "..", and takes none for a node it can't stat.
          if (name != "." && name != "..") {
            if (const auto attributes = tree.getattr(entry.node)) {
              child.ino = entry.node;
              child.attr = *attributes;
              child.attr_timeout = kForever;
              child.entry_timeout = kForever;
            }
          }
          needed = fuse_add_direntry_plus(request, at, room, name.c_str(), &child, next_offset);
        } else {
          const struct stat plain = child_stat(entry);
          needed = fuse_add_direntry(request, at, room, name.c_str(), &plain, next_offset);
        }
        if (needed > room) return false;
        used += needed;
        return true;
      });
  if (error != 0) {
    fuse_reply_err(request, error);
    return;
  }
  fuse_reply_buf(request, page.data(), used);
}

void on_readdir(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                fuse_file_info* /*file*/) {
  reply_directory_page(request, node, size, offset, false);
}

void on_readdirplus(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                    fuse_file_info* /*file*/) {
  reply_directory_page(request, node, size, offset, true);
}

void on_open(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
  // The mount is read-only in the kernel, which refuses every open for writing before it gets
  // here; nothing is left for `open` to check.
  if (zero_message_opens) {
    fuse_reply_err(request, ENOSYS);
    return;
  }
  if (const int error = tree_of(request).open(node, file->flags); error != 0) {
    fuse_reply_err(request, error);
    return;
  }
  file->keep_cache = 1;
  file->noflush = 1;
  if (fuse_reply_open(request, file) != 0) tree_of(request).release(node);
}

void on_read(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
             fuse_file_info* /*file*/) {
  thread_local std::vector<std::uint8_t> buffer;
  buffer.resize(size);
  const auto count = tree_of(request).read(node, static_cast<std::uint64_t>(offset), buffer);
  if (!count) {
    fuse_reply_err(request, count.error());
    return;
  }
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): libfuse takes the bytes as char
  fuse_reply_buf(request, reinterpret_cast<const char*>(buffer.data()), *count);
}

void on_release(fuse_req_t request, fuse_ino_t node, fuse_file_info* /*file*/) {
  tree_of(request).release(node);
  fuse_reply_err(request, 0);
}

void on_statfs(fuse_req_t request, fuse_ino_t /*node*/) {
  const struct statvfs usage = tree_of(request).statfs();
  fuse_reply_statfs(request, &usage);
}

fuse_lowlevel_ops operations() {
  fuse_lowlevel_ops ops{};
  ops.init = on_init;
  ops.lookup = on_lookup;
  ops.getattr = on_getattr;
  ops.opendir = on_opendir;
  ops.readdir = on_readdir;
  ops.readdirplus = on_readdirplus;
  ops.open = on_open;
  ops.read = on_read;
  ops.release = on_release;
  ops.statfs = on_statfs;
  return ops;
}

/// `text` as one value of a -o list: commas and backslashes escaped.
std::string option_value(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == ',' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

struct SessionDeleter {
  void operator()(fuse_session* session) const { fuse_session_destroy(session); }
};
struct ArgsDeleter {
  void operator()(fuse_args* args) const { fuse_opt_free_args(args); }
};
struct LoopConfigDeleter {
  void operator()(fuse_loop_config* config) const { fuse_loop_cfg_destroy(config); }
};

}  // namespace

bool serve(ArchiveTree& tree, const MountRequest& request, const Log& log) {
  fuse_messages = &log;
  fuse_set_log_func(log_fuse_message);
  // Read-only in the kernel too, so that every write fails with EROFS before it gets here; the
  // tree's own options come last, so that none given with -o overrides them.
  std::vector<std::string> words = {"tallowmere-dat"};
  for (const std::string& option : request.options) {
    words.emplace_back("-o");
    words.push_back(option);
  }
  words.emplace_back("-o");
  words.push_back("ro,default_permissions,subtype=tallowmere-dat,fsname=" +
                  option_value(request.source));
  std::vector<char*> argv;
  argv.reserve(words.size());
  for (std::string& word : words)
    argv.push_back(word.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  const std::unique_ptr<fuse_args, ArgsDeleter> free_args(&args);

  const fuse_lowlevel_ops ops = operations();
  const std::unique_ptr<fuse_session, SessionDeleter> session(
      fuse_session_new(&args, &ops, sizeof ops, &tree));
  if (!session) return false;
  if (fuse_set_signal_handlers(session.get()) != 0) return false;
  if (fuse_session_mount(session.get(), request.mountpoint.c_str()) != 0) {
    fuse_remove_signal_handlers(session.get());
    return false;
  }
  (void)fuse_daemonize(request.foreground ? 1 : 0);

  const std::unique_ptr<fuse_loop_config, LoopConfigDeleter> config(fuse_loop_cfg_create());
  fuse_loop_cfg_set_clone_fd(config.get(), 0);
  const int served = fuse_session_loop_mt(session.get(), config.get());
  fuse_session_unmount(session.get());
  fuse_remove_signal_handlers(session.get());
  fuse_messages = nullptr;
  // The loop reports the signal that ended it; that is an ending as clean as an unmount.
  return served == 0 || served == SIGINT || served == SIGTERM || served == SIGHUP;
}

}  // namespace tallowmere_dat::mount
