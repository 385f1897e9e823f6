#include "binding/boundary.hpp"

#include <condition_variable>
#include <mutex>

#if defined(__GLIBC__)
#include <pthread.h>
#include <setjmp.h>

// What pthread_cleanup_push comes to in C without exceptions (<pthread.h>
// declares it for that case only): a thread ended by pthread_exit unwinds
// the frames called from the one that registered the innermost buffer, then
// jumps back to that buffer, without unwinding the frame or any above it.
extern "C" {
void __pthread_register_cancel(__pthread_unwind_buf_t* buffer) __cleanup_fct_attribute;
void __pthread_unregister_cancel(__pthread_unwind_buf_t* buffer) __cleanup_fct_attribute;
}
#endif

namespace quillon::binding {
namespace {

// Created once and kept for the life of the process. A raw pointer on
// purpose: a static owner would release it after the interpreter is gone.
PyObject* internal_error = nullptr;

}  // namespace

bool create_internal_error() {
  if (!internal_error) {
    internal_error = PyErr_NewException("quillon.InternalError", PyExc_BaseException, nullptr);
  }
  return internal_error != nullptr;
}

void raise_internal_error(const char* what) {
  // Every function is registered after the type exists; the fallback only
  // covers a failure inside the first import itself.
  PyErr_SetString(internal_error ? internal_error : PyExc_BaseException, what);
}

namespace detail {

#if defined(__GLIBC__)
// The unwind stops at the frame of `call`, the one this function calls, so
// only the interpreter's C frames (and `call`'s, which owns nothing) are
// unwound or jumped over: the thread abandons them holding no lock, just as
// pthread_exit would.
bool call_unless_thread_ends(void (*call)(void*), void* context) {
  __pthread_unwind_buf_t buffer;
  if (__sigsetjmp_cancel(buffer.__cancel_jmp_buf, 0) != 0) {
    __pthread_unregister_cancel(&buffer);
    this_thread_ended = true;
    some_thread_ended.store(true, std::memory_order_relaxed);
    return false;
  }
  __pthread_register_cancel(&buffer);
  call(context);
  __pthread_unregister_cancel(&buffer);
  return true;
}
#else
// Other C libraries end threads without unwinding their stacks.
bool call_unless_thread_ends(void (*call)(void*), void* context) {
  call(context);
  return true;
}
#endif

}  // namespace detail

void wait_for_process_end() {
  std::mutex mutex;
  std::condition_variable never;
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) never.wait(lock);
}

}  // namespace quillon::binding
