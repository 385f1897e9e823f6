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

// The patches that write `encoded` over the store's `ranges`, in order.
Result<std::vector<StorePatch>> patches_for(Result<std::vector<ByteRange>> ranges, std::string encoded) {
  if (!ranges) return std::move(ranges).error();
  std::uint64_t embedded = 0;
  for (const ByteRange& range : *ranges) embedded += range.length;
  if (encoded.size() != embedded) return Error::store_size_mismatch(encoded.size(), embedded);
  // Every format keeps its store in one range today; splitting the encoded
  // bytes over the ranges in order keeps this right should that change.
  std::vector<StorePatch> patches;
  std::uint64_t taken = 0;
  for (const ByteRange& range : *ranges) {
    patches.push_back({range, encoded.substr(taken, range.length)});
    taken += range.length;
  }
  return patches;
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

Result<std::vector<ByteRange>> store_ranges(Bytes model) {
  return dispatch(model, gguf::store_ranges, safetensors::store_ranges, onnx::store_ranges);
}

Result<std::vector<StorePatch>> patch_store(Bytes model, Bytes store) {
  return dispatch(
      model,
      [](Bytes m, Bytes s) { return patches_for(gguf::store_ranges(m), gguf::encode_store(s)); },
      [](Bytes m, Bytes s) { return patches_for(safetensors::store_ranges(m), safetensors::encode_store(s)); },
      [](Bytes m, Bytes s) { return patches_for(onnx::store_ranges(m), onnx::encode_store(s)); }, store);
}

}  // namespace quillon
