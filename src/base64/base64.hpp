// Standard Base64 (RFC 4648, section 4 alphabet, "=" padding) with strict
// decoding: exactly the canonical form that `encode` writes is accepted.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.hpp"

namespace quillon::base64 {

// The Base64 text of `data`, in one allocation of its final size.
std::string encode(Bytes data);

// The bytes that `text` encodes, or nothing when `text` is not canonical
// Base64 (length not a multiple of 4, a byte outside the alphabet, misplaced
// or excess padding, non-zero unused bits). Callers report the failure as
// MalformedReference "value is not valid Base64".
std::optional<std::string> decode(std::string_view text);

// How many bytes `text` encodes, or nothing exactly where `decode` fails;
// validates at decoding speed in a fixed amount of memory, whatever the
// length of `text`.
std::optional<std::size_t> decoded_size(std::string_view text);

}  // namespace quillon::base64
