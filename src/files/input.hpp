// `InputFile`: a model file opened for reading and mapped read-only.
//
// The format code works on a `Bytes` view; an input file offers the whole
// file as that view without reading it. Only the pages the parser touches
// (the metadata) are ever read from the disk, so a read costs the same for a
// megabyte and for a hundred gigabytes. The open descriptor stays available
// for bulk copies, which read through it rather than through the mapping.
//
// Only regular files are accepted: a folder fails with EISDIR, and a FIFO,
// socket or device (`/dev/zero`, a pipe) fails at once, before any byte is
// read, instead of blocking or filling memory.
#pragma once

#include <cstdint>
#include <string>

#include <sys/stat.h>

#include "error/result.hpp"
#include "manifest/bytes.hpp"

namespace quillon::files {

class InputFile {
 public:
  // Opens and maps `path`; a system failure names `path`. With `writable`
  // the descriptor is also open for writing (the mapping stays read-only).
  static Result<InputFile> open(const std::string& path, bool writable = false);

  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&&) = delete;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // The whole file as it was when opened (empty for an empty file).
  Bytes bytes() const { return {data_, size_}; }
  int descriptor() const { return descriptor_; }
  const std::string& path() const { return path_; }

  // True when `view` lies inside the mapping; its offset in the file is then
  // `offset_of(view)`.
  bool contains(Bytes view) const;
  std::uint64_t offset_of(Bytes view) const { return static_cast<std::uint64_t>(view.data() - data_); }

  // True when the file's size, modification time or change time differ
  // from when it was opened, or it can no longer be examined: whatever was
  // read or copied from it since may mix two versions.
  bool changed() const;

 private:
  // What `changed` compares: st_size, st_mtim and st_ctim at the open.
  struct Stamp {
    std::uint64_t size;
    std::int64_t modified_s, modified_ns, changed_s, changed_ns;
    friend bool operator==(const Stamp&, const Stamp&) = default;
  };
  static Stamp stamp_of(const struct stat& status);

  InputFile(int descriptor, std::string path, const std::uint8_t* data, std::size_t size, Stamp stamp)
      : descriptor_(descriptor), path_(std::move(path)), data_(data), size_(size), stamp_(stamp) {}

  int descriptor_;
  std::string path_;
  const std::uint8_t* data_;
  std::size_t size_;
  Stamp stamp_;
};

// The error for a failed system call on `path`, taken from errno.
Error system_error(const std::string& path);

// True for the file types a model or a destination may be.
bool is_regular(unsigned mode);

// The error for a path that names something other than a regular file:
// EISDIR for a folder, else an error that says it is not a regular file.
Error not_a_regular_file(const std::string& path, unsigned mode);

}  // namespace quillon::files
