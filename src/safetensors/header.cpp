#include "safetensors/header.hpp"

namespace quillon::safetensors {

Result<HeaderBounds> header_bounds(Bytes model) {
  if (model.size() < kLengthFieldSize) {
    return Error::malformed_container("file shorter than SafeTensors header");
  }
  const std::uint64_t length = load_le<std::uint64_t>(model.data());
  // Compare against the room left after the length field, so 8 + N never wraps.
  if (length > model.size() - kLengthFieldSize) {
    return Error::malformed_container("header length exceeds file");
  }
  return HeaderBounds{kLengthFieldSize, kLengthFieldSize + length};
}

bool is_safetensors(Bytes model) {
  Result<HeaderBounds> bounds = header_bounds(model);
  if (!bounds) return false;
  for (std::uint64_t i = bounds->start; i < bounds->end; ++i) {
    switch (model[i]) {
      case 0x20: case 0x09: case 0x0A: case 0x0C: case 0x0D:
        continue;
      default:
        return model[i] == '{';
    }
  }
  return false;
}

}  // namespace quillon::safetensors
