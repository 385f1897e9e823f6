// Where tests reach the paths that file systems without copy_file_range or
// O_TMPFILE take.
//
// A build with QUILLON_TEST_SEAMS (the test builds, never a release) links
// tests/support/file_seams.cpp, which tells each write the fallbacks to
// take: those a C++ test forces, else those the environment variable
// QUILLON_FILES_FALLBACK names ("copy", "tmpfile", "kernel", comma-separated),
// which is how the Python tests reach them through the extension module.
// Every other build has neither the variable nor the switches: the
// fallbacks are constant, and the compiler folds them away.
#pragma once

#ifdef QUILLON_TEST_SEAMS
#include <optional>
#endif

namespace quillon::engine::seams {

struct Fallbacks {
  bool buffered_copy = false;  // pread/write instead of copy_file_range
  bool named_temp = false;     // a named temporary file instead of O_TMPFILE
  bool kernel_copy = false;    // copy_file_range for every piece, whatever its shift
};

#ifdef QUILLON_TEST_SEAMS

// The fallbacks of a write starting now.
Fallbacks fallbacks();

// Forces `fallbacks` on the writes started during its lifetime, in place of
// what the environment says. Not for use while other threads write.
class ForcedFallbacks {
 public:
  explicit ForcedFallbacks(Fallbacks fallbacks);
  ~ForcedFallbacks();
  ForcedFallbacks(const ForcedFallbacks&) = delete;
  ForcedFallbacks& operator=(const ForcedFallbacks&) = delete;

 private:
  std::optional<Fallbacks> previous_;
};

#else

constexpr Fallbacks fallbacks() { return {}; }

#endif

}  // namespace quillon::engine::seams
