// Protobuf wire scanner: a successful scan tiles its input exactly, the
// streaming scanner yields the same records (or the same error) as
// scan_fields, and the detection probe agrees with the list.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "check.hpp"
#include "onnx/probe.hpp"
#include "onnx/wire.hpp"
#include "onnx_fields.hpp"

namespace {

using quillon::Bytes;
using quillon::onnx::Field;

void check_tiling(const std::vector<Field>& fields, std::uint64_t length) {
  std::uint64_t expected_start = 0;
  for (const Field& field : fields) {
    FUZZ_CHECK(field.start == expected_start);
    FUZZ_CHECK(field.start < field.payload_start);
    FUZZ_CHECK(field.payload_start <= field.payload_end);
    FUZZ_CHECK(field.payload_end == field.end);
    FUZZ_CHECK(field.end <= length);
    expected_start = field.end;
  }
  FUZZ_CHECK(expected_start == length);
}

struct Streamed {
  std::vector<Field> fields;
  std::optional<quillon::Error> error;
};

Streamed stream_fields(Bytes data) {
  quillon::onnx::FieldScanner scanner(data);
  Streamed out;
  Field field{};
  while (scanner.next(field)) out.fields.push_back(field);
  if (scanner.failed()) out.error = scanner.error();
  return out;
}

void check_varints(Bytes data) {
  // Every start offset, plus offsets at and beyond the end.
  for (std::uint64_t pos = 0; pos <= data.size() + 1; ++pos) {
    auto varint = quillon::onnx::read_varint(data, pos);
    if (!varint) continue;
    FUZZ_CHECK(varint->next > pos);
    FUZZ_CHECK(varint->next - pos <= quillon::onnx::kMaxVarintLength);
    FUZZ_CHECK(varint->next <= data.size());
    // Only the final byte of a varint lacks the continuation bit.
    FUZZ_CHECK(data[varint->next - 1] < 0x80);
  }
  FUZZ_CHECK(!quillon::onnx::read_varint(data, data.size()).ok());
  FUZZ_CHECK(!quillon::onnx::read_varint(data, UINT64_MAX).ok());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Bytes data(bytes, size);
  check_varints(data);

  auto listed = quillon::onnx::scan_fields(data);
  Streamed streamed = stream_fields(data);
  if (!listed) {
    FUZZ_CHECK(streamed.error && *streamed.error == listed.error());
    FUZZ_CHECK(!quillon::onnx::is_onnx(data));
    return 0;
  }
  FUZZ_CHECK(!streamed.error);
  FUZZ_CHECK(streamed.fields == *listed);
  check_tiling(*listed, size);

  bool numbered_1_or_7 = false;
  for (const Field& field : *listed) {
    numbered_1_or_7 = numbered_1_or_7 || field.number == 1 || field.number == 7;
    // Nested messages are scanned by pointing the scanner at a field's value.
    Bytes payload = data.subspan(field.payload_start, field.payload_end - field.payload_start);
    auto nested = quillon::onnx::scan_fields(payload);
    if (nested) check_tiling(*nested, payload.size());
  }
  FUZZ_CHECK(quillon::onnx::is_onnx(data) == numbered_1_or_7);
  return 0;
}
