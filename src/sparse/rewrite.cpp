#include "sparse/rewrite.hpp"

namespace quillon::sparse {

std::vector<Rewrite::Part> Rewrite::parts() const {
  std::vector<Part> parts;
  parts.reserve(image_.piece_count());
  const auto carry = [&parts](ByteRange range) {
    if (!parts.empty() && parts.back().input) {
      ByteRange& last = *parts.back().input;
      if (last.start + last.length == range.start) {
        last.length += range.length;
        return;
      }
    }
    parts.push_back({range, {}, 0});
  };
  for (std::size_t i = 0; i < image_.piece_count(); ++i) {
    const FileImage::PieceView piece = image_.piece(i);
    if (piece.input) {
      carry(*piece.input);
    } else if (piece.bytes.empty()) {
      parts.push_back({std::nullopt, {}, piece.zeros});
    } else if (const std::optional<std::uint64_t> at = fetched_.find(piece.bytes)) {
      carry({*at, piece.bytes.size()});
    } else {
      parts.push_back({std::nullopt, piece.bytes, 0});
    }
  }
  return parts;
}

}  // namespace quillon::sparse
