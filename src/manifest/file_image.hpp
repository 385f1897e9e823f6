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
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "manifest/bytes.hpp"

namespace quillon {

class FileImage {
 public:
  // Appends borrowed bytes; merged into the previous piece when contiguous.
  void append_view(Bytes bytes);
  // Appends bytes that the image owns from now on.
  void append_owned(std::string bytes);
  // Appends `count` zero bytes.
  void append_zeros(std::size_t count);

  // The total size in bytes of the file that `write_to` produces.
  std::size_t size() const { return size_; }
  // The number of pieces (after coalescing).
  std::size_t piece_count() const { return pieces_.size(); }

  // One piece as a writer sees it: bytes to copy (borrowed or owned by the
  // image), or else, with `bytes` empty, a run of `zeros` zero bytes.
  struct PieceView {
    Bytes bytes;
    std::size_t zeros;
  };
  // The `index`th piece, for index < piece_count(), in file order.
  PieceView piece(std::size_t index) const;

  // Copies the whole file into `out`, which holds at least size() bytes.
  void write_to(std::uint8_t* out) const;
  // The whole file as one owned byte string (for tests and tools).
  std::string to_string() const;

 private:
  enum class Kind : std::uint8_t { View, Owned, Zeros };
  struct Piece {
    Kind kind;
    const std::uint8_t* data;  // View: the first byte
    std::size_t size;          // bytes in the piece
    std::size_t owned;         // Owned: index into owned_
  };

  std::vector<Piece> pieces_;
  std::vector<std::string> owned_;
  std::size_t size_ = 0;
};

}  // namespace quillon
