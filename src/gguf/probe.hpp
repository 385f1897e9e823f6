// The GGUF detection probe: the magic that starts every GGUF file.
#pragma once

#include <cstdint>

#include "base/bytes.hpp"
#include "base/view.hpp"

namespace quillon::gguf {

// "GGUF" read as an unsigned 32-bit little-endian integer.
inline constexpr std::uint32_t kMagic = 0x46554747;

// True when `model` is at least 4 bytes long and starts with "GGUF"; false
// also when those bytes are absent (their need is recorded).
inline bool is_gguf(const View& model) {
  if (model.size() < 4) return false;
  const std::optional<Bytes> magic = model.bytes(0, 4);
  return magic && load_le<std::uint32_t>(magic->data()) == kMagic;
}

}  // namespace quillon::gguf
