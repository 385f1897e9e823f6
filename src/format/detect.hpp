// Format detection: which of the three containers a model is.
#pragma once

#include <optional>

#include "base/bytes.hpp"
#include "base/format.hpp"
#include "base/view.hpp"

namespace quillon {

// Classifies `model` by probing, in order, for GGUF (magic), SafeTensors
// (header framing whose first non-whitespace byte is '{') and ONNX (a clean
// top-level protobuf scan with a field numbered 1 or 7). A pure function of
// the bytes; never fails. Over a view with absent bytes, a probe that stops
// at them records their need (see View) and the answer is not to be used.
std::optional<Format> detect_format(const View& model);

}  // namespace quillon
