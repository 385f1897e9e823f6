#include "onnx/entry.hpp"

#include "manifest/source.hpp"
#include "onnx/wire.hpp"

namespace quillon::onnx {
namespace {

// Tags of the fields that entry_head writes, all length-delimited.
constexpr std::uint64_t kMetadataTag = tag_of(kMetadataField, WireType::LengthDelimited);
constexpr std::uint64_t kKeyTag = tag_of(kEntryKeyField, WireType::LengthDelimited);
constexpr std::uint64_t kValueTag = tag_of(kEntryValueField, WireType::LengthDelimited);

}  // namespace

Result<Entry> parse_entry(Bytes entry) {
  Entry parsed;
  FieldScanner scanner(entry);
  Field field;
  while (scanner.next(field)) {
    if (field.number == kEntryKeyField) parsed.key = payload_of(entry, field);
    if (field.number == kEntryValueField) parsed.value = payload_of(entry, field);
  }
  if (scanner.failed()) return scanner.error();
  return parsed;
}

Result<bool> entry_is_c2pa(Bytes entry) {
  QUILLON_TRY_ASSIGN(const Entry parsed, parse_entry(entry));
  return parsed.has_key(kManifestKey) || parsed.has_key(kManifestUriKey);
}

std::string entry_head(std::string_view key, std::uint64_t value_size) {
  const std::uint64_t message_size = varint_size(kKeyTag) + varint_size(key.size()) + key.size() +
                                     varint_size(kValueTag) + varint_size(value_size) + value_size;
  std::string head;
  head.reserve(varint_size(kMetadataTag) + varint_size(message_size) + message_size - value_size);
  append_varint(head, kMetadataTag);
  append_varint(head, message_size);
  append_varint(head, kKeyTag);
  append_varint(head, key.size());
  head.append(key);
  append_varint(head, kValueTag);
  append_varint(head, value_size);
  return head;
}

}  // namespace quillon::onnx
