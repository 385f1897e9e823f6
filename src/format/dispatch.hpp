// The manifest operations of the library, and the table of handlers.
//
// Each takes the whole model file as a borrowed view, detects its format with
// the probes of `detect_format` (GGUF magic, SafeTensors header, ONNX
// protobuf scan, in that order) and hands the same view to that format's
// handler. The handler's result or error is returned unchanged; the only error
// of dispatch's own is UnrecognizedFormat, when no probe matches. The reads
// take a `View`: bytes in memory convert to one, and over a model of which
// only pieces are at hand they record what they need (src/sparse).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.hpp"
#include "base/format.hpp"
#include "base/result.hpp"
#include "format/detect.hpp"
#include "manifest/file_image.hpp"
#include "manifest/handler.hpp"
#include "manifest/source.hpp"
#include "manifest/store_range.hpp"

namespace quillon {

// The handler of `format`: its operations called directly, without detection.
const Handler& handler_for(Format format);

// The embedded Manifest Store.
Result<std::string> read_manifest(const View& model);

// The complete new model file carrying what `source` holds. The image borrows
// from `model` and `source`; over a model of which only pieces are at hand,
// the bytes it carries over unread and absent are ranges of the input.
Result<FileImage> embed_manifest(const View& model, const ManifestSource& source);

// The complete new model file without any C2PA data. The image borrows from
// `model`.
Result<FileImage> remove_manifest(const View& model);

// The remote manifest URI, or absent when a recognized model has none.
Result<std::optional<std::string>> read_manifest_uri(const View& model);

// The absolute byte ranges of `model` that encode its embedded store: what a
// C2PA data hash excludes. The same errors as read_manifest.
Result<std::vector<ByteRange>> store_ranges(const View& model);

// The size of the embedded store, without copying it: its length for GGUF,
// the length its Base64 text decodes to for the others (the text is checked
// as read_manifest checks it). The same errors as read_manifest.
Result<std::uint64_t> store_size(const View& model);

// What a model holds, from one parse of it.
struct Description {
  Format format;
  std::optional<std::string> uri;
  // The store's size, found without copying it; absent when there is none.
  std::optional<std::uint64_t> store_size;
};

// Fails as read_manifest_uri fails, and then as store_size fails, except
// that a model without a store is described with no store size.
Result<Description> describe(const View& model);

// What to write, and where, to replace the embedded store by `store` without
// touching any other byte: possible only when the new store's encoded form
// is exactly as long as the old one's (StoreSizeMismatch otherwise). The
// same errors as read_manifest when the model holds no readable store.
Result<std::vector<StorePatch>> patch_store(const View& model, Bytes store);

}  // namespace quillon
