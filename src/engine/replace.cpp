// Replacing a destination path safely with a new file.
#include "engine/replace.hpp"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>
#include <utility>

#include "engine/attributes.hpp"
#include "engine/copy.hpp"
#include "engine/destination.hpp"
#include "engine/input.hpp"
#include "engine/platform.hpp"
#include "engine/seams.hpp"

namespace quillon::engine {
namespace {

constexpr std::string_view kTempPrefix = ".quillon-";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr std::size_t kTempDigits = 16;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask, as for any new file
constexpr unsigned kNameAttempts = 100;
// A temporary file nobody has locked is stale once it is this old: the
// age covers a writer between creating its named file and locking it.
constexpr time_t kStaleSeconds = 10;

// A name for a temporary file that is unlikely to exist; creation uses
// O_EXCL and tries again on a clash.
std::string temp_name(unsigned attempt) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::uint64_t mix = (static_cast<std::uint64_t>(now.tv_nsec) << 20) ^
                            (static_cast<std::uint64_t>(::getpid()) << 8) ^ attempt ^
                            static_cast<std::uint64_t>(now.tv_sec);
  std::string name(kTempPrefix);
  for (std::size_t i = 0; i < kTempDigits; ++i) name += "0123456789abcdef"[(mix >> (4 * (15 - i))) & 0xF];
  return name.append(kTempSuffix);
}

bool is_temp_name(std::string_view name) {
  if (name.size() != kTempPrefix.size() + kTempDigits + kTempSuffix.size()) return false;
  if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) return false;
  const std::string_view digits = name.substr(kTempPrefix.size(), kTempDigits);
  return digits.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Removes `name` when it is a stale temporary file: a regular file of this
// user, old enough, that no live writer has locked.
void remove_if_stale(int folder, const char* name, time_t now) {
  struct stat status;
  if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode) ||
      status.st_uid != ::geteuid() || platform::times_of(status).modified_s > now - kStaleSeconds) {
    return;
  }
  Descriptor file(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened;
  if (!file.valid() || ::fstat(file.get(), &opened) != 0 || !same_file(opened, status)) return;
  if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0) ::unlinkat(folder, name, 0);
}

// Named temporary files outlive a writer killed between naming its file and
// renaming it. Every writer holds an flock on its temporary file from its
// creation to its rename or removal (the lock dies with the writer), so a
// writer about to name a temporary file first removes, from that folder,
// the stale ones of the same user: one pass over the folder, best effort.
void remove_stale_temporaries(int folder) {
  Descriptor listing(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing.valid()) return;  // a folder the process may write but not list
  DIR* entries = ::fdopendir(listing.get());
  if (entries == nullptr) return;
  listing.release();
  const time_t now = ::time(nullptr);
  while (const dirent* entry = ::readdir(entries)) {
    if (is_temp_name(entry->d_name)) remove_if_stale(::dirfd(entries), entry->d_name, now);
  }
  ::closedir(entries);
}

// The temporary file a replacement writes, in the destination's folder:
// unnamed until it is linked in, or named from the start; locked for its
// whole life and removed unless committed.
class TempFile {
 public:
  static Result<TempFile> create(int folder, const std::string& destination, bool unnamed) {
    if (unnamed) {
      const int descriptor = platform::open_unnamed(folder, kNewFileMode);
      if (descriptor >= 0) return TempFile(folder, descriptor, {});
      // Old kernels report an unknown O_TMPFILE as EISDIR or EINVAL.
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return system_error(destination);
    }
    remove_stale_temporaries(folder);
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
      std::string name = temp_name(attempt);
      const int descriptor = seams::fails(seams::Call::open_named)
                                 ? -1
                                 : ::openat(folder, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC,
                                            kNewFileMode);
      if (descriptor >= 0) return TempFile(folder, descriptor, std::move(name));
      if (errno != EEXIST) return system_error(destination);
    }
    return Error::system_failure(EEXIST, destination);
  }

  TempFile(TempFile&& other) noexcept
      : folder_(other.folder_), file_(std::move(other.file_)), name_(std::exchange(other.name_, {})) {}
  TempFile& operator=(TempFile&&) = delete;
  ~TempFile() {
    if (!name_.empty()) ::unlinkat(folder_, name_.c_str(), 0);
  }

  int descriptor() const { return file_.get(); }

  // Gives the file the name `target` in the folder. A new file is linked
  // straight to it: a writer killed at any point leaves no other name.
  Result<Ok> commit(const std::string& target, bool replacing, const std::string& destination) {
    if (name_.empty() && !replacing) {
      if (platform::link_unnamed(file_.get(), folder_, target.c_str()) == 0) return Ok{};
      // EEXIST: created meanwhile, and then replaced like any file.
      if (errno != EEXIST) return system_error(destination);
    }
    if (name_.empty()) QUILLON_TRY(link_in(destination));
    if (seams::fails(seams::Call::rename) || ::renameat(folder_, name_.c_str(), folder_, target.c_str()) != 0) {
      return system_error(destination);
    }
    name_.clear();
    return Ok{};
  }

 private:
  TempFile(int folder, int descriptor, std::string name)
      : folder_(folder), file_(descriptor), name_(std::move(name)) {
    // Never contended on a new file; without locks (some network file
    // systems) no writer can take the file for stale either.
    ::flock(descriptor, LOCK_EX | LOCK_NB);
  }

  // Links the unnamed file in under a fresh temporary name.
  Result<Ok> link_in(const std::string& destination) {
    remove_stale_temporaries(folder_);
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
      std::string name = temp_name(attempt);
      if (platform::link_unnamed(file_.get(), folder_, name.c_str()) == 0) {
        name_ = std::move(name);
        return Ok{};
      }
      if (errno != EEXIST) return system_error(destination);
    }
    return Error::system_failure(EEXIST, destination);
  }

  int folder_;  // owned by the Destination, which outlives this
  Descriptor file_;
  std::string name_;  // empty while unnamed, and after the commit
};

// Makes the rename durable. What only says that this file system cannot
// sync a folder (EINVAL, and the like) is no failure, nor a folder the
// process may write but not open; a failed sync (EIO, ...) is one.
Result<Ok> sync_folder(int folder, const std::string& destination) {
  Descriptor opened(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!opened.valid()) {
    if (errno == EACCES || errno == EPERM) return Ok{};
    return system_error(destination);
  }
  while (::fsync(opened.get()) != 0) {
    if (errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS || errno == EROFS) return Ok{};
    if (errno != EINTR) return system_error(destination);
  }
  return Ok{};
}

}  // namespace

Result<Ok> replace_file(const std::string& destination, const Fill& fill) {
  QUILLON_TRY_ASSIGN(const Destination target, find_destination(destination));
  const int folder = target.folder.get();
  const bool replacing = target.status.has_value();
  QUILLON_TRY_ASSIGN(TempFile temp, TempFile::create(folder, destination, !seams::fallbacks().named_temp));
  const int descriptor = temp.descriptor();
  QUILLON_TRY(fill(descriptor));
  if (replacing) QUILLON_TRY(take_attributes(descriptor, target, destination));
  QUILLON_TRY(sync(descriptor, destination));
  QUILLON_TRY(temp.commit(target.name, replacing, destination));
  return sync_folder(folder, destination);
}

}  // namespace quillon::engine
