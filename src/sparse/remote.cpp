#include "sparse/remote.hpp"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <map>
#include <memory>
#include <utility>

#include "base/view.hpp"

namespace quillon::sparse {
namespace {

// A fetch that goes on from the bytes just before it is at least this many
// times as long as they are, so that a walk from the start of n bytes takes
// a logarithmic number of requests: the bytes at hand grow eightfold with
// each request. Fourfold growth (256 KiB, 1.25 MiB, 6.25 MiB, 31 MiB)
// took four requests and 33 MB for the 7 MB of metadata of a 256k-token
// vocabulary with scores and token types (bench/remote.py); eightfold takes
// three and 16 MiB.
constexpr std::uint64_t kGrowth = 7;

// The bytes of a model fetched so far, as disjoint pieces with no two
// adjacent: the one at offset 0 (possibly empty), then the others by offset.
class Pieces {
 public:
  explicit Pieces(std::uint64_t size) : size_(size) {}

  View view(Need* need) const { return View(size_, as_bytes(front_), rest_view_, need); }

  // Fetches a range that holds the first absent byte of `need` and as many
  // of the bytes after it as the window policy asks for.
  Result<Ok> fetch(const Remote& model, const Need& need, Traffic& traffic) {
    std::uint64_t start = need.offset;
    std::uint64_t before = 0;  // the bytes of the piece the fetch goes on from
    if (start <= front_.size()) {
      start = front_.size();
      before = front_.size();
    } else if (auto piece = piece_before(start); piece != rest_.end() && start <= end_of(*piece)) {
      start = end_of(*piece);
      before = piece->second.size();
    }
    std::uint64_t limit = size_;
    if (auto next = rest_.upper_bound(start); next != rest_.end()) limit = next->first;
    const std::uint64_t needed = need.offset + need.length - start;
    const std::uint64_t grown = before > UINT64_MAX / kGrowth ? UINT64_MAX : before * kGrowth;
    const std::uint64_t want = need.last ? needed : std::max({needed, std::max<std::uint64_t>(model.window, 1), grown});
    if (needed > model.limit - std::min(model.limit, traffic.bytes)) {
      return Error::system_failure(EFBIG, model.name,
                                   "reading it would fetch more than " + std::to_string(model.limit) + " bytes");
    }
    const std::uint64_t length = std::min({want, limit - start, model.limit - traffic.bytes});

    Result<std::string> bytes = model.fetch(start, length);
    if (!bytes) return std::move(bytes).error();
    ++traffic.requests;
    if (bytes->size() != length) {
      return Error::system_failure(EIO, model.name,
                                   "fetched " + std::to_string(bytes->size()) + " bytes where " +
                                       std::to_string(length) + " were asked at offset " + std::to_string(start));
    }
    traffic.bytes += length;
    add(start, std::move(*bytes));
    return Ok{};
  }

 private:
  using Map = std::map<std::uint64_t, std::string>;

  static std::uint64_t end_of(const Map::value_type& piece) { return piece.first + piece.second.size(); }

  // The last piece of rest_ that starts at or before `offset`.
  Map::iterator piece_before(std::uint64_t offset) {
    auto after = rest_.upper_bound(offset);
    return after == rest_.begin() ? rest_.end() : std::prev(after);
  }

  // Places the bytes at `start`, which begin right after a piece or in a
  // gap, and joins pieces that now touch.
  void add(std::uint64_t start, std::string bytes) {
    if (start == front_.size()) {
      front_ += bytes;
    } else if (auto piece = piece_before(start); piece != rest_.end() && end_of(*piece) == start) {
      piece->second += bytes;
    } else {
      rest_.emplace(start, std::move(bytes));
    }
    // A piece that begins where the front or another piece ends joins it.
    for (auto it = rest_.begin(); it != rest_.end();) {
      if (it->first == front_.size()) {
        front_ += it->second;
        it = rest_.erase(it);
      } else if (auto next = std::next(it); next != rest_.end() && next->first == end_of(*it)) {
        it->second += next->second;
        rest_.erase(next);
      } else {
        ++it;
      }
    }
    rest_view_.clear();
    for (const auto& [offset, piece] : rest_) rest_view_.push_back(Piece{offset, as_bytes(piece)});
  }

  std::uint64_t size_;
  std::string front_;
  Map rest_;
  std::vector<Piece> rest_view_;
};

// Runs `operation` over the pieces of `model`, fetching what it needs,
// until it completes without a need.
template <class Operation>
auto run(const Remote& model, Traffic* traffic, Operation operation) -> decltype(operation(View(Bytes{}))) {
  Pieces pieces(model.size);
  Traffic counted;
  for (;;) {
    Need need;
    auto result = operation(pieces.view(&need));
    if (!need) {
      if (traffic != nullptr) *traffic = counted;
      return result;
    }
    Result<Ok> fetched = pieces.fetch(model, need, counted);
    if (!fetched) {
      if (traffic != nullptr) *traffic = counted;
      return std::move(fetched).error();
    }
  }
}

}  // namespace

Result<std::optional<Format>> detect_format(const Remote& model, Traffic* traffic) {
  return run(model, traffic,
             [](const View& view) { return Result<std::optional<Format>>(quillon::detect_format(view)); });
}

Result<std::string> read_manifest(const Remote& model, Traffic* traffic) {
  return run(model, traffic, [](const View& view) { return quillon::read_manifest(view); });
}

Result<std::optional<std::string>> read_manifest_uri(const Remote& model, Traffic* traffic) {
  return run(model, traffic, [](const View& view) { return quillon::read_manifest_uri(view); });
}

Result<std::vector<ByteRange>> store_ranges(const Remote& model, Traffic* traffic) {
  return run(model, traffic, [](const View& view) { return quillon::store_ranges(view); });
}

Result<std::uint64_t> store_size(const Remote& model, Traffic* traffic) {
  return run(model, traffic, [](const View& view) { return quillon::store_size(view); });
}

Result<Description> describe(const Remote& model, Traffic* traffic) {
  return run(model, traffic, [](const View& view) { return quillon::describe(view); });
}

namespace {

// `run` for an operation that makes a FileImage: the pieces it views go to
// the Rewrite. They are made on the heap, where they stay when it moves.
template <class Operation>
Result<Rewrite> run_rewrite(const Remote& model, Traffic* traffic, Operation operation) {
  auto pieces = std::make_shared<Pieces>(model.size);
  Traffic counted;
  for (;;) {
    Need need;
    Result<FileImage> image = operation(pieces->view(&need));
    if (!need) {
      if (traffic != nullptr) *traffic = counted;
      if (!image) return std::move(image).error();
      const View fetched = pieces->view(nullptr);
      return Rewrite(std::move(*image), fetched, std::move(pieces));
    }
    Result<Ok> fetched = pieces->fetch(model, need, counted);
    if (!fetched) {
      if (traffic != nullptr) *traffic = counted;
      return std::move(fetched).error();
    }
  }
}

}  // namespace

Result<Rewrite> embed_manifest(const Remote& model, const ManifestSource& source, Traffic* traffic) {
  return run_rewrite(model, traffic, [&](const View& view) { return quillon::embed_manifest(view, source); });
}

Result<Rewrite> remove_manifest(const Remote& model, Traffic* traffic) {
  return run_rewrite(model, traffic, [](const View& view) { return quillon::remove_manifest(view); });
}

Result<Rewrite> patch_store(const Remote& model, Bytes store, Traffic* traffic) {
  return run_rewrite(model, traffic, [&](const View& view) -> Result<FileImage> {
    QUILLON_TRY_ASSIGN(std::vector<StorePatch> patches, quillon::patch_store(view, store));
    // The patches come in file order and do not overlap.
    FileImage image;
    std::uint64_t at = 0;
    for (StorePatch& patch : patches) {
      image.append_input(at, patch.range.start - at);
      image.append_owned(std::move(patch.bytes));
      at = patch.range.start + patch.range.length;
    }
    image.append_input(at, view.size() - at);
    return image;
  });
}

}  // namespace quillon::sparse
