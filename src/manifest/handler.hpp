// The contract of a container handler: the operations that dispatch calls
// once a model has been detected as the handler's format. GGUF, SafeTensors
// and ONNX each provide one `Handler` (gguf::handler, safetensors::handler,
// onnx::handler); dispatch holds them in a table indexed by `Format`.
//
// Every operation takes the whole model file as a borrowed view and returns
// a new value or one Error; the model is never modified. The reads take a
// `View`, so that they also run on a model of which only pieces are at hand
// (src/sparse): there a read of absent bytes records its need and fails, and
// the caller fetches them and reads again. Every operation
// also accepts input of any shape, detected or not. Pure functions: they may
// run on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.hpp"
#include "base/result.hpp"
#include "base/view.hpp"
#include "manifest/file_image.hpp"
#include "manifest/source.hpp"
#include "manifest/store_range.hpp"

namespace quillon {

struct Handler {
  // The embedded Manifest Store, or NoManifest.
  Result<std::string> (*read_store)(const View& model);

  // The absolute byte ranges of `model` that encode its embedded store,
  // found by the same parse as read_store and failing as it does.
  Result<std::vector<ByteRange>> (*store_ranges)(const View& model);

  // The size of the embedded store, found by the same parse as read_store
  // and failing exactly as it does, without copying or decoding the store
  // into memory.
  Result<std::uint64_t> (*store_size)(const View& model);

  // `store` encoded as it stands in a store range: what a same-size patch
  // writes there (the raw bytes for GGUF, Base64 text for the others).
  std::string (*encode_store)(Bytes store);

  // The remote manifest URI; absent (not an error) when the model has none.
  Result<std::optional<std::string>> (*read_uri)(const View& model);

  // The complete new file with every C2PA entry replaced by what `source`
  // holds. EmptySource, before the model is looked at, when it holds
  // nothing. The image borrows from `model` and `source`. The bytes that
  // the edit only carries over (tensor data, a graph) are never read: over
  // a model of which only pieces are at hand, those that are absent become
  // ranges of the input in the image (FileImage::append_from), and the
  // parse needs only the metadata.
  Result<FileImage> (*embed)(const View& model, const ManifestSource& source);

  // The complete new file without any C2PA entry. The image borrows from
  // `model`; absent bytes carried over are ranges of the input, as for embed.
  Result<FileImage> (*remove)(const View& model);
};

}  // namespace quillon
