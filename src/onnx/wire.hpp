// A flat, one-level scanner for the Protocol Buffers wire format.
//
// The scanner splits a byte string into its top-level fields and records
// where each begins and ends, where its value bytes lie, and its field number.
// It copies nothing, interprets no value and never descends: a caller that
// needs the inside of a length-delimited field scans that field's value
// bytes again. Offsets count from the first byte of the scanned string.
//
// Every failure is a MalformedContainer error with one of the details
// "unexpected end of ONNX protobuf", "varint overflow" or
// "unsupported wire type N". The scanner never reads outside its input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/bytes.hpp"
#include "base/result.hpp"
#include "base/view.hpp"

namespace quillon::onnx {

// A varint is at most this many bytes long.
inline constexpr std::size_t kMaxVarintLength = 10;

// The wire types this scanner reads: the low three bits of a tag. The
// others (3 and 4, the deprecated groups; 6 and 7) are errors.
enum class WireType : std::uint8_t { Varint = 0, Fixed64 = 1, LengthDelimited = 2, Fixed32 = 5 };

// Bits of a tag below the field number.
inline constexpr unsigned kWireTypeBits = 3;

// The tag of field `number` with wire type `type`.
constexpr std::uint64_t tag_of(std::uint64_t number, WireType type) {
  return number << kWireTypeBits | static_cast<std::uint64_t>(type);
}

// One scanned top-level field.
struct Field {
  std::uint64_t start;          // offset of the first byte of the tag
  std::uint64_t end;            // offset one past the field's last byte
  std::uint64_t payload_start;  // first byte of the value (after any length prefix)
  std::uint64_t payload_end;    // one past the value's last byte; always == end
  std::uint64_t number;         // tag >> 3, at full 64-bit width

  friend bool operator==(const Field&, const Field&) = default;
};

// A decoded varint and the offset just past its last byte.
struct Varint {
  std::uint64_t value;
  std::uint64_t next;
};

// Reads one base-128 varint from `data` at offset `pos` (which may be at or
// past the end). Non-minimal encodings are accepted; a tenth byte contributes
// only its lowest bit.
Result<Varint> read_varint(Bytes data, std::uint64_t pos);

// The length of the minimal varint encoding of `value`: 1 to 10 bytes.
std::size_t varint_size(std::uint64_t value);

// Appends the minimal varint encoding of `value` to `out`.
void append_varint(std::string& out, std::uint64_t value);

// The value bytes of a scanned field: [payload_start, payload_end) of `data`.
inline Bytes payload_of(Bytes data, const Field& field) {
  return data.subspan(field.payload_start, field.payload_end - field.payload_start);
}

// The value bytes of a scanned field read through `data`; absent (and
// needed) when they are not at hand.
inline std::optional<Bytes> payload_in(const View& data, const Field& field) {
  return data.bytes(field.payload_start, field.payload_end - field.payload_start);
}

// Yields the top-level fields of a byte string one at a time, so that callers
// consume them as they are scanned instead of keeping a list. Only tags and
// length prefixes are read, never a value, so over a View the scan needs
// a few bytes at the start of each field and none of a field it passes:
//
//   FieldScanner scanner(data);
//   Field field;
//   while (scanner.next(field)) { ... }
//   if (scanner.failed()) return scanner.error();
class FieldScanner {
 public:
  explicit FieldScanner(const View& data)
      : data_(data), whole_(data.front().size() == data.size() ? data.front() : Bytes{}) {}

  // Reads the next field into `field` and returns true; returns false at the
  // end of the data or at the first error, after which failed() tells which.
  bool next(Field& field);
  // The same for the next field numbered `number`: the others are scanned
  // over (and can fail the scan) but not returned.
  bool next(Field& field, std::uint64_t number);

  bool failed() const { return error_.has_value(); }
  const Error& error() const { return *error_; }

 private:
  // Records `error` as the scan's outcome; returns false for next() to return.
  bool fail(Error error);
  // read_varint at `pos` of the file, through the view.
  Result<Varint> varint_at(std::uint64_t pos) const;

  View data_;
  // The file when all of it is at hand (always in memory): read directly.
  Bytes whole_;
  std::uint64_t pos_ = 0;
  std::optional<Error> error_;
};

}  // namespace quillon::onnx
