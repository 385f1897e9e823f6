#include "safetensors/manifest.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "base/utf8.hpp"
#include "base64/base64.hpp"
#include "json/walk.hpp"
#include "manifest/store_codec.hpp"
#include "safetensors/header.hpp"

namespace quillon::safetensors {
namespace {

using Kind = json::Kind;

constexpr std::string_view kMetadataKey = "__metadata__";
// Store bytes encoded per step when a store is written into a header: a
// multiple of 3, so the pieces of Base64 join without padding in between.
constexpr std::size_t kStoreChunk = 3 * 64 * 1024;

// How an operation reports a header that is not UTF-8 or not JSON: reading
// the store calls it a broken exclusion, everything else a broken container.
enum class Faults { Container, Exclusion };

// The header's text, checked to be UTF-8, and where it lies in the file.
struct Header {
  std::string_view text;
  HeaderBounds bounds;
};

Result<Header> header_of(const View& model, Faults faults) {
  QUILLON_TRY_ASSIGN(const HeaderBounds bounds, header_bounds(model));
  // Nothing after the header is ever read.
  const std::optional<Bytes> bytes = model.bytes(bounds.start, bounds.end - bounds.start, true);
  if (!bytes) return View::absent();
  const std::string_view text = as_text(*bytes);
  if (!is_utf8(text)) {
    return faults == Faults::Exclusion ? Error::malformed_exclusion("header is not UTF-8")
                                       : Error::malformed_container("header is not UTF-8");
  }
  return Header{text, bounds};
}

// Walks the header text with `sink`; a JSON error becomes the operation's own.
template <class Sink>
Result<Ok> walk_header(const Header& header, Sink& sink, Faults faults) {
  std::string message = json::walk(header.text, sink);
  if (message.empty()) return Ok{};
  if (faults == Faults::Exclusion) {
    return Error::malformed_exclusion("header length field does not span valid JSON: " + message);
  }
  return Error::malformed_container(std::move(message));
}

Error not_an_object() { return Error::malformed_container("header is not a JSON object"); }

// The store scan: every "c2pa:manifest" string value standing directly in a
// "__metadata__" object, at any depth and in every such object, keys
// compared as the raw bytes between their quotation marks. A
// "__metadata__" object nested in another takes over, and when it closes
// the scan is outside any metadata until the next one opens.
class StoreScan {
 public:
  void begin(Kind container) {
    ++depth_;
    if (container == Kind::Object && pending_key_ == kMetadataKey) {
      in_metadata_ = true;
      metadata_depth_ = depth_;
    }
    pending_key_ = {};
  }
  void end(Kind) {
    if (in_metadata_ && metadata_depth_ == depth_) in_metadata_ = false;
    --depth_;
    pending_key_ = {};
  }
  void key(std::string_view raw) { pending_key_ = raw; }
  void scalar(Kind kind, std::string_view raw) {
    if (kind == Kind::String && in_metadata_ && metadata_depth_ == depth_ && pending_key_ == kManifestKey) {
      if (found_++ == 0) first_ = raw;
    }
    pending_key_ = {};
  }

  std::size_t found() const { return found_; }
  // The raw Base64 text of the first store found.
  std::string_view first() const { return first_; }

 private:
  std::size_t depth_ = 0;
  // The key whose value comes next; empty, which no key searched for is,
  // when there is none.
  std::string_view pending_key_;
  bool in_metadata_ = false;
  std::size_t metadata_depth_ = 0;
  std::size_t found_ = 0;
  std::string_view first_;
};

// The URI read: the first "c2pa:manifest.uri" member of the first top-level
// "__metadata__" member, keys compared with their escapes resolved. Absent
// unless both are there, the metadata is an object and the URI a string.
class UriFind {
 public:
  void begin(Kind container) {
    if (depth_++ == 0) root_is_object_ = container == Kind::Object;
    if (next_is_metadata_) in_metadata_ = container == Kind::Object;
    next_is_metadata_ = next_is_uri_ = false;
  }
  void end(Kind) {
    if (depth_-- == 2) in_metadata_ = false;
  }
  void key(std::string_view raw) {
    if (depth_ == 1 && !metadata_seen_ && json::raw_equals(raw, kMetadataKey)) {
      metadata_seen_ = next_is_metadata_ = true;
    } else if (depth_ == 2 && in_metadata_ && !uri_seen_ && json::raw_equals(raw, kManifestUriKey)) {
      uri_seen_ = next_is_uri_ = true;
    }
  }
  void scalar(Kind kind, std::string_view raw) {
    if (next_is_uri_ && kind == Kind::String) json::unescape(uri_.emplace(), raw);
    next_is_metadata_ = next_is_uri_ = false;
  }

  bool root_is_object() const { return root_is_object_; }
  std::optional<std::string>& uri() { return uri_; }

 private:
  std::size_t depth_ = 0;
  bool root_is_object_ = false;
  bool metadata_seen_ = false;
  bool next_is_metadata_ = false;
  bool in_metadata_ = false;  // inside the first top-level metadata object
  bool uri_seen_ = false;
  bool next_is_uri_ = false;
  std::optional<std::string> uri_;
};

// The streaming rewrite of embed and remove: copies the header to `out` in
// compact form, as the tree writer would write it, without building a tree.
// In the first top-level "__metadata__" object it drops every C2PA member
// and, when embedding, appends the new ones at its close; an embed into a
// header without one appends the object at the root's close. A remove that
// leaves the object empty takes the whole member back out of `out`.
//
// The only state per open level is the depth: the edits all happen at the
// levels of the root and of that one metadata object.
class Rewrite {
 public:
  // `source` is null for a remove.
  Rewrite(std::string& out, const ManifestSource* source) : out_(out), source_(source) {}

  void begin(Kind container) {
    if (depth_ == 0) root_is_object_ = container == Kind::Object;
    if (!root_is_object_) return;
    if (dropping_) {
      ++depth_;
      return;
    }
    if (next_is_metadata_) {
      next_is_metadata_ = false;
      in_metadata_ = container == Kind::Object;
      metadata_is_object_ = in_metadata_;
    }
    separate();
    out_ += container == Kind::Array ? '[' : '{';
    ++depth_;
  }

  void end(Kind container) {
    if (!root_is_object_) return;
    if (dropping_) {
      dropping_ = --depth_ != kMetadataDepth;
      return;
    }
    if (in_metadata_ && depth_ == kMetadataDepth) {
      in_metadata_ = false;
      close_metadata();
    } else {
      if (depth_ == 1 && source_ && !metadata_seen_) {
        write_member_key(kMetadataKey);
        out_ += '{';
        close_metadata();
      }
      out_ += container == Kind::Array ? ']' : '}';
    }
    --depth_;
  }

  void key(std::string_view raw) {
    if (!root_is_object_ || dropping_) return;
    if (depth_ == 1 && !metadata_seen_ && json::raw_equals(raw, kMetadataKey)) {
      metadata_seen_ = next_is_metadata_ = true;
      metadata_mark_ = out_.size();
    } else if (depth_ == kMetadataDepth && in_metadata_ &&
               (json::raw_equals(raw, kManifestKey) || json::raw_equals(raw, kManifestUriKey))) {
      dropping_ = true;  // until this member's value is complete
      return;
    }
    separate();
    json::write_raw_string(out_, raw);
    out_ += ':';
  }

  void scalar(Kind kind, std::string_view raw) {
    if (!root_is_object_) return;
    if (dropping_) {
      dropping_ = depth_ != kMetadataDepth;
      return;
    }
    next_is_metadata_ = false;
    separate();
    if (kind == Kind::String) {
      json::write_raw_string(out_, raw);
    } else {
      out_ += raw;
    }
  }

  bool root_is_object() const { return root_is_object_; }
  // False when the first top-level "__metadata__" holds anything but an object.
  bool metadata_is_object() const { return !metadata_seen_ || metadata_is_object_; }

 private:
  static constexpr std::size_t kMetadataDepth = 2;

  // The ',' in front of a value or member that follows a sibling.
  void separate() {
    if (depth_ == 0) return;
    const char last = out_.back();
    if (last != '[' && last != '{' && last != ':') out_ += ',';
  }

  void write_member_key(std::string_view key) {
    separate();
    json::write_string(out_, key);
    out_ += ':';
  }

  // At the metadata object's close, with its '{' and kept members written.
  void close_metadata() {
    if (!source_) {
      if (out_.back() == '{') {
        out_.resize(metadata_mark_);  // nothing left in it: the member goes
      } else {
        out_ += '}';
      }
      return;
    }
    if (source_->store) {
      write_member_key(kManifestKey);
      out_ += '"';
      const Bytes store = as_bytes(*source_->store);
      for (std::size_t at = 0; at < store.size(); at += kStoreChunk) {
        out_ += base64::encode(store.subspan(at, std::min(kStoreChunk, store.size() - at)));
      }
      out_ += '"';
    }
    if (source_->uri) {
      write_member_key(kManifestUriKey);
      json::write_string(out_, *source_->uri);
    }
    out_ += '}';
  }

  std::string& out_;
  const ManifestSource* source_;
  std::size_t depth_ = 0;
  bool root_is_object_ = false;
  bool metadata_seen_ = false;      // the first top-level "__metadata__" key was met
  bool next_is_metadata_ = false;   // its value comes next
  bool metadata_is_object_ = false;
  bool in_metadata_ = false;        // inside that value, an object
  std::size_t metadata_mark_ = 0;   // where that member begins in `out_`
  bool dropping_ = false;           // inside a C2PA member of that object
};

// The new file: length field and compact header rewritten from `model`,
// then the tensor data from the model, never read. `source` is null for
// remove.
Result<FileImage> rewrite(const View& model, const ManifestSource* source) {
  QUILLON_TRY_ASSIGN(const Header header, header_of(model, Faults::Container));
  std::size_t added = 64;  // keys, quotation marks and separators of new members
  if (source && source->store) added += (source->store->size() + 2) / 3 * 4;
  if (source && source->uri) added += source->uri->size();
  std::string head;
  head.reserve(kLengthFieldSize + header.text.size() + added);
  head.assign(kLengthFieldSize, '\0');
  Rewrite sink(head, source);
  QUILLON_TRY(walk_header(header, sink, Faults::Container));
  if (!sink.root_is_object()) return not_an_object();
  if (source && !sink.metadata_is_object()) return Error::malformed_container("__metadata__ is not a JSON object");

  const std::uint64_t size = head.size() - kLengthFieldSize;
  // The safetensors readers refuse larger headers: a stamp must not make a
  // loadable file unloadable (one already past the limit stays as it was).
  if (source && size > kMaxHeaderSize && header.text.size() <= kMaxHeaderSize) {
    return Error::manifest_too_large(Format::SafeTensors, "header over " + std::to_string(kMaxHeaderSize) + " bytes");
  }
  std::string length;
  store_le<std::uint64_t>(length, size);
  head.replace(0, kLengthFieldSize, length);
  FileImage image;
  image.append_owned(std::move(head));
  image.append_from(model, header.bounds.end, model.size() - header.bounds.end);
  return image;
}

// The stored Base64 text of the single "c2pa:manifest" member, as a view
// into `model` (between the quotation marks; escapes are not resolved).
Result<Bytes> store_text(const View& model) {
  QUILLON_TRY_ASSIGN(const Header header, header_of(model, Faults::Exclusion));
  StoreScan scan;
  QUILLON_TRY(walk_header(header, scan, Faults::Exclusion));
  if (scan.found() == 0) return Error::no_manifest();
  if (scan.found() > 1) return Error::duplicate_manifest(Format::SafeTensors);
  return as_bytes(scan.first());
}

Result<std::optional<std::string>> read_uri(const View& model) {
  QUILLON_TRY_ASSIGN(const Header header, header_of(model, Faults::Container));
  UriFind find;
  QUILLON_TRY(walk_header(header, find, Faults::Container));
  if (!find.root_is_object()) return not_an_object();
  return std::move(find.uri());
}

Result<FileImage> embed(const View& model, const ManifestSource& source) {
  if (source.empty()) return Error::empty_source();
  return rewrite(model, &source);
}

Result<FileImage> remove(const View& model) { return rewrite(model, nullptr); }

}  // namespace

constinit const Handler handler = with_store<Base64Store<store_text>>(read_uri, embed, remove);

}  // namespace quillon::safetensors
