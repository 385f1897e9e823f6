#include "manifest/file_image.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

namespace quillon {
namespace {

// Chunks for copies grow with what has been copied so far, so that a few
// small copies take one small chunk and many take few chunks; the unused end
// of the last chunk stays below kMaxChunk.
constexpr std::size_t kMinChunk = 4096;
constexpr std::size_t kMaxChunk = std::size_t{1} << 20;

}  // namespace

FileImage& FileImage::operator=(FileImage&& other) noexcept {
  pieces_ = std::exchange(other.pieces_, {});
  owned_ = std::exchange(other.owned_, {});
  chunk_ = std::exchange(other.chunk_, nullptr);
  copied_ = std::exchange(other.copied_, 0);
  size_ = std::exchange(other.size_, 0);
  inputs_ = std::exchange(other.inputs_, 0);
  return *this;
}

void FileImage::add(Kind kind, const std::uint8_t* data, std::size_t size) {
  pieces_.push_back({data, size, kind});
  size_ += size;
}

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
  add(Kind::View, bytes.data(), bytes.size());
}

void FileImage::append_run(Bytes bytes) {
  const bool continues_view = !pieces_.empty() && pieces_.back().kind == Kind::View &&
                              pieces_.back().data + pieces_.back().size == bytes.data();
  if (bytes.size() < kShortRun && !continues_view) {
    append_copy(bytes);
  } else {
    append_view(bytes);
  }
}

void FileImage::append_copy(Bytes bytes) {
  while (!bytes.empty()) {
    if (chunk_ == nullptr || chunk_->size() == chunk_->capacity()) {
      chunk_ = &owned_.emplace_front();
      chunk_->reserve(std::clamp(std::max(copied_, bytes.size()), kMinChunk, kMaxChunk));
    }
    const std::size_t n = std::min(bytes.size(), chunk_->capacity() - chunk_->size());
    const std::size_t offset = chunk_->size();
    // Within the capacity: the chunk's bytes stay where they are.
    chunk_->append(as_text(bytes.first(n)));
    const std::uint8_t* at = as_bytes(*chunk_).data() + offset;
    Piece* last = pieces_.empty() ? nullptr : &pieces_.back();
    if (offset != 0 && last != nullptr && last->kind == Kind::Copy && last->data + last->size == at) {
      last->size += n;
      size_ += n;
    } else {
      add(Kind::Copy, at, n);
    }
    copied_ += n;
    bytes = bytes.subspan(n);
  }
}

void FileImage::append_owned(std::string bytes) {
  if (bytes.empty()) return;
  const std::string& owned = owned_.emplace_front(std::move(bytes));
  add(Kind::Owned, as_bytes(owned).data(), owned.size());
}

void FileImage::append_zeros(std::size_t count) {
  if (count == 0) return;
  if (!pieces_.empty() && pieces_.back().kind == Kind::Zeros) {
    pieces_.back().size += count;
    size_ += count;
  } else {
    add(Kind::Zeros, nullptr, count);
  }
}

void FileImage::append_input(std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return;
  if (!pieces_.empty()) {
    Piece& last = pieces_.back();
    if (last.kind == Kind::Input && last.offset + last.size == offset) {
      last.size += length;
      size_ += length;
      return;
    }
  }
  pieces_.push_back({nullptr, length, Kind::Input, offset});
  size_ += length;
  ++inputs_;
}

void FileImage::append_from(const View& model, std::uint64_t offset, std::uint64_t length, bool run) {
  if (const std::optional<Bytes> bytes = model.present(offset, length)) return append_bytes(*bytes, run);
  // What the front holds of them is at hand; the rest is named.
  const Bytes front = model.front();
  if (offset < front.size()) {
    const Bytes head = front.subspan(offset);
    append_bytes(head, run);
    offset += head.size();
    length -= head.size();
  }
  append_input(offset, length);
}

FileImage::PieceView FileImage::piece(std::size_t index) const {
  const Piece& piece = pieces_[index];
  if (piece.kind == Kind::Zeros) return {{}, piece.size};
  if (piece.kind == Kind::Input) return {{}, 0, ByteRange{piece.offset, piece.size}};
  return {{piece.data, piece.size}, 0};
}

void FileImage::write_to(std::uint8_t* out, Bytes input) const {
  for (const Piece& piece : pieces_) {
    if (piece.kind == Kind::Zeros) {
      std::memset(out, 0, piece.size);
    } else if (piece.kind == Kind::Input) {
      assert(piece.offset <= input.size() && piece.size <= input.size() - piece.offset);
      std::memcpy(out, input.data() + piece.offset, piece.size);
    } else {
      std::memcpy(out, piece.data, piece.size);
    }
    out += piece.size;
  }
}

std::string FileImage::to_string(Bytes input) const {
  std::string out(size_, '\0');
  write_to(reinterpret_cast<std::uint8_t*>(out.data()), input);
  return out;
}

}  // namespace quillon
