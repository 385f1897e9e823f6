#include "safetensors/manifest.hpp"

#include <cstring>
#include <utility>
#include <vector>

#include "base64/base64.hpp"
#include "json/json.hpp"
#include "safetensors/header.hpp"
#include "utf8/utf8.hpp"

namespace quillon::safetensors {
namespace {

constexpr std::string_view kMetadataKey = "__metadata__";

// The parsed header and the tensor data that follows it in the file.
struct Split {
  json::Value header;  // always an Object
  Bytes tensor_data;
  std::size_t header_size;  // of the header text in the file
};

std::string_view header_text(Bytes model, const HeaderBounds& bounds) {
  return as_text(model.subspan(bounds.start, bounds.end - bounds.start));
}

Result<Split> split(Bytes model) {
  Result<HeaderBounds> bounds = header_bounds(model);
  if (!bounds) return std::move(bounds).error();
  const std::string_view text = header_text(model, *bounds);
  if (!is_utf8(text)) return Error::malformed_container("header is not UTF-8");
  json::ParseResult parsed = json::parse(text);
  if (!parsed.ok()) return Error::malformed_container(std::move(parsed.error));
  if (parsed.root.kind() != json::Value::Kind::Object) {
    return Error::malformed_container("header is not a JSON object");
  }
  return Split{std::move(parsed.root), model.subspan(bounds->end), text.size()};
}

// The new file: the length field and compact header as one owned piece, the
// tensor data as a view of the model.
FileImage assemble(const json::Value& header, Bytes tensor_data, std::size_t size_hint) {
  std::string head;
  head.reserve(kLengthFieldSize + size_hint);
  head.assign(kLengthFieldSize, '\0');
  json::write_value(head, header);
  std::string length;
  store_le<std::uint64_t>(length, head.size() - kLengthFieldSize);
  head.replace(0, kLengthFieldSize, length);
  FileImage image;
  image.append_owned(std::move(head));
  image.append_view(tensor_data);
  return image;
}

// The value of the first top-level "__metadata__" member, or nullptr.
json::Value* metadata_of(json::Value& header) {
  json::Member* member = json::object_find(header.members(), kMetadataKey);
  return member ? &member->value : nullptr;
}

void remove_c2pa_members(json::Members& metadata) {
  json::object_remove_all(metadata, kManifestKey);
  json::object_remove_all(metadata, kManifestUriKey);
}

// A byte range [begin, end) within the header text.
struct Range {
  std::size_t begin;
  std::size_t end;
};

// The end of the string whose content starts at `begin`: the first '"' not
// escaped by a backslash. A quotation mark is escaped exactly when an odd run
// of backslashes precedes it inside the string. The header is known to be
// valid JSON, so the string is closed; the text length is returned otherwise.
std::size_t string_end(std::string_view text, std::size_t begin) {
  std::size_t pos = begin;
  for (;;) {
    const void* hit = std::memchr(text.data() + pos, '"', text.size() - pos);
    if (!hit) return text.size();
    const auto quote = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    std::size_t run = 0;
    while (quote - run > begin && text[quote - run - 1] == '\\') ++run;
    if (run % 2 == 0) return quote;
    pos = quote + 1;
  }
}

// The stored Base64 text of every "c2pa:manifest" string member standing
// directly in a "__metadata__" object, at any depth, keys compared as raw
// bytes. Stops at the second one found: more cannot change the outcome.
class StoreScan {
 public:
  explicit StoreScan(std::string_view text) : text_(text) {}

  // The ranges found (none, one, or two meaning "more than one").
  std::vector<Range> run();

 private:
  bool pending_key_is(std::string_view key) const {
    return has_pending_key_ && text_.substr(pending_key_.begin, pending_key_.end - pending_key_.begin) == key;
  }
  void on_string(Range content);
  void on_open(bool is_object);
  void on_close();
  void on_comma();

  std::string_view text_;
  std::vector<bool> open_is_object_;  // one flag per open container, innermost last
  bool key_position_ = false;
  bool has_pending_key_ = false;
  Range pending_key_{};
  bool in_metadata_ = false;
  std::size_t metadata_depth_ = 0;
  std::vector<Range> found_;
};

std::vector<Range> StoreScan::run() {
  for (std::size_t pos = 0; pos < text_.size() && found_.size() < 2; ++pos) {
    switch (text_[pos]) {
      case '"': {
        const std::size_t end = string_end(text_, pos + 1);
        on_string({pos + 1, end});
        pos = end;
        break;
      }
      case '{': on_open(true); break;
      case '[': on_open(false); break;
      case '}': case ']': on_close(); break;
      case ',': on_comma(); break;
      case ':': key_position_ = false; break;
      default: break;
    }
  }
  return std::move(found_);
}

void StoreScan::on_string(Range content) {
  if (key_position_) {
    pending_key_ = content;
    has_pending_key_ = true;
    key_position_ = false;
    return;
  }
  if (in_metadata_ && metadata_depth_ == open_is_object_.size() && pending_key_is(kManifestKey)) {
    found_.push_back(content);
  }
  has_pending_key_ = false;
}

void StoreScan::on_open(bool is_object) {
  if (is_object && pending_key_is(kMetadataKey)) {
    in_metadata_ = true;
    metadata_depth_ = open_is_object_.size() + 1;
  }
  open_is_object_.push_back(is_object);
  key_position_ = is_object;
  has_pending_key_ = false;
}

void StoreScan::on_close() {
  if (in_metadata_ && metadata_depth_ == open_is_object_.size()) in_metadata_ = false;
  if (!open_is_object_.empty()) open_is_object_.pop_back();
  key_position_ = false;
  has_pending_key_ = false;
}

void StoreScan::on_comma() {
  has_pending_key_ = false;
  key_position_ = !open_is_object_.empty() && open_is_object_.back();
}

// The stored Base64 text of the single "c2pa:manifest" member, as a view
// into `model` (between the quotation marks; escapes are not resolved).
Result<Bytes> store_text(Bytes model) {
  Result<HeaderBounds> bounds = header_bounds(model);
  if (!bounds) return std::move(bounds).error();
  const std::string_view text = header_text(model, *bounds);
  if (!is_utf8(text)) return Error::malformed_exclusion("header is not UTF-8");
  const std::string invalid = json::validate(text);
  if (!invalid.empty()) {
    return Error::malformed_exclusion("header length field does not span valid JSON: " + invalid);
  }

  const std::vector<Range> found = StoreScan(text).run();
  if (found.empty()) return Error::no_manifest();
  if (found.size() > 1) return Error::duplicate_manifest(Format::SafeTensors);
  return model.subspan(bounds->start + found[0].begin, found[0].end - found[0].begin);
}

Result<std::string> decode_store(Bytes text) {
  std::optional<std::string> store = base64::decode(as_text(text));
  if (!store) return Error::malformed_reference("value is not valid Base64");
  return std::move(*store);
}

}  // namespace

Result<std::string> read_store(Bytes model) {
  Result<Bytes> text = store_text(model);
  if (!text) return std::move(text).error();
  return decode_store(*text);
}

Result<std::vector<ByteRange>> store_ranges(Bytes model) {
  Result<Bytes> text = store_text(model);
  if (!text) return std::move(text).error();
  // A range is only worth handing out when the store there reads back.
  Result<std::string> store = decode_store(*text);
  if (!store) return std::move(store).error();
  return std::vector<ByteRange>{{static_cast<std::uint64_t>(text->data() - model.data()), text->size()}};
}

std::string encode_store(Bytes store) { return base64::encode(store); }

Result<std::optional<std::string>> read_uri(Bytes model) {
  Result<Split> parts = split(model);
  if (!parts) return std::move(parts).error();
  const json::Value* metadata = metadata_of(parts->header);
  if (!metadata || metadata->kind() != json::Value::Kind::Object) return std::optional<std::string>();
  const json::Member* uri = json::object_find(metadata->members(), kManifestUriKey);
  if (!uri || uri->value.kind() != json::Value::Kind::String) return std::optional<std::string>();
  return std::optional<std::string>(uri->value.text());
}

Result<FileImage> embed(Bytes model, const ManifestSource& source) {
  if (source.empty()) return Error::empty_source();
  Result<Split> parts = split(model);
  if (!parts) return std::move(parts).error();
  json::Value& header = parts->header;

  json::Value* metadata = metadata_of(header);
  if (!metadata) {
    header.members().push_back(json::Member{std::string(kMetadataKey), json::Value::object()});
    metadata = &header.members().back().value;
  }
  if (metadata->kind() != json::Value::Kind::Object) {
    return Error::malformed_container("__metadata__ is not a JSON object");
  }
  // Every old C2PA member goes, so the new ones always end up last, store
  // before URI.
  json::Members& members = metadata->members();
  remove_c2pa_members(members);
  std::size_t extra = 64;  // keys, quotes and escapes of the new members
  if (source.store) {
    std::string text = base64::encode(as_bytes(*source.store));
    extra += text.size();
    json::object_set(members, kManifestKey, json::Value::string(std::move(text)));
  }
  if (source.uri) {
    extra += source.uri->size();
    json::object_set(members, kManifestUriKey, json::Value::string(*source.uri));
  }
  return assemble(header, parts->tensor_data, parts->header_size + extra);
}

Result<FileImage> remove(Bytes model) {
  Result<Split> parts = split(model);
  if (!parts) return std::move(parts).error();
  json::Value& header = parts->header;

  json::Value* metadata = metadata_of(header);
  if (metadata && metadata->kind() == json::Value::Kind::Object) {
    remove_c2pa_members(metadata->members());
    // Removes this same member: it is the first one with the key.
    if (metadata->members().empty()) json::object_remove(header.members(), kMetadataKey);
  }
  return assemble(header, parts->tensor_data, parts->header_size);
}

}  // namespace quillon::safetensors
