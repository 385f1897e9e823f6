// Writing a new model file: a `FileImage` onto a descriptor.
//
// `write_image` lets the kernel copy the large pieces that view the input
// file (`copy_file_range` from the input's descriptor) where that pays:
// where the file system copies on its side (NFS 4.2, SMB, Ceph, FUSE), or
// where the piece's offset in the output differs from its offset in the
// input by a multiple of the block size, so that the file system can share
// blocks (reflinks) or copy them whole (`platform::copy_plan`). A piece
// that moves by a grown header's few bytes instead goes through pread/write
// and one bounded 1 MiB buffer, which on a local file system is faster than
// the kernel's copy of unaligned blocks; so does every piece where the
// kernel, the file system or a sandbox refuses. Holes of a sparse input
// stay holes either way. Small pieces (a file kept in
// many short runs) are gathered into one buffer and written a buffer at a
// time; their input bytes are read ahead through the descriptor, so runs
// close together cost one read. Memory stays at a few MiB whatever the
// image. The copy reads through the descriptor, not the mapping, so an input
// shortened by another process ends in an error instead of SIGBUS: "file
// shrank while it was being copied" where a read finds the file's end, else
// "file changed while it was being copied" when the input's size or times
// differ from its open at the end of the copy.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/result.hpp"
#include "engine/input.hpp"
#include "manifest/file_image.hpp"

namespace quillon::engine {

// Called with the bytes written so far and the total, every kProgressStep
// bytes and once at the end; returning false cancels (Error::cancelled()).
using Progress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

inline constexpr std::uint64_t kProgressStep = std::uint64_t{32} << 20;

struct WriteOptions {
  Progress progress;
};

// Writes `image` at offset 0 of `output` and sets the file's size to the
// image's. Pieces inside `input`'s mapping, and the image's ranges of the
// input (an image planned over pieces read from it), are copied from its
// descriptor; `name` is
// the path failures of `output` report, `input.path()` those of the input.
// Fails, with `output` holding no trustworthy bytes, when the input changed
// since it was opened.
Result<Ok> write_image(const FileImage& image, const InputFile& input, int output, const std::string& name,
                       const WriteOptions& options);

// Writes all of `bytes` at `offset` of `descriptor`, through short writes
// and interruptions; failures name `name`.
Result<Ok> write_all_at(int descriptor, Bytes bytes, std::uint64_t offset, const std::string& name);

// Makes the file's content durable (platform::sync_durably); failures name
// `name`.
Result<Ok> sync(int descriptor, const std::string& name);

}  // namespace quillon::engine
