// Binding and converting the arguments of the functions of both modules.
//
// A function takes required parameters that may be passed by position or by
// name, then optional keyword-only ones (left unbound when absent). Binding
// matches a call's argument tuple and keyword dictionary to those
// parameters; conversion then checks and reads each bound argument.
// Failures raise the interpreter's own TypeError texts (for example
// "read_manifest() missing 1 required positional argument: 'model'"), so a
// caller sees the same messages as for a built-in function.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "base/bytes.hpp"
#include "binding/capi.hpp"
#include "binding/ref.hpp"

namespace quillon::binding {

inline constexpr std::size_t kMaxParameters = 5;

// A module function as callers see it: its name and its parameter names, in
// order.
struct Signature {
  const char* function;
  std::span<const char* const> parameters;
  std::span<const char* const> keyword_only = {};
};

// One owned reference per parameter, in parameter order, the keyword-only
// ones after the others; an absent keyword-only argument stays null.
using BoundArguments = std::array<Ref, kMaxParameters>;

// Matches `args` (a tuple) and `kwargs` (a dict or null) to the parameters of
// `signature`. Returns the arguments, or nothing with TypeError set. Keywords
// are taken in the dictionary's order; the first offending one decides the
// error.
std::optional<BoundArguments> bind(const Signature& signature, PyObject* args, PyObject* kwargs);

// The buffer of a `bytes` object (or subclass) bound to `parameter`, borrowed
// for as long as the object lives. Nothing, with TypeError set, for any other
// type.
std::optional<Bytes> bytes_argument(PyObject* object, const char* parameter);

// A copy of the UTF-8 encoding of a `str` (or subclass) bound to `parameter`.
// Nothing, with TypeError set, for any other type; with the interpreter's
// encoding error when the text holds lone surrogates.
std::optional<std::string> text_argument(PyObject* object, const char* parameter);

// A path argument (`str`, `bytes` or os.PathLike) in the file system's
// encoding, and the caller's object for the `filename` of an OSError.
// The bytes of the bytes object `bytes`, borrowed for as long as it lives.
Bytes buffer_of(PyObject* bytes);

struct PathArgument {
  std::string path;
  Ref object;
};

// Nothing, with TypeError (or ValueError for an embedded NUL) set, for
// anything that is not a path. An os.PathLike runs Python code here.
std::optional<PathArgument> path_argument(PyObject* object);

}  // namespace quillon::binding
