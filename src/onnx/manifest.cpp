#include "onnx/manifest.hpp"

#include "base64/base64.hpp"
#include "onnx/entry.hpp"
#include "onnx/wire.hpp"
#include "utf8/utf8.hpp"

namespace quillon::onnx {
namespace {

constexpr std::uint64_t kEntryKeyField = 1;
constexpr std::uint64_t kEntryValueField = 2;

// Tags of the fields that encode_entry writes, all length-delimited.
constexpr char kMetadataTag = 0x72;  // field 14
constexpr char kKeyTag = 0x0A;       // field 1
constexpr char kValueTag = 0x12;     // field 2

Bytes payload(Bytes data, const Field& field) {
  return data.subspan(field.payload_start, field.payload_end - field.payload_start);
}

bool key_is(const std::optional<Bytes>& key, std::string_view name) {
  return key && as_text(*key) == name;
}

std::size_t varint_size(std::uint64_t value) {
  std::size_t size = 1;
  for (; value >= 0x80; value >>= 7) ++size;
  return size;
}

void append_varint(std::string& out, std::uint64_t value) {
  for (; value >= 0x80; value >>= 7) out.push_back(static_cast<char>((value & 0x7F) | 0x80));
  out.push_back(static_cast<char>(value));
}

// The model without its C2PA entries: runs of kept bytes as views into it.
Result<FileImage> without_c2pa(Bytes model) {
  FileImage image;
  std::uint64_t kept_from = 0;
  FieldScanner scanner(model);
  Field field;
  while (scanner.next(field)) {
    if (field.number != kMetadataField) continue;
    Result<bool> c2pa = entry_is_c2pa(payload(model, field));
    if (!c2pa) return std::move(c2pa).error();
    if (!*c2pa) continue;
    image.append_view(model.subspan(kept_from, field.start - kept_from));
    kept_from = field.end;
  }
  if (scanner.failed()) return scanner.error();
  image.append_view(model.subspan(kept_from));
  return image;
}

// The value of the single "c2pa:manifest" entry (its Base64 text), as a
// view into `model`.
Result<Bytes> store_text(Bytes model) {
  std::size_t stores = 0;
  Bytes store;
  FieldScanner scanner(model);
  Field field;
  // Every entry is parsed, also after a store was found: a malformed or a
  // second store entry further on must still fail the read.
  while (scanner.next(field)) {
    if (field.number != kMetadataField) continue;
    Result<Entry> entry = parse_entry(payload(model, field));
    if (!entry) return std::move(entry).error();
    if (!entry->value || !key_is(entry->key, kManifestKey)) continue;
    ++stores;
    store = *entry->value;
  }
  if (scanner.failed()) return scanner.error();
  if (stores == 0) return Error::no_manifest();
  if (stores > 1) return Error::duplicate_manifest(Format::ONNX);
  if (!is_utf8(store)) return Error::malformed_container("store is not UTF-8");
  return store;
}

Result<std::string> decode_store(Bytes text) {
  std::optional<std::string> decoded = base64::decode(as_text(text));
  if (!decoded) return Error::malformed_reference("value is not valid Base64");
  return std::move(*decoded);
}

}  // namespace

Result<Entry> parse_entry(Bytes entry) {
  Entry parsed;
  FieldScanner scanner(entry);
  Field field;
  while (scanner.next(field)) {
    if (field.number == kEntryKeyField) parsed.key = payload(entry, field);
    if (field.number == kEntryValueField) parsed.value = payload(entry, field);
  }
  if (scanner.failed()) return scanner.error();
  return parsed;
}

Result<bool> entry_is_c2pa(Bytes entry) {
  Result<Entry> parsed = parse_entry(entry);
  if (!parsed) return std::move(parsed).error();
  return key_is(parsed->key, kManifestKey) || key_is(parsed->key, kManifestUriKey);
}

std::string entry_head(std::string_view key, std::uint64_t value_size) {
  const std::uint64_t message_size = 1 + 1 + key.size() + 1 + varint_size(value_size) + value_size;
  std::string head;
  head.reserve(1 + varint_size(message_size) + message_size - value_size);
  head.push_back(kMetadataTag);
  append_varint(head, message_size);
  head.push_back(kKeyTag);
  head.push_back(static_cast<char>(key.size()));
  head.append(key);
  head.push_back(kValueTag);
  append_varint(head, value_size);
  return head;
}

std::string encode_entry(std::string_view key, Bytes value) {
  std::string entry = entry_head(key, value.size());
  entry.append(as_text(value));
  return entry;
}

Result<std::string> read_store(Bytes model) {
  Result<Bytes> text = store_text(model);
  if (!text) return std::move(text).error();
  return decode_store(*text);
}

Result<std::vector<ByteRange>> store_ranges(Bytes model) {
  Result<Bytes> text = store_text(model);
  if (!text) return std::move(text).error();
  // A range is only worth handing out when the store there reads back.
  Result<std::string> store = decode_store(*text);
  if (!store) return std::move(store).error();
  return std::vector<ByteRange>{{static_cast<std::uint64_t>(text->data() - model.data()), text->size()}};
}

std::string encode_store(Bytes store) { return base64::encode(store); }

Result<std::optional<std::string>> read_uri(Bytes model) {
  std::optional<Bytes> uri;
  FieldScanner scanner(model);
  Field field;
  // The first URI entry ends the search: entries after it are never parsed,
  // though the rest of the top level must still scan.
  while (scanner.next(field)) {
    if (uri || field.number != kMetadataField) continue;
    Result<Entry> entry = parse_entry(payload(model, field));
    if (!entry) return std::move(entry).error();
    if (key_is(entry->key, kManifestUriKey)) uri = entry->value.value_or(Bytes{});
  }
  if (scanner.failed()) return scanner.error();
  if (!uri) return std::optional<std::string>();
  if (!is_utf8(*uri)) return Error::malformed_container("URI is not UTF-8");
  return std::optional<std::string>(as_text(*uri));
}

Result<FileImage> embed(Bytes model, const ManifestSource& source) {
  if (source.empty()) return Error::empty_source();
  Result<FileImage> image = without_c2pa(model);
  if (!image) return image;
  if (source.store) {
    std::string text = base64::encode(as_bytes(*source.store));
    image->append_owned(entry_head(kManifestKey, text.size()));
    image->append_owned(std::move(text));
  }
  if (source.uri) {
    image->append_owned(entry_head(kManifestUriKey, source.uri->size()));
    image->append_view(as_bytes(*source.uri));
  }
  return image;
}

Result<FileImage> remove(Bytes model) { return without_c2pa(model); }

}  // namespace quillon::onnx
