#include "gguf/gguf.hpp"

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "base/utf8.hpp"
#include "gguf/probe.hpp"
#include "manifest/source.hpp"

namespace quillon::gguf {
namespace {

// An array's header: element type code and element count.
constexpr std::uint64_t kArrayHeaderSize = 4 + 8;

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
  run_out(pos_, n);
  return false;
}

void Cursor::run_out(std::uint64_t at, std::uint64_t n) {
  if (n <= view_.size() - at) view_.need(at, n);
  fail(unexpected_end());
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
    if (count > (data_.size() - pos_) / width) {
      if (count <= (view_.size() - pos_) / width) view_.need(pos_, count * width);
      return fail(unexpected_end());
    }
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
    if (size - pos < 8) return run_out(pos, 8);
    const std::uint64_t length = load_le<std::uint64_t>(base + pos);
    pos += 8;
    if (length > size - pos) return run_out(pos, length);
    pos += length;
  }
  pos_ = pos;
}

namespace {

// The arrays of arrays that the walk of one value has entered and must come
// back to, innermost last, each as the number of its elements still to come
// after the one being walked.
//
// The walk is flat, so this is all the state that nesting costs, and it is
// kept small whatever the input. An array whose current element is its last
// is not kept at all: when that element ends, so does the array. The counts
// are stored as LEB128 bytes, one byte each below 128. And an array is
// forgotten once the elements still owed to it and to the arrays inside it
// could not fit in the input left (each element is an array and takes at
// least its 12-byte header): it can never end, so the walk goes on through
// its elements until the input runs out or a bad type turns up, which is
// what the exact count would have given. Arrays around it, which could only
// end after it, are forgotten with it. Every kept count c stands for 12 bytes
// of header read and 12 * c bytes still to come, so the store takes at most
// 1/24 of the input's size.
class OpenArrays {
 public:
  // No array left to go back to.
  bool empty() const { return counts_.empty() && !endless_; }

  // Enters an array whose first element (an array) is next, with `more`
  // elements after it; `left` input bytes follow the array's header.
  void enter(std::uint64_t more, std::uint64_t left) {
    if (more == 0) return;
    if (more > left / kArrayHeaderSize) {
      // Neither this array nor any around it can end.
      counts_.clear();
      owed_ = 0;
      endless_ = true;
      return;
    }
    push(more);
    owed_ += more;
    while (owed_ > left / kArrayHeaderSize) {
      owed_ -= pop_front();
      endless_ = true;
    }
  }

  // Moves the innermost array with elements left on to its next element.
  void next() {
    if (counts_.empty()) return;  // an endless array has always one more
    const std::uint64_t more = pop_back() - 1;
    --owed_;
    if (more != 0) push(more);
  }

 private:
  void push(std::uint64_t count) {
    for (; count >= 0x80; count >>= 7) counts_.push_back(static_cast<std::uint8_t>(count | 0x80));
    counts_.push_back(static_cast<std::uint8_t>(count));
  }

  // Every count ends in a byte below 0x80, so the last count starts after
  // the last such byte before its own.
  std::uint64_t pop_back() {
    std::size_t start = counts_.size() - 1;
    while (start > 0 && (counts_[start - 1] & 0x80) != 0) --start;
    const std::uint64_t count = decode(start);
    counts_.erase(counts_.begin() + static_cast<std::ptrdiff_t>(start), counts_.end());
    return count;
  }

  std::uint64_t pop_front() {
    std::size_t end = 0;
    while ((counts_[end] & 0x80) != 0) ++end;
    const std::uint64_t count = decode(0);
    counts_.erase(counts_.begin(), counts_.begin() + static_cast<std::ptrdiff_t>(end + 1));
    return count;
  }

  std::uint64_t decode(std::size_t start) const {
    std::uint64_t count = 0;
    for (unsigned shift = 0;; shift += 7) {
      const std::uint8_t byte = counts_[start++];
      count |= std::uint64_t{byte & 0x7Fu} << shift;
      if ((byte & 0x80) == 0) return count;
    }
  }

  std::deque<std::uint8_t> counts_;  // grows and shrinks at both ends
  std::uint64_t owed_ = 0;           // the sum of the counts
  bool endless_ = false;             // an array that cannot end is around them
};

}  // namespace

void Cursor::skip_value(std::uint32_t type) {
  // Made on the first array of arrays only: most values never need it.
  std::optional<OpenArrays> open;
  for (;;) {
    if (type == kArray) {
      const std::uint32_t element_type = u32();
      const std::uint64_t count = u64();
      if (failed()) return;
      if (count != 0 && element_type == kArray) {
        if (count > 1) {
          if (!open) open.emplace();
          open->enter(count - 1, view_.size() - pos_);
        }
        continue;  // the next value is this array's first element
      }
      skip_elements(element_type, count);
    } else {
      skip_elements(type, 1);
    }
    if (failed()) return;
    // One value is complete, and with it every array it ended. The innermost
    // array with elements left goes on with the next one, itself an array.
    if (!open || open->empty()) return;
    open->next();
    type = kArray;
  }
}

Kv Cursor::kv() {
  const std::uint64_t entry_start = pos_;
  const std::string_view key = gguf_string();
  const std::uint64_t raw_start = pos_;
  skip_value(u32());
  if (failed()) return {};
  return Kv{key, span_of(data_, raw_start, pos_), span_of(data_, entry_start, pos_)};
}

std::optional<std::uint32_t> read_u32_value(Bytes raw) {
  if (raw.size() < 8 || load_le<std::uint32_t>(raw.data()) != kUint32) return std::nullopt;
  return load_le<std::uint32_t>(raw.data() + 4);
}

void Gguf::note(const Kv& kv) {
  if (kv.key == kAlignmentKey) {
    const std::optional<std::uint32_t> value = read_u32_value(kv.raw);
    if (value && *value != 0) alignment = *value;
    return;
  }
  std::optional<Kv>* first = kv.key == kManifestKey ? &first_store_ : kv.key == kManifestUriKey ? &first_uri_ : nullptr;
  if (first == nullptr) return;
  const auto begin = static_cast<std::uint64_t>(kv.entry.data() - input_.data());
  if (c2pa_count_++ == 0) c2pa_begin_ = begin;
  c2pa_end_ = begin + kv.entry.size();
  if (!*first) *first = kv;
}

bool Gguf::Entries::next(Kv& kv) {
  if (cursor_.pos() >= end_ || cursor_.failed()) return false;
  kv = cursor_.kv();
  return !cursor_.failed();
}

std::uint64_t Gguf::entry_count() const {
  return input_count_ - (drop_c2pa_ ? c2pa_count_ : 0) + appended_.size();
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

Result<Gguf> Gguf::parse(const View& view) {
  const Bytes bytes = view.front();
  Cursor cursor(view);
  const bool magic = cursor.u32() == kMagic;
  if (cursor.failed()) return cursor.error();
  if (!magic) return Error::malformed_container("not a GGUF file");
  Gguf gguf;
  gguf.input_ = bytes;
  gguf.version = cursor.u32();
  if (cursor.failed()) return cursor.error();
  if (gguf.version != 2 && gguf.version != 3) {
    return Error::malformed_container("unsupported GGUF version " + std::to_string(gguf.version));
  }
  gguf.tensor_count = cursor.u64();
  gguf.input_count_ = cursor.u64();

  // The counts are untrusted: nothing is sized by them, and the first error
  // ends the walk.
  for (std::uint64_t i = 0; i < gguf.input_count_ && !cursor.failed(); ++i) {
    const Kv kv = cursor.kv();
    if (!cursor.failed()) gguf.note(kv);
  }
  const std::uint64_t info_start = cursor.pos();
  gguf.metadata_end_ = info_start;
  for (std::uint64_t i = 0; i < gguf.tensor_count && !cursor.failed(); ++i) skip_tensor_info(cursor);
  if (cursor.failed()) return cursor.error();
  const std::uint64_t info_end = cursor.pos();
  gguf.tensor_info = span_of(bytes, info_start, info_end);

  const std::uint64_t remainder = info_end % gguf.alignment;
  const std::uint64_t padding = remainder == 0 ? 0 : gguf.alignment - remainder;
  if (padding > view.size() - info_end) return Error::malformed_container("tensor data offset out of range");
  gguf.view_ = view;
  gguf.data_start_ = info_end + padding;
  gguf.tensor_data = bytes.subspan(std::min<std::uint64_t>(gguf.data_start_, bytes.size()));
  return gguf;
}

FileImage Gguf::serialize() const {
  FileImage image;
  std::string header;
  header.reserve(kHeaderSize);
  store_le<std::uint32_t>(header, kMagic);
  store_le<std::uint32_t>(header, version);
  store_le<std::uint64_t>(header, tensor_count);
  store_le<std::uint64_t>(header, entry_count());
  image.append_copy(as_bytes(header));
  if (!drop_c2pa_ || c2pa_count_ == 0) {
    image.append_run(span_of(input_, kHeaderSize, metadata_end_));
  } else {
    // The parse has checked these entries, so walking them again cannot fail.
    std::uint64_t kept_from = kHeaderSize;
    Entries walk(input_, c2pa_begin_, c2pa_end_);
    for (Kv kv; walk.next(kv);) {
      if (kv.key != kManifestKey && kv.key != kManifestUriKey) continue;
      const auto begin = static_cast<std::uint64_t>(kv.entry.data() - input_.data());
      image.append_run(span_of(input_, kept_from, begin));
      kept_from = begin + kv.entry.size();
    }
    image.append_run(span_of(input_, kept_from, metadata_end_));
  }
  for (const Appended& entry : appended_) {
    image.append_copy(as_bytes(entry.framing));
    image.append_run(entry.payload);
  }
  image.append_run(tensor_info);
  const std::uint64_t remainder = image.size() % alignment;
  image.append_zeros(remainder == 0 ? 0 : alignment - remainder);
  image.append_from(view_, data_start_, view_.size() - data_start_);
  return image;
}

void Gguf::append_u8_array(std::string_view key, Bytes elements) {
  std::string framing;
  store_le<std::uint64_t>(framing, key.size());
  framing.append(key);
  store_le<std::uint32_t>(framing, kArray);
  store_le<std::uint32_t>(framing, kUint8);
  store_le<std::uint64_t>(framing, elements.size());
  append(std::move(framing), elements);
}

void Gguf::append_string(std::string_view key, Bytes text) {
  std::string framing;
  store_le<std::uint64_t>(framing, key.size());
  framing.append(key);
  store_le<std::uint32_t>(framing, kString);
  store_le<std::uint64_t>(framing, text.size());
  append(std::move(framing), text);
}

void Gguf::append(std::string framing, Bytes payload) { appended_.push_back({std::move(framing), payload}); }

}  // namespace quillon::gguf
