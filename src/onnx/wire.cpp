#include "onnx/wire.hpp"

#include <algorithm>
#include <string>

namespace quillon::onnx {
namespace {

Error unexpected_end() { return Error::malformed_container("unexpected end of ONNX protobuf"); }

}  // namespace

Result<Varint> read_varint(Bytes data, std::uint64_t pos) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < kMaxVarintLength; ++i) {
    if (pos >= data.size() || data.size() - pos <= i) return unexpected_end();
    const std::uint8_t byte = data[pos + i];
    if (i == kMaxVarintLength - 1) {
      if (byte >= 0x80) {
        // An eleventh byte would be needed: missing means truncation.
        if (data.size() - pos == kMaxVarintLength) return unexpected_end();
        return Error::malformed_container("varint overflow");
      }
      value |= static_cast<std::uint64_t>(byte) << 63;
      return Varint{value, pos + kMaxVarintLength};
    }
    value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
    if (byte < 0x80) return Varint{value, pos + i + 1};
  }
  return unexpected_end();  // not reached: the tenth byte always returns
}

std::size_t varint_size(std::uint64_t value) {
  std::size_t size = 1;
  for (; value >= 0x80; value >>= 7) ++size;
  return size;
}

void append_varint(std::string& out, std::uint64_t value) {
  for (; value >= 0x80; value >>= 7) out.push_back(static_cast<char>((value & 0x7F) | 0x80));
  out.push_back(static_cast<char>(value));
}

bool FieldScanner::fail(Error error) {
  error_ = std::move(error);
  return false;
}

bool FieldScanner::next(Field& field, std::uint64_t number) {
  while (next(field)) {
    if (field.number == number) return true;
  }
  return false;
}

Result<Varint> FieldScanner::varint_at(std::uint64_t pos) const {
  if (pos >= data_.size()) return unexpected_end();
  // read_varint looks at ten bytes, and at whether an eleventh exists: the
  // same eleven bytes give it the same answer.
  const std::uint64_t length = std::min<std::uint64_t>(kMaxVarintLength + 1, data_.size() - pos);
  const std::optional<Bytes> bytes = data_.bytes(pos, length);
  if (!bytes) return View::absent();
  Result<Varint> varint = read_varint(*bytes, 0);
  if (varint) varint->next += pos;
  return varint;
}

bool FieldScanner::next(Field& field) {
  if (error_ || pos_ >= data_.size()) return false;
  const std::uint64_t size = data_.size();
  const std::uint64_t start = pos_;
  const auto varint = [&](std::uint64_t pos) { return whole_.empty() ? varint_at(pos) : read_varint(whole_, pos); };
  Result<Varint> tag = varint(start);
  if (!tag) return fail(std::move(tag).error());
  const std::uint64_t p = tag->next;
  std::uint64_t payload_start = p;
  std::uint64_t end;
  const auto type = static_cast<WireType>(tag->value & ((1u << kWireTypeBits) - 1));
  switch (type) {
    case WireType::Varint: {
      Result<Varint> value = varint(p);
      if (!value) return fail(std::move(value).error());
      end = value->next;
      break;
    }
    case WireType::Fixed64:
    case WireType::Fixed32: {
      const std::uint64_t width = type == WireType::Fixed64 ? 8 : 4;
      if (size - p < width) return fail(unexpected_end());  // p <= size always holds after a varint
      end = p + width;
      break;
    }
    case WireType::LengthDelimited: {
      Result<Varint> length = varint(p);
      if (!length) return fail(std::move(length).error());
      payload_start = length->next;
      if (length->value > size - payload_start) return fail(unexpected_end());
      end = payload_start + length->value;
      break;
    }
    default:
      return fail(Error::malformed_container("unsupported wire type " + std::to_string(static_cast<unsigned>(type))));
  }
  field = Field{start, end, payload_start, end, tag->value >> kWireTypeBits};
  pos_ = end;
  return true;
}

}  // namespace quillon::onnx
