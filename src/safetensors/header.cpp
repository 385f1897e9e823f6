#include "safetensors/header.hpp"

#include <optional>

namespace quillon::safetensors {

Result<HeaderBounds> header_bounds(const View& model) {
  if (model.size() < kLengthFieldSize) {
    return Error::malformed_container("file shorter than SafeTensors header");
  }
  const std::optional<Bytes> field = model.bytes(0, kLengthFieldSize);
  if (!field) return View::absent();
  const std::uint64_t length = load_le<std::uint64_t>(field->data());
  // Compare against the room left after the length field, so 8 + N never wraps.
  if (length > model.size() - kLengthFieldSize) {
    return Error::malformed_container("header length exceeds file");
  }
  return HeaderBounds{kLengthFieldSize, kLengthFieldSize + length};
}

bool is_safetensors(const View& model) {
  Result<HeaderBounds> bounds = header_bounds(model);
  if (!bounds) return false;
  // Most headers start with '{': only the front is looked at, byte by byte.
  const Bytes front = model.front();
  for (std::uint64_t i = bounds->start; i < bounds->end; ++i) {
    if (i >= front.size()) {
      model.need(i, 1);
      return false;
    }
    switch (front[i]) {
      case 0x20: case 0x09: case 0x0A: case 0x0C: case 0x0D:
        continue;
      default:
        return front[i] == '{';
    }
  }
  return false;
}

}  // namespace quillon::safetensors
