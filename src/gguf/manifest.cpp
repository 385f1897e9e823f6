#include "gguf/manifest.hpp"

#include <optional>
#include <string>

#include "base/utf8.hpp"
#include "gguf/gguf.hpp"
#include "manifest/store_codec.hpp"

namespace quillon::gguf {
namespace {

// Parses `model` and drops every C2PA entry, however many there are.
Result<Gguf> parse_without_c2pa(const View& model) {
  Result<Gguf> gguf = Gguf::parse(model);
  if (gguf) gguf->drop_c2pa();
  return gguf;
}

// The element bytes of the first "c2pa:manifest" entry, a view into `model`.
Result<Bytes> store_bytes(const View& model) {
  QUILLON_TRY_ASSIGN(const Gguf gguf, Gguf::parse(model));
  const std::optional<Kv>& kv = gguf.first_store();
  if (!kv) return Error::no_manifest();
  // The parse has checked that the value is complete, so only the types can
  // be wrong here.
  Cursor value(kv->raw);
  if (value.u32() != kArray || value.u32() != kUint8) {
    return Error::malformed_container("c2pa:manifest is not a UINT8 array");
  }
  const Bytes store = value.take(value.u64());
  if (value.failed()) return value.error();
  return store;
}

Result<std::optional<std::string>> read_uri(const View& model) {
  QUILLON_TRY_ASSIGN(const Gguf gguf, Gguf::parse(model));
  const std::optional<Kv>& kv = gguf.first_uri();
  if (!kv) return std::optional<std::string>();
  Cursor value(kv->raw);
  if (value.u32() != kString) return Error::malformed_container("c2pa:manifest.uri is not a string");
  const Bytes text = value.take(value.u64());
  if (value.failed()) return value.error();
  if (!is_utf8(text)) return Error::malformed_container("URI is not UTF-8");
  return std::optional<std::string>(as_text(text));
}

Result<FileImage> embed(const View& model, const ManifestSource& source) {
  if (source.empty()) return Error::empty_source();
  QUILLON_TRY_ASSIGN(Gguf gguf, parse_without_c2pa(model));
  // The new entries view the source's bytes, which outlive the image.
  if (source.store) gguf.append_u8_array(kManifestKey, as_bytes(*source.store));
  if (source.uri) gguf.append_string(kManifestUriKey, as_bytes(*source.uri));
  return gguf.serialize();
}

Result<FileImage> remove(const View& model) {
  QUILLON_TRY_ASSIGN(const Gguf gguf, parse_without_c2pa(model));
  return gguf.serialize();
}

}  // namespace

constinit const Handler handler = with_store<RawStore<store_bytes>>(read_uri, embed, remove);

}  // namespace quillon::gguf
