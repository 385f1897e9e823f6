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

// A fetch that goes on from n bytes asks for 2n more, not the driver's 7n:
// the front triples with each read (32 KiB, 96 KiB, 288 KiB, 864 KiB, ...).
// Every read runs the parse again over the whole front, and every byte
// fetched is copied, so more reads cost more parsing and larger ones more
// copying; locally both cost about 0.1 ms per MB, and neither a round trip.
// For the 830 KB of metadata of a 32,000-token GGUF vocabulary in a 1.9 MB
// file, sevenfold growth copied the whole file and made `info` of 334 such
// files about 1.5 times as slow as mapping them; tripling copies 864 KiB.
constexpr std::uint64_t kLocalGrowth = 2;

// A buffer of the thread's reads that grew past this is freed after the
// read rather than kept for the next one: a store or vocabulary of some
// megabytes stays, a header of a hundred megabytes does not.
constexpr std::size_t kKeptBuffer = 32 << 20;

// The most bytes the plan of a rewrite reads; a model of more metadata
// (the largest vocabularies) is mapped instead, so that a rewrite keeps to
// a few MiB of memory: a plan holds what it fetched while the copy runs.
// A 1 MiB GGUF model with a 32,000-token vocabulary (830 KB of metadata) is
// stamped as fast through pread as through the mapping.
constexpr std::uint64_t kLocalPlanLimit = std::uint64_t{4} << 20;

// `input`, opened as `name`, as the sparse driver reads it: pread in the
// ranges a parse needs, at most `limit` bytes in all, into buffers of the
// read's own (a plan keeps what it read) unless given the thread's.
sparse::Remote read_through(const InputFile& input, const std::string& name, std::uint64_t limit) {
  sparse::Remote remote;
  remote.size = input.size();
  remote.fetch_into = [&input](std::uint64_t offset, std::uint64_t length, std::uint8_t* into) {
    return input.read_into(offset, length, into);
  };
  remote.name = name;
  remote.window = kLocalWindow;
  remote.growth = kLocalGrowth;
  remote.limit = limit;
  return remote;
}

// Runs `on_reads` (a read of sparse/remote.hpp) on `model`, read through
// pread in the ranges the parse needs, however many bytes that is (up to
// the driver's limit): nothing is mapped, so a file cut short meanwhile
// gives a short read rather than a fault. What it made of a file that
// changed under it is replaced by the error saying so.
//
// The bytes from offset 0, which hold all a GGUF or SafeTensors read needs,
// are gathered in one buffer per thread, kept from read to read: a fresh
// buffer of 128 KiB or more comes from mmap in glibc's default settings
// and is faulted in afresh, one page at a time, then unmapped, which made
// copying the 830 KB metadata of a 32,000-token vocabulary cost more than
// mapping the file. Once grown, the buffer's pages stay in place.
template <class OnReads>
auto on_input(const InputFile& input, const std::string& model, OnReads on_reads)
    -> decltype(on_reads(sparse::Remote{})) {
  thread_local sparse::Buffer buffer;
  sparse::Remote remote = read_through(input, model, sparse::kFetchLimit);
  remote.buffer = &buffer;
  auto result = on_reads(remote);
  if (buffer.capacity() > kKeptBuffer) buffer.release();
  if (Result<Ok> same = input.unchanged(); !same) return std::move(same).error();
  return result;
}

template <class OnReads>
auto on_model(const std::string& model, OnReads on_reads) -> decltype(on_reads(sparse::Remote{})) {
  Result<InputFile> input = InputFile::open_unmapped(model);
  if (!input) return std::move(input).error();
  return on_input(*input, model, on_reads);
}

// Plans the new file over the model's metadata read with pread (`plan`, a
// rewrite of sparse/remote.hpp) and writes it to `output`: the bytes it
// carries over are ranges of the input, which the writer copies with the
// kernel's copy, so nothing is mapped. A model whose metadata is more than
// kLocalPlanLimit bytes is mapped instead, and its image built by `build`
// from the mapping, which outlives it here; where files are not mapped, its
// plan reads up to the driver's limit.
template <class Plan, class Build>
Result<Ok> rewrite(const std::string& model, const std::string& output, const WriteOptions& options, Plan plan,
                   Build build) {
  {
    Result<InputFile> input = InputFile::open_unmapped(model);
    if (!input) return std::move(input).error();
    const std::uint64_t limit = InputFile::kMaps ? kLocalPlanLimit : sparse::kFetchLimit;
    Result<sparse::Rewrite> planned = plan(read_through(*input, model, limit));
    QUILLON_TRY(input->unchanged());
    if (planned) {
      return replace_file(output, [&](int descriptor) {
        return write_image(planned->image(), *input, descriptor, output, options);
      });
    }
    const Error& error = planned.error();
    if (!InputFile::kMaps || error.kind() != Error::Kind::SystemFailure || error.system_code() != EFBIG) {
      return std::move(planned).error();
    }
  }
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
  return on_model(model, [](const sparse::Remote& remote) { return sparse::read_manifest(remote); });
}

Result<std::optional<std::string>> read_manifest_uri(const std::string& model) {
  return on_model(model, [](const sparse::Remote& remote) { return sparse::read_manifest_uri(remote); });
}

Result<std::optional<Format>> detect_format(const std::string& model) {
  return on_model(model, [](const sparse::Remote& remote) { return sparse::detect_format(remote); });
}

Result<Description> describe(const std::string& model) {
  return on_model(model, [](const sparse::Remote& remote) { return sparse::describe(remote); });
}

Result<SetFacts> set_facts(const std::string& model) {
  return on_model(model, [](const sparse::Remote& remote) { return sparse::set_facts(remote); });
}

Result<Ok> embed_manifest(const std::string& model, const ManifestSource& source, const std::string& output,
                          const WriteOptions& options) {
  return rewrite(
      model, output, options, [&](const sparse::Remote& remote) { return sparse::embed_manifest(remote, source); },
      [&](Bytes bytes) { return quillon::embed_manifest(bytes, source); });
}

Result<Ok> remove_manifest(const std::string& model, const std::string& output, const WriteOptions& options) {
  return rewrite(
      model, output, options, [](const sparse::Remote& remote) { return sparse::remove_manifest(remote); },
      [](Bytes bytes) { return quillon::remove_manifest(bytes); });
}

Result<std::vector<ByteRange>> store_ranges(const std::string& model) {
  return on_model(model, [](const sparse::Remote& remote) { return sparse::store_ranges(remote); });
}

Result<Ok> patch_store(const std::string& model, Bytes store) {
  Result<InputFile> file = InputFile::open_unmapped(model, true);
  if (!file) return std::move(file).error();
  Result<std::vector<StorePatch>> patches =
      on_input(*file, model, [store](const sparse::Remote& remote) { return sparse::store_patches(remote, store); });
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

Result<Ok> write_chunks(const std::string& path, const NextChunk& next) {
  return replace_file(path, [&](int descriptor) -> Result<Ok> {
    std::uint64_t done = 0;
    for (;;) {
      QUILLON_TRY_ASSIGN(const std::optional<Bytes> chunk, next());
      if (!chunk) return Ok{};
      if (chunk->size() > UINT64_MAX - done) return Error::system_failure(EFBIG, path);
      QUILLON_TRY(write_all_at(descriptor, *chunk, done, path));
      done += chunk->size();
    }
  });
}

Result<sparse::Rewrite> plan(const std::string& model,
                             const std::function<Result<sparse::Rewrite>(const sparse::Remote&)>& plan) {
  Result<InputFile> input = InputFile::open_unmapped(model);
  if (!input) return std::move(input).error();
  Result<sparse::Rewrite> planned = plan(read_through(*input, model, sparse::kFetchLimit));
  QUILLON_TRY(input->unchanged());
  return planned;
}

}  // namespace quillon::engine
