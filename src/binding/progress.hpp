// A write of `quillon_files` from start to outcome: the interpreter lock
// released during the work, progress reports and cancellation, and the
// conversion of the outcome.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "base/bytes.hpp"
#include "base/result.hpp"
#include "binding/arguments.hpp"
#include "binding/capi.hpp"

namespace quillon::binding {

// What a write calls with the bytes written so far and the total; false
// cancels it.
using Progress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

// Runs `operation` without the interpreter lock and converts its outcome:
// None, or the exception for its error (errors.hpp). `progress` (null or
// None for none, else a callable; TypeError otherwise) is called as
// progress(done, total) whenever the operation reports, with the lock held,
// and pending signals are checked at the same points, so that Ctrl-C stops a
// long copy. An exception from either cancels the write and is what the
// call raises. A thread that the interpreter ends at its exit while
// `progress` runs abandons the write as a cancellation would (gil.hpp).
PyObject* write(PyObject* progress, const PathArgument& model, const PathArgument* output,
                const std::function<Result<Ok>(Progress)>& operation);

// The next chunk of a write's content (borrowed until the next call), none
// at its end, or a cancellation.
using NextChunk = std::function<Result<std::optional<Bytes>>()>;

// Runs `operation` as `write` does, with the chunks of `iterator`, each a
// `bytes` object, drawn with the lock held: a chunk of another type raises
// TypeError, and an exception from the iterator (or a pending signal)
// cancels the write and is what the call raises.
PyObject* write_chunks(PyObject* iterator, const PathArgument& path,
                       const std::function<Result<Ok>(const NextChunk&)>& operation);

}  // namespace quillon::binding
