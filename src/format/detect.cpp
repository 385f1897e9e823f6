#include "format/detect.hpp"

#include "gguf/probe.hpp"
#include "onnx/probe.hpp"
#include "safetensors/header.hpp"

namespace quillon {

std::optional<Format> detect_format(const View& model) {
  if (gguf::is_gguf(model)) return Format::GGUF;
  if (safetensors::is_safetensors(model)) return Format::SafeTensors;
  if (onnx::is_onnx(model)) return Format::ONNX;
  return std::nullopt;
}

}  // namespace quillon
