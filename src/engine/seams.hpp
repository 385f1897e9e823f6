// Where tests reach the paths that file systems without copy_file_range or
// O_TMPFILE take, and the failures of other systems' calls.
//
// A build with QUILLON_TEST_SEAMS (the test builds, never a release) links
// tests/support/file_seams.cpp, which tells each write the fallbacks to
// take: those a C++ test forces, else those the environment variable
// QUILLON_FILES_FALLBACK names ("copy", "tmpfile", "kernel", comma-separated),
// which is how the Python tests reach them through the extension module.
//
// It also makes platform calls fail with a chosen errno, as a file system,
// kernel or sandbox that refuses them would: those a C++ test forces
// (`ForcedFaults`), else those QUILLON_FILES_FAULT names, comma-separated
// `call:ERRNO` pairs such as "copy_range:EPERM,rename:EIO" (the calls are
// the names of `Call`; errno by its symbol or its number), each failing on
// every use. The call sites ask `fails` before making the call.
//
// Every other build has neither the variables nor the switches: the
// fallbacks are constant, `fails` is constantly false, and the compiler
// folds both away.
#pragma once

#ifdef QUILLON_TEST_SEAMS
#include <optional>
#include <vector>
#endif

namespace quillon::engine::seams {

struct Fallbacks {
  bool buffered_copy = false;  // pread/write instead of copy_file_range
  bool named_temp = false;     // a named temporary file instead of O_TMPFILE
  bool kernel_copy = false;    // copy_file_range for every piece, whatever its shift
};

// The calls a fault can be injected into.
enum class Call {
  copy_range,    // copy_file_range (platform::copy_range)
  open_unnamed,  // an O_TMPFILE open
  link_unnamed,  // linkat of an unnamed file
  open_named,    // the O_EXCL open of a named temporary file
  rename,        // renameat of the temporary file onto the destination
  sync,          // fsync of the written file (platform::sync_durably)
};

#ifdef QUILLON_TEST_SEAMS

// `call` fails with `code`; a fault `once` fails only its first use.
struct Fault {
  Call call;
  int code;
  bool once = false;
};

// The fallbacks of a write starting now.
Fallbacks fallbacks();

// Whether `call` is to fail now; if so, errno is set to the code it fails
// with. Counts the use of a fault that fails once.
bool fails(Call call);

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

// Injects `faults` during its lifetime, in place of what the environment
// says. Not for use while other threads make the calls.
class ForcedFaults {
 public:
  explicit ForcedFaults(std::vector<Fault> faults);
  ~ForcedFaults();
  ForcedFaults(const ForcedFaults&) = delete;
  ForcedFaults& operator=(const ForcedFaults&) = delete;

 private:
  std::optional<std::vector<Fault>> previous_;
};

#else

constexpr Fallbacks fallbacks() { return {}; }
constexpr bool fails(Call) { return false; }

#endif

}  // namespace quillon::engine::seams
