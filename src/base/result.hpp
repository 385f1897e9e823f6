// `Result<T>`: the value of a fallible operation, or the `Error` that ended it.
//
// A minimal stand-in for C++23's std::expected. Accessing the value of a
// failed result (or the error of a successful one) is a programming error and
// is caught by an assertion in debug builds.
#pragma once

#include <cassert>
#include <utility>
#include <variant>

#include "base/error.hpp"

namespace quillon {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return *std::get_if<0>(&state_); }
  const T& value() const& { assert(ok()); return *std::get_if<0>(&state_); }
  T&& value() && { assert(ok()); return std::move(*std::get_if<0>(&state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const Error& error() const& { assert(!ok()); return *std::get_if<1>(&state_); }
  Error&& error() && { assert(!ok()); return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, Error> state_;
};

// For operations that succeed with no value.
struct Ok {};

}  // namespace quillon

// Passes an error up in one line, so that a function reads as its steps:
//
//   QUILLON_TRY(check(bytes));                  // a Result whose value is not wanted
//   QUILLON_TRY_ASSIGN(Gguf gguf, Gguf::parse(bytes));
//
// Each evaluates the Result once; on failure the enclosing function returns
// its Error (which converts to any Result<T>). QUILLON_TRY_ASSIGN declares
// or assigns `target` from the moved value and must stand as a statement of
// its own, not as the body of an unbraced if or loop.
#define QUILLON_TRY(expr)                                        \
  do {                                                           \
    auto&& quillon_try_result_ = (expr);                         \
    if (!quillon_try_result_) {                                  \
      return std::move(quillon_try_result_).error();             \
    }                                                            \
  } while (false)

#define QUILLON_TRY_ASSIGN(target, expr) \
  QUILLON_TRY_ASSIGN_IMPL(target, expr, QUILLON_TRY_NAME(__LINE__))
#define QUILLON_TRY_NAME(line) QUILLON_TRY_NAME_JOIN(quillon_try_result_, line)
#define QUILLON_TRY_NAME_JOIN(a, b) a##b
#define QUILLON_TRY_ASSIGN_IMPL(target, expr, result)            \
  auto&& result = (expr);                                        \
  if (!result) return std::move(result).error();                 \
  target = std::move(result).value()
