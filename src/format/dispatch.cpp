#include "format/dispatch.hpp"

#include "format/format.hpp"
#include "gguf/manifest.hpp"
#include "onnx/manifest.hpp"
#include "safetensors/manifest.hpp"

namespace quillon {
namespace {

// Detects the format and calls the matching handler operation with `args`.
template <class Gguf, class SafeTensors, class Onnx, class... Args>
auto dispatch(Bytes model, Gguf gguf_op, SafeTensors safetensors_op, Onnx onnx_op, const Args&... args)
    -> decltype(gguf_op(model, args...)) {
  const std::optional<Format> format = Format::detect(model);
  if (!format) return Error::unrecognized_format();
  switch (*format) {
    case Format::GGUF: return gguf_op(model, args...);
    case Format::SafeTensors: return safetensors_op(model, args...);
    case Format::ONNX: return onnx_op(model, args...);
  }
  return Error::unrecognized_format();
}

}  // namespace

Result<std::string> read_manifest(Bytes model) {
  return dispatch(model, gguf::read_store, safetensors::read_store, onnx::read_store);
}

Result<FileImage> embed_manifest(Bytes model, const ManifestSource& source) {
  return dispatch(model, gguf::embed, safetensors::embed, onnx::embed, source);
}

Result<FileImage> remove_manifest(Bytes model) {
  return dispatch(model, gguf::remove, safetensors::remove, onnx::remove);
}

Result<std::optional<std::string>> read_manifest_uri(Bytes model) {
  return dispatch(model, gguf::read_uri, safetensors::read_uri, onnx::read_uri);
}

}  // namespace quillon
