#include "gguf/manifest.hpp"

#include <algorithm>
#include <utility>

#include "gguf/gguf.hpp"
#include "utf8/utf8.hpp"

namespace quillon::gguf {
namespace {

// The first entry with exactly this key, in file order; later ones are ignored.
const Kv* first_entry(const Gguf& gguf, std::string_view key) {
  const auto it = std::find_if(gguf.kvs.begin(), gguf.kvs.end(), [key](const Kv& kv) { return kv.key == key; });
  return it == gguf.kvs.end() ? nullptr : &*it;
}

bool is_c2pa_key(std::string_view key) { return key == kManifestKey || key == kManifestUriKey; }

// Parses `model` and drops every C2PA entry, however many there are.
Result<Gguf> parse_without_c2pa(Bytes model) {
  Result<Gguf> gguf = Gguf::parse(model);
  if (gguf) std::erase_if(gguf->kvs, [](const Kv& kv) { return is_c2pa_key(kv.key); });
  return gguf;
}

// The element bytes of the first "c2pa:manifest" entry, a view into `model`.
Result<Bytes> store_bytes(Bytes model) {
  Result<Gguf> gguf = Gguf::parse(model);
  if (!gguf) return std::move(gguf).error();
  const Kv* kv = first_entry(*gguf, kManifestKey);
  if (kv == nullptr) return Error::no_manifest();

  // The parse has checked that the value is complete, so only the types can
  // be wrong here.
  Cursor value(kv->raw);
  Result<std::uint32_t> type = value.u32();
  if (!type) return std::move(type).error();
  if (*type != kArray) return Error::malformed_container("c2pa:manifest is not a UINT8 array");
  Result<std::uint32_t> element_type = value.u32();
  if (!element_type) return std::move(element_type).error();
  if (*element_type != kUint8) return Error::malformed_container("c2pa:manifest is not a UINT8 array");
  Result<std::uint64_t> count = value.u64();
  if (!count) return std::move(count).error();
  return value.take(*count);
}

}  // namespace

Result<std::string> read_store(Bytes model) {
  Result<Bytes> store = store_bytes(model);
  if (!store) return std::move(store).error();
  return std::string(as_text(*store));
}

Result<std::vector<ByteRange>> store_ranges(Bytes model) {
  Result<Bytes> store = store_bytes(model);
  if (!store) return std::move(store).error();
  return std::vector<ByteRange>{{static_cast<std::uint64_t>(store->data() - model.data()), store->size()}};
}

std::string encode_store(Bytes store) { return std::string(as_text(store)); }

Result<std::optional<std::string>> read_uri(Bytes model) {
  Result<Gguf> gguf = Gguf::parse(model);
  if (!gguf) return std::move(gguf).error();
  const Kv* kv = first_entry(*gguf, kManifestUriKey);
  if (kv == nullptr) return std::optional<std::string>();

  Cursor value(kv->raw);
  Result<std::uint32_t> type = value.u32();
  if (!type) return std::move(type).error();
  if (*type != kString) return Error::malformed_container("c2pa:manifest.uri is not a string");
  Result<std::uint64_t> length = value.u64();
  if (!length) return std::move(length).error();
  Result<Bytes> text = value.take(*length);
  if (!text) return std::move(text).error();
  if (!is_utf8(*text)) return Error::malformed_container("URI is not UTF-8");
  return std::optional<std::string>(as_text(*text));
}

Result<FileImage> embed(Bytes model, const ManifestSource& source) {
  if (source.empty()) return Error::empty_source();
  Result<Gguf> gguf = parse_without_c2pa(model);
  if (!gguf) return std::move(gguf).error();
  // The new entries view the source's bytes, which outlive the image.
  if (source.store) gguf->append_u8_array(kManifestKey, as_bytes(*source.store));
  if (source.uri) gguf->append_string(kManifestUriKey, as_bytes(*source.uri));
  return gguf->serialize();
}

Result<FileImage> remove(Bytes model) {
  Result<Gguf> gguf = parse_without_c2pa(model);
  if (!gguf) return std::move(gguf).error();
  return gguf->serialize();
}

}  // namespace quillon::gguf
