#include "format/dispatch.hpp"

#include "format/detect.hpp"
#include "gguf/manifest.hpp"
#include "onnx/manifest.hpp"
#include "safetensors/manifest.hpp"

namespace quillon {
namespace {

// The handlers, in the order of Format's values.
constexpr const Handler* kHandlers[] = {&gguf::handler, &safetensors::handler, &onnx::handler};

// Detects the format and calls `Operation` of its handler with `args`.
template <auto Operation, class Model, class... Args>
auto dispatch(const Model& model, const Args&... args) -> decltype((kHandlers[0]->*Operation)(model, args...)) {
  const std::optional<Format> format = detect_format(model);
  if (!format) return Error::unrecognized_format();
  return (handler_for(*format).*Operation)(model, args...);
}

// The patches that write `encoded` over the store's `ranges`, in order.
Result<std::vector<StorePatch>> patches_for(std::vector<ByteRange> ranges, std::string encoded) {
  std::uint64_t embedded = 0;
  for (const ByteRange& range : ranges) embedded += range.length;
  if (encoded.size() != embedded) return Error::store_size_mismatch(encoded.size(), embedded);
  // Every format keeps its store in one range today; splitting the encoded
  // bytes over the ranges in order keeps this right should that change.
  std::vector<StorePatch> patches;
  std::uint64_t taken = 0;
  for (const ByteRange& range : ranges) {
    patches.push_back({range, encoded.substr(taken, range.length)});
    taken += range.length;
  }
  return patches;
}

}  // namespace

const Handler& handler_for(Format format) { return *kHandlers[format]; }

Result<std::string> read_manifest(const View& model) { return dispatch<&Handler::read_store>(model); }

Result<FileImage> embed_manifest(const View& model, const ManifestSource& source) {
  return dispatch<&Handler::embed>(model, source);
}

Result<FileImage> remove_manifest(const View& model) { return dispatch<&Handler::remove>(model); }

Result<std::optional<std::string>> read_manifest_uri(const View& model) { return dispatch<&Handler::read_uri>(model); }

Result<std::vector<ByteRange>> store_ranges(const View& model) { return dispatch<&Handler::store_ranges>(model); }

Result<std::uint64_t> store_size(const View& model) { return dispatch<&Handler::store_size>(model); }

Result<Description> describe(const View& model) {
  const std::optional<Format> format = detect_format(model);
  if (!format) return Error::unrecognized_format();
  const Handler& handler = handler_for(*format);
  QUILLON_TRY_ASSIGN(std::optional<std::string> uri, handler.read_uri(model));
  Result<std::uint64_t> size = handler.store_size(model);
  if (size) return Description{*format, std::move(uri), *size};
  if (size.error().kind() != Error::Kind::NoManifest) return std::move(size).error();
  return Description{*format, std::move(uri), std::nullopt};
}

Result<std::vector<StorePatch>> patch_store(const View& model, Bytes store) {
  const std::optional<Format> format = detect_format(model);
  if (!format) return Error::unrecognized_format();
  const Handler& handler = handler_for(*format);
  QUILLON_TRY_ASSIGN(std::vector<ByteRange> ranges, handler.store_ranges(model));
  return patches_for(std::move(ranges), handler.encode_store(store));
}

}  // namespace quillon
