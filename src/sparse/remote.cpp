#include "sparse/remote.hpp"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <utility>

#include "base/view.hpp"

namespace quillon::sparse {
namespace {


// The bytes of a model fetched so far, as disjoint pieces with no two
// adjacent: the one at offset 0 (possibly empty), then the others by offset.
// A fetch writes into the piece it goes on from, or a new one, in place.
class Pieces {
 public:
  // Gathers the front in `buffer`, emptied first, when given.
  explicit Pieces(std::uint64_t size, Buffer* buffer = nullptr) : size_(size), shared_front_(buffer) {
    if (shared_front_ != nullptr) shared_front_->truncate(0);
  }

  View view(Need* need) const { return View(size_, front().bytes(), rest_view_, need); }

  // Fetches a range that holds the first absent byte of `need` and as many
  // of the bytes after it as the window policy asks for.
  Result<Ok> fetch(const Remote& model, const Need& need, Traffic& traffic) {
    std::uint64_t start = need.offset;
    std::uint64_t before = 0;  // the bytes of the piece the fetch goes on from
    Buffer* into = nullptr;    // that piece
    if (start <= front().size()) {
      start = front().size();
      before = front().size();
      into = &front();
    } else if (auto piece = piece_before(start); piece != rest_.end() && start <= end_of(*piece)) {
      start = end_of(*piece);
      before = piece->second.size();
      into = &piece->second;
    }
    std::uint64_t limit = size_;
    if (auto next = rest_.upper_bound(start); next != rest_.end()) limit = next->first;
    const std::uint64_t needed = need.offset + need.length - start;
    const std::uint64_t growth = std::max<std::uint64_t>(model.growth, 1);
    const std::uint64_t grown = before > UINT64_MAX / growth ? UINT64_MAX : before * growth;
    const std::uint64_t want = need.last ? needed : std::max({needed, std::max<std::uint64_t>(model.window, 1), grown});
    if (needed > model.limit - std::min(model.limit, traffic.bytes)) {
      return Error::system_failure(EFBIG, model.name,
                                   "reading it would fetch more than " + std::to_string(model.limit) + " bytes");
    }
    const std::uint64_t length = std::min({want, limit - start, model.limit - traffic.bytes});

    Buffer fresh;
    if (into == nullptr) into = &fresh;
    const std::size_t kept = into->size();
    std::uint8_t* room = into->extend(length);
    if (room == nullptr) return Error::system_failure(ENOMEM, model.name);
    Result<Ok> fetched = fetch_into(model, start, length, room);
    if (!fetched) {
      into->truncate(kept);
      refresh();  // the piece may have moved
      return fetched;
    }
    ++traffic.requests;
    traffic.bytes += length;
    if (into == &fresh) rest_.emplace(start, std::move(fresh));
    if (!join()) return Error::system_failure(ENOMEM, model.name);
    return Ok{};
  }

 private:
  using Map = std::map<std::uint64_t, Buffer>;

  static std::uint64_t end_of(const Map::value_type& piece) { return piece.first + piece.second.size(); }

  Buffer& front() { return shared_front_ != nullptr ? *shared_front_ : own_front_; }
  const Buffer& front() const { return shared_front_ != nullptr ? *shared_front_ : own_front_; }

  // The last piece of rest_ that starts at or before `offset`.
  Map::iterator piece_before(std::uint64_t offset) {
    auto after = rest_.upper_bound(offset);
    return after == rest_.begin() ? rest_.end() : std::prev(after);
  }

  // Writes the `length` bytes at `start` to `into`, through the model's
  // in-place fetch or a copy of what its fetch returns.
  static Result<Ok> fetch_into(const Remote& model, std::uint64_t start, std::uint64_t length, std::uint8_t* into) {
    if (model.fetch_into) return model.fetch_into(start, length, into);
    Result<std::string> bytes = model.fetch(start, length);
    if (!bytes) return std::move(bytes).error();
    if (bytes->size() != length) {
      return Error::system_failure(EIO, model.name,
                                   "fetched " + std::to_string(bytes->size()) + " bytes where " +
                                       std::to_string(length) + " were asked at offset " + std::to_string(start));
    }
    std::copy(bytes->begin(), bytes->end(), into);
    return Ok{};
  }

  // Joins pieces that now touch: one that begins where the front or
  // another piece ends is appended to it. False when out of memory.
  bool join() {
    bool joined = true;
    for (auto it = rest_.begin(); it != rest_.end();) {
      if (it->first == front().size()) {
        if (!front().append(it->second.bytes())) {
          joined = false;
          break;
        }
        it = rest_.erase(it);
      } else if (auto next = std::next(it); next != rest_.end() && next->first == end_of(*it)) {
        if (!it->second.append(next->second.bytes())) {
          joined = false;
          break;
        }
        rest_.erase(next);
      } else {
        ++it;
      }
    }
    refresh();
    return joined;
  }

  void refresh() {
    rest_view_.clear();
    for (const auto& [offset, piece] : rest_) rest_view_.push_back(Piece{offset, piece.bytes()});
  }

  std::uint64_t size_;
  Buffer own_front_;
  Buffer* shared_front_;
  Map rest_;
  std::vector<Piece> rest_view_;
};

// Runs `operation` over the pieces of `model`, fetching what it needs,
// until it completes without a need.
template <class Operation>
auto run(const Remote& model, Traffic* traffic, Operation operation) -> decltype(operation(View(Bytes{}))) {
  Pieces pieces(model.size, model.buffer);
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

std::uint8_t* Buffer::extend(std::uint64_t length) {
  if (length > SIZE_MAX - size_) return nullptr;
  const std::size_t size = size_ + static_cast<std::size_t>(length);
  if (size > capacity_) {
    const std::size_t capacity = std::max(size, capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2);
    std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[capacity]);
    if (data == nullptr) return nullptr;
    if (size_ > 0) std::copy_n(data_.get(), size_, data.get());
    data_ = std::move(data);
    capacity_ = capacity;
  }
  std::uint8_t* end = data_.get() + size_;
  size_ = size;
  return end;
}

bool Buffer::append(Bytes bytes) {
  std::uint8_t* room = extend(bytes.size());
  if (room == nullptr) return false;
  std::copy(bytes.begin(), bytes.end(), room);
  return true;
}

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

Result<std::vector<StorePatch>> store_patches(const Remote& model, Bytes store, Traffic* traffic) {
  return run(model, traffic, [&](const View& view) { return quillon::patch_store(view, store); });
}

Result<SetFacts> set_facts(const Remote& model, Traffic* traffic) {
  return run(model, traffic, [](const View& view) { return quillon::set_facts(view); });
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
