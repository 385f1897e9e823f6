// `InputFile`: a model file opened for reading, mapped read-only or read
// through `pread`.
//
// Only regular files are accepted, and the type is checked on the name
// before anything is opened: opening a FIFO, even without blocking, would
// release a writer waiting on it. A folder fails with EISDIR, and a FIFO,
// socket or device (`/dev/zero`, a pipe) fails at once, before any byte is
// read, instead of blocking or filling memory. The type is checked again on
// the open descriptor, since the name may have changed in between.
//
// Reads (`open_unmapped`, then `read_into`) copy the ranges asked for into
// buffers; the read operations fetch a model's metadata so, whatever its
// size, in the few ranges the sparse driver plans (sparse/remote.hpp). A
// file shortened meanwhile gives a short read, never a signal: `read_into`
// fails with the same EIO error as `unchanged()`. Nothing is mapped, so a
// read needs no slot of the fault table below and no page-table work, which
// threads of one process do one at a time: reads of many models on several
// threads run in parallel.
//
// Rewrites and patches read the metadata the same way, and rewrites name
// what they carry over by its range of the input, which the copy hands to
// the kernel through the descriptor. Rewrites of more metadata than a plan
// holds (see operations.cpp) map the file (`open`): the format code
// builds the new file's image on a `Bytes` view of the whole input without
// reading it, as views that the copy then hands to the kernel the same way.
// Only the pages the parser touches (the metadata) are ever read from the
// disk, so this costs the same for a megabyte and for a hundred gigabytes.
//
// A file shortened by another process while it is mapped (`cp` over a model
// truncates it first) turns every read of a page past its new end into
// SIGBUS, which would end the whole process and every other read in it.
// Mapped reads are therefore contained rather than avoided:
//
// - Each live mapping is entered in a fixed table (kMaxInputs slots) that
//   the SIGBUS handler can search without locks or allocation; a slot's
//   range is published under a generation tag, so the handler never takes
//   the range of a slot that is being reused for the mapping it reads.
// - The handler, installed once with SA_SIGINFO | SA_ONSTACK when the first
//   file is mapped, answers a fault inside a registered mapping by mapping a
//   private zero page over the faulting page and marking that input; the
//   read resumes on zeros and the parse ends with some result that is
//   thrown away, because `changed()` then holds and every operation reports
//   `unchanged()`'s EIO error instead.
// - A fault anywhere else is not ours: it goes to the handler that was
//   installed before (Python's faulthandler, a sanitizer), or, when there
//   was none, to the default action, so a real crash still crashes. A
//   handler installed after ours (faulthandler enabled late) would see our
//   faults first; each open therefore puts ours back in front, keeping the
//   other as the one it hands foreign faults to. Such a handler typically
//   restores the disposition it replaced (ours) and raises the signal
//   again; a sent SIGBUS after a foreign fault was handed on takes the
//   default action, which ends that cycle.
//
// The table keeps the mapping's zero-copy views at the cost of one table
// entry per open mapped input. When every slot is taken, opening fails with
// EMFILE rather than mapping a file unguarded.
#pragma once

#include <cstdint>
#include <string>

#include <sys/stat.h>

#include "base/bytes.hpp"
#include "base/result.hpp"
#include "engine/platform.hpp"

namespace quillon::engine {

class InputFile {
 public:
  // Whether `open` maps files on this system; where it does not, it fails
  // with ENOTSUP and every operation reads through `open_unmapped`.
#ifdef _WIN32
  static constexpr bool kMaps = false;
#else
  static constexpr bool kMaps = true;
#endif

  // Opens and maps `path`; a system failure names `path`.
  static Result<InputFile> open(const std::string& path);
  // Opens `path` for `read` only: nothing is mapped and `bytes()` is empty.
  // With `writable` the descriptor is also open for writing.
  static Result<InputFile> open_unmapped(const std::string& path, bool writable = false);

  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&&) = delete;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  // The whole file as it was when opened (empty for an empty file, or one
  // opened with `open_unmapped`).
  Bytes bytes() const { return {data_, size_}; }
  // The file's size when it was opened.
  std::uint64_t size() const { return stamp_.size; }
  // Writes exactly `length` bytes from `offset`, which lie within `size()`,
  // to `into`. A file that ends before them fails with `unchanged()`'s EIO
  // error; a failed read fails with its errno and the path. A read that
  // succeeds may still hold bytes of a later version: `unchanged()` tells.
  Result<Ok> read_into(std::uint64_t offset, std::uint64_t length, std::uint8_t* into) const;
  // The same bytes in a string of their own.
  Result<std::string> read(std::uint64_t offset, std::uint64_t length) const;
  int descriptor() const { return descriptor_; }
  const std::string& path() const { return path_; }

  // True when `view` lies inside the mapping; its offset in the file is then
  // `offset_of(view)`.
  bool contains(Bytes view) const;
  std::uint64_t offset_of(Bytes view) const { return static_cast<std::uint64_t>(view.data() - data_); }

  // True when a read of the mapping faulted because the file had shrunk,
  // or the file's size, modification time or change time differ from when
  // it was opened, or it can no longer be examined: whatever was read or
  // copied from it since may mix two versions or hold zeros in place of
  // data.
  bool changed() const;

  // Ok, or, when `changed()`, the EIO error "file changed while it was being
  // read" naming the path: what an operation reports instead of whatever it
  // made of the bytes it read.
  Result<Ok> unchanged() const;

 private:
  // What `changed` compares: st_size, st_mtim and st_ctim at the open.
  struct Stamp {
    std::uint64_t size;
    std::int64_t modified_s, modified_ns, changed_s, changed_ns;
    friend bool operator==(const Stamp&, const Stamp&) = default;
  };
  static Stamp stamp_of(const platform::FileStatus& status);

  InputFile(int descriptor, std::string path, const std::uint8_t* data, std::size_t size, Stamp stamp, int slot)
      : descriptor_(descriptor), path_(std::move(path)), data_(data), size_(size), stamp_(stamp), slot_(slot) {}

  int descriptor_;
  std::string path_;
  const std::uint8_t* data_;
  std::size_t size_;
  Stamp stamp_;
  int slot_;  // the mapping's entry in the fault table; -1 without a mapping
};

// How many inputs may be mapped at once in a process.
inline constexpr int kMaxInputs = 1024;

// The error for a failed system call on `path`, taken from errno.
Error system_error(const std::string& path);

// True for the file types a model or a destination may be.
bool is_regular(unsigned mode);

// The error for a path that names something other than a regular file:
// EISDIR for a folder, else an error that says it is not a regular file.
Error not_a_regular_file(const std::string& path, unsigned mode);

}  // namespace quillon::engine
