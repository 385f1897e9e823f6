// The builders of the C++ tests: model files of each format and the pieces
// they are made of, written out by hand (never with the library's own
// encoders), so that a fault in the library cannot hide in its fixtures;
// the sources that embeds place, and the text of an outcome.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.hpp"
#include "base/result.hpp"
#include "manifest/source.hpp"

namespace quillon::test {

// `unit` written `count` times over.
inline std::string repeat(std::string_view unit, std::size_t count) {
  std::string out;
  out.reserve(unit.size() * count);
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

// "ok", or the message of the error that ended `result`.
template <class T>
std::string message_of(const Result<T>& result) {
  return result ? "ok" : result.error().message();
}

// A source with only a store, or only a URI.
inline ManifestSource store_only(std::string store) { return {std::nullopt, std::move(store)}; }
inline ManifestSource uri_only(std::string uri) { return {std::move(uri), std::nullopt}; }

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

// ---- GGUF ----

// A GGUF string: its 64-bit length, then its bytes.
inline std::string gguf_string(std::string_view text) { return le64(text.size()) + std::string(text); }

// One metadata entry; `value` follows the type code unchanged.
inline std::string gguf_kv(std::string_view key, std::uint32_t type, std::string_view value) {
  return gguf_string(key) + le32(type) + std::string(value);
}

// A tensor description: name, dimensions, type code, data offset.
inline std::string gguf_tensor(std::string_view name, const std::vector<std::uint64_t>& dims, std::uint32_t type,
                               std::uint64_t offset) {
  std::string out = gguf_string(name) + le32(static_cast<std::uint32_t>(dims.size()));
  for (std::uint64_t d : dims) out += le64(d);
  return out + le32(type) + le64(offset);
}

// A GGUF file from its parts. The counts are those of the parts unless
// given; the padding is `pad_byte` up to `alignment` unless given.
struct GgufModel {
  std::uint32_t version = 3;
  std::vector<std::string> kvs{};
  std::vector<std::string> tensors{};
  std::optional<std::uint64_t> kv_count{};
  std::optional<std::uint64_t> tensor_count{};
  std::uint64_t alignment = 32;  // for the default padding only
  std::optional<std::string> padding{};
  char pad_byte = '\0';
  std::string data = "0123456789abcdef-tensor-data";

  // The 24-byte header, the entries and the tensor infos.
  std::string head() const {
    std::string out = "GGUF" + le32(version) + le64(tensor_count.value_or(tensors.size())) +
                      le64(kv_count.value_or(kvs.size()));
    for (const std::string& entry : kvs) out += entry;
    for (const std::string& info : tensors) out += info;
    return out;
  }
  std::string bytes() const {
    std::string out = head();
    out += padding ? *padding : std::string((alignment - out.size() % alignment) % alignment, pad_byte);
    return out + data;
  }
};

// A GGUF file whose metadata is a vocabulary of `count` tokens ("t0", "t1",
// ...), about 14 bytes each: the bulk of real models' metadata.
inline std::string vocabulary_gguf(std::size_t count) {
  std::string tokens;
  for (std::size_t i = 0; i < count; ++i) tokens += gguf_string("t" + std::to_string(i));
  const std::string array = le32(8) + le64(count) + tokens;  // an array (9) of strings (8)
  return GgufModel{.kvs = {gguf_kv("tokenizer.ggml.tokens", 9, array)}}.bytes();
}

// A GGUF v3 file with no metadata and no tensors: the 24-byte header and 8
// bytes of padding up to the default alignment.
inline std::string empty_gguf() { return GgufModel{.data = ""}.bytes(); }

// ---- SafeTensors ----

// A SafeTensors file: the 8-byte length of `header`, `header`, then `data`.
inline std::string framed(std::string_view header, std::string_view data = "") {
  return le64(header.size()) + std::string(header) + std::string(data);
}

// A valid SafeTensors file holding `data` as one U8 tensor "t".
inline std::string safetensors_model(std::string_view data) {
  const std::string size = std::to_string(data.size());
  return framed(R"({"t":{"dtype":"U8","shape":[)" + size + R"(],"data_offsets":[0,)" + size + "]}}", data);
}

// ---- ONNX ----

// The smallest ONNX model: IR version 7 and nothing else.
inline const std::string kMinimalOnnx("\x08\x07", 2);

// The minimal base-128 varint encoding of `value`.
inline std::string varint(std::uint64_t value) {
  std::string out;
  for (; value >= 0x80; value >>= 7) out.push_back(static_cast<char>((value & 0x7F) | 0x80));
  out.push_back(static_cast<char>(value));
  return out;
}

// A length-delimited protobuf field.
inline std::string onnx_field(std::uint64_t number, std::string_view value) {
  return varint(number << 3 | 2) + varint(value.size()) + std::string(value);
}

// A metadata entry (top-level field 14) holding `key` and `value`.
inline std::string onnx_entry(std::string_view key, std::string_view value) {
  return onnx_field(14, onnx_field(1, key) + onnx_field(2, value));
}

}  // namespace quillon::test
