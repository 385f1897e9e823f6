#include "manifest/file_image.hpp"

#include <cstring>

namespace quillon {

void FileImage::append_view(Bytes bytes) {
  if (bytes.empty()) return;
  if (!pieces_.empty()) {
    Piece& last = pieces_.back();
    if (last.kind == Kind::View && last.data + last.size == bytes.data()) {
      last.size += bytes.size();
      size_ += bytes.size();
      return;
    }
  }
  pieces_.push_back({Kind::View, bytes.data(), bytes.size(), 0});
  size_ += bytes.size();
}

void FileImage::append_owned(std::string bytes) {
  if (bytes.empty()) return;
  const std::size_t n = bytes.size();
  owned_.push_back(std::move(bytes));
  pieces_.push_back({Kind::Owned, nullptr, n, owned_.size() - 1});
  size_ += n;
}

void FileImage::append_zeros(std::size_t count) {
  if (count == 0) return;
  if (!pieces_.empty() && pieces_.back().kind == Kind::Zeros) {
    pieces_.back().size += count;
  } else {
    pieces_.push_back({Kind::Zeros, nullptr, count, 0});
  }
  size_ += count;
}

FileImage::PieceView FileImage::piece(std::size_t index) const {
  const Piece& piece = pieces_[index];
  switch (piece.kind) {
    case Kind::View:
      return {{piece.data, piece.size}, 0};
    case Kind::Owned:
      return {as_bytes(owned_[piece.owned]), 0};
    case Kind::Zeros:
      break;
  }
  return {{}, piece.size};
}

void FileImage::write_to(std::uint8_t* out) const {
  for (const Piece& piece : pieces_) {
    switch (piece.kind) {
      case Kind::View:
        std::memcpy(out, piece.data, piece.size);
        break;
      case Kind::Owned:
        std::memcpy(out, owned_[piece.owned].data(), piece.size);
        break;
      case Kind::Zeros:
        std::memset(out, 0, piece.size);
        break;
    }
    out += piece.size;
  }
}

std::string FileImage::to_string() const {
  std::string out(size_, '\0');
  write_to(reinterpret_cast<std::uint8_t*>(out.data()));
  return out;
}

}  // namespace quillon
