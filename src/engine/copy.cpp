// Writing a new model file's bytes: a `FileImage` onto a descriptor.
#include "engine/copy.hpp"

#include <cerrno>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "engine/platform.hpp"
#include "engine/seams.hpp"

namespace quillon::engine {
namespace {

// Bytes per copy_file_range call or pread/write round: small enough that
// progress and cancellation come every few tens of MiB.
constexpr std::size_t kCopyChunk = std::size_t{32} << 20;
// The buffered copy's buffer for large pieces: dd's bs=1M. With it, and
// the input read ahead as a sequential one, a cold 2 GiB copy moved by 100
// bytes on ext4 takes what dd's does; through 128 KiB it took a quarter
// longer or more (bench/files-results.md).
constexpr std::size_t kBufferSize = std::size_t{1} << 20;
// Pieces this small are copied without asking where the input's holes are.
constexpr std::uint64_t kHoleProbeMinimum = std::uint64_t{1} << 20;
// Pieces below this size are gathered into the output buffer instead of
// costing a system call each; the input's bytes for them come through the
// read-ahead window. Both buffers hold many small pieces.
constexpr std::size_t kSmallPiece = std::size_t{64} << 10;
constexpr std::size_t kGatherSize = std::size_t{1} << 20;
constexpr std::size_t kWindowSize = std::size_t{1} << 20;
static_assert(kSmallPiece <= kGatherSize && kSmallPiece <= kWindowSize);

constexpr const char* kShrank = "file shrank while it was being copied";
constexpr const char* kChanged = "file changed while it was being copied";

// The errno values with which the kernel, a file system or a sandbox's
// system call filter refuses copy_file_range for a pair of files rather than
// failing the copy: the same set after which GNU cp falls back to read/write.
bool kernel_copy_refused(int code) {
  switch (code) {
    case EXDEV:
    case ENOSYS:
    case EINVAL:
    case EOPNOTSUPP:  // ENOTSUP is the same value
    case EPERM:
    case EBADF:  // an output opened for appending
    case ETXTBSY:
    case ENOTTY:
      return true;
    default:
      return false;
  }
}

// Failures that concern the file being written rather than the one read.
bool concerns_output(int code) {
#ifdef EDQUOT  // none on Windows, where a full quota is ENOSPC
  if (code == EDQUOT) return true;
#endif
  return code == ENOSPC || code == EFBIG || code == EROFS;
}

std::size_t size_of(const FileImage::PieceView& piece) {
  if (piece.input) return static_cast<std::size_t>(piece.input->length);
  return piece.bytes.empty() ? piece.zeros : piece.bytes.size();
}

// Copies pieces into the output at increasing offsets and reports progress.
// Large pieces go straight to the output; small ones are gathered and
// written a buffer at a time.
class ImageWriter {
 public:
  ImageWriter(const FileImage& image, const InputFile& input, int output, const std::string& name,
              const WriteOptions& options)
      : image_(image), input_(input), output_(output), name_(name), options_(options), total_(image.size()),
        kernel_copy_(!seams::fallbacks().buffered_copy), kernel_copy_everywhere_(seams::fallbacks().kernel_copy) {}

  Result<Ok> write() {
    for (index_ = 0; index_ < image_.piece_count(); ++index_) QUILLON_TRY(write_piece(image_.piece(index_)));
    QUILLON_TRY(flush());
    if (platform::set_size(output_, total_) != 0) return system_error(name_);
    // Whatever was read may mix two versions of a file changed meanwhile,
    // even where every read succeeded.
    if (input_.changed()) return Error::system_failure(EIO, input_.path(), kChanged);
    return report(true);
  }

 private:
  // Where the piece's bytes start in the input: a view of the mapping, or
  // a range of the input the image names. Absent for any other piece.
  std::optional<std::uint64_t> input_offset(const FileImage::PieceView& piece) const {
    if (piece.input) return piece.input->start;
    if (input_.contains(piece.bytes)) return input_.offset_of(piece.bytes);
    return std::nullopt;
  }

  Result<Ok> write_piece(const FileImage::PieceView& piece) {
    const std::optional<std::uint64_t> from_input = input_offset(piece);
    if (size_of(piece) < kSmallPiece) {
      if (from_input) return gather_input(*from_input, size_of(piece));
      QUILLON_TRY_ASSIGN(std::uint8_t* to, room(size_of(piece)));
      if (piece.bytes.empty()) {
        std::memset(to, 0, piece.zeros);
      } else {
        std::memcpy(to, piece.bytes.data(), piece.bytes.size());
      }
      return Ok{};
    }
    QUILLON_TRY(flush());
    if (from_input) return copy_input(*from_input, size_of(piece));
    if (piece.bytes.empty()) return write_zeros(piece.zeros);
    return write_memory(piece.bytes);
  }

  // --- small pieces: gathered, and read ahead from the input ---------------

  // `size` (at most kSmallPiece) bytes of the output buffer for the next
  // piece, after writing out what the buffer holds if they do not fit.
  Result<std::uint8_t*> room(std::size_t size) {
    if (!gathered_) gathered_ = std::make_unique_for_overwrite<std::uint8_t[]>(kGatherSize);
    if (gathered_size_ + size > kGatherSize) QUILLON_TRY(flush());
    std::uint8_t* to = gathered_.get() + gathered_size_;
    gathered_size_ += size;
    return to;
  }

  Result<Ok> flush() {
    if (gathered_size_ == 0) return Ok{};
    QUILLON_TRY(write_at({gathered_.get(), gathered_size_}, offset_));
    return advance(std::exchange(gathered_size_, 0));
  }

  Result<Ok> gather_input(std::uint64_t offset, std::size_t size) {
    if (offset < window_start_ || offset + size > window_start_ + window_size_) QUILLON_TRY(fill_window(offset, size));
    QUILLON_TRY_ASSIGN(std::uint8_t* to, room(size));
    std::memcpy(to, window_.get() + (offset - window_start_), size);
    return Ok{};
  }

  // Reads the input from `offset` into the window, as far as the small
  // input pieces that follow need it; fewer than `size` bytes there mean the
  // file was cut short.
  Result<Ok> fill_window(std::uint64_t offset, std::size_t size) {
    if (!window_) window_ = std::make_unique_for_overwrite<std::uint8_t[]>(kWindowSize);
    const std::size_t wanted = static_cast<std::size_t>(std::max(window_end(offset), offset + size) - offset);
    window_start_ = offset;
    window_size_ = 0;
    while (window_size_ < wanted) {
      QUILLON_TRY_ASSIGN(const std::size_t got,
                         read_input(window_.get() + window_size_, offset + window_size_, wanted - window_size_));
      if (got == 0) break;
      window_size_ += got;
    }
    if (window_size_ < size) return Error::system_failure(EIO, input_.path(), kShrank);
    return Ok{};
  }

  // The end of the input range a window starting at `start` should hold:
  // the small input pieces from the current one on, up to the first that
  // does not fit or a large piece (which ends the gathering anyway). Kept
  // runs close together then cost one read, and a lone one no more than
  // its own bytes.
  std::uint64_t window_end(std::uint64_t start) const {
    std::uint64_t end = start;
    for (std::size_t i = index_; i < image_.piece_count(); ++i) {
      const FileImage::PieceView piece = image_.piece(i);
      if (size_of(piece) >= kSmallPiece) break;
      const std::optional<std::uint64_t> at = input_offset(piece);
      if (!at) continue;
      const std::uint64_t from = *at;
      const std::uint64_t to = from + size_of(piece);
      if (from < start || to - start > kWindowSize) break;
      end = std::max(end, to);
    }
    return end;
  }

  // --- large pieces --------------------------------------------------------

  Result<Ok> write_memory(Bytes bytes) {
    while (!bytes.empty()) {
      const std::size_t step = std::min(bytes.size(), kCopyChunk);
      QUILLON_TRY(write_at(bytes.first(step), offset_));
      bytes = bytes.subspan(step);
      QUILLON_TRY(advance(step));
    }
    return Ok{};
  }

  Result<Ok> write_at(Bytes bytes, std::uint64_t offset) { return write_all_at(output_, bytes, offset, name_); }

  Result<Ok> write_zeros(std::size_t count) {
    static const std::uint8_t zeros[4096] = {};
    while (count > 0) {
      const std::size_t step = std::min(count, sizeof zeros);
      QUILLON_TRY(write_memory({zeros, step}));
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
      if (end - offset >= kHoleProbeMinimum) QUILLON_TRY(find_data(offset, end, data, data_end));
      QUILLON_TRY(advance(data - offset));
      QUILLON_TRY(copy_data(data, data_end - data));
      offset = data_end;
    }
    return Ok{};
  }

  // Narrows [offset, end) to its first run of data [data, data_end); a run
  // without data has data == data_end == end. Where the file system cannot
  // tell, everything counts as data. No data up to the file's end is a
  // trailing hole only while the file still reaches `end`: one that ends
  // sooner was cut short during the copy.
  Result<Ok> find_data(std::uint64_t offset, std::uint64_t end, std::uint64_t& data, std::uint64_t& data_end) {
    const int descriptor = input_.descriptor();
    const std::int64_t found = platform::seek_data(descriptor, static_cast<std::int64_t>(offset));
    if (found < 0) {
      if (errno != ENXIO) return Ok{};
      platform::FileStatus status;
      if (platform::status_of(descriptor, status) != 0) return system_error(input_.path());
      if (status.size < end) return Error::system_failure(EIO, input_.path(), kShrank);
      data = data_end = end;
      return Ok{};
    }
    data = std::min(static_cast<std::uint64_t>(found), end);
    const std::int64_t hole = platform::seek_hole(descriptor, found);
    data_end = hole < 0 ? end : std::clamp(static_cast<std::uint64_t>(hole), data, end);
    return Ok{};
  }

  Result<Ok> copy_data(std::uint64_t offset, std::uint64_t length) {
    // The whole run keeps its shift, so one answer holds for all of it.
    const bool kernel = kernel_copy_ && kernel_copy_pays(offset);
    while (length > 0) {
      const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunk));
      QUILLON_TRY_ASSIGN(const std::size_t copied,
                         kernel && kernel_copy_ ? kernel_copy(offset, step) : buffered_copy(offset, step));
      if (copied == 0) continue;  // the kernel refused; the buffered copy takes over
      offset += copied;
      length -= copied;
      QUILLON_TRY(advance(copied));
    }
    return Ok{};
  }

  // Whether the run of input bytes at `offset`, written at the current
  // output offset, is copied faster by the kernel than through the buffer;
  // the file systems are looked at once per write, at its first large
  // piece from the input.
  bool kernel_copy_pays(std::uint64_t offset) {
    if (kernel_copy_everywhere_) return true;
    if (!plan_) plan_ = platform::copy_plan(input_.descriptor(), output_);
    return plan_->kernel_copy_pays(offset, offset_);
  }

  // Bytes copied by one copy_file_range call, or 0 after switching to the
  // buffered copy because the kernel refused this pair of files.
  Result<std::size_t> kernel_copy(std::uint64_t offset, std::size_t length) {
    std::uint64_t in = offset;
    std::uint64_t out = offset_;
    const long copied = platform::copy_range(input_.descriptor(), &in, output_, &out, length);
    if (copied > 0) return static_cast<std::size_t>(copied);
    if (copied == 0) return Error::system_failure(EIO, input_.path(), kShrank);
    if (!kernel_copy_refused(errno)) return copy_error();
    kernel_copy_ = false;
    return std::size_t{0};
  }

  // Bytes copied by one pread and its writes through the bounded buffer.
  Result<std::size_t> buffered_copy(std::uint64_t offset, std::size_t length) {
    if (!buffer_) {
      buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
      platform::advise_sequential(input_.descriptor());
    }
    QUILLON_TRY_ASSIGN(const std::size_t got, read_input(buffer_.get(), offset, std::min(length, kBufferSize)));
    if (got == 0) return Error::system_failure(EIO, input_.path(), kShrank);
    QUILLON_TRY(write_at({buffer_.get(), got}, offset_));
    return got;
  }

  // One pread from the input, retried when interrupted; 0 at its end.
  Result<std::size_t> read_input(std::uint8_t* to, std::uint64_t offset, std::size_t length) const {
    const long got = platform::read_at(input_.descriptor(), to, length, offset);
    if (got < 0) return system_error(input_.path());
    return static_cast<std::size_t>(got);
  }

  Error copy_error() const {
    const int code = errno;
    return Error::system_failure(code, concerns_output(code) ? name_ : input_.path());
  }

  // --- progress ------------------------------------------------------------

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

  const FileImage& image_;
  const InputFile& input_;
  const int output_;
  const std::string& name_;
  const WriteOptions& options_;
  const std::uint64_t total_;
  bool kernel_copy_;  // until the kernel refuses this pair of files
  const bool kernel_copy_everywhere_;  // at any shift (a test's choice)
  std::optional<platform::CopyPlan> plan_;
  std::size_t index_ = 0;  // the piece being written
  // Bytes written (or left as holes) so far: the offset of the gathered
  // bytes, or of the next large piece.
  std::uint64_t offset_ = 0;
  std::uint64_t next_report_ = kProgressStep;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::unique_ptr<std::uint8_t[]> gathered_;
  std::size_t gathered_size_ = 0;
  std::unique_ptr<std::uint8_t[]> window_;  // input bytes [window_start_, + window_size_)
  std::uint64_t window_start_ = 0;
  std::size_t window_size_ = 0;
};

}  // namespace

Result<Ok> write_all_at(int descriptor, Bytes bytes, std::uint64_t offset, const std::string& name) {
  while (!bytes.empty()) {
    const long written = platform::write_at(descriptor, bytes.data(), bytes.size(), offset);
    if (written <= 0) return written == 0 ? Error::system_failure(EIO, name) : system_error(name);
    bytes = bytes.subspan(static_cast<std::size_t>(written));
    offset += static_cast<std::uint64_t>(written);
  }
  return Ok{};
}

Result<Ok> sync(int descriptor, const std::string& name) {
  if (platform::sync_durably(descriptor) != 0) return system_error(name);
  return Ok{};
}

Result<Ok> write_image(const FileImage& image, const InputFile& input, int output, const std::string& name,
                       const WriteOptions& options) {
  return ImageWriter(image, input, output, name, options).write();
}

}  // namespace quillon::engine
