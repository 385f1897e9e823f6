// Strict UTF-8 validation, as the Unicode standard defines it: no overlong
// forms, no encoded surrogates, nothing above U+10FFFF, no truncated
// sequence. A zero byte is valid.
#pragma once

#include "base/bytes.hpp"

namespace quillon {

// True when `bytes` is entirely valid UTF-8 (the empty string is).
bool is_utf8(Bytes bytes);

inline bool is_utf8(std::string_view text) { return is_utf8(as_bytes(text)); }

}  // namespace quillon
