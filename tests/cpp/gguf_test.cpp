#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gguf/gguf.hpp"
#include "gguf/manifest.hpp"
#include "models.hpp"

namespace quillon::gguf {
namespace {

constexpr char kEnd[] = "malformed model container: unexpected end of GGUF data";
constexpr char kNotUtf8[] = "malformed model container: metadata key is not UTF-8";
constexpr char kOutOfRange[] = "malformed model container: tensor data offset out of range";
constexpr char kNotU8Array[] = "malformed model container: c2pa:manifest is not a UINT8 array";

// ---- Assembling GGUF bytes from parts ----

using test::gguf_kv;
using test::gguf_string;
using test::le32;
using test::le64;
using test::message_of;
using test::repeat;
using test::store_only;
using test::uri_only;
using Model = test::GgufModel;

std::string u32_kv(std::string_view key, std::uint32_t v) { return gguf_kv(key, kUint32, le32(v)); }
std::string str_kv(std::string_view key, std::string_view text) { return gguf_kv(key, kString, gguf_string(text)); }
std::string array_value(std::uint32_t element_type, std::uint64_t count, const std::string& elements) {
  return le32(element_type) + le64(count) + elements;
}
std::string u8_array_kv(std::string_view key, std::string_view bytes) {
  return gguf_kv(key, kArray, array_value(kUint8, bytes.size(), std::string(bytes)));
}

std::string tensor(std::string_view name, const std::vector<std::uint64_t>& dims, std::uint32_t type,
                   std::uint64_t offset) {
  std::string out = gguf_string(name) + le32(static_cast<std::uint32_t>(dims.size()));
  for (std::uint64_t d : dims) out += le64(d);
  return out + le32(type) + le64(offset);
}

using Text = std::optional<std::string>;
ManifestSource source(Text uri, Text store) { return {std::move(uri), std::move(store)}; }

std::string output(const Result<FileImage>& image) { return image ? image->to_string() : image.error().message(); }

std::vector<Kv> entries(const Gguf& gguf) {
  std::vector<Kv> out;
  Gguf::Entries walk = gguf.entries();
  for (Kv kv; walk.next(kv);) out.push_back(kv);
  return out;
}

std::vector<std::string> keys(const Gguf& gguf) {
  std::vector<std::string> out;
  for (const Kv& kv : entries(gguf)) out.emplace_back(kv.key);
  return out;
}

// Where the tensor data starts inside `bytes`.
std::size_t data_start(const Gguf& gguf, const std::string& bytes) {
  return static_cast<std::size_t>(gguf.tensor_data.data() - as_bytes(bytes).data());
}

// An entry of `depth` nested arrays around an empty UINT8 array.
std::string nested_kv(std::string_view key, std::size_t depth) {
  return gguf_kv(key, kArray, repeat(le32(kArray) + le64(1), depth - 1) + array_value(kUint8, 0, ""));
}

// ---- Parsing ----

TEST(GgufParse, RejectsMalformedInput) {
  const std::string header24 = Model{.data = ""}.head();
  const std::string bare = Model{.padding = "", .data = ""}.bytes();
  struct Case {
    const char* name;
    std::string bytes;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"empty", "", kEnd},
      {"three bytes", "GGU", kEnd},
      {"four foreign bytes", "ABCD", "malformed model container: not a GGUF file"},
      {"foreign magic, full header", "GGUG" + header24.substr(4), "malformed model container: not a GGUF file"},
      {"big-endian version", "GGUF" + std::string("\0\0\0\3", 4) + header24.substr(8),
       "malformed model container: unsupported GGUF version 50331648"},
      {"version 1 in 8 bytes", "GGUF" + le32(1), "malformed model container: unsupported GGUF version 1"},
      {"version 4", Model{.version = 4}.bytes(), "malformed model container: unsupported GGUF version 4"},
      {"version 3 in 8 bytes", "GGUF" + le32(3), kEnd},
      {"header cut at 23 bytes", header24.substr(0, 23), kEnd},
      {"bare 24-byte header", header24, kOutOfRange},
      {"value type 13", Model{.kvs = {gguf_kv("k", 13, "")}}.bytes(), "malformed model container: bad value type 13"},
      {"array of type 99 with one element", Model{.kvs = {gguf_kv("k", kArray, array_value(99, 1, "x"))}}.bytes(),
       "malformed model container: bad value type 99"},
      {"array of arrays of type 99", Model{.kvs = {gguf_kv("k", kArray, array_value(kArray, 1, array_value(99, 1, "")))}}.bytes(),
       "malformed model container: bad value type 99"},
      {"key is a lone 0xFF", Model{.kvs = {u32_kv("\xFF", 1)}}.bytes(), kNotUtf8},
      {"key holds an overlong NUL", Model{.kvs = {u32_kv("a\xC0\x80", 1)}}.bytes(), kNotUtf8},
      {"key ends in a cut sequence", Model{.kvs = {u32_kv("ab\xE2\x82", 1)}}.bytes(), kNotUtf8},
      {"tensor name is a surrogate", Model{.tensors = {tensor("\xED\xA0\x80", {1}, 0, 0)}}.bytes(), kNotUtf8},
      // Zero bytes read as 13-byte entries (empty key, UINT8 0) until they run out.
      {"metadata count 2^40", Model{.kvs = {u32_kv("a", 1)}, .kv_count = 1ULL << 40, .padding = "", .data = std::string(1000, '\0')}.bytes(),
       kEnd},
      {"tensor count 2^63", Model{.tensor_count = 1ULL << 63}.bytes(), kEnd},
      {"key length 2^64-1", header24.substr(0, 16) + le64(1) + le64(~0ULL) + "key", kEnd},
      {"string length 2^63", Model{.kvs = {gguf_kv("k", kString, le64(1ULL << 63) + "abc")}}.bytes(), kEnd},
      {"string length 2^64-1", Model{.kvs = {gguf_kv("k", kString, le64(~0ULL) + "abc")}}.bytes(), kEnd},
      {"UINT32 array of 2^63", Model{.kvs = {gguf_kv("k", kArray, array_value(kUint32, 1ULL << 63, "abcd"))}}.bytes(), kEnd},
      // count * 4 wraps to 4 and count * 8 to 0: a wrapped size would be accepted.
      {"UINT32 array wrapping to 4 bytes",
       Model{.kvs = {gguf_kv("k", kArray, array_value(kUint32, (1ULL << 62) + 1, "abcd"))}}.bytes(), kEnd},
      {"UINT64 array wrapping to 0 bytes", Model{.kvs = {gguf_kv("k", kArray, array_value(kUint64, 1ULL << 61, ""))}}.bytes(),
       kEnd},
      {"UINT8 array of 1 GiB in a small file",
       Model{.kvs = {gguf_kv("k", kArray, array_value(kUint8, 1ULL << 30, "abc"))}}.bytes(), kEnd},
      {"STRING array of 2^63", Model{.kvs = {gguf_kv("k", kArray, array_value(kString, 1ULL << 63, gguf_string("a")))}}.bytes(), kEnd},
      {"array header cut short", bare.substr(0, 16) + le64(1) + gguf_string("k") + le32(kArray) + le32(kUint8), kEnd},
      // Arrays that can never end are walked on until the input gives out or
      // a bad type turns up, whichever comes first.
      {"2^40 arrays, the fourth of type 99",
       Model{.kvs = {gguf_kv("k", kArray, array_value(kArray, 1ULL << 40, repeat(array_value(kUint8, 1, "a"), 3) + array_value(99, 1, "")))}}
           .bytes(),
       "malformed model container: bad value type 99"},
      {"2^40 arrays cut short", Model{.kvs = {gguf_kv("k", kArray, array_value(kArray, 1ULL << 40, array_value(kUint8, 1, "a")))}, .padding = "", .data = ""}.bytes(),
       kEnd},
      // Each count fits the bytes left, their sum does not: the outer arrays
      // cannot end, the innermost one can.
      {"arrays of 5 arrays, ten deep, then type 99",
       Model{.kvs = {gguf_kv("k", kArray, repeat(le32(kArray) + le64(5), 9) + array_value(kArray, 5, repeat(array_value(kUint8, 1, "a"), 5)) +
                                         array_value(99, 1, ""))},
             .padding = "", .data = ""}
           .bytes(),
       "malformed model container: bad value type 99"},
      {"nested arrays cut short", Model{.kvs = {gguf_kv("k", kArray, repeat(le32(kArray) + le64(1), 1000))}, .padding = "", .data = ""}.bytes(),
       kEnd},
      {"tensor with 2^32-1 dimensions", Model{.tensors = {tensor("t", {}, 0, 0).substr(0, 9) + le32(~0U) + le64(1)}}.bytes(),
       kEnd},
      {"tensor description cut short", Model{.tensors = {tensor("t", {4, 4}, 0, 0).substr(0, 30)}, .padding = "", .data = ""}.bytes(),
       kEnd},
      {"padding missing", Model{.kvs = {u32_kv("a", 1)}, .padding = "", .data = ""}.bytes(), kOutOfRange},
      {"alignment 64 with 32-byte padding",
       Model{.kvs = {u32_kv("general.alignment", 64), u32_kv("b", 1)}, .alignment = 32, .data = ""}.bytes(), kOutOfRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(message_of(Gguf::parse(as_bytes(c.bytes))), c.message);
  }
}

TEST(GgufParse, EveryCutOfAFileFailsCleanly) {
  const Model model{.kvs = {u32_kv("a", 7), str_kv("b", "text"), gguf_kv("c", kArray, array_value(kString, 2, gguf_string("x") + gguf_string("yz")))},
                    .tensors = {tensor("w", {2, 3}, 0, 0), tensor("b", {3}, 0, 32)},
                    .data = ""};
  const std::string bytes = model.bytes();
  const std::size_t info_end = model.head().size();
  ASSERT_TRUE(Gguf::parse(as_bytes(bytes)));
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    SCOPED_TRACE(n);
    const std::string cut = bytes.substr(0, n);
    EXPECT_EQ(message_of(Gguf::parse(as_bytes(cut))), n < info_end ? kEnd : kOutOfRange);
  }
}

TEST(GgufParse, MinimalFileAndItsSerialization) {
  const std::string bytes = Model{.padding = "anything", .data = ""}.bytes();
  ASSERT_EQ(bytes.size(), 32u);
  Result<Gguf> gguf = Gguf::parse(as_bytes(bytes));
  ASSERT_TRUE(gguf) << message_of(gguf);
  EXPECT_TRUE(entries(*gguf).empty());
  EXPECT_TRUE(gguf->tensor_info.empty());
  EXPECT_TRUE(gguf->tensor_data.empty());
  EXPECT_EQ(gguf->serialize().to_string(), bytes.substr(0, 24) + std::string(8, '\0'));
}

TEST(GgufParse, MetadataEndingOnAlignmentWithNothingAfter) {
  // 24 + (8 + 24 + 4 + 4) = 64 bytes.
  const std::string bytes = Model{.kvs = {u32_kv(std::string(24, 'k'), 5)}, .data = ""}.bytes();
  ASSERT_EQ(bytes.size(), 64u);
  Result<Gguf> gguf = Gguf::parse(as_bytes(bytes));
  ASSERT_TRUE(gguf) << message_of(gguf);
  EXPECT_EQ(entries(*gguf).size(), 1u);
  EXPECT_TRUE(gguf->tensor_data.empty());
  EXPECT_EQ(gguf->serialize().to_string(), bytes);
}

TEST(GgufParse, AlignmentComesOnlyFromNonzeroUint32) {
  struct Case {
    const char* name;
    std::vector<std::string> kvs;
    std::uint64_t alignment;
  };
  const std::vector<Case> cases = {
      {"default", {}, 32},
      {"UINT32 64", {u32_kv("general.alignment", 64)}, 64},
      {"UINT32 3", {u32_kv("general.alignment", 3)}, 3},
      {"UINT32 1", {u32_kv("general.alignment", 1)}, 1},
      {"UINT32 0", {u32_kv("general.alignment", 0)}, 32},
      {"UINT64 64", {gguf_kv("general.alignment", kUint64, le64(64))}, 32},
      {"INT32 64", {gguf_kv("general.alignment", kInt32, le32(64))}, 32},
      {"key differs in case", {u32_kv("general.Alignment", 64)}, 32},
      {"key with a suffix", {u32_kv("general.alignment2", 64)}, 32},
      {"last qualifying entry wins", {u32_kv("general.alignment", 64), u32_kv("general.alignment", 128)}, 128},
      {"later UINT64 ignored", {u32_kv("general.alignment", 64), gguf_kv("general.alignment", kUint64, le64(8))}, 64},
      {"later zero ignored", {u32_kv("general.alignment", 48), u32_kv("general.alignment", 0)}, 48},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Model model{.kvs = c.kvs, .tensors = {tensor("t", {5}, 1, 0)}, .alignment = c.alignment};
    const std::string bytes = model.bytes();
    Result<Gguf> gguf = Gguf::parse(as_bytes(bytes));
    ASSERT_TRUE(gguf) << message_of(gguf);
    EXPECT_EQ(gguf->alignment, c.alignment);
    const std::size_t e = model.head().size();
    EXPECT_EQ(data_start(*gguf, bytes), (e + c.alignment - 1) / c.alignment * c.alignment);
    EXPECT_EQ(as_text(gguf->tensor_data), model.data);
    EXPECT_EQ(gguf->serialize().to_string(), bytes);
  }
}

TEST(GgufParse, RoundTripKeepsEveryByte) {
  const std::string nested_strings =
      array_value(kArray, 2, array_value(kString, 2, gguf_string("a") + gguf_string("bc")) + array_value(kString, 1, gguf_string("\xFF\xFE")));
  const Model model{
      .version = 2,
      .kvs = {gguf_kv("u8", kUint8, "\x01"), gguf_kv("i16", kInt16, "\x02\x03"), gguf_kv("f32", kFloat32, "abcd"),
              gguf_kv("b", kBool, "\x07"), gguf_kv("f64", kFloat64, "12345678"), str_kv("bad utf8 value", "\xC0\x80\xFF"),
              gguf_kv("nested", kArray, nested_strings), gguf_kv("empty of 99", kArray, array_value(99, 0, "")),
              gguf_kv("arrays of empty 99", kArray, array_value(kArray, 2, repeat(array_value(99, 0, ""), 2))),
              gguf_kv("u16s", kArray, array_value(kUint16, 3, "aabbcc")), str_kv("dup", "1"), str_kv("dup", "2"),
              gguf_kv("", kInt64, "87654321")},
      .tensors = {tensor("token_embd.weight", {4096, 32000}, 1, 0), tensor("scalar", {}, 0, 64),
                  tensor("\xE2\x82\xAC", {1, 1, 1, 1, 1, 1, 1, 1}, 30, 128)},
  };
  const std::string bytes = model.bytes();
  Result<Gguf> gguf = Gguf::parse(as_bytes(bytes));
  ASSERT_TRUE(gguf) << message_of(gguf);
  EXPECT_EQ(gguf->version, 2u);
  EXPECT_EQ(gguf->tensor_count, 3u);
  EXPECT_EQ(keys(*gguf), (std::vector<std::string>{"u8", "i16", "f32", "b", "f64", "bad utf8 value", "nested",
                                                    "empty of 99", "arrays of empty 99", "u16s", "dup", "dup", ""}));
  const std::vector<Kv> kvs = entries(*gguf);
  for (std::size_t i = 0; i < model.kvs.size(); ++i) {
    EXPECT_EQ(as_text(kvs[i].entry), model.kvs[i]);
    EXPECT_EQ(as_text(kvs[i].raw), model.kvs[i].substr(8 + kvs[i].key.size()));
  }
  const std::string infos = model.tensors[0] + model.tensors[1] + model.tensors[2];
  EXPECT_EQ(as_text(gguf->tensor_info), infos);
  const FileImage image = gguf->serialize();
  EXPECT_EQ(image.to_string(), bytes);
  // Header, one view over all entries and descriptions, padding, data.
  EXPECT_LE(image.piece_count(), 4u);
}

TEST(GgufParse, DeeplyNestedArraysNeitherRecurseNorFail) {
  const std::size_t depth = 100000;
  // Levels of 130 arrays, the first holding two arrays and the next level.
  const std::size_t levels = 300;
  const std::string empty = array_value(kUint8, 0, "");
  const std::string tree = repeat(le32(kArray) + le64(130) + le32(kArray) + le64(2), levels) + empty +
                           repeat(empty + repeat(empty, 129), levels);
  const Model model{.kvs = {nested_kv("deep", depth), gguf_kv("tree", kArray, tree), u32_kv("after", 9)},
                    .tensors = {tensor("t", {1}, 0, 0)}};
  const std::string bytes = model.bytes();
  Result<Gguf> gguf = Gguf::parse(as_bytes(bytes));
  ASSERT_TRUE(gguf) << message_of(gguf);
  EXPECT_EQ(keys(*gguf), (std::vector<std::string>{"deep", "tree", "after"}));
  EXPECT_EQ(entries(*gguf)[0].raw.size(), 4 + 12 * depth);
  EXPECT_EQ(as_text(entries(*gguf)[1].raw), le32(kArray) + tree);
  EXPECT_EQ(gguf->serialize().to_string(), bytes);
}

TEST(GgufParse, NonZeroPaddingComesBackAsZeros) {
  const Model model{.kvs = {u32_kv("a", 1)}, .pad_byte = '\xAA'};
  const std::string bytes = model.bytes();
  Result<Gguf> gguf = Gguf::parse(as_bytes(bytes));
  ASSERT_TRUE(gguf) << message_of(gguf);
  EXPECT_EQ(gguf->serialize().to_string(), Model{.kvs = model.kvs}.bytes());
}

TEST(GgufParse, RemovingAnEntryMovesDataByWholeAlignments) {
  // A 100-byte entry: 8 + 17 + 4 + 8 + 63.
  const std::string hundred = str_kv("c2pa:manifest.uri", std::string(63, 'p'));
  ASSERT_EQ(hundred.size(), 100u);
  std::vector<std::size_t> shifts;
  for (std::size_t filler = 0; filler < 32; ++filler) {
    SCOPED_TRACE(filler);
    const Model model{.kvs = {str_kv("f", std::string(filler, 'f')), hundred},
                      .tensors = {tensor("t", {2, 2}, 0, 0), tensor("u", {3}, 0, 32)}};
    const std::string bytes = model.bytes();
    Result<Gguf> gguf = Gguf::parse(as_bytes(bytes));
    ASSERT_TRUE(gguf) << message_of(gguf);
    gguf->drop_c2pa();
    const std::string out = gguf->serialize().to_string();
    Result<Gguf> again = Gguf::parse(as_bytes(out));
    ASSERT_TRUE(again) << message_of(again);
    EXPECT_EQ(as_text(again->tensor_info), as_text(gguf->tensor_info));
    EXPECT_EQ(as_text(again->tensor_data), model.data);
    EXPECT_EQ(data_start(*again, out) % 32, 0u);
    const std::size_t shift = data_start(*gguf, bytes) - data_start(*again, out);
    EXPECT_TRUE(shift == 96 || shift == 128) << shift;
    shifts.push_back(shift);
  }
  EXPECT_NE(std::find(shifts.begin(), shifts.end(), 96), shifts.end());
  EXPECT_NE(std::find(shifts.begin(), shifts.end(), 128), shifts.end());
}

TEST(GgufValue, ReadU32Value) {
  EXPECT_EQ(read_u32_value(as_bytes(le32(kUint32) + le32(0xDEADBEEF))), 0xDEADBEEFu);
  EXPECT_EQ(read_u32_value(as_bytes(le32(kUint32) + le32(7) + "extra")), 7u);
  EXPECT_EQ(read_u32_value(as_bytes(le32(kInt32) + le32(7))), std::nullopt);
  EXPECT_EQ(read_u32_value(as_bytes(le32(kUint32) + "abc")), std::nullopt);
  EXPECT_EQ(read_u32_value(as_bytes("")), std::nullopt);
}

TEST(GgufCursor, KeepsItsFirstErrorAndStops) {
  const std::string bytes = le32(1) + le64(2) + "xyz";
  Cursor cursor(as_bytes(bytes));
  EXPECT_EQ(cursor.u32(), 1u);
  EXPECT_EQ(cursor.u64(), 2u);
  EXPECT_FALSE(cursor.failed());
  EXPECT_EQ(cursor.u32(), 0u);  // three bytes left
  ASSERT_TRUE(cursor.failed());
  EXPECT_EQ(cursor.error().message(), kEnd);
  // Later reads neither move nor replace the first error.
  EXPECT_TRUE(cursor.take(1).empty());
  cursor.fail(Error::malformed_container("later"));
  EXPECT_EQ(cursor.pos(), 12u);
  EXPECT_EQ(cursor.error().message(), kEnd);

  for (const std::uint64_t n : {std::uint64_t{4}, ~std::uint64_t{0}}) {
    Cursor tail(as_bytes(bytes), 12);
    EXPECT_TRUE(tail.take(n).empty());
    EXPECT_TRUE(tail.failed()) << n;
  }
  Cursor tail(as_bytes(bytes), 12);
  EXPECT_EQ(as_text(tail.take(3)), "xyz");
  EXPECT_EQ(tail.pos(), bytes.size());
  EXPECT_FALSE(tail.failed());
}

// ---- Manifest operations ----

const std::string kPlain = Model{.kvs = {str_kv("general.name", "m"), u32_kv("general.alignment", 32)},
                                 .tensors = {tensor("w", {4}, 0, 0)}}
                               .bytes();

// Reparses an embed or remove result.
struct Reparsed {
  std::string bytes;
  Result<Gguf> gguf;
  explicit Reparsed(const Result<FileImage>& image) : bytes(output(image)), gguf(Gguf::parse(as_bytes(bytes))) {}
};

TEST(GgufManifest, ReadsWithoutC2paEntries) {
  EXPECT_EQ(message_of(handler.read_store(as_bytes(kPlain))), "no C2PA manifest found in model");
  Result<std::optional<std::string>> uri = handler.read_uri(as_bytes(kPlain));
  ASSERT_TRUE(uri) << message_of(uri);
  EXPECT_EQ(*uri, std::nullopt);
}

TEST(GgufManifest, ReadStore) {
  struct Case {
    const char* name;
    std::vector<std::string> kvs;
    std::string expected;  // the store, or the error message
  };
  const std::vector<Case> cases = {
      {"store", {str_kv("a", "b"), u8_array_kv("c2pa:manifest", std::string("\0jumbf\xFF", 7))}, std::string("\0jumbf\xFF", 7)},
      {"empty array", {u8_array_kv("c2pa:manifest", "")}, ""},
      {"STRING", {str_kv("c2pa:manifest", "abc")}, kNotU8Array},
      {"INT8 array", {gguf_kv("c2pa:manifest", kArray, array_value(kInt8, 2, "ab"))}, kNotU8Array},
      {"UINT8 scalar", {gguf_kv("c2pa:manifest", kUint8, "a")}, kNotU8Array},
      {"empty array of arrays", {gguf_kv("c2pa:manifest", kArray, array_value(kArray, 0, ""))}, kNotU8Array},
      {"first wins over a malformed second", {u8_array_kv("c2pa:manifest", "one"), str_kv("c2pa:manifest", "two")}, "one"},
      {"first wins over a valid second", {u8_array_kv("c2pa:manifest", "one"), u8_array_kv("c2pa:manifest", "two")}, "one"},
      {"malformed first fails", {str_kv("c2pa:manifest", "one"), u8_array_kv("c2pa:manifest", "two")}, kNotU8Array},
      {"URI entry is not a store", {u8_array_kv("c2pa:manifest.uri", "x")}, "no C2PA manifest found in model"},
      {"keys match exactly", {u8_array_kv("C2PA:manifest", "x"), u8_array_kv("c2pa:manifes", "x"), u8_array_kv("c2pa:manifest ", "x")},
       "no C2PA manifest found in model"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = Model{.kvs = c.kvs}.bytes();
    Result<std::string> store = handler.read_store(as_bytes(bytes));
    EXPECT_EQ(store ? *store : store.error().message(), c.expected);
  }
}

TEST(GgufManifest, ReadUri) {
  struct Case {
    const char* name;
    std::vector<std::string> kvs;
    std::string expected;  // "=" + the URI, "absent", or the error message
  };
  const std::vector<Case> cases = {
      {"URI", {str_kv("c2pa:manifest.uri", "https://example.com/m.c2pa")}, "=https://example.com/m.c2pa"},
      {"non-ASCII", {str_kv("c2pa:manifest.uri", "https://例え.jp/ü")}, "=https://例え.jp/ü"},
      {"empty", {str_kv("c2pa:manifest.uri", "")}, "="},
      {"UINT32", {u32_kv("c2pa:manifest.uri", 5)}, "malformed model container: c2pa:manifest.uri is not a string"},
      {"UINT8 array", {u8_array_kv("c2pa:manifest.uri", "x")}, "malformed model container: c2pa:manifest.uri is not a string"},
      {"not UTF-8", {str_kv("c2pa:manifest.uri", "\xFF\xFE")}, "malformed model container: URI is not UTF-8"},
      {"first wins", {str_kv("c2pa:manifest.uri", "a"), u32_kv("c2pa:manifest.uri", 1)}, "=a"},
      {"store is not a URI", {u8_array_kv("c2pa:manifest", "x")}, "absent"},
      {"keys match exactly", {str_kv("c2pa:manifest.URI", "x"), str_kv("c2pa:manifest.uri2", "x")}, "absent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = Model{.kvs = c.kvs}.bytes();
    Result<std::optional<std::string>> uri = handler.read_uri(as_bytes(bytes));
    EXPECT_EQ(!uri ? uri.error().message() : *uri ? "=" + **uri : "absent", c.expected);
  }
}

TEST(GgufManifest, EmbedReplacesEveryC2paEntryAndAppendsInOrder) {
  const std::string input = Model{.kvs = {u8_array_kv("c2pa:manifest", "old"), str_kv("a", "1"),
                                          str_kv("c2pa:manifest.uri", "old-uri"), u8_array_kv("c2pa:manifest", "older"),
                                          str_kv("c2pa:manifest.uri2", "kept")},
                                  .tensors = {tensor("w", {4}, 0, 0)}}
                              .bytes();
  struct Case {
    const char* name;
    ManifestSource source;
    std::vector<std::string> keys;
  };
  const std::vector<Case> cases = {
      {"store", store_only("new"), {"a", "c2pa:manifest.uri2", "c2pa:manifest"}},
      {"uri", uri_only("u"), {"a", "c2pa:manifest.uri2", "c2pa:manifest.uri"}},
      {"both", source("u", "new"), {"a", "c2pa:manifest.uri2", "c2pa:manifest", "c2pa:manifest.uri"}},
      {"empty store", store_only(""), {"a", "c2pa:manifest.uri2", "c2pa:manifest"}},
      {"empty uri", uri_only(""), {"a", "c2pa:manifest.uri2", "c2pa:manifest.uri"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reparsed out(handler.embed(as_bytes(input), c.source));
    ASSERT_TRUE(out.gguf) << message_of(out.gguf);
    EXPECT_EQ(keys(*out.gguf), c.keys);
    Result<std::string> store = handler.read_store(as_bytes(out.bytes));
    EXPECT_EQ(store ? *store : store.error().message(), c.source.store.value_or("no C2PA manifest found in model"));
    Result<std::optional<std::string>> uri = handler.read_uri(as_bytes(out.bytes));
    ASSERT_TRUE(uri) << message_of(uri);
    EXPECT_EQ(*uri, c.source.uri);
  }
}

TEST(GgufManifest, EmbeddedEntriesHaveTheirExactLayout) {
  const std::string store("\x00\x01\xFFstore", 8);
  const Reparsed out(handler.embed(as_bytes(kPlain), source("https://h/ü", store)));
  ASSERT_TRUE(out.gguf) << message_of(out.gguf);
  const std::vector<Kv> kvs = entries(*out.gguf);
  ASSERT_EQ(kvs.size(), 4u);
  EXPECT_EQ(as_text(kvs[2].entry), u8_array_kv("c2pa:manifest", store));
  EXPECT_EQ(as_text(kvs[3].entry), str_kv("c2pa:manifest.uri", "https://h/ü"));
  const Reparsed empty(handler.embed(as_bytes(kPlain), store_only("")));
  ASSERT_TRUE(empty.gguf) << message_of(empty.gguf);
  EXPECT_EQ(entries(*empty.gguf).back().raw.size(), 16u);
}

TEST(GgufManifest, EmptySourceWinsOverAnyModelError) {
  EXPECT_EQ(message_of(handler.embed(as_bytes(std::string("not a model")), {})),
            "manifest source has neither an embedded store nor a URI");
  EXPECT_EQ(message_of(handler.embed(as_bytes(kPlain), {})), "manifest source has neither an embedded store nor a URI");
}

TEST(GgufManifest, EmbedKeepsTensorsAligned) {
  for (std::uint32_t alignment : {32u, 64u, 3u}) {
    SCOPED_TRACE(alignment);
    const Model model{.kvs = {u32_kv("general.alignment", alignment)},
                      .tensors = {tensor("w", {8, 8}, 0, 0), tensor("b", {8}, 0, 256)},
                      .alignment = alignment};
    const std::string input = model.bytes();
    Result<Gguf> in = Gguf::parse(as_bytes(input));
    ASSERT_TRUE(in) << message_of(in);
    for (const std::string& store : {std::string("s"), std::string(1000, 'x')}) {
      const Reparsed out(handler.embed(as_bytes(input), store_only(store)));
      ASSERT_TRUE(out.gguf) << message_of(out.gguf);
      EXPECT_EQ(out.gguf->alignment, alignment);
      EXPECT_EQ(data_start(*out.gguf, out.bytes) % alignment, 0u);
      EXPECT_EQ(as_text(out.gguf->tensor_info), as_text(in->tensor_info));
      EXPECT_EQ(as_text(out.gguf->tensor_data), model.data);
      EXPECT_EQ(output(handler.remove(as_bytes(out.bytes))), input);
    }
  }
}

TEST(GgufManifest, EmbedThenRemoveGivesTheInputBack) {
  const std::vector<std::string> inputs = {
      kPlain,
      Model{.data = ""}.bytes(),
      Model{.version = 2, .kvs = {str_kv("x", "y"), str_kv("x", "z")}, .tensors = {tensor("t", {1}, 0, 0)}}.bytes(),
      Model{.kvs = {nested_kv("deep", 5000)}}.bytes(),
  };
  const std::vector<ManifestSource> sources = {
      store_only("s"), uri_only("u"), source("", ""), source("https://x", std::string(70000, '\x9C'))};
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    for (const ManifestSource& source : sources) {
      SCOPED_TRACE(i);
      Result<FileImage> embedded = handler.embed(as_bytes(inputs[i]), source);
      ASSERT_TRUE(embedded) << message_of(embedded);
      const std::string with = embedded->to_string();
      EXPECT_EQ(output(handler.remove(as_bytes(with))), inputs[i]);
    }
    EXPECT_EQ(output(handler.remove(as_bytes(inputs[i]))), inputs[i]);
  }
}

TEST(GgufManifest, RemoveDropsEveryC2paEntry) {
  const Model model{.kvs = {str_kv("c2pa:manifest.uri", "u"), str_kv("a", "1"), u8_array_kv("c2pa:manifest", "s"),
                            str_kv("c2pa:manifest", "wrong type"), str_kv("b", "2")},
                    .pad_byte = '\x01'};
  const Reparsed out(handler.remove(as_bytes(model.bytes())));
  ASSERT_TRUE(out.gguf) << message_of(out.gguf);
  EXPECT_EQ(out.bytes, (Model{.kvs = {str_kv("a", "1"), str_kv("b", "2")}}.bytes()));
}

TEST(GgufManifest, EveryOperationReportsParseErrors) {
  const std::string c2pa = u8_array_kv("c2pa:manifest", "s");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Model{.kvs = {c2pa, str_kv("c2pa:manifest.uri", "u")}, .padding = "", .data = ""}.bytes(), kOutOfRange},
      {"GGU", kEnd},
      {Model{.kvs = {c2pa, gguf_kv("k", 13, "")}}.bytes(), "malformed model container: bad value type 13"},
  };
  for (const auto& [bytes, message] : cases) {
    EXPECT_EQ(message_of(handler.read_store(as_bytes(bytes))), message);
    EXPECT_EQ(message_of(handler.read_uri(as_bytes(bytes))), message);
    EXPECT_EQ(message_of(handler.embed(as_bytes(bytes), store_only("s"))), message);
    EXPECT_EQ(message_of(handler.embed(as_bytes(bytes), uri_only("u"))), message);
    EXPECT_EQ(message_of(handler.remove(as_bytes(bytes))), message);
  }
}

}  // namespace
}  // namespace quillon::gguf
