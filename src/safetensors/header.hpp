// SafeTensors framing: an unsigned 64-bit little-endian header length N, the
// JSON header in bytes [8, 8 + N), then the tensor data to the end of the file.
// Shared by format detection and the SafeTensors handler.
#pragma once

#include <cstdint>

#include "base/bytes.hpp"
#include "base/result.hpp"
#include "base/view.hpp"

namespace quillon::safetensors {

// Bytes taken by the header length field.
inline constexpr std::uint64_t kLengthFieldSize = 8;

// The longest header that the safetensors readers accept; they refuse to
// open a file whose header is longer.
inline constexpr std::uint64_t kMaxHeaderSize = 100000000;

// A header's byte range [start, end) within the file.
struct HeaderBounds {
  std::uint64_t start;
  std::uint64_t end;
};

// The header range, or MalformedContainer ("file shorter than SafeTensors
// header", "header length exceeds file"). Nothing checks the content.
Result<HeaderBounds> header_bounds(const View& model);

// True when the framing holds and the header's first byte that is not JSON
// space, tab, line feed, form feed or carriage return is '{'. Never fails;
// false also when it stops at absent bytes (their need is recorded).
bool is_safetensors(const View& model);

}  // namespace quillon::safetensors
