// The GGUF magic probe, shared by detection and the GGUF model.
#pragma once

#include <cstdint>

#include "manifest/bytes.hpp"

namespace quillon {

// "GGUF" read as an unsigned 32-bit little-endian integer.
inline constexpr std::uint32_t kGgufMagic = 0x46554747;

// True when `model` is at least 4 bytes long and starts with "GGUF".
bool has_gguf_magic(Bytes model);

}  // namespace quillon
