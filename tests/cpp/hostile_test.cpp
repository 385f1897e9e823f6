// Hostile inputs through the manifest operations: absurd lengths and counts,
// overflowing offsets and deep nesting. Each must end in its error (or, for
// depth, a clean MalformedContainer), never in a crash, a hang or an
// allocation sized by a number taken from the file. Inputs that the fuzzers
// found are kept at the end.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "format/dispatch.hpp"
#include "models.hpp"
#include "onnx/probe.hpp"
#include "onnx/wire.hpp"
#include "onnx_fields.hpp"
#include "safetensors/header.hpp"
#include "safetensors/manifest.hpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_HOSTILE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_HOSTILE_ASAN 1
#endif

#ifndef QUILLON_HOSTILE_ASAN
// No single allocation in these tests needs more than this (the largest is
// the tree of a million nested containers). Anything bigger was sized by a
// count from the file, so it aborts the test at once instead of reserving
// address space that is never touched. Under AddressSanitizer its allocator
// does this job (it rejects requests beyond its maximum size). The library's
// operator delete releases with free(), so it pairs with this as it is.
namespace {
constexpr std::size_t kAllocationLimit = std::size_t{512} << 20;
}  // namespace

void* operator new(std::size_t size) {
  if (size > kAllocationLimit) {
    std::fprintf(stderr, "allocation of %zu bytes sized by the input\n", size);
    std::abort();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
#endif

namespace quillon {
namespace {

constexpr std::uint64_t kMax64 = ~std::uint64_t{0};
constexpr char kUnrecognized[] = "unrecognized ML model container format";
constexpr char kGgufEnd[] = "malformed model container: unexpected end of GGUF data";
constexpr char kOnnxEnd[] = "malformed model container: unexpected end of ONNX protobuf";
constexpr char kExceeds[] = "malformed model container: header length exceeds file";

const ManifestSource kStore{std::nullopt, std::string("store")};
const ManifestSource kBoth{std::string("https://example.com/m"), std::string("store")};

using test::framed;
using test::gguf_string;
using test::le32;
using test::le64;
using test::repeat;
using test::varint;

// The message of each of the four operations on `model` (embedding a store),
// or "ok" where it succeeds, in the order read, read URI, embed, remove.
std::vector<std::string> outcomes(const std::string& model) {
  const Bytes bytes = as_bytes(model);
  std::vector<std::string> out;
  auto note = [&](const auto& result) { out.push_back(test::message_of(result)); };
  note(read_manifest(bytes));
  note(read_manifest_uri(bytes));
  note(embed_manifest(bytes, kStore));
  note(remove_manifest(bytes));
  return out;
}

std::vector<std::string> all_four(const std::string& message) { return {message, message, message, message}; }

// ---- GGUF ----

// A version-3 file with `count` declared entries followed by `body`, padded
// with zeros to a multiple of 32, and 8 zero bytes of tensor data.
std::string gguf_file(std::uint64_t count, const std::string& body, std::uint64_t tensors = 0) {
  return test::GgufModel{.kvs = {body}, .kv_count = count, .tensor_count = tensors, .data = std::string(8, '\0')}
      .bytes();
}

// An entry "deep" holding `depth` arrays nested one in another, each with
// one element; the innermost holds one value of type `leaf_type`.
std::string nested_arrays(std::size_t depth, std::uint32_t leaf_type, const std::string& leaf) {
  return gguf_string("deep") + le32(9) + repeat(le32(9) + le64(1), depth - 1) + le32(leaf_type) + le64(1) + leaf;
}

TEST(HostileGguf, ArraysNestedTensOfThousandsDeep) {
  constexpr std::size_t kDepth = 50'000;
  const std::string model = gguf_file(1, nested_arrays(kDepth, 0, "\x2a"));
  EXPECT_EQ(outcomes(model), (std::vector<std::string>{"no C2PA manifest found in model", "ok", "ok", "ok"}));
  auto removed = remove_manifest(as_bytes(model));
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->to_string(), model);
  auto embedded = embed_manifest(as_bytes(model), kBoth);
  ASSERT_TRUE(embedded);
  const std::string out = embedded->to_string();
  EXPECT_EQ(read_manifest(as_bytes(out)).value(), "store");
  EXPECT_EQ(read_manifest_uri(as_bytes(out)).value(), "https://example.com/m");

  // The same depth, broken at the bottom.
  const std::string leaf = nested_arrays(kDepth, 0, "");
  EXPECT_EQ(outcomes(gguf_file(1, leaf).substr(0, 24 + leaf.size())), all_four(kGgufEnd));
  EXPECT_EQ(outcomes(gguf_file(1, nested_arrays(kDepth, 13, "x"))),
            all_four("malformed model container: bad value type 13"));
}

TEST(HostileGguf, LengthsAndCountsBeyondTheFile) {
  const std::string array = le32(9);
  const struct {
    const char* what;
    std::string model;
    const char* message;
  } cases[] = {
      {"string value of 2^63 bytes", gguf_file(1, gguf_string("k") + le32(8) + le64(std::uint64_t{1} << 63)),
       kGgufEnd},
      {"string value of 2^64-1 bytes", gguf_file(1, gguf_string("k") + le32(8) + le64(kMax64)), kGgufEnd},
      {"key of 2^63 bytes", gguf_file(1, le64(std::uint64_t{1} << 63) + "k"), kGgufEnd},
      {"URI entry of 2^63 bytes", gguf_file(1, gguf_string("c2pa:manifest.uri") + le32(8) + le64(std::uint64_t{1} << 63)),
       kGgufEnd},
      {"UINT8 array of 2^63 elements",
       gguf_file(1, gguf_string("c2pa:manifest") + array + le32(0) + le64(std::uint64_t{1} << 63)), kGgufEnd},
      {"UINT64 array whose byte size wraps to 0",
       gguf_file(1, gguf_string("k") + array + le32(10) + le64(std::uint64_t{1} << 61)), kGgufEnd},
      {"STRING array of 2^63 elements",
       gguf_file(1, gguf_string("k") + array + le32(8) + le64(std::uint64_t{1} << 63) + gguf_string("a")), kGgufEnd},
      {"2^63 empty arrays", gguf_file(1, gguf_string("k") + array + le32(9) + le64(std::uint64_t{1} << 63) +
                                             repeat(le32(0) + le64(0), 100)),
       kGgufEnd},
      {"metadata count 2^40", gguf_file(std::uint64_t{1} << 40, ""), kGgufEnd},
      {"metadata count 2^64-1", gguf_file(kMax64, gguf_string("a") + le32(0) + "x"), kGgufEnd},
      {"tensor count 2^40", gguf_file(0, "", std::uint64_t{1} << 40), kGgufEnd},
      {"tensor of 2^32-1 dimensions", gguf_file(0, gguf_string("t") + le32(~0u), 1), kGgufEnd},
      {"alignment 2^32-1", gguf_file(1, gguf_string("general.alignment") + le32(4) + le32(~0u)),
       "malformed model container: tensor data offset out of range"},
  };
  for (const auto& c : cases) EXPECT_EQ(outcomes(c.model), all_four(c.message)) << c.what;
}

// ---- SafeTensors ----

// Four bytes of tensor data after each header.
const std::string kTensorData(4, '\0');

constexpr std::size_t kMillion = 1'000'000;

// A million nested arrays or objects inside a header, closed or cut off
// right after the last one opens.
struct Nesting {
  const char* what;
  std::string header;
};

std::vector<Nesting> million_deep(bool closed) {
  const std::string arrays = repeat("[", kMillion) + (closed ? repeat("]", kMillion) : "");
  const std::string objects = repeat(R"({"a":)", kMillion) + (closed ? std::string("0") + repeat("}", kMillion) : std::string());
  const std::string end = closed ? "}" : "";
  return {{"arrays", R"({"t":)" + arrays + end}, {"objects", R"({"__metadata__":)" + objects + end}};
}

TEST(HostileSafeTensors, MillionNestedContainersCutOff) {
  const std::vector<std::string> expected{
      "data hash exclusion is malformed: header length field does not span valid JSON: unexpected end of input",
      "malformed model container: unexpected end of input",
      "malformed model container: unexpected end of input",
      "malformed model container: unexpected end of input",
  };
  for (const Nesting& nesting : million_deep(false)) {
    EXPECT_EQ(outcomes(framed(nesting.header, kTensorData)), expected) << nesting.what;
  }
}

// Valid JSON of any depth: the operations either work as on a flat header or
// refuse the depth with a clean error of their own.
TEST(HostileSafeTensors, MillionNestedContainersClosed) {
  for (const Nesting& nesting : million_deep(true)) {
    const std::string model = framed(nesting.header, kTensorData);
    const Bytes bytes = as_bytes(model);
    auto store = read_manifest(bytes);
    auto uri = read_manifest_uri(bytes);
    auto embedded = embed_manifest(bytes, kBoth);
    auto removed = remove_manifest(bytes);
    if (!uri) {
      EXPECT_EQ(store.error().kind(), Error::Kind::MalformedExclusion) << nesting.what;
      for (const Error* error : {&uri.error(), &embedded.error(), &removed.error()}) {
        EXPECT_EQ(error->kind(), Error::Kind::MalformedContainer) << nesting.what;
      }
      continue;
    }
    EXPECT_EQ(store.error().kind(), Error::Kind::NoManifest) << nesting.what;
    EXPECT_EQ(*uri, std::nullopt) << nesting.what;
    ASSERT_TRUE(removed) << nesting.what;
    ASSERT_TRUE(embedded) << nesting.what;
    const std::string out = embedded->to_string();
    EXPECT_EQ(read_manifest(as_bytes(out)).value(), "store");
    EXPECT_EQ(read_manifest_uri(as_bytes(out)).value(), "https://example.com/m");
  }
}

TEST(HostileSafeTensors, HeaderLengthsThatWrap) {
  for (std::uint64_t n : {kMax64 - 7, kMax64, kMax64 - 8, std::uint64_t{1} << 63}) {
    for (const std::string& rest : {std::string(), std::string("{}") + std::string(14, ' ')}) {
      const std::string model = le64(n) + rest;
      const Bytes bytes = as_bytes(model);
      auto bounds = safetensors::header_bounds(bytes);
      ASSERT_FALSE(bounds) << n;
      EXPECT_EQ(bounds.error().message(), kExceeds) << n;
      EXPECT_FALSE(safetensors::is_safetensors(bytes)) << n;
      EXPECT_EQ(safetensors::handler.read_store(bytes).error().message(), kExceeds);
      EXPECT_EQ(safetensors::handler.read_uri(bytes).error().message(), kExceeds);
      EXPECT_EQ(safetensors::handler.embed(bytes, kStore).error().message(), kExceeds);
      EXPECT_EQ(safetensors::handler.remove(bytes).error().message(), kExceeds);
      if (rest.empty()) {
        EXPECT_EQ(outcomes(model), all_four(kUnrecognized)) << n;
      }
    }
  }
}

// ---- ONNX ----

// A model (IR version 7) whose one metadata entry holds `entry` as its bytes.
std::string onnx_with_entry(const std::string& entry) { return test::kMinimalOnnx + test::onnx_field(14, entry); }

const std::string kTenOnes = repeat("\xff", 10);

struct WireCase {
  const char* what;
  std::string bytes;
  const char* detail;
};

std::vector<WireCase> hostile_fields() {
  return {
      {"length 2^64-1", std::string("\x0a") + varint(kMax64) + "abc", "unexpected end of ONNX protobuf"},
      {"length 2^63", std::string("\x0a") + varint(std::uint64_t{1} << 63) + "abc", "unexpected end of ONNX protobuf"},
      // The tag and the 10-byte length take 11 bytes, so the end wraps to 1.
      {"length whose end wraps", std::string("\x0a") + varint(kMax64 - 9) + "abc", "unexpected end of ONNX protobuf"},
      {"length whose end wraps to 0", std::string("\x0a") + varint(kMax64 - 10) + "abc", "unexpected end of ONNX protobuf"},
      {"64-bit value cut short", std::string("\x09") + std::string(7, '\0'), "unexpected end of ONNX protobuf"},
      {"ten-byte tag of all ones", repeat("\xff", 9) + "\x01", "unsupported wire type 7"},
      {"ten-byte tag with a high last byte", repeat("\xff", 9) + "\x7f", "unsupported wire type 7"},
      {"ten bytes of 0xff at the end", kTenOnes, "unexpected end of ONNX protobuf"},
      {"ten bytes of 0xff and one more", kTenOnes + std::string(1, '\0'), "varint overflow"},
      {"ten-byte varint value of all ones", std::string("\x08") + kTenOnes + std::string(1, '\0'), "varint overflow"},
  };
}

TEST(HostileOnnx, ScannerRejectsOverflowingFields) {
  for (const WireCase& c : hostile_fields()) {
    auto fields = onnx::scan_fields(as_bytes(c.bytes));
    ASSERT_FALSE(fields) << c.what;
    EXPECT_EQ(fields.error().detail(), c.detail) << c.what;
    EXPECT_FALSE(onnx::is_onnx(as_bytes(c.bytes))) << c.what;
  }
}

// At the top level a field that does not scan makes the file unrecognized;
// inside a metadata entry it is the ONNX handler's error.
TEST(HostileOnnx, OverflowsThroughTheOperations) {
  for (const WireCase& c : hostile_fields()) {
    EXPECT_EQ(outcomes("\x08\x07" + c.bytes), all_four(kUnrecognized)) << c.what;
    EXPECT_EQ(outcomes(onnx_with_entry(c.bytes)), all_four(std::string("malformed model container: ") + c.detail))
        << c.what;
  }
}

// Field numbers are compared at full width: 2^32 + 1 is not field 1.
TEST(HostileOnnx, WideFieldNumbersAreNotModelFields) {
  for (std::uint64_t number : {(std::uint64_t{1} << 32) + 1, (std::uint64_t{1} << 32) + 7, (std::uint64_t{1} << 61) - 1}) {
    const std::string model = varint(number << 3) + varint(1);
    EXPECT_EQ(detect_format(as_bytes(model)), std::nullopt) << number;
    EXPECT_EQ(outcomes(model), all_four(kUnrecognized)) << number;
  }
}

}  // namespace
}  // namespace quillon
