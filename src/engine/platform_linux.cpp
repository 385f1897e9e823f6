// The engine's platform calls on Linux (platform.hpp).
#include "engine/platform.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include "engine/seams.hpp"

// Built against old C libraries too (glibc 2.17), whose headers may lack
// these; the kernel interfaces themselves are older than any supported one.
#ifndef SEEK_DATA
#define SEEK_DATA 3
#define SEEK_HOLE 4
#endif
#ifndef O_TMPFILE
#define O_TMPFILE (020000000 | O_DIRECTORY)
#endif
#ifndef SYS_copy_file_range
#if defined(__x86_64__)
#define SYS_copy_file_range 326
#elif defined(__aarch64__)
#define SYS_copy_file_range 285
#endif
#endif

namespace quillon::engine::platform {

long copy_range(int input, std::uint64_t* input_offset, int output, std::uint64_t* output_offset,
                std::size_t length) {
  if (seams::fails(seams::Call::copy_range)) return -1;
#ifdef SYS_copy_file_range
  // Through syscall(): glibc 2.17 has no wrapper.
  auto in = static_cast<loff_t>(*input_offset);
  auto out = static_cast<loff_t>(*output_offset);
  long copied;
  do {
    copied = ::syscall(SYS_copy_file_range, input, &in, output, &out, length, 0u);
  } while (copied < 0 && errno == EINTR);
  if (copied > 0) {
    *input_offset = static_cast<std::uint64_t>(in);
    *output_offset = static_cast<std::uint64_t>(out);
  }
  return copied;
#else
  (void)input, (void)input_offset, (void)output, (void)output_offset, (void)length;
  errno = ENOSYS;
  return -1;
#endif
}

std::int64_t seek_data(int descriptor, std::int64_t offset) {
  return ::lseek(descriptor, static_cast<off_t>(offset), SEEK_DATA);
}

std::int64_t seek_hole(int descriptor, std::int64_t offset) {
  return ::lseek(descriptor, static_cast<off_t>(offset), SEEK_HOLE);
}

int sync_durably(int descriptor) {
  if (seams::fails(seams::Call::sync)) return -1;
  int result;
  do {
    result = ::fsync(descriptor);
  } while (result != 0 && errno == EINTR);
  return result;
}

int lookup_only_flag() { return O_PATH; }

// An unnamed file is given its name through /proc (see link_unnamed); in a
// sandbox without /proc only a process allowed AT_EMPTY_PATH could, and
// then only after the whole copy. So where /proc does not name the
// descriptor, the file is refused as a file system without O_TMPFILE
// refuses it, and the named temporary file takes its place.
int open_unnamed(int folder, unsigned mode) {
  if (seams::fails(seams::Call::open_unnamed)) return -1;
  const int descriptor = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, static_cast<mode_t>(mode));
  if (descriptor < 0) return -1;
  struct stat link;
  const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
  if (::lstat(self.c_str(), &link) != 0) {
    ::close(descriptor);
    errno = EOPNOTSUPP;
    return -1;
  }
  return descriptor;
}

// linkat for an unnamed file: /proc names the descriptor without
// privileges; AT_EMPTY_PATH needs them.
int link_unnamed(int descriptor, int folder, const char* name) {
  if (seams::fails(seams::Call::link_unnamed)) return -1;
  const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
  if (::linkat(AT_FDCWD, self.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT) return -1;
  return ::linkat(descriptor, "", folder, name, AT_EMPTY_PATH);
}

long list_attributes(int descriptor, char* names, std::size_t size) {
  return ::flistxattr(descriptor, names, size);
}

long list_attributes_at_path(const char* path, char* names, std::size_t size) {
  return ::listxattr(path, names, size);
}

long get_attribute(int descriptor, const char* name, void* value, std::size_t size) {
  return ::fgetxattr(descriptor, name, value, size);
}

long get_attribute_at_path(const char* path, const char* name, void* value, std::size_t size) {
  return ::getxattr(path, name, value, size);
}

int set_attribute(int descriptor, const char* name, const void* value, std::size_t size) {
  return ::fsetxattr(descriptor, name, value, size, 0);
}

int remove_attribute(int descriptor, const char* name) { return ::fremovexattr(descriptor, name); }

FileTimes times_of(const struct ::stat& status) {
  return {status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
}

}  // namespace quillon::engine::platform
