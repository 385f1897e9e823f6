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

void Cursor::fail(Error error) {
  if (!error_) error_ = std::move(error);
}

bool Cursor::has(std::uint64_t n) {
  if (error_) return false;
  if (n <= data_.size() - pos_) return true;
  fail(unexpected_end());
  return false;
}

std::uint32_t Cursor::u32() {
  if (!has(4)) return 0;
  const std::uint32_t value = load_le<std::uint32_t>(data_.data() + pos_);
  pos_ += 4;
  return value;
}

std::uint64_t Cursor::u64() {
  if (!has(8)) return 0;
  const std::uint64_t value = load_le<std::uint64_t>(data_.data() + pos_);
  pos_ += 8;
  return value;
}

Bytes Cursor::take(std::uint64_t n) {
  if (!has(n)) return {};
  const Bytes view = data_.subspan(pos_, n);
  pos_ += n;
  return view;
}

std::string_view Cursor::gguf_string() {
  const Bytes bytes = take(u64());
  if (!failed() && !is_utf8(bytes)) fail(Error::malformed_container("metadata key is not UTF-8"));
  return as_text(bytes);
}

void Cursor::skip_elements(std::uint32_t type, std::uint64_t count) {
  if (count == 0 || failed()) return;
  if (const std::uint64_t width = fixed_width(type)) {
    // count * width could wrap; compare against what is left instead.
    if (count > (data_.size() - pos_) / width) return fail(unexpected_end());
    pos_ += count * width;
    return;
  }
  if (type != kString) return fail(bad_value_type(type));
  // Each string carries its own length. Every one takes at least 8 bytes,
  // so a huge count runs out of input quickly.
  // Vocabularies hold 10^5 strings: a bare loop over the bytes.
  const std::uint8_t* const base = data_.data();
  const std::uint64_t size = data_.size();
  std::uint64_t pos = pos_;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (size - pos < 8) return fail(unexpected_end());
    const std::uint64_t length = load_le<std::uint64_t>(base + pos);
    pos += 8;
    if (length > size - pos) return fail(unexpected_end());
    pos += length;
  }
  pos_ = pos;
}

void Cursor::skip_value(std::uint32_t type) {
  // Arrays of arrays open a level on an explicit stack holding the number of
  // elements still to skip at each level. Each level costs 12 input bytes, so
  // the stack stays proportional to the input and the call stack is flat.
  std::vector<std::uint64_t> open_levels;
  for (;;) {
    if (type == kArray) {
      const std::uint32_t element_type = u32();
      const std::uint64_t count = u64();
      if (failed()) return;
      if (count != 0 && element_type == kArray) {
        open_levels.push_back(count);
        continue;  // the next value is this array's first element
      }
      skip_elements(element_type, count);
    } else {
      skip_elements(type, 1);
    }
    if (failed()) return;
    // One value is complete: it is an element of the innermost open array,
    // whose completion in turn completes an element of the one around it.
    while (!open_levels.empty() && --open_levels.back() == 0) open_levels.pop_back();
    if (open_levels.empty()) return;
    type = kArray;
  }
}

std::optional<std::uint32_t> read_u32_value(Bytes raw) {
  if (raw.size() < 8 || load_le<std::uint32_t>(raw.data()) != kUint32) return std::nullopt;
  return load_le<std::uint32_t>(raw.data() + 4);
}

void Gguf::read_entry(Cursor& cursor, Bytes bytes) {
  const std::uint64_t entry_start = cursor.pos();
  const std::string_view key = cursor.gguf_string();
  const std::uint64_t raw_start = cursor.pos();
  cursor.skip_value(cursor.u32());
  if (cursor.failed()) return;
  const Kv kv{key, span_of(bytes, raw_start, cursor.pos()), span_of(bytes, entry_start, cursor.pos()), {}, false};
  if (kv.key == kAlignmentKey) {
    const std::optional<std::uint32_t> value = read_u32_value(kv.raw);
    if (value && *value != 0) alignment = *value;
  }
  kvs.push_back(kv);
}

namespace {

// Tensor descriptions are only walked: name, dimension count, dimensions,
// type, offset. None of the values is checked.
void skip_tensor_info(Cursor& cursor) {
  cursor.gguf_string();
  cursor.take(std::uint64_t{cursor.u32()} * 8);
  cursor.u32();
  cursor.u64();
}

}  // namespace

Result<Gguf> Gguf::parse(Bytes bytes) {
  Cursor cursor(bytes);
  const bool magic = cursor.u32() == kGgufMagic;
  if (cursor.failed()) return cursor.error();
  if (!magic) return Error::malformed_container("not a GGUF file");
  Gguf gguf;
  gguf.version = cursor.u32();
  if (cursor.failed()) return cursor.error();
  if (gguf.version != 2 && gguf.version != 3) {
    return Error::malformed_container("unsupported GGUF version " + std::to_string(gguf.version));
  }
  gguf.tensor_count = cursor.u64();
  const std::uint64_t kv_count = cursor.u64();

  // The counts are untrusted: reserve only what the remaining bytes could
  // hold, and stop at the first error.
  gguf.kvs.reserve(std::min(kv_count, (bytes.size() - cursor.pos()) / kMinEntrySize));
  for (std::uint64_t i = 0; i < kv_count && !cursor.failed(); ++i) gguf.read_entry(cursor, bytes);
  const std::uint64_t info_start = cursor.pos();
  for (std::uint64_t i = 0; i < gguf.tensor_count && !cursor.failed(); ++i) skip_tensor_info(cursor);
  if (cursor.failed()) return cursor.error();
  const std::uint64_t info_end = cursor.pos();
  gguf.tensor_info = span_of(bytes, info_start, info_end);

  const std::uint64_t remainder = info_end % gguf.alignment;
  const std::uint64_t padding = remainder == 0 ? 0 : gguf.alignment - remainder;
  if (padding > bytes.size() - info_end) return Error::malformed_container("tensor data offset out of range");
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
