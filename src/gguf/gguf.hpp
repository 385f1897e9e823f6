// The GGUF file model: a parsed GGUF file whose metadata list can be edited
// and written back as a complete new file.
//
// Only the metadata key/value list is editable. The version, the tensor count,
// the tensor descriptions and the tensor data are carried through unchanged;
// the zero padding in front of the tensor data is recomputed on output, so
// tensor offsets (counted from the start of the tensor data) stay valid.
//
// A `Gguf` is a set of views into the input bytes, which must outlive it and
// every `FileImage` made from it. Nothing of the model is copied: parsing
// records where things are, and serializing lists views of them. However many
// entries the input holds, a parse keeps a fixed few hundred bytes, plus at
// most 1/24 of the input's size while it walks nested arrays; the image that
// serializing makes is no larger than the file it describes (FileImage).
//
// Every failure is a MalformedContainer error. No global state; everything
// here is reentrant.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.hpp"
#include "base/result.hpp"
#include "base/view.hpp"
#include "manifest/file_image.hpp"

namespace quillon::gguf {

// Metadata value type codes.
enum ValueType : std::uint32_t {
  kUint8 = 0,
  kInt8 = 1,
  kUint16 = 2,
  kInt16 = 3,
  kUint32 = 4,
  kInt32 = 5,
  kFloat32 = 6,
  kBool = 7,
  kString = 8,
  kArray = 9,
  kUint64 = 10,
  kInt64 = 11,
  kFloat64 = 12,
};

// Magic, version, tensor count and metadata count.
inline constexpr std::uint64_t kHeaderSize = 24;
inline constexpr std::uint64_t kDefaultAlignment = 32;
// A UINT32 entry with this key and a nonzero value sets the alignment.
inline constexpr std::string_view kAlignmentKey = "general.alignment";

// One metadata entry of the input, as views into it: `entry` is the whole
// encoded entry (key length, key, type code, value), and `key` and `raw` lie
// inside it.
struct Kv {
  std::string_view key;  // the key's bytes, without the length field
  Bytes raw;             // the type code followed by the encoded value
  Bytes entry;
};

// A read position over a borrowed byte view. Every read checks its bounds
// first; a read that would pass the end records "unexpected end of GGUF
// data" instead of advancing. The cursor reads the view's front (GGUF is
// walked from the start); a read past the front but within the file's size
// records the bytes as the view's need and fails the same way. The cursor keeps its first error: from then on
// reads return zero or an empty view and do not move, so a caller reads a
// whole record and checks failed() once, after it (as FieldScanner does).
class Cursor {
 public:
  // `pos` is at most data.front().size().
  explicit Cursor(const View& data, std::uint64_t pos = 0) : view_(data), data_(data.front()), pos_(pos) {}

  std::uint64_t pos() const { return pos_; }
  bool failed() const { return error_.has_value(); }
  const Error& error() const { return *error_; }
  // Records `error` unless an earlier one is already recorded.
  void fail(Error error);

  // The next 4 bytes as an unsigned little-endian integer.
  std::uint32_t u32();
  // The next 8 bytes as an unsigned little-endian integer.
  std::uint64_t u64();
  // A view of the next n bytes.
  Bytes take(std::uint64_t n);
  // A GGUF string (64-bit length, bytes) as a view of its bytes; records
  // "metadata key is not UTF-8" when they are not strict UTF-8.
  std::string_view gguf_string();
  // Advances over one value of type `type` without keeping it. Arrays nest to
  // any depth and are walked without recursion, in memory of at most 1/24 of
  // the input's size (see OpenArrays in gguf.cpp); arrays of fixed-width
  // elements are skipped in one step.
  void skip_value(std::uint32_t type);
  // Reads one metadata entry: key, type code, value.
  Kv kv();

 private:
  // True when n more bytes exist; records the end of data otherwise.
  bool has(std::uint64_t n);
  // Advances over `count` elements of type `type`, none of them an array.
  void skip_elements(std::uint32_t type, std::uint64_t count);
  // Fails at a read of n bytes at `at` that passes the front, noting the
  // need when the file holds them.
  void run_out(std::uint64_t at, std::uint64_t n);

  View view_;
  Bytes data_;  // view_.front()
  std::uint64_t pos_;
  std::optional<Error> error_;
};

// The value of a UINT32 entry's `raw`; absent for any other type or when the
// 8 bytes are not there.
std::optional<std::uint32_t> read_u32_value(Bytes raw);

// A parsed GGUF file. The metadata is not held entry by entry: parsing walks
// it, checks it and remembers only where it lies, the alignment it sets and
// the first entry of each C2PA key. Editing is what the manifest operations
// need: dropping every C2PA entry and appending new entries at the end.
class Gguf {
 public:
  // Parses a GGUF file (version 2 or 3) from the view's front, which must
  // reach the end of the tensor descriptions (see View); the tensor data is
  // only checked against the file's size. The result views the front.
  static Result<Gguf> parse(const View& bytes);

  // The complete file: a new header, the entries in order (without the C2PA
  // ones once drop_c2pa() was called, then the appended ones), the tensor
  // descriptions, zero padding up to `alignment`, the tensor data. The image
  // views the parsed input and the payloads of appended entries, but nothing
  // owned by this Gguf, so it may outlive it. The runs of kept entries
  // between dropped ones are found by walking again over the part of the
  // metadata from the first C2PA entry to the last.
  FileImage serialize() const;

  // Leaves every "c2pa:manifest" and "c2pa:manifest.uri" entry out of the
  // output, however many there are; the other entries keep their order.
  void drop_c2pa() { drop_c2pa_ = true; }
  // Appends an entry `key` = ARRAY of UINT8 holding `elements`, borrowed.
  void append_u8_array(std::string_view key, Bytes elements);
  // Appends an entry `key` = STRING holding `text`, borrowed.
  void append_string(std::string_view key, Bytes text);

  // The first "c2pa:manifest" and "c2pa:manifest.uri" entries of the input,
  // in file order; later ones with the same key are not kept.
  const std::optional<Kv>& first_store() const { return first_store_; }
  const std::optional<Kv>& first_uri() const { return first_uri_; }

  // The number of entries that serialize() writes.
  std::uint64_t entry_count() const;

  // The entries of the input, in file order, walked again on demand; drops
  // and appends do not show here.
  class Entries {
   public:
    // The next entry; false after the last one.
    bool next(Kv& kv);

   private:
    friend class Gguf;
    Entries(Bytes input, std::uint64_t begin, std::uint64_t end) : cursor_(input, begin), end_(end) {}
    Cursor cursor_;
    std::uint64_t end_;
  };
  Entries entries() const { return Entries(input_, kHeaderSize, metadata_end_); }

  std::uint32_t version = 0;
  std::uint64_t tensor_count = 0;
  // From the end of the last entry to the end of the last tensor description.
  Bytes tensor_info;
  // Fixed at parse time, never 0.
  std::uint64_t alignment = kDefaultAlignment;
  // From the aligned data start to the end of the input: what the view's
  // front holds of it (all of it for a file in memory). serialize() carries
  // the rest over as a range of the input.
  Bytes tensor_data;

 private:
  Gguf() = default;

  // Notes what the parse keeps of an entry: the alignment and C2PA entries.
  void note(const Kv& kv);
  void append(std::string framing, Bytes payload);

  // An appended entry: its framing (key length, key, type code and the
  // string or array header) and its borrowed value bytes.
  struct Appended {
    std::string framing;
    Bytes payload;
  };

  Bytes input_;
  // The parsed view, for the tensor data it carries over unread.
  View view_{Bytes{}};
  std::uint64_t data_start_ = 0;   // the aligned start of the tensor data
  std::uint64_t input_count_ = 0;  // entries in the input
  std::uint64_t metadata_end_ = kHeaderSize;
  std::optional<Kv> first_store_;
  std::optional<Kv> first_uri_;
  // How many C2PA entries the input holds, and the offsets from the start of
  // the first to the end of the last; everything outside is kept whole.
  std::uint64_t c2pa_count_ = 0;
  std::uint64_t c2pa_begin_ = 0;
  std::uint64_t c2pa_end_ = 0;
  bool drop_c2pa_ = false;
  std::vector<Appended> appended_;
};

}  // namespace quillon::gguf
