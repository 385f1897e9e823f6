// Replacing a destination path with a new file on Windows (replace.hpp).
//
// The new file is written into a named temporary file in the destination's
// folder (platform::windows::create_beside), flushed to the disk and renamed
// over the destination by its handle (platform::windows::replace). What
// differs from the POSIX engine, and why:
// - The path is resolved by the system at the rename; a symbolic link or
//   junction at the destination is replaced, not followed: Windows renames
//   the reparse point itself, and following it by hand would need the
//   reparse data the engine does not parse.
// - Nothing is carried over from the replaced file: the new file takes the
//   folder's inheritable ACL, which is where Windows keeps permissions, and
//   Windows has no owner, group or mode bits to copy.
// - No folder sync: FlushFileBuffers and the rename's write-through are the
//   durable steps there (platform_windows.cpp).
// On any failure, cancellation included, the destination is untouched and
// the temporary file removed. A writer killed meanwhile leaves its
// `.quillon-*.tmp` file behind, which the next write to that folder removes
// (create_beside).
#include <cerrno>

#include "engine/copy.hpp"
#include "engine/input.hpp"
#include "engine/platform.hpp"
#include "engine/replace.hpp"

namespace quillon::engine {

Result<Ok> replace_file(const std::string& destination, const Fill& fill) {
  if (destination.empty()) return Error::system_failure(ENOENT, destination);
  const char last = destination.back();
  if (last == '/' || last == '\\') return Error::system_failure(EISDIR, destination);
  std::string temp;
  const int descriptor = platform::windows::create_beside(destination, temp);
  if (descriptor < 0) return system_error(destination);
  Result<Ok> done = fill(descriptor);
  if (done) done = sync(descriptor, destination);
  if (done && platform::windows::replace(descriptor, temp, destination) != 0) done = system_error(destination);
  platform::close_file(descriptor);
  if (!done) platform::windows::remove(temp);
  return done;
}

}  // namespace quillon::engine
