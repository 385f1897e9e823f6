// Byte views and owned byte strings used throughout the core.
//
// A `Bytes` is a pointer and a length that never owns: the model file, a
// parsed record inside it, or a caller's buffer. Code that only reads takes
// a `Bytes`; code that must keep bytes copies them into a `std::string`.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quillon {

using Bytes = std::span<const std::uint8_t>;

// Views the characters of a text as bytes (no copy).
inline Bytes as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Views bytes as characters (no copy, no validation).
inline std::string_view as_text(Bytes bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Reads a little-endian unsigned integer of sizeof(T) bytes at `p`; the caller
// has checked that the bytes exist.
template <class T>
inline T load_le(const std::uint8_t* p) {
  T value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // One unaligned load; g++ does not merge the byte loop below into one.
    std::memcpy(&value, p, sizeof(T));
  } else {
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(p[i]) << (8 * i);
  }
  return value;
}

// Appends `value` to `out` as sizeof(T) little-endian bytes.
template <class T>
inline void store_le(std::string& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace quillon
