#include "gguf/gguf.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "format/probe.hpp"
#include "utf8/utf8.hpp"

namespace quillon::gguf {
namespace {

// The smallest metadata entry: key length, type code and a one-byte value.
constexpr std::uint64_t kMinEntrySize = 8 + 4 + 1;

Error unexpected_end() { return Error::malformed_container("unexpected end of GGUF data"); }

Error bad_value_type(std::uint32_t type) {
  return Error::malformed_container("bad value type " + std::to_string(type));
}

// The encoded width of a fixed-width value type; 0 for STRING, ARRAY and
// unknown codes.
std::uint64_t fixed_width(std::uint32_t type) {
  switch (type) {
    case kUint8: case kInt8: case kBool: return 1;
    case kUint16: case kInt16: return 2;
    case kUint32: case kInt32: case kFloat32: return 4;
    case kUint64: case kInt64: case kFloat64: return 8;
    default: return 0;
  }
}

// The bytes of `data` in [begin, end).
Bytes span_of(Bytes data, std::uint64_t begin, std::uint64_t end) {
  return data.subspan(begin, end - begin);
}

}  // namespace

Result<std::uint32_t> Cursor::u32() {
  if (data_.size() - pos_ < 4) return unexpected_end();
  const std::uint32_t value = load_le<std::uint32_t>(data_.data() + pos_);
  pos_ += 4;
  return value;
}

Result<std::uint64_t> Cursor::u64() {
  if (data_.size() - pos_ < 8) return unexpected_end();
  const std::uint64_t value = load_le<std::uint64_t>(data_.data() + pos_);
  pos_ += 8;
  return value;
}

Result<Bytes> Cursor::take(std::uint64_t n) {
  if (n > data_.size() - pos_) return unexpected_end();
  const Bytes view = data_.subspan(pos_, n);
  pos_ += n;
  return view;
}

Result<std::string_view> Cursor::gguf_string() {
  Result<std::uint64_t> length = u64();
  if (!length) return std::move(length).error();
  Result<Bytes> bytes = take(*length);
  if (!bytes) return std::move(bytes).error();
  if (!is_utf8(*bytes)) return Error::malformed_container("metadata key is not UTF-8");
  return as_text(*bytes);
}

Result<Ok> Cursor::skip_elements(std::uint32_t type, std::uint64_t count) {
  if (count == 0) return Ok{};
  if (const std::uint64_t width = fixed_width(type)) {
    // count * width could wrap; compare against what is left instead.
    if (count > (data_.size() - pos_) / width) return unexpected_end();
    pos_ += count * width;
    return Ok{};
  }
  if (type != kString) return bad_value_type(type);
  // Each string carries its own length. Every one takes at least 8 bytes,
  // so a huge count runs out of input quickly.
  // Vocabularies hold 10^5 strings: a bare loop, no Result per string.
  const std::uint8_t* const base = data_.data();
  const std::uint64_t size = data_.size();
  std::uint64_t pos = pos_;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (size - pos < 8) return unexpected_end();
    const std::uint64_t length = load_le<std::uint64_t>(base + pos);
    pos += 8;
    if (length > size - pos) return unexpected_end();
    pos += length;
  }
  pos_ = pos;
  return Ok{};
}

Result<Ok> Cursor::skip_value(std::uint32_t type) {
  // Arrays of arrays open a level on an explicit stack holding the number of
  // elements still to skip at each level. Each level costs 12 input bytes, so
  // the stack stays proportional to the input and the call stack is flat.
  std::vector<std::uint64_t> open_levels;
  for (;;) {
    if (type == kArray) {
      Result<std::uint32_t> element_type = u32();
      if (!element_type) return std::move(element_type).error();
      Result<std::uint64_t> count = u64();
      if (!count) return std::move(count).error();
      if (*count != 0 && *element_type == kArray) {
        open_levels.push_back(*count);
        continue;  // the next value is this array's first element
      }
      Result<Ok> skipped = skip_elements(*element_type, *count);
      if (!skipped) return skipped;
    } else {
      Result<Ok> skipped = skip_elements(type, 1);
      if (!skipped) return skipped;
    }
    // One value is complete: it is an element of the innermost open array,
    // whose completion in turn completes an element of the one around it.
    while (!open_levels.empty() && --open_levels.back() == 0) open_levels.pop_back();
    if (open_levels.empty()) return Ok{};
    type = kArray;
  }
}

std::optional<std::uint32_t> read_u32_value(Bytes raw) {
  if (raw.size() < 8 || load_le<std::uint32_t>(raw.data()) != kUint32) return std::nullopt;
  return load_le<std::uint32_t>(raw.data() + 4);
}

Result<Gguf> Gguf::parse(Bytes bytes) {
  const std::uint64_t n = bytes.size();
  if (n < 4) return unexpected_end();
  if (!has_gguf_magic(bytes)) return Error::malformed_container("not a GGUF file");
  if (n < 8) return unexpected_end();
  Gguf gguf;
  gguf.version = load_le<std::uint32_t>(bytes.data() + 4);
  if (gguf.version != 2 && gguf.version != 3) {
    return Error::malformed_container("unsupported GGUF version " + std::to_string(gguf.version));
  }
  if (n < kHeaderSize) return unexpected_end();
  gguf.tensor_count = load_le<std::uint64_t>(bytes.data() + 8);
  const std::uint64_t kv_count = load_le<std::uint64_t>(bytes.data() + 16);
  Cursor cursor(bytes, kHeaderSize);

  // The count is untrusted: reserve only what the remaining bytes could hold.
  gguf.kvs.reserve(std::min(kv_count, (n - kHeaderSize) / kMinEntrySize));
  for (std::uint64_t i = 0; i < kv_count; ++i) {
    const std::uint64_t entry_start = cursor.pos();
    Result<std::string_view> key = cursor.gguf_string();
    if (!key) return std::move(key).error();
    const std::uint64_t raw_start = cursor.pos();
    Result<std::uint32_t> type = cursor.u32();
    if (!type) return std::move(type).error();
    Result<Ok> skipped = cursor.skip_value(*type);
    if (!skipped) return std::move(skipped).error();
    const Kv kv{*key, span_of(bytes, raw_start, cursor.pos()), span_of(bytes, entry_start, cursor.pos()), {}, false};
    if (kv.key == kAlignmentKey) {
      const std::optional<std::uint32_t> alignment = read_u32_value(kv.raw);
      if (alignment && *alignment != 0) gguf.alignment = *alignment;
    }
    gguf.kvs.push_back(kv);
  }

  // Tensor descriptions are only walked: name, dimension count, dimensions,
  // type, offset. None of the values is checked.
  const std::uint64_t info_start = cursor.pos();
  for (std::uint64_t i = 0; i < gguf.tensor_count; ++i) {
    Result<std::string_view> name = cursor.gguf_string();
    if (!name) return std::move(name).error();
    Result<std::uint32_t> dims = cursor.u32();
    if (!dims) return std::move(dims).error();
    Result<Bytes> shape = cursor.take(std::uint64_t{*dims} * 8);
    if (!shape) return std::move(shape).error();
    Result<std::uint32_t> tensor_type = cursor.u32();
    if (!tensor_type) return std::move(tensor_type).error();
    Result<std::uint64_t> offset = cursor.u64();
    if (!offset) return std::move(offset).error();
  }
  const std::uint64_t info_end = cursor.pos();
  gguf.tensor_info = span_of(bytes, info_start, info_end);

  const std::uint64_t remainder = info_end % gguf.alignment;
  const std::uint64_t padding = remainder == 0 ? 0 : gguf.alignment - remainder;
  if (padding > n - info_end) return Error::malformed_container("tensor data offset out of range");
  gguf.tensor_data = bytes.subspan(info_end + padding);
  return gguf;
}

FileImage Gguf::serialize() const {
  FileImage image;
  std::string header;
  header.reserve(kHeaderSize);
  store_le<std::uint32_t>(header, kGgufMagic);
  store_le<std::uint32_t>(header, version);
  store_le<std::uint64_t>(header, tensor_count);
  store_le<std::uint64_t>(header, kvs.size());
  image.append_owned(std::move(header));
  for (const Kv& kv : kvs) {
    // Appended framing belongs to this Gguf, so the image gets its own copy
    // (a few dozen bytes); everything else stays a view.
    if (kv.appended) {
      image.append_owned(std::string(as_text(kv.entry)));
    } else {
      image.append_view(kv.entry);
    }
    image.append_view(kv.payload);
  }
  image.append_view(tensor_info);
  const std::uint64_t remainder = image.size() % alignment;
  image.append_zeros(remainder == 0 ? 0 : alignment - remainder);
  image.append_view(tensor_data);
  return image;
}

void Gguf::append_u8_array(std::string_view key, Bytes elements) {
  std::string framing;
  store_le<std::uint64_t>(framing, key.size());
  framing.append(key);
  store_le<std::uint32_t>(framing, kArray);
  store_le<std::uint32_t>(framing, kUint8);
  store_le<std::uint64_t>(framing, elements.size());
  append(std::move(framing), key.size(), elements);
}

void Gguf::append_string(std::string_view key, Bytes text) {
  std::string framing;
  store_le<std::uint64_t>(framing, key.size());
  framing.append(key);
  store_le<std::uint32_t>(framing, kString);
  store_le<std::uint64_t>(framing, text.size());
  append(std::move(framing), key.size(), text);
}

void Gguf::append(std::string framing, std::size_t key_size, Bytes payload) {
  const Bytes entry = as_bytes(framings_.emplace_front(std::move(framing)));
  const Bytes key = entry.subspan(8, key_size);
  kvs.push_back(Kv{as_text(key), entry.subspan(8 + key_size), entry, payload, true});
}

}  // namespace quillon::gguf
