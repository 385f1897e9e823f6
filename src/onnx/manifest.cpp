#include "onnx/manifest.hpp"

#include <utility>

#include "base/utf8.hpp"
#include "base64/base64.hpp"
#include "manifest/store_codec.hpp"
#include "onnx/entry.hpp"
#include "onnx/wire.hpp"

namespace quillon::onnx {
namespace {

// The model without its C2PA entries: runs of kept bytes as views into it
// (short ones copied, so that a model of many short entries costs no more
// than its size). Only the metadata entries are read; the fields between
// them (the graph) are carried over unread.
Result<FileImage> without_c2pa(const View& model) {
  FileImage image;
  std::uint64_t kept_from = 0;
  FieldScanner scanner(model);
  Field field;
  while (scanner.next(field, kMetadataField)) {
    const std::optional<Bytes> payload = payload_in(model, field);
    if (!payload) return View::absent();
    QUILLON_TRY_ASSIGN(const bool c2pa, entry_is_c2pa(*payload));
    if (!c2pa) continue;
    image.append_from(model, kept_from, field.start - kept_from, true);
    kept_from = field.end;
  }
  if (scanner.failed()) return scanner.error();
  image.append_from(model, kept_from, model.size() - kept_from);
  return image;
}

// The value of the single "c2pa:manifest" entry (its Base64 text), as a
// view into `model`.
Result<Bytes> store_text(const View& model) {
  std::size_t stores = 0;
  Bytes store;
  FieldScanner scanner(model);
  Field field;
  // Every entry is parsed, also after a store was found: a malformed or a
  // second store entry further on must still fail the read.
  while (scanner.next(field, kMetadataField)) {
    const std::optional<Bytes> payload = payload_in(model, field);
    if (!payload) return View::absent();
    QUILLON_TRY_ASSIGN(const Entry entry, parse_entry(*payload));
    if (!entry.value || !entry.has_key(kManifestKey)) continue;
    ++stores;
    store = *entry.value;
  }
  if (scanner.failed()) return scanner.error();
  if (stores == 0) return Error::no_manifest();
  if (stores > 1) return Error::duplicate_manifest(Format::ONNX);
  if (!is_utf8(store)) return Error::malformed_container("store is not UTF-8");
  return store;
}

Result<std::optional<std::string>> read_uri(const View& model) {
  std::optional<Bytes> uri;
  FieldScanner scanner(model);
  Field field;
  // The first URI entry ends the search: entries after it are never parsed,
  // though the rest of the top level must still scan.
  while (scanner.next(field, kMetadataField)) {
    if (uri) continue;
    const std::optional<Bytes> payload = payload_in(model, field);
    if (!payload) return View::absent();
    QUILLON_TRY_ASSIGN(const Entry entry, parse_entry(*payload));
    if (entry.has_key(kManifestUriKey)) uri = entry.value.value_or(Bytes{});
  }
  if (scanner.failed()) return scanner.error();
  if (!uri) return std::optional<std::string>();
  if (!is_utf8(*uri)) return Error::malformed_container("URI is not UTF-8");
  return std::optional<std::string>(as_text(*uri));
}

Result<FileImage> embed(const View& model, const ManifestSource& source) {
  if (source.empty()) return Error::empty_source();
  QUILLON_TRY_ASSIGN(FileImage image, without_c2pa(model));
  if (source.store) {
    std::string text = base64::encode(as_bytes(*source.store));
    image.append_owned(entry_head(kManifestKey, text.size()));
    image.append_owned(std::move(text));
  }
  if (source.uri) {
    image.append_owned(entry_head(kManifestUriKey, source.uri->size()));
    image.append_view(as_bytes(*source.uri));
  }
  return image;
}

Result<FileImage> remove(const View& model) { return without_c2pa(model); }

}  // namespace

constinit const Handler handler = with_store<Base64Store<store_text>>(read_uri, embed, remove);

}  // namespace quillon::onnx
