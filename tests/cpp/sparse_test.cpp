// The reads on a model seen only through a fetch function: every value and
// error is the in-memory one, and the requests stay few however large the
// model. The served model can be mostly virtual (zeros produced on demand),
// so multi-gigabyte models cost no memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base64/base64.hpp"
#include "format/dispatch.hpp"
#include "gguf/gguf.hpp"
#include "models.hpp"
#include "sparse/remote.hpp"

namespace quillon {
namespace {

using sparse::Remote;
using sparse::Traffic;
using test::framed;
using test::gguf_kv;
using test::gguf_string;
using test::le32;
using test::le64;
using test::onnx_entry;
using test::onnx_field;
using test::repeat;
using test::varint;

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

// A model served by range: `head` from offset 0, `tail` ending at `size`,
// zeros between. Counts what it serves and fails the test on a request
// outside the model.
struct Served {
  std::string head;
  std::uint64_t size;
  std::string tail;
  std::uint64_t window = sparse::kFirstWindow;

  static Served whole(std::string bytes, std::uint64_t window = sparse::kFirstWindow) {
    const std::uint64_t size = bytes.size();
    return {std::move(bytes), size, "", window};
  }

  Remote remote() const {
    return Remote{size,
                  [this](std::uint64_t offset, std::uint64_t length) -> Result<std::string> {
                    EXPECT_GT(length, 0u);
                    EXPECT_LE(length, size - offset);
                    std::string out(length, '\0');
                    const std::uint64_t tail_at = size - tail.size();
                    for (std::uint64_t i = 0; i < length; ++i) {
                      const std::uint64_t at = offset + i;
                      if (at < head.size()) out[i] = head[at];
                      if (at >= tail_at) out[i] = tail[at - tail_at];
                    }
                    return out;
                  },
                  "https://example.com/model", window};
  }
};

// The outcome of every read as one text: the value, or the error's message.
std::string text(const std::optional<Format>& f) { return f ? std::string(f->display_name()) : "none"; }
std::string text(const std::string& store) { return "store " + base64::encode(as_bytes(store)); }
std::string text(const std::optional<std::string>& uri) { return uri ? "uri " + *uri : "no uri"; }
std::string text(std::uint64_t size) { return "size " + std::to_string(size); }
std::string text(const std::vector<ByteRange>& ranges) {
  std::string out = "ranges";
  for (const ByteRange& r : ranges) out += " " + std::to_string(r.start) + "+" + std::to_string(r.length);
  return out;
}
std::string text(const Description& d) {
  return std::string(d.format.display_name()) + " " + text(d.uri) + " " +
         (d.store_size ? text(*d.store_size) : "no store");
}
template <class T>
std::string text_of(const Result<T>& r) {
  return r ? text(*r) : r.error().message();
}

// Every read of `model` in memory, and through `remote`, with the traffic
// of each remote read.
std::vector<std::string> in_memory(Bytes model) {
  return {text_of(Result<std::optional<Format>>(detect_format(model))), text_of(read_manifest(model)),
          text_of(read_manifest_uri(model)), text_of(store_ranges(model)), text_of(store_size(model)),
          text_of(describe(model))};
}
std::vector<std::string> remotely(const Remote& remote, std::vector<Traffic>* traffic = nullptr) {
  std::vector<Traffic> t(6);
  std::vector<std::string> out = {
      text_of(sparse::detect_format(remote, &t[0])), text_of(sparse::read_manifest(remote, &t[1])),
      text_of(sparse::read_manifest_uri(remote, &t[2])), text_of(sparse::store_ranges(remote, &t[3])),
      text_of(sparse::store_size(remote, &t[4])), text_of(sparse::describe(remote, &t[5]))};
  if (traffic != nullptr) *traffic = t;
  return out;
}

// ---- The models of the other tests, and what stamping and damage make of them ----

std::string gguf_store(std::string_view store) {
  return gguf_kv("c2pa:manifest", gguf::kArray, le32(gguf::kUint8) + le64(store.size()) + std::string(store));
}
std::string gguf_uri(std::string_view uri) { return gguf_kv("c2pa:manifest.uri", gguf::kString, gguf_string(uri)); }

std::vector<std::string> base_models() {
  using test::GgufModel;
  const std::string vocab = le32(gguf::kString) + le64(40) + repeat(gguf_string("tok"), 40);
  const std::string nested = le32(gguf::kArray) + le64(2) + repeat(le32(gguf::kUint16) + le64(3) + "abcdef", 2);
  const std::string tensor = gguf_string("w") + le32(1) + le64(4) + le32(0) + le64(0);
  const std::string metadata = R"({"__metadata__":{"c2pa:manifest":"c3RvcmU=","c2pa:manifest.uri":"https://e.x/m"},)"
                               R"("t":{"dtype":"U8","shape":[1],"data_offsets":[0,1]}})";
  return {
      // GGUF
      test::empty_gguf(),
      GgufModel{.kvs = {gguf_kv("tokenizer.ggml.tokens", gguf::kArray, vocab), gguf_store("store"), gguf_uri("u")},
                .tensors = {tensor}}
          .bytes(),
      GgufModel{.kvs = {gguf_kv("a", gguf::kArray, nested), gguf_kv("general.alignment", gguf::kUint32, le32(64)),
                        gguf_store("one"), gguf_store("two")}}
          .bytes(),
      GgufModel{.kvs = {gguf_kv("c2pa:manifest", gguf::kString, gguf_string("text")),
                        gguf_kv("c2pa:manifest.uri", gguf::kUint32, le32(1))}}
          .bytes(),
      GgufModel{.version = 1}.bytes(),
      GgufModel{.kvs = {gguf_kv("general.alignment", gguf::kUint32, le32(0xFFFFFFF0))}, .data = ""}.bytes(),
      GgufModel{.kvs = {gguf_kv("k", gguf::kString, le64(std::uint64_t{1} << 63))}}.bytes(),
      GgufModel{.kvs = {gguf_kv("k", gguf::kArray, le32(gguf::kUint64) + le64(std::uint64_t{1} << 40))}}.bytes(),
      GgufModel{.kvs = {gguf_kv("k", gguf::kArray, le32(gguf::kString) + le64(std::uint64_t{1} << 40))}}.bytes(),
      GgufModel{.kvs = {gguf_kv("k", 99, "")}}.bytes(),
      GgufModel{.kv_count = std::uint64_t{1} << 40}.bytes(),
      GgufModel{.tensor_count = std::uint64_t{1} << 40}.bytes(),
      GgufModel{.kvs = {gguf_string("\xff") + le32(gguf::kUint8) + "x"}}.bytes(),
      // SafeTensors
      test::safetensors_model("x"),
      framed(metadata, "x"),
      framed("  \n\t" + metadata, "x"),
      framed(R"({"__metadata__":{"c2pa:manifest":"c3RvcmU="},"x":{"__metadata__":{"c2pa:manifest":"YQ=="}}})"),
      framed(R"({"__metadata__":{"c2pa:manifest":"not base64!"}})"),
      framed(R"({"__metadata__":{"c2pa:manifest.uri":"\u00e9\n"}})"),
      framed("[1,2]"),
      framed("{\"a\":\xff}"),
      framed("{nope"),
      framed("    "),
      le64(std::uint64_t{1} << 63) + "{}",
      le64(~std::uint64_t{0} - 7) + "{}",
      std::string("\x02\0\0\0", 4),
      // ONNX
      test::kMinimalOnnx,
      test::kMinimalOnnx + onnx_field(7, repeat("g", 300)) + onnx_entry("k", "v") +
          onnx_entry("c2pa:manifest", "c3RvcmU=") + onnx_entry("c2pa:manifest.uri", "https://e.x/m") +
          onnx_field(8, "\x08\x0d"),
      test::kMinimalOnnx + onnx_entry("c2pa:manifest", "YQ==") + onnx_entry("c2pa:manifest", "Yg=="),
      test::kMinimalOnnx + onnx_entry("c2pa:manifest", "\xff\xfe") + onnx_entry("c2pa:manifest.uri", "\xff"),
      test::kMinimalOnnx + onnx_field(14, "\x0b"),
      test::kMinimalOnnx + varint(7 << 3 | 2) + varint(std::uint64_t{1} << 62),
      test::kMinimalOnnx + std::string(10, '\xff') + "\x01",
      test::kMinimalOnnx + std::string("\x0b", 1),
      std::string("\x10\x01", 2),
      "",
      "GGU",
  };
}

// The base models, each also stamped with a store and a URI where that works.
std::vector<std::string> models() {
  std::vector<std::string> out;
  const ManifestSource both{std::string("https://example.com/m.c2pa"), std::string(100, '\x5a')};
  for (const std::string& model : base_models()) {
    out.push_back(model);
    if (Result<FileImage> stamped = embed_manifest(as_bytes(model), both)) out.push_back(stamped->to_string());
  }
  return out;
}

// Every cut of `model`, and every byte of it set to 0xFF.
std::vector<std::string> damaged(const std::string& model) {
  std::vector<std::string> out;
  for (std::size_t cut = 0; cut < model.size(); ++cut) out.push_back(model.substr(0, cut));
  for (std::size_t at = 0; at < model.size(); ++at) {
    out.push_back(model);
    out.back()[at] = '\xff';
  }
  return out;
}

// Windows from one byte (a request at nearly every read) to the default.
class SameAsInMemory : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(SameAsInMemory, ForEveryModelAndEveryDamage) {
  std::size_t checked = 0;
  sparse::Buffer shared;  // every in-place read below reuses it, as a thread's local reads do
  for (const std::string& model : models()) {
    std::vector<std::string> variants = damaged(model);
    variants.push_back(model);
    for (const std::string& variant : variants) {
      const Served served = Served::whole(variant, GetParam());
      std::vector<Traffic> traffic;
      const std::vector<std::string> expected = in_memory(as_bytes(variant));
      ASSERT_EQ(remotely(served.remote(), &traffic), expected) << testing::PrintToString(variant);
      for (const Traffic& t : traffic) EXPECT_LE(t.bytes, variant.size());
      Remote in_place = served.remote();
      in_place.fetch_into = [&variant](std::uint64_t offset, std::uint64_t length, std::uint8_t* into) -> Result<Ok> {
        std::copy_n(variant.data() + offset, length, into);
        return Ok{};
      };
      in_place.buffer = &shared;
      in_place.growth = 2;
      ASSERT_EQ(remotely(in_place), expected) << testing::PrintToString(variant);
      ++checked;
    }
  }
  EXPECT_GT(checked, 10000u);
}

INSTANTIATE_TEST_SUITE_P(Sparse, SameAsInMemory, ::testing::Values(1, 5, 64, sparse::kFirstWindow));

// ---- Requests ----

struct Expected {
  std::string store;
  std::optional<std::string> uri;
  ByteRange range;
};

// Every read of `served` succeeds with `expected`, each in at most
// `requests` requests and fetching at most `bytes` bytes.
void expect_reads(const Served& served, const Expected& expected, std::uint64_t requests, std::uint64_t bytes) {
  const Remote remote = served.remote();
  Traffic t[5];
  const Result<std::string> store = sparse::read_manifest(remote, &t[0]);
  ASSERT_TRUE(store) << store.error().message();
  EXPECT_TRUE(*store == expected.store);
  const Result<std::optional<std::string>> uri = sparse::read_manifest_uri(remote, &t[1]);
  ASSERT_TRUE(uri) << uri.error().message();
  EXPECT_EQ(*uri, expected.uri);
  const Result<std::vector<ByteRange>> ranges = sparse::store_ranges(remote, &t[2]);
  ASSERT_TRUE(ranges) << ranges.error().message();
  EXPECT_EQ(*ranges, std::vector<ByteRange>{expected.range});
  const Result<Description> description = sparse::describe(remote, &t[3]);
  ASSERT_TRUE(description) << description.error().message();
  EXPECT_EQ(description->uri, expected.uri);
  EXPECT_EQ(description->store_size, expected.store.size());
  const Result<std::optional<Format>> format = sparse::detect_format(remote, &t[4]);
  ASSERT_TRUE(format && *format);
  for (const Traffic& traffic : t) {
    EXPECT_LE(traffic.requests, requests);
    EXPECT_LE(traffic.bytes, bytes);
  }
  // Detection reads the first window, or for ONNX the top level only.
  if (*format == Format::ONNX) {
    EXPECT_LE(t[4].requests, t[3].requests);
  } else {
    EXPECT_EQ(t[4].requests, 1u);
  }
}

TEST(SparseRequests, SafeTensorsHeaderInOneOrExactlyTwo) {
  const std::string store(3000, 's');
  const std::string encoded = base64::encode(as_bytes(store));
  for (const std::size_t tensors : {10, 2000, 3000, 20000}) {
    const std::string prefix = R"({"__metadata__":{"c2pa:manifest.uri":"u","c2pa:manifest":")";
    const std::string header =
        prefix + encoded + "\"}," +
        repeat(R"("layers.0.attention.weight":{"dtype":"F16","shape":[4096,4096],"data_offsets":[0,33554432]},)",
               tensors) +
        R"("z":{"dtype":"U8","shape":[0],"data_offsets":[0,0]}})";
    const std::uint64_t header_end = 8 + header.size();
    const Served served{le64(header.size()) + header, header_end + 14 * kGiB, ""};
    const bool fits = header_end <= sparse::kFirstWindow;
    // Two requests fetch exactly the header: the first window, then the rest.
    expect_reads(served, {store, "u", {8 + prefix.size(), encoded.size()}}, fits ? 1 : 2,
                 fits ? sparse::kFirstWindow : header_end);
  }
}

TEST(SparseRequests, GgufVocabularyOf256kTokensInThree) {
  std::string vocab = le32(gguf::kString) + le64(256000);
  for (int i = 0; i < 256000; ++i) vocab += gguf_string("<token-" + std::to_string(i) + ">");
  const std::string scores = le32(gguf::kFloat32) + le64(256000) + std::string(256000 * 4, '\0');
  const std::string types = le32(gguf::kInt32) + le64(256000) + std::string(256000 * 4, '\1');
  const std::string store(5000, 's');
  test::GgufModel model{.kvs = {gguf_kv("tokenizer.ggml.tokens", gguf::kArray, vocab),
                                gguf_kv("tokenizer.ggml.scores", gguf::kArray, scores),
                                gguf_kv("tokenizer.ggml.token_type", gguf::kArray, types), gguf_store(store),
                                gguf_uri("https://example.com/m")},
                        .tensors = {gguf_string("w") + le32(1) + le64(4) + le32(0) + le64(0)}};
  const std::string head = model.head();
  ASSERT_GT(head.size(), std::uint64_t{7} << 20);
  const std::uint64_t store_at = head.find(std::string(100, 's'));
  expect_reads({head, 20 * kGiB, ""}, {store, "https://example.com/m", {store_at, store.size()}}, 3,
               head.size() * 3);
}

TEST(SparseRequests, OnnxGraphIsPassedOverUnfetched) {
  const std::string store(1 << 20, 's');
  const std::string encoded = base64::encode(as_bytes(store));
  const std::uint64_t graph = 2 * kGiB;
  const std::string head = test::kMinimalOnnx + onnx_field(2, "producer") + varint(7 << 3 | 2) + varint(graph);
  for (const bool large : {false, true}) {
    // Metadata after the graph: a small entry, or one larger than the window.
    const std::string value = large ? encoded : base64::encode(as_bytes(std::string_view("small")));
    const std::string entry = onnx_entry("c2pa:manifest", value);
    const std::string tail = onnx_field(8, "\x08\x0d") + onnx_entry("c2pa:manifest.uri", "https://e.x/m") + entry;
    const Served served{head, head.size() + graph + tail.size(), tail};
    const std::uint64_t value_at = served.size - value.size();
    expect_reads(served, {large ? store : "small", "https://e.x/m", {value_at, value.size()}}, large ? 3 : 2,
                 8 * sparse::kFirstWindow);
  }
}

// Lengths and counts far beyond the model fail as in memory, after one
// request of the first window.
TEST(SparseRequests, HostileLengthsEndWithoutAHugeFetch) {
  struct Case {
    std::string head;
    const char* message;
  };
  const Case cases[] = {
      {test::GgufModel{.kvs = {gguf_kv("k", gguf::kString, le64(std::uint64_t{1} << 63))}}.head(),
       "malformed model container: unexpected end of GGUF data"},
      {test::GgufModel{.kvs = {gguf_kv("k", gguf::kArray, le32(gguf::kUint32) + le64(std::uint64_t{1} << 40))}}.head(),
       "malformed model container: unexpected end of GGUF data"},
      {test::GgufModel{.kv_count = std::uint64_t{1} << 40}.head(),
       "malformed model container: unexpected end of GGUF data"},
      {le64(std::uint64_t{1} << 63) + "{}", "unrecognized ML model container format"},
      {test::kMinimalOnnx + varint(7 << 3 | 2) + varint(std::uint64_t{1} << 62),
       "unrecognized ML model container format"},
  };
  for (const Case& c : cases) {
    // The GGUF models end in zeros: a count of entries with empty keys and
    // type 0 would walk on, so the served size is that of the head.
    const Served served{c.head, c.head.size(), ""};
    Traffic traffic;
    const Result<std::string> store = sparse::read_manifest(served.remote(), &traffic);
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error().message(), c.message);
    EXPECT_EQ(traffic.requests, 1u);
  }
}

// ---- Fetches that fail ----

TEST(SparseFetch, ErrorsEndTheReadUnchanged) {
  const std::string model = test::GgufModel{.kvs = {gguf_store(std::string(1000, 's'))}}.bytes();
  struct Case {
    std::uint64_t fail_at;  // the request that goes wrong, counted from 0
    int how;                // 0: an error, 1: a byte short, 2: a byte over
  };
  for (const Case c : {Case{0, 0}, Case{1, 0}, Case{0, 1}, Case{1, 2}}) {
    std::uint64_t requests = 0;
    std::string asked;
    Remote remote{model.size(),
                  [&](std::uint64_t offset, std::uint64_t length) -> Result<std::string> {
                    std::string bytes = model.substr(offset, length);
                    asked = std::to_string(length) + " were asked at offset " + std::to_string(offset);
                    if (requests++ != c.fail_at) return bytes;
                    if (c.how == 0) return Error::system_failure(ECONNRESET, "https://h/m", "connection reset");
                    if (c.how == 1) bytes.pop_back();
                    if (c.how == 2) bytes += 'x';
                    return bytes;
                  },
                  "https://h/m", 64};
    const Result<std::string> store = sparse::read_manifest(remote);
    ASSERT_FALSE(store);
    EXPECT_EQ(requests, c.fail_at + 1);
    const std::string got = std::to_string(std::stoull(asked) + (c.how == 1 ? -1 : 1));
    EXPECT_EQ(store.error().message(), c.how == 0 ? "https://h/m: connection reset"
                                                  : "https://h/m: fetched " + got + " bytes where " + asked);
    EXPECT_EQ(store.error().system_code(), c.how == 0 ? ECONNRESET : EIO);
  }
}

// A length within a size the server claims, but beyond what a read may
// fetch, fails before the fetch is asked for.
TEST(SparseFetch, LimitEndsAReadBeforeAHugeRequest) {
  const std::string head =
      test::GgufModel{.kvs = {gguf_kv("k", gguf::kString, le64(std::uint64_t{3} << 30)), gguf_store("s")}}.head();
  Served served{head, 20 * kGiB, ""};
  for (const std::uint64_t limit : {sparse::kFetchLimit, std::uint64_t{1000}}) {
    Remote remote = served.remote();
    remote.limit = limit;
    Traffic traffic;
    const Result<std::string> store = sparse::read_manifest(remote, &traffic);
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error().message(),
              "https://example.com/model: reading it would fetch more than " + std::to_string(limit) + " bytes");
    EXPECT_EQ(store.error().system_code(), EFBIG);
    EXPECT_EQ(traffic.requests, 1u);
    EXPECT_LE(traffic.bytes, limit);
  }
}

}  // namespace
}  // namespace quillon
