#include "engine/operations.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "format/dispatch.hpp"
#include "sparse/remote.hpp"

namespace quillon::engine {
namespace {

// The first read of a local model, and the least of any other: the header
// of most SafeTensors models, the first fields of an ONNX model, the
// metadata of a GGUF model without a vocabulary. Reads of the page cache
// cost their copy rather than a round trip, so the window is much smaller
// than the sparse driver's default, which is sized for networks.
constexpr std::uint64_t kLocalWindow = 32 * 1024;

// The most bytes a read copies; a model whose parse needs more (a GGUF
// vocabulary, a store, a SafeTensors header of thousands of tensors) is
// read through the mapping instead, after at most this much was copied in
// vain. Reading it would cost more: every buffer of 128 KiB or more that
// the copies need comes from mmap in glibc's default settings and is
// faulted in afresh, one page at a time, then unmapped; in a fresh process
// reading the 830 KB metadata of a 32,000-token GGUF vocabulary so made
// `quillon info` over 1,000 models 3.5 times as slow as mapping them.
// Below it, buffers come from the heap and stay there (README.md).
constexpr std::uint64_t kLocalReadLimit = 96 * 1024;

// Runs `on_mapping` on the mapped bytes of `model`.
template <class OnMapping>
auto on_mapped_model(const std::string& model, OnMapping on_mapping) -> decltype(on_mapping(Bytes{})) {
  Result<InputFile> input = InputFile::open(model);
  if (!input) return std::move(input).error();
  auto result = on_mapping(input->bytes());
  if (Result<Ok> same = input->unchanged(); !same) return std::move(same).error();
  return result;
}

// Runs `on_reads` (a read of sparse/remote.hpp) on `model`, read through
// pread in the ranges the parse needs, or `on_mapping`, the same read in
// memory, on the mapped model when that would copy more than
// kLocalReadLimit bytes. What either made of a file that changed under it
// is replaced by the error saying so.
template <class OnReads, class OnMapping>
auto on_model(const std::string& model, OnReads on_reads, OnMapping on_mapping)
    -> decltype(on_reads(sparse::Remote{})) {
  Result<InputFile> input = InputFile::open_unmapped(model);
  if (!input) return std::move(input).error();
  sparse::Remote remote;
  remote.size = input->size();
  remote.fetch = [&input](std::uint64_t offset, std::uint64_t length) { return input->read(offset, length); };
  remote.name = model;
  remote.window = kLocalWindow;
  remote.limit = kLocalReadLimit;
  auto result = on_reads(remote);
  if (Result<Ok> same = input->unchanged(); !same) return std::move(same).error();
  if (!result && result.error().kind() == Error::Kind::SystemFailure && result.error().system_code() == EFBIG) {
    return on_mapped_model(model, on_mapping);
  }
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
  return on_model(
      model, [](const sparse::Remote& remote) { return sparse::read_manifest(remote); },
      [](Bytes bytes) { return quillon::read_manifest(bytes); });
}

Result<std::optional<std::string>> read_manifest_uri(const std::string& model) {
  return on_model(
      model, [](const sparse::Remote& remote) { return sparse::read_manifest_uri(remote); },
      [](Bytes bytes) { return quillon::read_manifest_uri(bytes); });
}

Result<std::optional<Format>> detect_format(const std::string& model) {
  return on_model(
      model, [](const sparse::Remote& remote) { return sparse::detect_format(remote); },
      [](Bytes bytes) { return Result<std::optional<Format>>(quillon::detect_format(bytes)); });
}

Result<Description> describe(const std::string& model) {
  return on_model(
      model, [](const sparse::Remote& remote) { return sparse::describe(remote); },
      [](Bytes bytes) { return quillon::describe(bytes); });
}

Result<Ok> embed_manifest(const std::string& model, const ManifestSource& source, const std::string& output,
                          const WriteOptions& options) {
  return rewrite(model, output, options, [&](Bytes bytes) { return quillon::embed_manifest(bytes, source); });
}

Result<Ok> remove_manifest(const std::string& model, const std::string& output, const WriteOptions& options) {
  return rewrite(model, output, options, [](Bytes bytes) { return quillon::remove_manifest(bytes); });
}

Result<std::vector<ByteRange>> store_ranges(const std::string& model) {
  return on_model(
      model, [](const sparse::Remote& remote) { return sparse::store_ranges(remote); },
      [](Bytes bytes) { return quillon::store_ranges(bytes); });
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

Result<sparse::Rewrite> plan(const std::string& model,
                             const std::function<Result<sparse::Rewrite>(const sparse::Remote&)>& plan) {
  Result<InputFile> input = InputFile::open_unmapped(model);
  if (!input) return std::move(input).error();
  sparse::Remote remote;
  remote.size = input->size();
  remote.fetch = [&input](std::uint64_t offset, std::uint64_t length) { return input->read(offset, length); };
  remote.name = model;
  remote.window = kLocalWindow;
  Result<sparse::Rewrite> planned = plan(remote);
  QUILLON_TRY(input->unchanged());
  return planned;
}

}  // namespace quillon::engine
