// The calls of platform.hpp that only Linux makes, on every other system
// (macOS, Windows): unnamed temporary files and extended attributes. Each
// fails with EOPNOTSUPP, as on a Linux file system without them, and the
// engine takes the portable way it takes there: a named temporary file
// (replace.cpp), nothing carried over (attributes.cpp). Each system's own
// file says why it goes without them.
#include <cerrno>
#include <cstddef>

#include "engine/platform.hpp"

namespace quillon::engine::platform {

int open_unnamed(int, unsigned) {
  errno = EOPNOTSUPP;
  return -1;
}

int link_unnamed(int, int, const char*) {
  errno = EOPNOTSUPP;
  return -1;
}

long list_attributes(int, char*, std::size_t) {
  errno = EOPNOTSUPP;
  return -1;
}

long list_attributes_at_path(const char*, char*, std::size_t) {
  errno = EOPNOTSUPP;
  return -1;
}

long get_attribute(int, const char*, void*, std::size_t) {
  errno = EOPNOTSUPP;
  return -1;
}

long get_attribute_at_path(const char*, const char*, void*, std::size_t) {
  errno = EOPNOTSUPP;
  return -1;
}

int set_attribute(int, const char*, const void*, std::size_t) {
  errno = EOPNOTSUPP;
  return -1;
}

int remove_attribute(int, const char*) {
  errno = EOPNOTSUPP;
  return -1;
}

}  // namespace quillon::engine::platform
