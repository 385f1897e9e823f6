#include "base/view.hpp"

#include <algorithm>
#include <cstdint>

namespace quillon {

std::optional<Bytes> View::elsewhere(std::uint64_t offset, std::uint64_t length, bool last) const {
  if (std::optional<Bytes> bytes = in_rest(offset, length)) return bytes;
  need(offset, length, last);
  return std::nullopt;
}

std::optional<Bytes> View::in_rest(std::uint64_t offset, std::uint64_t length) const {
  // The last piece that starts at or before `offset`.
  auto after = std::upper_bound(rest_.begin(), rest_.end(), offset,
                                [](std::uint64_t at, const Piece& piece) { return at < piece.offset; });
  if (after != rest_.begin()) {
    const Piece& piece = *(after - 1);
    const std::uint64_t into = offset - piece.offset;
    if (into <= piece.bytes.size() && length <= piece.bytes.size() - into) return piece.bytes.subspan(into, length);
  }
  // An empty read succeeds wherever it lies: it needs no byte.
  if (length == 0) return Bytes{};
  return std::nullopt;
}

std::optional<std::uint64_t> View::find(Bytes part) const {
  // Addresses compared as integers: the pieces are unrelated objects.
  const auto address = [](const std::uint8_t* p) { return reinterpret_cast<std::uintptr_t>(p); };
  const auto within = [&](Bytes piece) {
    return address(part.data()) >= address(piece.data()) &&
           address(part.data()) + part.size() <= address(piece.data()) + piece.size();
  };
  if (within(front_)) return static_cast<std::uint64_t>(part.data() - front_.data());
  for (const Piece& piece : rest_) {
    if (within(piece.bytes)) return piece.offset + static_cast<std::uint64_t>(part.data() - piece.bytes.data());
  }
  return std::nullopt;
}

}  // namespace quillon
