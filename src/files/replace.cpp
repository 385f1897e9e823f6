// Replacing a destination path safely with a new file.
#include "files/replace.hpp"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <utility>

#include "files/copy.hpp"

// Built against old C libraries too (glibc 2.17), whose headers may lack it.
#ifndef O_TMPFILE
#define O_TMPFILE (020000000 | O_DIRECTORY)
#endif

namespace quillon::files {
namespace {

// Symbolic links followed before giving up with ELOOP, as the kernel does.
constexpr int kMaxLinks = 40;
constexpr const char* kTempPrefix = ".quillon-";
constexpr const char* kTempSuffix = ".tmp";
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask, as for any new file

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path names after following symbolic links, the last one
// included; a dangling link resolves to the path it points at.
Result<std::string> resolve_links(const std::string& path) {
  std::string current = path;
  for (int followed = 0; followed <= kMaxLinks; ++followed) {
    struct stat status;
    if (::lstat(current.c_str(), &status) != 0) {
      if (errno == ENOENT) return current;
      return system_error(path);
    }
    if (!S_ISLNK(status.st_mode)) return current;
    std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
    const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
    if (length < 0) return system_error(path);
    target.resize(static_cast<std::size_t>(length));
    current = target.starts_with('/') ? target : folder_of(current) + "/" + target;
  }
  return Error::system_failure(ELOOP, path);
}

// A name for a temporary file that is unlikely to exist; creation uses
// O_EXCL and tries again on a clash.
std::string temp_name(const std::string& folder, unsigned attempt) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::uint64_t mix = (static_cast<std::uint64_t>(now.tv_nsec) << 20) ^
                            (static_cast<std::uint64_t>(::getpid()) << 8) ^ attempt ^
                            static_cast<std::uint64_t>(now.tv_sec);
  char hex[17];
  for (int i = 0; i < 16; ++i) hex[i] = "0123456789abcdef"[(mix >> (4 * (15 - i))) & 0xF];
  hex[16] = '\0';
  return folder + "/" + kTempPrefix + hex + kTempSuffix;
}

constexpr unsigned kNameAttempts = 100;

// The temporary file a replacement writes: unnamed until it is linked in,
// or named from the start; removed unless committed.
class TempFile {
 public:
  static Result<TempFile> create(const std::string& folder, const std::string& destination, bool unnamed) {
    if (unnamed) {
      const int descriptor = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, kNewFileMode);
      if (descriptor >= 0) return TempFile(descriptor, {});
      // Old kernels report an unknown O_TMPFILE as EISDIR or EINVAL.
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return system_error(destination);
    }
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
      std::string name = temp_name(folder, attempt);
      const int descriptor = ::open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, kNewFileMode);
      if (descriptor >= 0) return TempFile(descriptor, std::move(name));
      if (errno != EEXIST) return system_error(destination);
    }
    return Error::system_failure(EEXIST, destination);
  }

  TempFile(TempFile&& other) noexcept
      : descriptor_(std::exchange(other.descriptor_, -1)), name_(std::move(other.name_)) {
    other.name_.clear();
  }
  TempFile& operator=(TempFile&&) = delete;
  ~TempFile() {
    if (!name_.empty()) ::unlink(name_.c_str());
    if (descriptor_ >= 0) ::close(descriptor_);
  }

  int descriptor() const { return descriptor_; }

  // Gives the file the name `target`, replacing what is there.
  Result<Ok> commit(const std::string& folder, const std::string& target, const std::string& destination) {
    if (name_.empty()) {
      if (Result<Ok> linked = link_in(folder, destination); !linked) return linked;
    }
    if (::rename(name_.c_str(), target.c_str()) != 0) return system_error(destination);
    name_.clear();
    return Ok{};
  }

 private:
  TempFile(int descriptor, std::string name) : descriptor_(descriptor), name_(std::move(name)) {}

  // Links the unnamed file in under a fresh temporary name. /proc names the
  // descriptor for linkat without privileges; AT_EMPTY_PATH needs them.
  Result<Ok> link_in(const std::string& folder, const std::string& destination) {
    const std::string self = "/proc/self/fd/" + std::to_string(descriptor_);
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
      std::string name = temp_name(folder, attempt);
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
          (errno == ENOENT && ::linkat(descriptor_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0)) {
        name_ = std::move(name);
        return Ok{};
      }
      if (errno != EEXIST) return system_error(destination);
    }
    return Error::system_failure(EEXIST, destination);
  }

  int descriptor_;
  std::string name_;  // empty while unnamed, and after the commit
};

// Gives the new file the mode, and where possible the owner and group, of
// the file it replaces. A new file keeps the mode it was created with.
Result<Ok> take_attributes(int descriptor, const std::optional<struct stat>& replaced, const std::string& name) {
  if (!replaced) return Ok{};
  mode_t mode = replaced->st_mode & 07777;
  if (replaced->st_uid != ::geteuid() || replaced->st_gid != ::getegid()) {
    // Without the right to give the file away, the owner changes: a
    // set-user/group-ID bit must not pass to the new owner.
    if (::fchown(descriptor, replaced->st_uid, replaced->st_gid) != 0) mode &= ~(S_ISUID | S_ISGID);
  }
  if (::fchmod(descriptor, mode) != 0) return system_error(name);
  return Ok{};
}

// Makes the rename durable. Best effort: some file systems cannot open or
// sync a folder, and the data is already in place.
void sync_folder(const std::string& folder) {
  const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return;
  ::fsync(descriptor);
  ::close(descriptor);
}

// The destination's current status after following links: nothing when it
// does not exist, an error when it is not a regular file.
Result<std::optional<struct stat>> destination_status(const std::string& target, const std::string& destination) {
  struct stat status;
  if (::stat(target.c_str(), &status) != 0) {
    if (errno == ENOENT) return std::optional<struct stat>();
    return system_error(destination);
  }
  if (!is_regular(status.st_mode)) return not_a_regular_file(destination, status.st_mode);
  return std::optional<struct stat>(status);
}

}  // namespace

Result<Ok> replace_file(const std::string& destination, const Fill& fill, const WriteOptions& options) {
  Result<std::string> target = resolve_links(destination);
  if (!target) return std::move(target).error();
  Result<std::optional<struct stat>> replaced = destination_status(*target, destination);
  if (!replaced) return std::move(replaced).error();
  const std::string folder = folder_of(*target);
  Result<TempFile> temp = TempFile::create(folder, destination, options.unnamed_temp);
  if (!temp) return std::move(temp).error();
  const int descriptor = temp->descriptor();
  Result<Ok> done = fill(descriptor);
  if (done) done = take_attributes(descriptor, *replaced, destination);
  if (done) done = sync(descriptor, destination);
  if (done) done = temp->commit(folder, *target, destination);
  if (done) sync_folder(folder);
  return done;
}

}  // namespace quillon::files
