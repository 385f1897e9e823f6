// The eight functions of the `quillon` module.
//
// Each binds and converts its arguments, calls exactly one core operation
// with a borrowed view of the model's buffer and converts the outcome: new
// `bytes` or `str`, None, or ValueError carrying the library error's message.
// The core work on a large model (detection, parsing and writing the result)
// runs without the interpreter lock (see gil.hpp). They keep nothing between
// calls.
#pragma once

#include <span>

#include "python/capi.hpp"

namespace quillon::python {

// The method definitions, in registration order (the order of `__all__`).
// They live for the whole process, as the function objects require.
std::span<PyMethodDef> module_functions();

}  // namespace quillon::python
