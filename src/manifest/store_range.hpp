// Where an embedded Manifest Store sits in a model file, and what to write
// there to replace it without rewriting the file.
//
// A C2PA data hash covers the whole asset except exclusion ranges. For a
// model those are the bytes that encode the store itself: the element bytes
// of the GGUF array, the Base64 text of the SafeTensors member (between its
// quotation marks) or of the ONNX entry's value. Replacing the store by
// another whose encoded form has the same length changes nothing else.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// A byte range of the model file: `length` bytes from offset `start`.
struct ByteRange {
  std::uint64_t start;
  std::uint64_t length;

  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// Bytes to write over one range of the model; `bytes` is exactly as long as
// the range.
struct StorePatch {
  ByteRange range;
  std::string bytes;
};

}  // namespace quillon
