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
//
// Taking the lock back may end the thread. Once the interpreter has begun
// to finalize, CPython 3.9 to 3.13 end any other thread that asks for the
// lock with pthread_exit, which glibc carries out as a forced unwind of the
// thread's stack. Our frames cannot take that unwind: it aborts the process
// at the first noexcept frame or destructor in its way, and the personality
// routine of the wheels' runtime (zig's libc++abi, linked in statically)
// crashes on the frames that glibc's unwinder hands it. So the lock is
// taken back, and the progress callback called, through
// `unless_thread_ends`, which stops the unwind before it leaves the
// interpreter's frames. The thread then goes on as a C++ exception of our
// own, ThreadEnded, whose unwind runs our destructors (a write removes its
// temporary file as after any cancellation) up to `guarded`, which parks
// the thread until the process ends, as later CPython versions do
// themselves. Without the lock, nothing on that way may touch the
// interpreter: `Ref` leaves its reference alone. (Other calls that may run
// Python code, an argument's __fspath__ say, are left to `guarded`.)
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <utility>

#include "binding/capi.hpp"

namespace quillon::binding {

// Thrown where the interpreter ended this thread instead of letting it run
// on; `guarded` catches it.
struct ThreadEnded {};

namespace detail {
// Set once for good: this thread holds no lock and never will again.
inline thread_local bool this_thread_ended = false;
// Set with the first of those, so that every other check (one for each
// `Ref` destroyed) reads no thread-local storage.
inline std::atomic<bool> some_thread_ended{false};

// Runs `call(context)`; false, with the thread marked ended, where the
// interpreter ends the thread inside it. `call` must be a function of the C
// API, or call only such functions and own nothing that needs destroying.
bool call_unless_thread_ends(void (*call)(void*), void* context);
}  // namespace detail

// Whether the interpreter has ended this thread at its exit (see above).
inline bool thread_ended() {
  return detail::some_thread_ended.load(std::memory_order_relaxed) && detail::this_thread_ended;
}

// Waits for the end of the process: what is left of a thread the
// interpreter has ended, once its work is abandoned.
[[noreturn]] void wait_for_process_end();

// The value of `call()`, a call into the interpreter that may run Python
// code, and so hand the lock over and ask for it back; throws ThreadEnded
// where the interpreter ends the thread in between.
template <class Call>
auto unless_thread_ends(Call call) {
  using Result = decltype(call());
  struct Context {
    Call& call;
    Result result;
  } context{call, {}};
  const bool returned = detail::call_unless_thread_ends(
      [](void* opaque) {
        Context& in = *static_cast<Context*>(opaque);
        in.result = in.call();
      },
      &context);
  if (!returned) throw ThreadEnded{};
  return context.result;
}

// Smallest model (or written result) worth releasing the lock for: from
// here on a call copies or parses for at least a few microseconds, so the
// handover adds about one percent.
inline constexpr std::size_t kReleaseThreshold = std::size_t{64} << 10;

inline bool worth_releasing(std::size_t bytes) { return bytes >= kReleaseThreshold; }

// Releases the interpreter lock for its lifetime when `release` is true.
// The destructor takes the lock back, so an exception thrown in between (a
// std::bad_alloc from the core) unwinds into `guarded` with the lock held.
// Where the interpreter ends the thread instead, the destructor throws
// ThreadEnded; when it runs for another exception already, that one goes
// on to `guarded`, which sees the thread ended.
class WithoutInterpreterLock {
 public:
  explicit WithoutInterpreterLock(bool release)
      : state_(release ? PyEval_SaveThread() : nullptr), exceptions_(release ? std::uncaught_exceptions() : 0) {}
  ~WithoutInterpreterLock() noexcept(false) {
    if (state_ != nullptr && !take_back(state_) && std::uncaught_exceptions() == exceptions_) throw ThreadEnded{};
  }
  WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
  WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

  // Runs `body` with the lock held again, and releases it once more when
  // `body` returns. A C++ exception from `body` leaves the lock held, for
  // `guarded`.
  template <class Body>
  auto held(Body body) {
    PyThreadState* state = std::exchange(state_, nullptr);
    if (state == nullptr) return body();
    if (!take_back(state)) throw ThreadEnded{};
    auto result = body();
    state_ = PyEval_SaveThread();
    return result;
  }

 private:
  // False where the interpreter ends the thread instead.
  static bool take_back(PyThreadState* state) {
    return detail::call_unless_thread_ends(
        [](void* saved) { PyEval_RestoreThread(static_cast<PyThreadState*>(saved)); }, state);
  }

  PyThreadState* state_;  // null while the lock is held
  int exceptions_;        // in flight at the release
};

// The value of `work()`, computed without the lock. `work` must not touch
// the C API.
template <class Work>
auto without_lock(Work&& work) {
  WithoutInterpreterLock released(true);
  return work();
}

// The value of `work()`, computed without the lock when `bytes` is large
// enough to be worth it. `work` must not touch the C API.
template <class Work>
auto without_lock_for(std::size_t bytes, Work&& work) {
  WithoutInterpreterLock released(worth_releasing(bytes));
  return work();
}

}  // namespace quillon::binding
