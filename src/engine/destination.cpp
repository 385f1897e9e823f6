// Finding the file a destination path names, the way the kernel finds it.
#include "engine/destination.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "engine/input.hpp"
#include "engine/platform.hpp"

namespace quillon::engine {
namespace {

// Symbolic links followed before giving up with ELOOP, as the kernel does.
constexpr int kMaxLinks = 40;

struct Split {
  std::string folder;
  std::string name;
};

// "a/b" -> ("a", "b"), "b" -> (".", "b"), "/b" -> ("/", "b"). The path must
// not end in a slash.
Split split(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The error for a destination path that ends in a slash.
Error folder_path_error(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0 && errno != ENOENT) return system_error(path);
  return Error::system_failure(EISDIR, path);
}

Result<Descriptor> open_folder(int base, const std::string& folder, const std::string& path) {
  Descriptor descriptor(::openat(base, folder.c_str(), platform::lookup_only_flag() | O_DIRECTORY | O_CLOEXEC));
  if (!descriptor.valid()) return system_error(path);
  return descriptor;
}

// Whether the kernel refuses to follow links it does not trust (the
// fs.protected_symlinks setting); taken as yes where it cannot be read.
bool links_are_protected() {
  Descriptor setting(::open("/proc/sys/fs/protected_symlinks", O_RDONLY | O_CLOEXEC));
  char first = '1';
  if (setting.valid() && ::read(setting.get(), &first, 1) != 1) first = '1';
  return first != '0';
}

// The rule of fs.protected_symlinks: in a sticky world-writable folder, only
// a link owned by the follower or by the folder's owner is followed.
Result<Ok> may_follow(int folder, const struct stat& link, const std::string& path) {
  if (link.st_uid == ::geteuid()) return Ok{};
  struct stat status;
  if (::fstat(folder, &status) != 0) return system_error(path);
  constexpr mode_t kShared = S_ISVTX | S_IWOTH;
  if ((status.st_mode & kShared) != kShared || status.st_uid == link.st_uid) return Ok{};
  if (!links_are_protected()) return Ok{};
  return Error::system_failure(EACCES, path);
}

Result<std::string> read_link(int folder, const std::string& name, const struct stat& link, const std::string& path) {
  // st_size bounds the text; a link rewritten longer meanwhile is cut short
  // here and then fails the comparison with what the kernel reached.
  std::string target(static_cast<std::size_t>(link.st_size) + 1, '\0');
  const ssize_t length = ::readlinkat(folder, name.c_str(), target.data(), target.size());
  if (length < 0) return system_error(path);
  target.resize(static_cast<std::size_t>(length));
  return target;
}

// Follows the links at `name` by reading them, to the first name that is
// not a link: its folder, its name and its status (none when missing).
// `dangling` asks for the protected_symlinks rule on every link read.
Result<Destination> follow_links(Descriptor folder, std::string name, bool dangling, const std::string& path) {
  for (int followed = 0;; ++followed) {
    struct stat status;
    if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return system_error(path);
      return Destination{std::move(folder), std::move(name), Descriptor(), std::nullopt};
    }
    if (!S_ISLNK(status.st_mode)) return Destination{std::move(folder), std::move(name), Descriptor(), status};
    if (followed == kMaxLinks) return Error::system_failure(ELOOP, path);
    if (dangling) QUILLON_TRY(may_follow(folder.get(), status, path));
    QUILLON_TRY_ASSIGN(const std::string target, read_link(folder.get(), name, status, path));
    if (target.empty()) return Error::system_failure(ENOENT, path);
    if (target.back() == '/') return Error::system_failure(EISDIR, path);
    Split next = split(target);
    // An absolute folder makes openat ignore the descriptor.
    QUILLON_TRY_ASSIGN(folder, open_folder(folder.get(), next.folder, path));
    name = std::move(next.name);
  }
}

}  // namespace

Result<Destination> find_destination(const std::string& path) {
  if (path.empty()) return Error::system_failure(ENOENT, path);
  if (path.back() == '/') return folder_path_error(path);
  Split where = split(path);
  QUILLON_TRY_ASSIGN(Descriptor folder, open_folder(AT_FDCWD, where.folder, path));
  // The kernel follows a final link, with its protections; O_PATH opens
  // neither a FIFO nor a device.
  Descriptor reached(::openat(folder.get(), where.name.c_str(), platform::lookup_only_flag() | O_CLOEXEC));
  if (!reached.valid() && errno != ENOENT) return system_error(path);
  struct stat status;
  if (reached.valid()) {
    if (::fstat(reached.get(), &status) != 0) return system_error(path);
    if (!is_regular(status.st_mode)) return not_a_regular_file(path, status.st_mode);
  }
  QUILLON_TRY_ASSIGN(Destination found, follow_links(std::move(folder), std::move(where.name), !reached.valid(), path));
  // What the links lead to now must be what the kernel reached.
  if (reached.valid() != found.status.has_value() || (reached.valid() && !same_file(status, *found.status))) {
    return Error::system_failure(EAGAIN, path);
  }
  found.file = std::move(reached);
  return found;
}

}  // namespace quillon::engine
