// The read operations on a model that is not at hand: one known only by its
// size and a function that fetches byte ranges of it (HTTP range requests,
// an object store, a file object). Results and errors are exactly those of
// the in-memory operations of format/dispatch.hpp on the same bytes.
//
// Each operation runs the in-memory parse over a `View` of the pieces
// fetched so far. A parse that reaches absent bytes records them as its need
// and stops; the driver fetches a range around that need and runs the parse
// again, until one completes without a need. Requests for one model depend
// on each other, so the ranges are planned to make them few:
//
//   - SafeTensors: one request when the header fits the first window, else
//     a second one for exactly the rest of the header (a parse marks the
//     bytes after which it reads nothing, and those are fetched exactly).
//   - GGUF: the metadata is walked from the start, and a fetch that goes on
//     from the bytes before it is at least seven times as long as they are:
//     256 KiB, then 1.75 MiB more, then 14 MiB more covers the ~7 MB of a
//     256k-token vocabulary (tokens, scores, token types) in three requests.
//   - ONNX: the top-level fields are walked by tag and length; the bytes of
//     a field passed over (the graph) are never fetched, only a window at
//     the next field's start and the whole value of each metadata entry.
//
// Every fetch lies within the model's size and asks only for bytes not yet
// fetched, so a read never fetches more than the model; a length or count
// that the model declares beyond its size fails as in memory, unfetched.
// Nothing here makes a system call: the caller's fetch does the I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.hpp"
#include "base/format.hpp"
#include "base/result.hpp"
#include "format/dispatch.hpp"
#include "format/sets.hpp"
#include "manifest/source.hpp"
#include "manifest/store_range.hpp"
#include "sparse/rewrite.hpp"

namespace quillon::sparse {

// Fetches `length` (> 0) bytes of the model from `offset`; offset + length
// never passes the model's size. Returns exactly those bytes, or the error
// that ends the read (returned unchanged by the operation). It is called on
// the caller's thread, one request at a time.
using Fetch = std::function<Result<std::string>(std::uint64_t offset, std::uint64_t length)>;

// The same request, answered in place: writes exactly `length` bytes of the
// model from `offset` to `into`, which has room for them. Spares the copy
// out of a returned string when the bytes come from a descriptor.
using FetchInto = std::function<Result<Ok>(std::uint64_t offset, std::uint64_t length, std::uint8_t* into)>;

// Contiguous bytes that grow at the end, into capacity that at least doubles
// when it runs out, so that bytes appended a fetch at a time are copied a
// bounded number of times in all. Truncated, it keeps its capacity: a caller
// that reads many models one after the other on a thread hands the driver
// the same buffer (Remote::buffer), whose pages are then faulted in once
// rather than once per read.
class Buffer {
 public:
  Bytes bytes() const { return {data_.get(), size_}; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  // Makes `length` more bytes, uninitialized, and returns where they start;
  // null, changing nothing, when they cannot be allocated.
  std::uint8_t* extend(std::uint64_t length);
  // Appends a copy of `bytes`; false when out of memory.
  bool append(Bytes bytes);
  // Forgets the bytes after the first `size`.
  void truncate(std::size_t size) { size_ = size < size_ ? size : size_; }
  // Frees the storage.
  void release() { *this = Buffer(); }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The length of the first request, at offset 0. A SafeTensors header takes
// about 100 bytes per tensor ("model.layers.0.self_attn.q_proj.weight" with
// dtype, shape and offsets): 30 KB for an 8B model's 291 tensors, and shards
// of the largest checkpoints stay at some hundreds of tensors, so headers of
// real models fall between 10 and 160 KB. The ONNX models of the onnx
// package's test data all start their graph at byte 23. GGUF metadata runs
// from ~10 KB to several MB (vocabularies), which the growth below covers.
// 256 KiB reads nearly every SafeTensors header in one request, and the
// 192 KiB it reads beyond 64 KiB cost ~16 ms at 100 Mbit/s, less than the
// round trip of a second request.
inline constexpr std::uint64_t kFirstWindow = 256 * 1024;

// A fetch that goes on from the bytes just before it is at least this many
// times as long as they are, so that a walk from the start of n bytes takes
// a logarithmic number of requests: the bytes at hand grow eightfold with
// each request. Fourfold growth (256 KiB, 1.25 MiB, 6.25 MiB, 31 MiB)
// took four requests and 33 MB for the 7 MB of metadata of a 256k-token
// vocabulary with scores and token types (bench/remote.py); eightfold takes
// three and 16 MiB.
inline constexpr std::uint64_t kGrowth = 7;

// The most bytes one operation fetches unless told otherwise. Only a model
// whose metadata declares lengths near its (claimed) size reaches it: the
// largest SafeTensors header readers accept is 100 MB, and C2PA stores are
// megabytes. A bound of the caller's memory, whatever size a server claims.
inline constexpr std::uint64_t kFetchLimit = std::uint64_t{1} << 30;

// A model known by its size and its fetch function.
struct Remote {
  std::uint64_t size = 0;
  Fetch fetch;
  // Names the model in the error for a fetch that returns a wrong number of
  // bytes (SystemFailure, EIO): its URL or path, say.
  std::string name;
  // The length of the first request and the least of any other.
  std::uint64_t window = kFirstWindow;
  // A read that would need more bytes than this in all fails with
  // SystemFailure (EFBIG, `name`) before asking for them.
  std::uint64_t limit = kFetchLimit;
  // A fetch that goes on from n bytes asks for at least growth * n more.
  std::uint64_t growth = kGrowth;
  // When set, takes the place of `fetch`, writing into the driver's storage.
  FetchInto fetch_into{};
  // When set, the bytes from offset 0 are gathered in this buffer, emptied
  // first and left holding them; else the operation owns its storage. No
  // result refers to it, and it serves one operation at a time.
  Buffer* buffer = nullptr;
};

// The requests one operation made and the bytes they brought.
struct Traffic {
  std::uint64_t requests = 0;
  std::uint64_t bytes = 0;
};

// The format, absent for a model in none of them (or the fetch's error).
Result<std::optional<Format>> detect_format(const Remote& model, Traffic* traffic = nullptr);
Result<std::string> read_manifest(const Remote& model, Traffic* traffic = nullptr);
Result<std::optional<std::string>> read_manifest_uri(const Remote& model, Traffic* traffic = nullptr);
Result<std::vector<ByteRange>> store_ranges(const Remote& model, Traffic* traffic = nullptr);
Result<std::uint64_t> store_size(const Remote& model, Traffic* traffic = nullptr);
// Format, URI and store size, all from the same pieces.
Result<Description> describe(const Remote& model, Traffic* traffic = nullptr);
// What ties the model to the other files of its set (format/sets.hpp): the
// metadata only, so one request when it fits the first window.
Result<SetFacts> set_facts(const Remote& model, Traffic* traffic = nullptr);

// The rewrites, planned: the new file as the in-memory operation makes it,
// with what the edit carries over unread never fetched (the tensor data of
// GGUF and SafeTensors, the fields of ONNX between metadata entries, such
// as the graph) and named as ranges of the model. The fetches are those of
// the reads. The Rewrite owns the fetched bytes it views; it also views the
// bytes of `source`, which must outlive it.
Result<Rewrite> embed_manifest(const Remote& model, const ManifestSource& source, Traffic* traffic = nullptr);
Result<Rewrite> remove_manifest(const Remote& model, Traffic* traffic = nullptr);
// The model with the ranges of its store replaced by `store`, encoded
// (quillon::patch_store, with its errors: StoreSizeMismatch and those of
// the reads).
Result<Rewrite> patch_store(const Remote& model, Bytes store, Traffic* traffic = nullptr);

// The same patch as the writes that make it in place: each store range of
// the model with its new bytes, in file order.
Result<std::vector<StorePatch>> store_patches(const Remote& model, Bytes store, Traffic* traffic = nullptr);

}  // namespace quillon::sparse
