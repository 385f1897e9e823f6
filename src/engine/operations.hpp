// The library's operations on model files named by path.
//
// The reads (detect, store, URI, ranges, describe) run the sparse driver's
// read (sparse/remote.hpp) over the model read with pread, and so do embed
// and remove, whose plans the writer completes with the kernel's copy of
// the ranges they carry over (a model of much metadata, and a patch, are
// mapped: see `InputFile`), so every result, probe and model error is
// exactly the in-memory one; only system failures (an Error of kind SystemFailure
// naming the path concerned) and cancellation are new. A model that changes
// while it is read (see `InputFile::changed`) fails with EIO, "file changed
// while it was being read", whatever the parse made of it, and nothing is
// written. Embed and remove write their result with `replace_file`;
// `output` may name the model itself, which is then replaced in place.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/format.hpp"
#include "base/result.hpp"
#include "engine/copy.hpp"
#include "engine/replace.hpp"
#include "format/dispatch.hpp"
#include "format/sets.hpp"
#include "manifest/source.hpp"
#include "manifest/store_range.hpp"
#include "sparse/remote.hpp"

namespace quillon::engine {

Result<std::string> read_manifest(const std::string& model);
Result<std::optional<std::string>> read_manifest_uri(const std::string& model);
// Absent for a file in none of the formats; fails only to open the file.
Result<std::optional<Format>> detect_format(const std::string& model);

// What a model holds (quillon::describe), all from one read of it, so that
// a file replaced meanwhile never mixes two versions' facts.
Result<Description> describe(const std::string& model);

// The set facts (format/sets.hpp) of the model: its metadata only.
Result<SetFacts> set_facts(const std::string& model);

Result<Ok> embed_manifest(const std::string& model, const ManifestSource& source, const std::string& output,
                          const WriteOptions& options);
Result<Ok> remove_manifest(const std::string& model, const std::string& output, const WriteOptions& options);

// The absolute ranges of the file's bytes that encode its embedded store.
Result<std::vector<ByteRange>> store_ranges(const std::string& model);

// Replaces the embedded store of the file in place by `store`, whose encoded
// form must be exactly as long: only the bytes of the store's ranges are
// written (pwrite, then fsync), so the I/O is the store's size however large
// the model. Any error but a failed write or sync leaves the file unchanged.
// Not atomic: a crash in the middle may leave the store's bytes partly
// written, never any other byte changed; repeating the patch mends it.
Result<Ok> patch_store(const std::string& model, Bytes store);

// Replaces `path` with a file holding `bytes`, with the guarantees of
// `replace_file`; progress is reported every kProgressStep bytes and at the
// end, and cancelling leaves `path` untouched.
Result<Ok> write_file(const std::string& path, Bytes bytes, const WriteOptions& options);

// The next bytes of a file written a chunk at a time, valid until the next
// call; none at the end. An error (a cancellation) ends the write.
using NextChunk = std::function<Result<std::optional<Bytes>>()>;

// Replaces `path`, as `write_file` does, with a file holding the chunks
// `next` gives in turn: for content that arrives in pieces (a model
// streamed from a server) and is never whole in memory.
Result<Ok> write_chunks(const std::string& path, const NextChunk& next);

// Runs `plan` (a rewrite of sparse/remote.hpp: embed, remove or patch) over
// the model read with pread in the ranges its parse needs, never mapped:
// the plan names the bytes it carries over as ranges of the file, unread.
// A file that changed meanwhile fails as the reads do.
Result<sparse::Rewrite> plan(const std::string& model,
                             const std::function<Result<sparse::Rewrite>(const sparse::Remote&)>& plan);

}  // namespace quillon::engine
