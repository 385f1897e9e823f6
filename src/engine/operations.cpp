#include "engine/operations.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "format/dispatch.hpp"

namespace quillon::engine {
namespace {

// Runs `operation` on the mapped bytes of `model`; its result type must be
// constructible from an Error. What it made of a file that changed under
// it is replaced by the error saying so.
template <class Operation>
auto on_model(const std::string& model, Operation operation) -> decltype(operation(Bytes{})) {
  Result<InputFile> input = InputFile::open(model);
  if (!input) return std::move(input).error();
  auto result = operation(input->bytes());
  if (Result<Ok> same = input->unchanged(); !same) return std::move(same).error();
  return result;
}

// Builds the new file's image from the mapped model and writes it to
// `output`; the image borrows from the mapping, which outlives it here.
template <class Build>
Result<Ok> rewrite(const std::string& model, const std::string& output, const WriteOptions& options, Build build) {
  Result<InputFile> input = InputFile::open(model);
  if (!input) return std::move(input).error();
  Result<FileImage> image = build(input->bytes());
  QUILLON_TRY(input->unchanged());
  if (!image) return std::move(image).error();
  return replace_file(output,
                      [&](int descriptor) { return write_image(*image, *input, descriptor, output, options); });
}

}  // namespace

Result<std::string> read_manifest(const std::string& model) {
  return on_model(model, [](Bytes bytes) { return quillon::read_manifest(bytes); });
}

Result<std::optional<std::string>> read_manifest_uri(const std::string& model) {
  return on_model(model, [](Bytes bytes) { return quillon::read_manifest_uri(bytes); });
}

Result<std::optional<Format>> detect_format(const std::string& model) {
  return on_model(model, [](Bytes bytes) { return Result<std::optional<Format>>(quillon::detect_format(bytes)); });
}

Result<Description> describe(const std::string& model) {
  return on_model(model, [](Bytes bytes) { return quillon::describe(bytes); });
}

Result<Ok> embed_manifest(const std::string& model, const ManifestSource& source, const std::string& output,
                          const WriteOptions& options) {
  return rewrite(model, output, options, [&](Bytes bytes) { return quillon::embed_manifest(bytes, source); });
}

Result<Ok> remove_manifest(const std::string& model, const std::string& output, const WriteOptions& options) {
  return rewrite(model, output, options, [](Bytes bytes) { return quillon::remove_manifest(bytes); });
}

Result<std::vector<ByteRange>> store_ranges(const std::string& model) {
  return on_model(model, [](Bytes bytes) { return quillon::store_ranges(bytes); });
}

Result<Ok> patch_store(const std::string& model, Bytes store) {
  Result<InputFile> file = InputFile::open(model, true);
  if (!file) return std::move(file).error();
  Result<std::vector<StorePatch>> patches = quillon::patch_store(file->bytes(), store);
  QUILLON_TRY(file->unchanged());
  if (!patches) return std::move(patches).error();
  for (const StorePatch& patch : *patches) {
    Result<Ok> written = write_all_at(file->descriptor(), as_bytes(patch.bytes), patch.range.start, model);
    if (!written) return written;
  }
  return sync(file->descriptor(), model);
}

Result<Ok> write_file(const std::string& path, Bytes bytes, const WriteOptions& options) {
  const Fill fill = [&](int descriptor) -> Result<Ok> {
    const std::uint64_t total = bytes.size();
    std::uint64_t done = 0;
    do {
      const std::size_t step = static_cast<std::size_t>(std::min(kProgressStep, total - done));
      Result<Ok> written = write_all_at(descriptor, bytes.subspan(static_cast<std::size_t>(done), step), done, path);
      if (!written) return written;
      done += step;
      if (options.progress && !options.progress(done, total)) return Error::cancelled();
    } while (done < total);
    return Ok{};
  };
  return replace_file(path, fill);
}

}  // namespace quillon::engine
