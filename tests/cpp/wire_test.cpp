#include "onnx/wire.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "models.hpp"
#include "onnx/probe.hpp"
#include "onnx_fields.hpp"

namespace quillon::onnx {
namespace {

using namespace std::string_literals;

const std::string kUnexpectedEnd = "unexpected end of ONNX protobuf";

using test::repeat;

// One read_varint: `bytes` read at `pos` give `value` and `next`, or fail
// with `detail`.
struct VarintRead {
  std::string bytes;
  std::uint64_t pos;
  std::uint64_t value = 0;
  std::uint64_t next = 0;
  std::string detail = {};
};

const std::string kTenOnes = repeat("\xFF", 10);

const VarintRead kVarintReads[] = {
    {"\x00"s, 0, 0, 1},
    {"\x96\x01", 0, 150, 2},
    {"\x80\x00"s, 0, 0, 2},  // non-minimal zero
    {"\x7F\xAC\x02", 1, 300, 3},
    {repeat("\xFF", 9) + "\x01", 0, UINT64_MAX, 10},
    {repeat("\xFF", 9) + "\x7F", 0, UINT64_MAX, 10},  // bits 1 to 6 of the tenth byte dropped
    {repeat("\xFF", 9) + "\x02", 0, UINT64_MAX >> 1, 10},
    {repeat("\x80", 9) + "\x01" + "\xFF", 0, 1ull << 63, 10},
    {"", 0, 0, 0, kUnexpectedEnd},
    {"\x01", 1, 0, 0, kUnexpectedEnd},
    {"\x01", 2, 0, 0, kUnexpectedEnd},
    {"\x01", UINT64_MAX, 0, 0, kUnexpectedEnd},
    {"\x80", 0, 0, 0, kUnexpectedEnd},
    {repeat("\x80", 9), 0, 0, 0, kUnexpectedEnd},
    {repeat("\x80", 10), 0, 0, 0, kUnexpectedEnd},
    {kTenOnes, 10, 0, 0, kUnexpectedEnd},
    {kTenOnes, 11, 0, 0, kUnexpectedEnd},
    {kTenOnes, UINT64_MAX, 0, 0, kUnexpectedEnd},
    {repeat("\x80", 10) + "\x00"s, 0, 0, 0, "varint overflow"},
    {"\x00"s + repeat("\xFF", 10) + "\x01", 1, 0, 0, "varint overflow"},
};

class ReadVarint : public ::testing::TestWithParam<VarintRead> {};

TEST_P(ReadVarint, DecodesOrFailsCleanly) {
  const VarintRead& c = GetParam();
  Result<Varint> v = read_varint(as_bytes(c.bytes), c.pos);
  if (c.detail.empty()) {
    ASSERT_TRUE(v) << v.error().message();
    EXPECT_EQ(v->value, c.value);
    EXPECT_EQ(v->next, c.next);
  } else {
    ASSERT_FALSE(v) << c.bytes.size() << " at " << c.pos;
    EXPECT_EQ(v.error(), Error::malformed_container(c.detail)) << v.error().message();
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ReadVarint, ::testing::ValuesIn(kVarintReads),
                         [](const auto& info) { return "Row" + std::to_string(info.index); });

TEST(WriteVarint, MinimalEncodingsReadBack) {
  const struct {
    std::uint64_t value;
    std::string encoded;
  } cases[] = {
      {0, "\x00"s},
      {127, "\x7F"},
      {128, "\x80\x01"},
      {300, "\xAC\x02"},
      {16383, "\xFF\x7F"},
      {16384, "\x80\x80\x01"},
      {std::uint64_t{1} << 63, "\x80\x80\x80\x80\x80\x80\x80\x80\x80\x01"},
      {~std::uint64_t{0}, "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01"},
  };
  for (const auto& c : cases) {
    std::string out = "x";
    append_varint(out, c.value);
    EXPECT_EQ(out.substr(1), c.encoded) << c.value;
    EXPECT_EQ(varint_size(c.value), c.encoded.size()) << c.value;
    Result<Varint> read = read_varint(as_bytes(out), 1);
    ASSERT_TRUE(read) << c.value;
    EXPECT_EQ(read->value, c.value);
    EXPECT_EQ(read->next, out.size());
  }
  // The tags of ONNX metadata entries and their fields.
  EXPECT_EQ(tag_of(14, WireType::LengthDelimited), 0x72u);
  EXPECT_EQ(tag_of(1, WireType::LengthDelimited), 0x0Au);
  EXPECT_EQ(tag_of(2, WireType::LengthDelimited), 0x12u);
  EXPECT_EQ(tag_of(1, WireType::Varint), 0x08u);
  EXPECT_EQ(tag_of(1, WireType::Fixed64), 0x09u);
  EXPECT_EQ(tag_of(1, WireType::Fixed32), 0x0Du);
}

TEST(ScanFields, RecordsOffsetsAndNumbers) {
  struct Case {
    std::string bytes;
    std::vector<Field> fields;
  } cases[] = {
      {"", {}},
      {"\x08\x96\x01", {{0, 3, 1, 3, 1}}},
      {"\x0A\x03" "abc", {{0, 5, 2, 5, 1}}},
      {"\x09"s + repeat("\x11", 8), {{0, 9, 1, 9, 1}}},
      {"\x0D"s + repeat("\x11", 4), {{0, 5, 1, 5, 1}}},
      {"\x00\x00"s, {{0, 2, 1, 2, 0}}},
      {"\x3A\x00"s, {{0, 2, 2, 2, 7}}},
      // Repeated numbers stay separate records, in order.
      {"\x10\x01\x12\x00\x10\x02"s, {{0, 2, 1, 2, 2}, {2, 4, 4, 4, 2}, {4, 6, 5, 6, 2}}},
      // Field number 2^61 - 1 in a ten-byte tag, kept at full width.
      {"\xF8"s + repeat("\xFF", 8) + "\x01\x00"s, {{0, 11, 10, 11, (1ull << 61) - 1}}},
      // A non-minimal length prefix is not part of the value.
      {"\x72\x81\x00z"s, {{0, 4, 3, 4, 14}}},
  };
  for (const Case& c : cases) {
    Result<std::vector<Field>> fields = scan_fields(as_bytes(c.bytes));
    ASSERT_TRUE(fields) << fields.error().message();
    EXPECT_EQ(*fields, c.fields);
  }
}

TEST(ScanFields, RejectsMalformedInput) {
  struct Case {
    std::string bytes;
    std::string detail;
  } cases[] = {
      {"\x12\x05" "a", kUnexpectedEnd},
      {"\x08\x80", kUnexpectedEnd},
      {"\x08", kUnexpectedEnd},
      {"\x09"s + repeat("\x11", 7), kUnexpectedEnd},
      {"\x0D"s + repeat("\x11", 3), kUnexpectedEnd},
      {"\x0B", "unsupported wire type 3"},
      {"\x0C", "unsupported wire type 4"},
      {"\x0E", "unsupported wire type 6"},
      {"\x0F", "unsupported wire type 7"},
      {repeat("\x80", 10) + "\x00"s, "varint overflow"},
      {repeat("\x80", 10), kUnexpectedEnd},
      // Tag 2^64 - 1: wire type 7.
      {repeat("\xFF", 9) + "\x7F", "unsupported wire type 7"},
      // A length of 2^64 - 1 that would wrap the end offset around.
      {"\x0A"s + repeat("\xFF", 9) + "\x01" + "abc", kUnexpectedEnd},
      {"\x0A"s + repeat("\xFF", 8) + "\x7F" + "abc", kUnexpectedEnd},
      // Valid fields do not save a trailing partial one.
      {"\x08\x07\x0A", kUnexpectedEnd},
  };
  for (const Case& c : cases) {
    Result<std::vector<Field>> fields = scan_fields(as_bytes(c.bytes));
    ASSERT_FALSE(fields) << c.detail;
    EXPECT_EQ(fields.error(), Error::malformed_container(c.detail)) << fields.error().message();
  }
}

TEST(FieldScanner, StopsAtTheFirstError) {
  const std::string bytes = "\x08\x01\x0B\x08\x01";
  FieldScanner scanner(as_bytes(bytes));
  Field field;
  ASSERT_TRUE(scanner.next(field));
  EXPECT_FALSE(scanner.failed());
  EXPECT_FALSE(scanner.next(field));
  ASSERT_TRUE(scanner.failed());
  EXPECT_EQ(scanner.error(), Error::malformed_container("unsupported wire type 3"));
  EXPECT_FALSE(scanner.next(field));
}

// Random byte strings, biased towards valid protobuf: whenever one scans,
// its fields tile it exactly and FieldScanner yields the same records.
TEST(ScanFields, FieldsTileEveryCleanlyScannedInput) {
  std::mt19937 random(42);
  const std::uint8_t tags[] = {0x08, 0x09, 0x0A, 0x0D, 0x72, 0x3A, 0x00, 0x80, 0x0B};
  int clean = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string bytes;
    const int pieces = random() % 8;
    for (int i = 0; i < pieces; ++i) {
      bytes.push_back(static_cast<char>(tags[random() % std::size(tags)]));
      const int extra = random() % 6;
      for (int j = 0; j < extra; ++j) bytes.push_back(static_cast<char>(random() % 5));
    }
    Result<std::vector<Field>> fields = scan_fields(as_bytes(bytes));
    // Asking for one number yields exactly the fields with that number, and
    // still fails where the whole scan fails.
    FieldScanner numbered(as_bytes(bytes));
    Field one;
    std::vector<Field> ones;
    while (numbered.next(one, 1)) ones.push_back(one);
    EXPECT_EQ(numbered.failed(), !fields);
    if (!fields) continue;
    ++clean;
    std::vector<Field> expected;
    std::copy_if(fields->begin(), fields->end(), std::back_inserter(expected),
                 [](const Field& f) { return f.number == 1; });
    EXPECT_EQ(ones, expected);
    std::uint64_t pos = 0;
    FieldScanner scanner(as_bytes(bytes));
    Field streamed;
    for (const Field& f : *fields) {
      EXPECT_EQ(f.start, pos);
      EXPECT_LT(f.start, f.payload_start);
      EXPECT_LE(f.payload_start, f.payload_end);
      EXPECT_EQ(f.payload_end, f.end);
      ASSERT_TRUE(scanner.next(streamed));
      EXPECT_EQ(streamed, f);
      pos = f.end;
    }
    EXPECT_EQ(pos, bytes.size());
    EXPECT_FALSE(scanner.next(streamed));
    EXPECT_FALSE(scanner.failed());
  }
  EXPECT_GT(clean, 300);
}

TEST(IsOnnx, NeedsACleanScanWithField1Or7) {
  struct Case {
    std::string bytes;
    bool onnx;
  } cases[] = {
      {"\x08\x07", true},
      {"\x3A\x00"s, true},
      {"\x10\x01\x3A\x00"s, true},
      {"\x10\x01", false},
      {"", false},
      {"\x08\x07\x0A", false},
      {"\x0A\x00\x0B"s, false},
      // Field number 2^60 + 1 is not field 1.
      {"\x88"s + repeat("\x80", 8) + "\x01\x00"s, false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_onnx(as_bytes(c.bytes)), c.onnx) << c.bytes.size();
}

}  // namespace
}  // namespace quillon::onnx
