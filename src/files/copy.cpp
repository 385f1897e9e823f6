// Writing a new model file's bytes: a `FileImage` onto a descriptor.
#include "files/copy.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

// Built against old C libraries too (glibc 2.17), whose headers may lack
// these; the kernel interfaces themselves are older than any supported one.
#ifndef SEEK_DATA
#define SEEK_DATA 3
#define SEEK_HOLE 4
#endif
#ifndef SYS_copy_file_range
#if defined(__x86_64__)
#define SYS_copy_file_range 326
#elif defined(__aarch64__)
#define SYS_copy_file_range 285
#endif
#endif

namespace quillon::files {
namespace {

// Bytes per copy_file_range call or pread/write round: small enough that
// progress and cancellation come every few tens of MiB.
constexpr std::size_t kCopyChunk = std::size_t{32} << 20;
// The fallback's buffer, the only memory a copy needs.
constexpr std::size_t kBufferSize = std::size_t{128} << 10;
// Pieces this small are copied without asking where the input's holes are.
constexpr std::uint64_t kHoleProbeMinimum = std::uint64_t{1} << 20;
constexpr const char* kShrank = "file shrank while it was being copied";


// The errno values with which the kernel refuses copy_file_range for a pair
// of files (other file systems, old kernels, special files) rather than
// failing the copy.
bool kernel_copy_refused(int code) {
  return code == EXDEV || code == ENOSYS || code == EINVAL || code == EOPNOTSUPP;  // ENOTSUP is the same value
}

// Failures that concern the file being written rather than the one read.
bool concerns_output(int code) { return code == ENOSPC || code == EDQUOT || code == EFBIG || code == EROFS; }

// Copies pieces into the output at increasing offsets and reports progress.
class ImageWriter {
 public:
  ImageWriter(const InputFile& input, int output, const std::string& name, const WriteOptions& options,
              std::uint64_t total)
      : input_(input), output_(output), name_(name), options_(options), total_(total),
        kernel_copy_(options.kernel_copy) {}

  Result<Ok> write(const FileImage& image) {
    for (std::size_t i = 0; i < image.piece_count(); ++i) {
      const FileImage::PieceView piece = image.piece(i);
      Result<Ok> done = piece.bytes.empty()            ? write_zeros(piece.zeros)
                        : input_.contains(piece.bytes) ? copy_input(input_.offset_of(piece.bytes), piece.bytes.size())
                                                       : write_memory(piece.bytes);
      if (!done) return done;
    }
    if (::ftruncate(output_, static_cast<off_t>(total_)) != 0) return system_error(name_);
    if (!input_unchanged()) return Error::system_failure(EIO, input_.path(), kShrank);
    return report(true);
  }

 private:
  Result<Ok> write_memory(Bytes bytes) {
    while (!bytes.empty()) {
      const std::size_t step = std::min(bytes.size(), kCopyChunk);
      if (Result<Ok> written = write_at(bytes.first(step), offset_); !written) return written;
      bytes = bytes.subspan(step);
      if (Result<Ok> advanced = advance(step); !advanced) return advanced;
    }
    return Ok{};
  }

  Result<Ok> write_at(Bytes bytes, std::uint64_t offset) { return write_all_at(output_, bytes, offset, name_); }

  Result<Ok> write_zeros(std::size_t count) {
    static const std::uint8_t zeros[4096] = {};
    while (count > 0) {
      const std::size_t step = std::min(count, sizeof zeros);
      if (Result<Ok> done = write_memory({zeros, step}); !done) return done;
      count -= step;
    }
    return Ok{};
  }

  // Copies input bytes [offset, offset + length), leaving the input's holes
  // as holes of the output (the final ftruncate fixes the size).
  Result<Ok> copy_input(std::uint64_t offset, std::uint64_t length) {
    const std::uint64_t end = offset + length;
    while (offset < end) {
      std::uint64_t data = offset;
      std::uint64_t data_end = end;
      if (end - offset >= kHoleProbeMinimum) find_data(offset, end, data, data_end);
      if (Result<Ok> skipped = advance(data - offset); !skipped) return skipped;
      if (Result<Ok> copied = copy_data(data, data_end - data); !copied) return copied;
      offset = data_end;
    }
    return Ok{};
  }

  // Narrows [offset, end) to its first run of data [data, data_end); a run
  // without data has data == data_end == end. Where the file system cannot
  // tell, everything counts as data. A file cut short reads as a hole here;
  // the size check at the end catches it.
  void find_data(std::uint64_t offset, std::uint64_t end, std::uint64_t& data, std::uint64_t& data_end) {
    const int descriptor = input_.descriptor();
    const off_t found = ::lseek(descriptor, static_cast<off_t>(offset), SEEK_DATA);
    if (found < 0) {
      if (errno == ENXIO) data = data_end = end;
      return;
    }
    data = std::min(static_cast<std::uint64_t>(found), end);
    const off_t hole = ::lseek(descriptor, found, SEEK_HOLE);
    data_end = hole < 0 ? end : std::clamp(static_cast<std::uint64_t>(hole), data, end);
  }

  Result<Ok> copy_data(std::uint64_t offset, std::uint64_t length) {
    while (length > 0) {
      const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunk));
      Result<std::size_t> copied = kernel_copy_ ? kernel_copy(offset, step) : buffered_copy(offset, step);
      if (!copied) return std::move(copied).error();
      if (*copied == 0) continue;  // the kernel refused; the buffered copy takes over
      offset += *copied;
      length -= *copied;
      if (Result<Ok> advanced = advance(*copied); !advanced) return advanced;
    }
    return Ok{};
  }

  // Bytes copied by one copy_file_range call, or 0 after switching to the
  // buffered copy because the kernel refused this pair of files.
  Result<std::size_t> kernel_copy(std::uint64_t offset, std::size_t length) {
#ifdef SYS_copy_file_range
    auto in = static_cast<loff_t>(offset);
    auto out = static_cast<loff_t>(offset_);
    long copied;
    do {
      copied = ::syscall(SYS_copy_file_range, input_.descriptor(), &in, output_, &out, length, 0u);
    } while (copied < 0 && errno == EINTR);
    if (copied > 0) return static_cast<std::size_t>(copied);
    if (copied == 0) return Error::system_failure(EIO, input_.path(), kShrank);
    if (!kernel_copy_refused(errno)) return copy_error();
#endif
    kernel_copy_ = false;
    return std::size_t{0};
  }

  // Bytes copied by one pread and its writes through the bounded buffer.
  Result<std::size_t> buffered_copy(std::uint64_t offset, std::size_t length) {
    if (!buffer_) buffer_ = std::make_unique<std::uint8_t[]>(kBufferSize);
    const std::size_t step = std::min(length, kBufferSize);
    ssize_t got;
    do {
      got = ::pread(input_.descriptor(), buffer_.get(), step, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return system_error(input_.path());
    if (got == 0) return Error::system_failure(EIO, input_.path(), kShrank);
    if (Result<Ok> written = write_at({buffer_.get(), static_cast<std::size_t>(got)}, offset_); !written) {
      return std::move(written).error();
    }
    return static_cast<std::size_t>(got);
  }

  Error copy_error() const {
    const int code = errno;
    return Error::system_failure(code, concerns_output(code) ? name_ : input_.path());
  }

  // A file shortened since it was mapped: the copy may have read zeros from
  // holes past the new end, so the result cannot be trusted.
  bool input_unchanged() const {
    struct stat status;
    return ::fstat(input_.descriptor(), &status) == 0 &&
           static_cast<std::uint64_t>(status.st_size) >= input_.bytes().size();
  }

  Result<Ok> advance(std::uint64_t count) {
    offset_ += count;
    return report(false);
  }

  Result<Ok> report(bool final) {
    if (!options_.progress || (!final && offset_ < next_report_)) return Ok{};
    next_report_ = offset_ + kProgressStep;
    if (!options_.progress(offset_, total_)) return Error::cancelled();
    return Ok{};
  }

  const InputFile& input_;
  const int output_;
  const std::string& name_;
  const WriteOptions& options_;
  const std::uint64_t total_;
  bool kernel_copy_;
  std::uint64_t offset_ = 0;
  std::uint64_t next_report_ = kProgressStep;
  std::unique_ptr<std::uint8_t[]> buffer_;
};

}  // namespace

Result<Ok> write_all_at(int descriptor, Bytes bytes, std::uint64_t offset, const std::string& name) {
  while (!bytes.empty()) {
    const ssize_t written = ::pwrite(descriptor, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written == 0 ? Error::system_failure(EIO, name) : system_error(name);
    bytes = bytes.subspan(static_cast<std::size_t>(written));
    offset += static_cast<std::uint64_t>(written);
  }
  return Ok{};
}

Result<Ok> sync(int descriptor, const std::string& name) {
  int result;
  do {
    result = ::fsync(descriptor);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return system_error(name);
  return Ok{};
}

Result<Ok> write_image(const FileImage& image, const InputFile& input, int output, const std::string& name,
                       const WriteOptions& options) {
  return ImageWriter(input, output, name, options, image.size()).write(image);
}

}  // namespace quillon::files
