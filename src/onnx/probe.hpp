// The ONNX detection probe.
#pragma once

#include "base/bytes.hpp"
#include "base/view.hpp"

namespace quillon::onnx {

// True when `data` scans cleanly as top-level protobuf fields and some field
// is numbered 1 or 7 (the model's IR version or graph). Never fails; keeps
// no list, whatever the number of fields. False also when the scan stops at
// absent bytes (their need is recorded).
bool is_onnx(const View& data);

}  // namespace quillon::onnx
