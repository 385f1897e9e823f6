// `FileImage`: a complete new model file, described as a short list of pieces.
//
// Embed and remove never build the new file in an intermediate buffer.
// Instead they describe it as pieces: views into the input model (or into the
// caller's `ManifestSource`), small owned buffers (headers, new metadata
// entries) and runs of zero padding. The total size is known before any byte
// is written, so the caller allocates the destination once, at its exact
// size, and `write_to` copies every piece straight into it.
//
// Views are borrowed: whatever they point into must outlive the image.
// Adjacent views that touch in memory are coalesced into one piece, so a
// file kept in many small runs still yields few pieces.
//
// A piece costs a few dozen bytes of bookkeeping, and a writer one call. A
// run of the input shorter than that is not worth a piece: `append_run`
// copies short runs into storage of the image's own, where successive copies
// make one piece. However an input is cut into runs, the image then holds
// little more than the bytes it copies and never more than the file it
// describes.
//
// An image made over a model of which only pieces are at hand (src/sparse)
// may also hold ranges of the input named by their offset: the bytes an
// edit carries over but never read, such as tensor data. A writer that
// composes the new file from the old one copies them there; `write_to` and
// `to_string` take the whole input to resolve them. An image made over a
// whole model in memory never holds one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.hpp"
#include "base/view.hpp"
#include "manifest/store_range.hpp"

namespace quillon {

class FileImage {
 public:
  // Runs shorter than this are copied by append_run.
  static constexpr std::size_t kShortRun = 4096;

  FileImage() = default;
  // Pieces point into the image's own storage, which moves along with it.
  FileImage(FileImage&& other) noexcept { *this = std::move(other); }
  FileImage& operator=(FileImage&& other) noexcept;
  FileImage(const FileImage&) = delete;
  FileImage& operator=(const FileImage&) = delete;

  // Appends borrowed bytes; merged into the previous piece when contiguous.
  void append_view(Bytes bytes);
  // Appends borrowed bytes as append_view does, or a copy of them
  // (append_copy) when they are shorter than kShortRun and do not continue
  // the previous view.
  void append_run(Bytes bytes);
  // Appends a copy of `bytes`; copies made one after another form one piece.
  void append_copy(Bytes bytes);
  // Appends bytes that the image owns from now on.
  void append_owned(std::string bytes);
  // Appends `count` zero bytes.
  void append_zeros(std::size_t count);
  // Appends the input's `length` bytes from `offset` by their offset;
  // merged into the previous piece when that is the input range just
  // before.
  void append_input(std::uint64_t offset, std::uint64_t length);
  // Appends the `length` bytes from `offset` of the input that `model`
  // views (all within its size) without reading them: as append_view (or
  // append_run when `run`) of the bytes where they are at hand, else as
  // append_input. Records no need: bytes only carried over are never
  // fetched. Over a whole model this is append_view (append_run) exactly.
  void append_from(const View& model, std::uint64_t offset, std::uint64_t length, bool run = false);

  // Whether any piece is a range of the input.
  bool has_input() const { return inputs_ != 0; }

  // The total size in bytes of the file that `write_to` produces.
  std::size_t size() const { return size_; }
  // The number of pieces (after coalescing).
  std::size_t piece_count() const { return pieces_.size(); }

  // One piece as a writer sees it: bytes to copy (borrowed or owned by the
  // image), or else, with `bytes` empty, a run of `zeros` zero bytes, or,
  // with both empty, the range `input` of the input.
  struct PieceView {
    Bytes bytes;
    std::size_t zeros;
    std::optional<ByteRange> input = std::nullopt;
  };
  // The `index`th piece, for index < piece_count(), in file order.
  PieceView piece(std::size_t index) const;

  // Copies the whole file into `out`, which holds at least size() bytes,
  // taking the ranges of the input from `input`, the whole input file,
  // which must hold them (nothing is needed without such ranges).
  void write_to(std::uint8_t* out, Bytes input = {}) const;
  // The whole file as one owned byte string (for tests and tools).
  std::string to_string(Bytes input = {}) const;

 private:
  enum class Kind : std::uint8_t { View, Owned, Copy, Zeros, Input };
  struct Piece {
    const std::uint8_t* data;  // the first byte; null for Zeros and Input
    std::size_t size;          // bytes in the piece
    Kind kind;
    std::uint64_t offset = 0;  // of an Input piece, in the input
  };

  void add(Kind kind, const std::uint8_t* data, std::size_t size);
  void append_bytes(Bytes bytes, bool run) { run ? append_run(bytes) : append_view(bytes); }

  std::vector<Piece> pieces_;
  // Owned strings and the chunks that copies go to. List nodes never move,
  // so pieces may point into them.
  std::forward_list<std::string> owned_;
  // The chunk that copies go to; it is filled up to its capacity and never
  // reallocated. Null until the first copy.
  std::string* chunk_ = nullptr;
  std::size_t copied_ = 0;
  std::size_t size_ = 0;
  std::size_t inputs_ = 0;  // Input pieces
};

}  // namespace quillon
