// The whole field list of a byte string, for the tests and fuzzers; the
// library itself streams fields one at a time (onnx/wire.hpp).
#pragma once

#include <vector>

#include "base/bytes.hpp"
#include "base/result.hpp"
#include "onnx/wire.hpp"

namespace quillon::onnx {

// Scans the whole of `data` into the list of its top-level fields. The
// fields tile the input exactly; an empty input gives an empty list.
Result<std::vector<Field>> scan_fields(Bytes data);

}  // namespace quillon::onnx
