// The GGUF detection probe: the magic that starts every GGUF file.
#pragma once

#include <cstdint>

#include "base/bytes.hpp"

namespace quillon::gguf {

// "GGUF" read as an unsigned 32-bit little-endian integer.
inline constexpr std::uint32_t kMagic = 0x46554747;

// True when `model` is at least 4 bytes long and starts with "GGUF".
inline bool is_gguf(Bytes model) { return model.size() >= 4 && load_le<std::uint32_t>(model.data()) == kMagic; }

}  // namespace quillon::gguf
