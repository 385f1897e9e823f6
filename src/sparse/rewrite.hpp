// A new model file planned over a model of which only pieces were fetched:
// what embed, remove and patch (remote.hpp) make of it, for a writer that
// composes the new file from the old one where it lies (an object store
// copying ranges of one object into another, a file system's copy).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/bytes.hpp"
#include "base/view.hpp"
#include "manifest/file_image.hpp"
#include "manifest/store_range.hpp"

namespace quillon::sparse {

class Rewrite {
 public:
  // `image` views bytes of `fetched`, whose pieces `keep` owns, and any
  // bytes of the caller's (a source's store and URI).
  Rewrite(FileImage image, View fetched, std::shared_ptr<const void> keep)
      : image_(std::move(image)), fetched_(fetched), keep_(std::move(keep)) {}

  // The new file: views of the fetched bytes, new bytes, zeros and ranges
  // of the model that were never fetched. Resolve those against the whole
  // model (`image().to_string(model)`) for the bytes of the new file.
  const FileImage& image() const { return image_; }

  // One part of the new file: a range of the model carried over, or new
  // bytes, or a run of zeros.
  struct Part {
    std::optional<ByteRange> input;
    Bytes bytes;
    std::uint64_t zeros = 0;
  };
  // The new file in order, every byte it takes from the model (fetched or
  // not) as a range of the model, neighbouring ranges that continue each
  // other joined. The bytes are borrowed from this Rewrite (or the caller).
  std::vector<Part> parts() const;

 private:
  FileImage image_;
  View fetched_;
  std::shared_ptr<const void> keep_;
};

}  // namespace quillon::sparse
