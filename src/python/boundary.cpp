#include "python/boundary.hpp"

namespace quillon::python {
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

}  // namespace quillon::python
