// The ONNX handler: the four manifest operations that dispatch calls once the
// model has been detected as ONNX. Each takes the whole file as a borrowed view
// and returns a new value or one Error; the model is never modified.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "error/result.hpp"
#include "manifest/bytes.hpp"
#include "manifest/file_image.hpp"
#include "manifest/source.hpp"
#include "manifest/store_range.hpp"

namespace quillon::onnx {

// The embedded Manifest Store, or NoManifest.
Result<std::string> read_store(Bytes model);

// The absolute byte ranges of `model` that encode its embedded store, with
// the same errors as read_store.
Result<std::vector<ByteRange>> store_ranges(Bytes model);

// `store` encoded as it stands in a store range: its Base64 text.
std::string encode_store(Bytes store);

// The remote manifest URI; absent (not an error) when the model has none.
Result<std::optional<std::string>> read_uri(Bytes model);

// The complete new file with every C2PA entry replaced by what `source`
// holds. EmptySource, before the model is looked at, when it holds nothing.
// The image borrows from `model` and `source`, which must outlive it.
Result<FileImage> embed(Bytes model, const ManifestSource& source);

// The complete new file without any C2PA entry. The image borrows from
// `model`.
Result<FileImage> remove(Bytes model);

}  // namespace quillon::onnx
