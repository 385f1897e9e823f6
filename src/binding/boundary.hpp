// The exception boundary between C++ and the interpreter.
//
// No C++ exception may unwind into the interpreter. Each module function runs
// its body through `guarded`, which turns std::bad_alloc into MemoryError and
// anything else (a broken invariant, never a bad input) into
// quillon.InternalError. That type derives directly from BaseException so
// that `except Exception` does not mistake it for an ordinary error. It is
// deliberately not a module attribute.
#pragma once

#include <exception>
#include <new>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "binding/capi.hpp"
#include "binding/gil.hpp"

namespace quillon::binding {

// Creates the InternalError type unless it exists; false with an exception
// set when that fails. Called by the first import.
bool create_internal_error();

// Raises InternalError with `what` as its message.
void raise_internal_error(const char* what);

// Runs `body`, which returns a new reference or null with an exception set,
// and converts any C++ exception that escapes it. Where the interpreter
// ended the thread (gil.hpp), the body's work is abandoned and the thread
// never returns. Not noexcept: the forced unwind of a thread ended inside a
// call of the C API that `unless_thread_ends` does not guard passes through
// where the runtime can carry it (libstdc++ names it abi::__forced_unwind).
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;
#endif
  } catch (const ThreadEnded&) {
  } catch (const std::bad_alloc&) {
    if (!thread_ended()) return PyErr_NoMemory();
  } catch (const std::exception& e) {
    if (!thread_ended()) raise_internal_error(e.what());
  } catch (...) {
    if (!thread_ended()) raise_internal_error("unknown C++ exception");
  }
  if (thread_ended()) wait_for_process_end();
  return nullptr;
}

}  // namespace quillon::binding
