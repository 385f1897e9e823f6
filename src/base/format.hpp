// The three supported container formats.
//
// `Format` is a small value type: an enumeration with its display name (what
// `detect_format` returns to Python) and its C2PA asset type. "No format" is
// an absent `std::optional<Format>`, never a value of the enumeration.
// Detection lives above the formats, in format/detect.hpp.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillon {

class Format {
 public:
  enum Value : std::uint8_t { GGUF, SafeTensors, ONNX };

  constexpr Format(Value value) : value_(value) {}
  constexpr operator Value() const { return value_; }

  // "GGUF", "SafeTensors" or "ONNX".
  constexpr std::string_view display_name() const {
    switch (value_) {
      case GGUF: return "GGUF";
      case SafeTensors: return "SafeTensors";
      case ONNX: return "ONNX";
    }
    return {};
  }

  // The C2PA asset type: GGUF and SafeTensors share the generic one.
  constexpr std::string_view asset_type() const {
    return value_ == ONNX ? "c2pa.types.model.onnx" : "c2pa.types.model";
  }

 private:
  Value value_;
};

}  // namespace quillon
