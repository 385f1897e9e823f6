// Finding the file a destination path names, the way the kernel finds it.
//
// `find_destination` lets the kernel walk the path, so that its protections
// apply (search permissions, and fs.protected_symlinks, which refuses to
// follow another user's link in a sticky world-writable folder): the folder
// part is opened with O_PATH|O_DIRECTORY, and a final symbolic link is
// followed by an O_PATH openat of the name. Where the kernel reaches a file,
// its folder and name are then found by reading the links, and the file
// found there must be the one the kernel reached (same device and inode);
// else the path changed meanwhile and the write fails with EAGAIN. Every
// later step works relative to that folder's descriptor, so a path renamed
// meanwhile cannot redirect the write, and paths deeper than PATH_MAX from
// the working folder stay usable.
//
// A dangling link names the file it points at, which the write creates; the
// kernel follows it too (its refusal is the write's), and the rule of
// fs.protected_symlinks is also checked by hand on each link read, as the
// kernel cannot show which missing file it reached.
//
// A path ending in a slash names a folder: ENOTDIR where a file is there,
// EISDIR otherwise (as open with O_CREAT reports). Folders, devices, FIFOs
// and sockets are refused; failures name the path as given.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <utility>

#include "base/result.hpp"
#include "engine/platform.hpp"

namespace quillon::engine {

// An open file descriptor, closed with its owner.
class Descriptor {
 public:
  explicit Descriptor(int descriptor = -1) : descriptor_(descriptor) {}
  Descriptor(Descriptor&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(descriptor_, other.descriptor_);
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (descriptor_ >= 0) platform::close_file(descriptor_);
  }

  int get() const { return descriptor_; }
  bool valid() const { return descriptor_ >= 0; }
  int release() { return std::exchange(descriptor_, -1); }

 private:
  int descriptor_;
};

struct Destination {
  Descriptor folder;  // O_PATH descriptor of the folder that holds `name`
  std::string name;   // one component, not a symbolic link
  // The regular file `name` holds now, as an O_PATH descriptor, and its
  // status at the look-up; neither when `name` is free.
  Descriptor file;
  std::optional<struct stat> status;
};

Result<Destination> find_destination(const std::string& path);

// True when both describe the same file.
inline bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace quillon::engine
