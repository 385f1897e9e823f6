// What every function of `quillon_files` needs around its file operation:
// path arguments, the interpreter lock released during the work, progress
// and cancellation, and the conversion of an error into a Python exception.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "base/error.hpp"
#include "files/replace.hpp"
#include "python/capi.hpp"
#include "python/gil.hpp"
#include "python/ref.hpp"

namespace quillon::python {

// A path argument (`str`, `bytes` or os.PathLike) in the file system's
// encoding, and the caller's object for the `filename` of an OSError.
struct PathArgument {
  std::string path;
  Ref object;
};

// Nothing, with TypeError (or ValueError for an embedded NUL) set, for
// anything that is not a path.
std::optional<PathArgument> path_argument(PyObject* object);

// Holds the interpreter lock released for its lifetime; gil.hpp tells how
// it comes back, and what happens when it cannot.
class Released : public WithoutInterpreterLock {
 public:
  Released() : WithoutInterpreterLock(true) {}
};

// Runs `work` without the interpreter lock.
template <class Work>
auto unlocked(Work work) {
  Released released;
  return work();
}

// The write options of one call: `progress` (null or None for none, else a
// callable) is called as progress(done, total) with the lock held, and
// pending signals are checked at the same points, so that Ctrl-C stops a
// long copy. An exception from either cancels the write; `pending` keeps it
// until the call's outcome is converted. A thread that the interpreter ends
// at its exit while `progress` runs abandons the write as a cancellation
// would (gil.hpp). The environment variable QUILLON_FILES_FALLBACK ("copy",
// "tmpfile" or both, comma-separated) turns off the kernel copy or the
// unnamed temporary file, so that tests reach the paths other file systems
// take.
class WriteCall {
 public:
  // Nothing, with TypeError set, when `progress` is not callable.
  static std::optional<WriteCall> create(PyObject* progress);

  // Runs `operation` without the interpreter lock; the options it gets call
  // back with the lock held.
  Result<Ok> run(const std::function<Result<Ok>(const files::WriteOptions&)>& operation);

  // Restores the exception that cancelled the write.
  void restore_pending();

 private:
  explicit WriteCall(PyObject* progress) : progress_(progress) {}
  bool report(std::uint64_t done, std::uint64_t total);

  PyObject* progress_;  // borrowed from the call's arguments; null for none
  Released* released_ = nullptr;  // during run()
  Ref pending_type_, pending_value_, pending_traceback_;
};

// Raises the exception for `error`: OSError (the subclass its errno value
// selects) with `filename` for a system failure, naming `model` or `output`
// by the caller's own object when the failure concerns one of them;
// ValueError with the library's message for a model error. Returns null.
PyObject* raise_error(const Error& error, const PathArgument& model, const PathArgument* output = nullptr);

}  // namespace quillon::python
