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

#include "python/capi.hpp"

namespace quillon::python {

// Creates the InternalError type unless it exists; false with an exception
// set when that fails. Called by the first import.
bool create_internal_error();

// Raises InternalError with `what` as its message.
void raise_internal_error(const char* what);

// Runs `body`, which returns a new reference or null with an exception set,
// and converts any C++ exception that escapes it.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_error(e.what());
  } catch (...) {
    raise_internal_error("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace quillon::python
