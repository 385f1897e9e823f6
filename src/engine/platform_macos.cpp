// The engine's platform calls on macOS (platform.hpp).
//
// - No kernel-side copy of a range: `fcopyfile` and `clonefile` copy or
//   clone whole files only, while a new model file is the input's ranges
//   around new metadata; the copy therefore goes through pread/pwrite and
//   one bounded buffer (copy.cpp's fallback).
// - No unnamed files: the temporary file is a named one created with
//   O_CREAT | O_EXCL beside the destination and renamed over it
//   (replace.cpp's fallback; what mkstemp does, but relative to the folder's
//   descriptor).
// - A durable sync is fcntl(F_FULLFSYNC): fsync only hands the data to the
//   drive's cache there. File systems that refuse it (network ones, FAT)
//   get fsync.
// - No O_PATH: names are looked up with a non-blocking read-only open, so a
//   destination the process may not read is refused (EACCES) where Linux
//   would replace it.
// - No extended attributes are carried over: the calls fail with
//   EOPNOTSUPP, which attributes.cpp takes as a file system without them.
//   What it copies are Linux namespaces (user.*, security.*, the POSIX ACL)
//   that macOS names do not have; macOS's own (com.apple.*: quarantine,
//   Finder data) describe the old file, not the new one; and its ACLs are
//   not extended attributes there. Owner, group, mode and the set-ID rules
//   are carried over as on Linux.
#include "engine/platform.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::engine::platform {

long copy_range(int, std::uint64_t*, int, std::uint64_t*, std::size_t) {
  errno = ENOSYS;
  return -1;
}

// No range copy in the kernel: every piece goes through the buffer.
CopyPlan copy_plan(int, int) { return {}; }

// Reads ahead by itself (F_RDAHEAD is on by default).
void advise_sequential(int) {}

std::int64_t seek_data(int descriptor, std::int64_t offset) {
#ifdef SEEK_DATA
  return ::lseek(descriptor, static_cast<off_t>(offset), SEEK_DATA);
#else
  (void)descriptor, (void)offset;
  errno = EINVAL;
  return -1;
#endif
}

std::int64_t seek_hole(int descriptor, std::int64_t offset) {
#ifdef SEEK_HOLE
  return ::lseek(descriptor, static_cast<off_t>(offset), SEEK_HOLE);
#else
  (void)descriptor, (void)offset;
  errno = EINVAL;
  return -1;
#endif
}

int sync_durably(int descriptor) {
  int result;
  do {
    result = ::fcntl(descriptor, F_FULLFSYNC);
  } while (result != 0 && errno == EINTR);
  if (result == 0 || (errno != ENOTSUP && errno != EINVAL && errno != ENOTTY)) return result;
  do {
    result = ::fsync(descriptor);
  } while (result != 0 && errno == EINTR);
  return result;
}

int lookup_only_flag() { return O_RDONLY | O_NONBLOCK | O_NOCTTY; }

FileTimes times_of(const struct ::stat& status) {
  return {status.st_mtimespec.tv_sec, status.st_mtimespec.tv_nsec, status.st_ctimespec.tv_sec,
          status.st_ctimespec.tv_nsec};
}

}  // namespace quillon::engine::platform
