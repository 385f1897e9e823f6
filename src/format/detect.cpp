#include "format/format.hpp"
#include "format/probe.hpp"
#include "onnx/wire.hpp"
#include "safetensors/header.hpp"

namespace quillon {

bool has_gguf_magic(Bytes model) {
  return model.size() >= 4 && load_le<std::uint32_t>(model.data()) == kGgufMagic;
}

std::optional<Format> Format::detect(Bytes model) {
  if (has_gguf_magic(model)) return Format::GGUF;
  if (safetensors::is_safetensors(model)) return Format::SafeTensors;
  if (onnx::is_onnx(model)) return Format::ONNX;
  return std::nullopt;
}

}  // namespace quillon
