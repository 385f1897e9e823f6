// Turning the value of a successful operation into a Python object.
//
// Each function returns a new reference, or null with a Python exception set.
// A result is copied exactly once, straight into the new object's own buffer;
// a large one without the interpreter lock.
#pragma once

#include <string_view>

#include "base/error.hpp"
#include "binding/capi.hpp"
#include "manifest/file_image.hpp"

namespace quillon::binding {

// A new `bytes` object holding a copy of `bytes`.
PyObject* new_bytes(std::string_view bytes);

// A new `bytes` object holding the complete file that `image` describes,
// written piece by piece into the object's buffer.
PyObject* new_bytes(const FileImage& image);

// A new `str` decoded from the UTF-8 text `text`.
PyObject* new_text(std::string_view text);

// A new reference to None.
PyObject* new_none();

}  // namespace quillon::binding
