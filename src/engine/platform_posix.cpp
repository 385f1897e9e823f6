// The engine's file content calls on POSIX systems (platform.hpp), the same
// on Linux and macOS.
#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "engine/platform.hpp"

namespace quillon::engine::platform {

long read_at(int descriptor, void* into, std::size_t length, std::uint64_t offset) {
  ssize_t got;
  do {
    got = ::pread(descriptor, into, length, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}

long write_at(int descriptor, const void* from, std::size_t length, std::uint64_t offset) {
  ssize_t written;
  do {
    written = ::pwrite(descriptor, from, length, static_cast<off_t>(offset));
  } while (written < 0 && errno == EINTR);
  return static_cast<long>(written);
}

int set_size(int descriptor, std::uint64_t size) { return ::ftruncate(descriptor, static_cast<off_t>(size)); }

void close_file(int descriptor) { ::close(descriptor); }

int status_of(int descriptor, FileStatus& status) {
  struct stat found;
  if (::fstat(descriptor, &found) != 0) return -1;
  status = {static_cast<unsigned>(found.st_mode & S_IFMT), static_cast<std::uint64_t>(found.st_size), times_of(found)};
  return 0;
}

}  // namespace quillon::engine::platform
