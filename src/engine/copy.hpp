// Writing a new model file: a `FileImage` onto a descriptor.
//
// `write_image` lets the kernel copy every large piece that views the input
// file (`copy_file_range` from the input's descriptor, which file systems
// turn into reflinks or server-side copies), falling back to pread/write
// through one bounded buffer where the kernel, the file system or a sandbox
// refuses. Holes of a sparse input stay holes. Small pieces (a file kept in
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
