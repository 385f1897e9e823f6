// The smallest models of each format, shared by the tests that run whole
// operations on them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.hpp"

namespace quillon::test {

// Little-endian integers, as every format here stores them.
inline std::string le32(std::uint32_t v) {
  std::string out;
  store_le(out, v);
  return out;
}

inline std::string le64(std::uint64_t v) {
  std::string out;
  store_le(out, v);
  return out;
}

// A SafeTensors file: the 8-byte length of `header`, `header`, then `data`.
inline std::string framed(std::string_view header, std::string_view data = "") {
  std::string out;
  store_le<std::uint64_t>(out, header.size());
  return out + std::string(header) + std::string(data);
}

// A GGUF v3 file with no metadata and no tensors: the 24-byte header and 8
// bytes of padding up to the default alignment.
inline std::string empty_gguf() {
  std::string out = "GGUF";
  store_le<std::uint32_t>(out, 3);
  store_le<std::uint64_t>(out, 0);
  store_le<std::uint64_t>(out, 0);
  return out + std::string(8, '\0');
}

}  // namespace quillon::test
