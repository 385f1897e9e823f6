// Running core work without the interpreter lock.
//
// Once a function's arguments are bound and converted, the core only reads
// the model's buffer (an immutable `bytes` that the bound arguments keep
// alive) and memory the function owns, so other Python threads may run
// meanwhile. Handing the lock over and taking it back costs 30-45 ns when
// no other thread wants it, while a call on a model of a few KiB takes well
// under a microsecond; so the lock is released only for buffers of at least
// kReleaseThreshold bytes, and smaller calls keep their old cost.
//
// The C API (reference counts, exceptions, new objects) is off limits while
// the lock is released.
#pragma once

#include <cstddef>

#include "python/capi.hpp"

namespace quillon::python {

// Smallest model (or written result) worth releasing the lock for: from
// here on a call copies or parses for at least a few microseconds, so the
// handover adds about one percent.
inline constexpr std::size_t kReleaseThreshold = std::size_t{64} << 10;

inline bool worth_releasing(std::size_t bytes) { return bytes >= kReleaseThreshold; }

// Releases the interpreter lock for its lifetime when `release` is true.
// The destructor takes the lock back, so an exception thrown in between (a
// std::bad_alloc from the core) unwinds into `guarded` with the lock held.
class WithoutInterpreterLock {
 public:
  explicit WithoutInterpreterLock(bool release) : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~WithoutInterpreterLock() {
    if (state_) PyEval_RestoreThread(state_);
  }
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

 private:
  PyThreadState* state_;
};

// The value of `work()`, computed without the lock when `bytes` is large
// enough to be worth it. `work` must not touch the C API.
template <class Work>
auto without_lock_for(std::size_t bytes, Work&& work) {
  WithoutInterpreterLock released(worth_releasing(bytes));
  return work();
}

}  // namespace quillon::python
