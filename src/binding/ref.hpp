// `Ref`: the single owner of one strong Python reference.
//
// Every new reference the binding obtains is handed to a `Ref` at once, so it
// is released on every path out of the scope, the error paths included. The
// handle is move-only; `release` passes ownership on (to the interpreter, as
// a function's return value). Needs the interpreter lock, like every call
// into the C API.
#pragma once

#include <utility>

#include "binding/capi.hpp"
#include "binding/gil.hpp"

namespace quillon::binding {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference; null stands for a failed call whose Python
  // exception is set.
  static Ref steal(PyObject* object) { return Ref(object); }
  // Adds a reference of its own to a borrowed object.
  static Ref borrow(PyObject* object) {
    Py_IncRef(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  // Py_DecRef ignores null. A thread that the interpreter has ended holds
  // no lock (gil.hpp): it leaves the reference to the exiting process.
  ~Ref() {
    if (!thread_ended()) Py_DecRef(object_);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Gives up ownership: the caller now holds the reference.
  PyObject* release() { return std::exchange(object_, nullptr); }
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit Ref(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace quillon::binding
