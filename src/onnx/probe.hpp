// The ONNX detection probe.
#pragma once

#include "base/bytes.hpp"

namespace quillon::onnx {

// True when `data` scans cleanly as top-level protobuf fields and some field
// is numbered 1 or 7 (the model's IR version or graph). Never fails; keeps
// no list, whatever the number of fields.
bool is_onnx(Bytes data);

}  // namespace quillon::onnx
