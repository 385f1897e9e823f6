// `View`: a model file seen through the pieces of it at hand.
//
// The parsers read a model through a View, never through a bare pointer, so
// that the same code runs on a whole file in memory and on a file known only
// by its size and the byte ranges fetched so far (src/sparse). A View knows
// the file's logical size, which every bound check uses exactly as on the
// whole file, and which bytes are present. Reading bytes that lie within
// the size but are not present records them as the view's need and fails;
// the parser then stops with any error it likes, and whoever owns the need
// fetches the bytes and runs the parse again. A parse that never read an
// absent byte saw exactly what it would have seen in the whole file, so its
// value or error is the in-memory one.
//
// A View made from `Bytes` holds the whole file: nothing is ever absent, and
// it converts implicitly so that callers on memory keep passing bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

#include "base/bytes.hpp"
#include "base/error.hpp"

namespace quillon {

// Bytes of the file present from `offset` on.
struct Piece {
  std::uint64_t offset;
  Bytes bytes;
};

// The first read of absent bytes: `length` bytes from `offset`, all within
// the file, some of them absent. Empty (length 0) while nothing is needed.
struct Need {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  // The parse reads nothing past these bytes: fetching more is waste.
  bool last = false;

  explicit operator bool() const { return length != 0; }
};

class View {
 public:
  // The whole file.
  View(Bytes model) : front_(model), size_(model.size()) {}  // NOLINT: implicit on purpose
  // Anything that views as bytes (a vector of them, say).
  template <class Container>
    requires(std::is_convertible_v<const Container&, Bytes> && !std::is_same_v<Container, Bytes>)
  View(const Container& model) : View(Bytes(model)) {}  // NOLINT: implicit on purpose
  // A file of `size` bytes of which `front` (from offset 0) and `rest`
  // (sorted by offset, disjoint, none at offset 0, all within the size) are
  // present; the first absent read is written to `need`. Everything
  // borrowed must outlive the view and anything read through it.
  View(std::uint64_t size, Bytes front, std::span<const Piece> rest, Need* need)
      : front_(front), size_(size), rest_(rest), need_(need) {}

  std::uint64_t size() const { return size_; }
  // The bytes present from offset 0 on, contiguous: the whole file in memory.
  Bytes front() const { return front_; }

  // The `length` bytes at `offset`, which the caller has checked lie within
  // size(), when one piece holds them all; else records the need (`last`
  // when the parse reads nothing after them) and is absent.
  std::optional<Bytes> bytes(std::uint64_t offset, std::uint64_t length, bool last = false) const {
    if (offset <= front_.size() && length <= front_.size() - offset) return front_.subspan(offset, length);
    return elsewhere(offset, length, last);
  }

  // Records that [offset, offset + length), within size(), is needed; the
  // first record is kept. Does nothing for a view of the whole file.
  void need(std::uint64_t offset, std::uint64_t length, bool last = false) const {
    if (need_ != nullptr && !*need_ && length != 0) *need_ = Need{offset, length, last};
  }

  // The `length` bytes at `offset` when one piece holds them all, as
  // bytes() gives them, but absent without recording a need: for bytes that
  // a caller only carries over, and can name by their offset instead.
  std::optional<Bytes> present(std::uint64_t offset, std::uint64_t length) const {
    if (offset <= front_.size() && length <= front_.size() - offset) return front_.subspan(offset, length);
    return in_rest(offset, length);
  }

  // The file offset of `part`, a view obtained through this View.
  std::uint64_t offset_of(Bytes part) const { return find(part).value_or(0); }
  // The file offset of `part` when it lies within the bytes present; absent
  // for bytes from elsewhere (a source's, a copy).
  std::optional<std::uint64_t> find(Bytes part) const;

  // What a parser returns when it stops at absent bytes. Never seen outside
  // the driver that owns the need: it fetches and parses again.
  static Error absent() { return Error::malformed_container("bytes not at hand"); }

 private:
  std::optional<Bytes> elsewhere(std::uint64_t offset, std::uint64_t length, bool last) const;
  std::optional<Bytes> in_rest(std::uint64_t offset, std::uint64_t length) const;

  Bytes front_;
  std::uint64_t size_;
  std::span<const Piece> rest_;
  Need* need_ = nullptr;
};

}  // namespace quillon
