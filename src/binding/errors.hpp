// Raising the Python exception for a library error.
//
// `quillon` raises ValueError whose single argument is the error's message
// and nothing else: the in-memory module's exceptions are fixed as they are.
// `quillon_files` raises the same ValueError for a model it refuses and
// OSError for a failed system call, and gives each a `kind` attribute, the
// error's kind in snake case ("no_manifest", "system_failure", ...), so that
// callers decide on the kind, never on the message text.
#pragma once

#include "base/error.hpp"
#include "binding/arguments.hpp"
#include "binding/capi.hpp"

namespace quillon::binding {

// The value of the `kind` attribute for `kind`: the enumerator's name in
// snake case, "malformed_container" for MalformedContainer.
const char* kind_name(Error::Kind kind);

// Raises ValueError whose single argument is the error's message text;
// returns null so that callers can `return raise_value_error(...)`.
PyObject* raise_value_error(const Error& error);

// Raises the exception for `error`, with its `kind`: OSError (the subclass
// its errno value selects) with `filename` for a system failure, naming
// `model` or `output` by the caller's own object when the failure concerns
// one of them; RuntimeError for a cancellation; ValueError with the
// library's message for a model error. Returns null.
PyObject* raise_error(const Error& error, const PathArgument& model, const PathArgument* output = nullptr);

}  // namespace quillon::binding
