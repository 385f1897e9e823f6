// ONNX metadata entries: the occurrences of the model's top-level field 14,
// each a small message holding a key (entry field 1) and a value (entry
// field 2). C2PA data lives in two such entries, keyed "c2pa:manifest" (the
// store, as Base64 text) and "c2pa:manifest.uri" (the URI).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.hpp"
#include "base/result.hpp"

namespace quillon::onnx {

// The top-level field number of the model's metadata entries.
inline constexpr std::uint64_t kMetadataField = 14;
// Field numbers inside an entry.
inline constexpr std::uint64_t kEntryKeyField = 1;
inline constexpr std::uint64_t kEntryValueField = 2;

// A parsed entry: views into the entry bytes of the value ranges of the last
// field 1 (key) and the last field 2 (value), whatever their wire types.
// An absent field is nullopt; callers that want "absent reads as empty" use
// value_or(Bytes{}).
struct Entry {
  std::optional<Bytes> key;
  std::optional<Bytes> value;

  // Whether the key is present and exactly `name`, byte for byte.
  bool has_key(std::string_view name) const { return key && as_text(*key) == name; }
};

// Splits the entry bytes (the field's value, without tag and length prefix)
// into key and value. Fails only with the scanner's errors.
Result<Entry> parse_entry(Bytes entry);

// Whether the entry's key is exactly "c2pa:manifest" or "c2pa:manifest.uri".
Result<bool> entry_is_c2pa(Bytes entry);

// The bytes that precede a value of `value_size` bytes in one complete
// top-level field 14 holding `key` and that value, laid out as
//   0x72 varint(L) 0x0A len(key) key 0x12 varint(len(value)) value
// with minimal varints; the value field is written even when empty. The
// caller appends the value itself, without copying it first. `key` must be
// shorter than 128 bytes.
std::string entry_head(std::string_view key, std::uint64_t value_size);

}  // namespace quillon::onnx
