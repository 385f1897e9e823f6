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
#include "format/sets.hpp"
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
std::string text(const SetFacts& f) {
  auto number = [](const std::optional<std::uint64_t>& value) { return value ? std::to_string(*value) : "-"; };
  std::string out = "set " + std::to_string(f.tensor_count) + " split " + number(f.split_no) + "/" +
                    number(f.split_count) + " of " + number(f.split_tensors_count) + " bytes " +
                    std::to_string(f.tensor_bytes);
  for (const std::string& name : f.tensor_names) out += " " + name;
  for (const ExternalData& d : f.external_data) {
    out += " " + d.tensor + "@" + d.location + ":" + std::to_string(d.offset) + "+" + number(d.length);
  }
  return out;
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
          text_of(describe(model)), text_of(set_facts(model))};
}
std::vector<std::string> remotely(const Remote& remote, std::vector<Traffic>* traffic = nullptr) {
  std::vector<Traffic> t(7);
  std::vector<std::string> out = {
      text_of(sparse::detect_format(remote, &t[0])), text_of(sparse::read_manifest(remote, &t[1])),
      text_of(sparse::read_manifest_uri(remote, &t[2])), text_of(sparse::store_ranges(remote, &t[3])),
      text_of(sparse::store_size(remote, &t[4])), text_of(sparse::describe(remote, &t[5])),
      text_of(sparse::set_facts(remote, &t[6]))};
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
      GgufModel{.kvs = {gguf_kv("split.no", gguf::kUint16, "\x01\x00"), gguf_kv("split.count", gguf::kUint16, "\x03\x00"),
                        gguf_kv("split.tensors.count", gguf::kInt32, le32(7))},
                .tensors = {tensor}}
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
      // An initializer whose data lies in w.bin from byte 64 (TensorProto: name, external_data, data_location).
      test::kMinimalOnnx +
          onnx_field(7, onnx_field(5, onnx_field(8, "w") +
                                          onnx_field(13, onnx_field(1, "location") + onnx_field(2, "w.bin")) +
                                          onnx_field(13, onnx_field(1, "offset") + onnx_field(2, "64")) + "\x70\x01")),
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

// ---- Rewrites ----

// The new file that `rewrite` describes, made from its parts and the whole
// `model`; its image resolved against the model must agree.
std::string resolved(const sparse::Rewrite& rewrite, const std::string& model) {
  std::string out;
  for (const sparse::Rewrite::Part& part : rewrite.parts()) {
    if (part.input) {
      EXPECT_LE(part.input->start + part.input->length, model.size());
      out += model.substr(part.input->start, part.input->length);
    } else {
      out += part.zeros != 0 ? std::string(part.zeros, '\0') : std::string(as_text(part.bytes));
    }
  }
  EXPECT_EQ(out, rewrite.image().to_string(as_bytes(model)));
  return out;
}

std::string text_of(const Result<FileImage>& r) {
  return r ? "file " + base64::encode(as_bytes(r->to_string())) : r.error().message();
}
std::string text_of(const Result<std::vector<StorePatch>>& r, const std::string& model) {
  if (!r) return r.error().message();
  std::string out = model;
  for (const StorePatch& patch : *r) out.replace(patch.range.start, patch.range.length, patch.bytes);
  return "file " + base64::encode(as_bytes(out));
}
std::string text_of(const Result<sparse::Rewrite>& r, const std::string& model) {
  return r ? "file " + base64::encode(as_bytes(resolved(*r, model))) : r.error().message();
}

// Every rewrite of `model` in memory, then through `remote`.
std::vector<std::string> rewrites_in_memory(const std::string& model, const std::vector<ManifestSource>& sources,
                                            const std::vector<std::string>& stores) {
  std::vector<std::string> out{text_of(remove_manifest(as_bytes(model)))};
  for (const ManifestSource& source : sources) out.push_back(text_of(embed_manifest(as_bytes(model), source)));
  for (const std::string& store : stores) out.push_back(text_of(patch_store(as_bytes(model), as_bytes(store)), model));
  return out;
}
std::vector<std::string> rewrites_remotely(const std::string& model, std::uint64_t window,
                                           const std::vector<ManifestSource>& sources,
                                           const std::vector<std::string>& stores) {
  const Served served = Served::whole(model, window);
  const Remote remote = served.remote();
  Traffic traffic;
  std::vector<std::string> out{text_of(sparse::remove_manifest(remote, &traffic), model)};
  EXPECT_LE(traffic.bytes, model.size());
  for (const ManifestSource& source : sources) {
    out.push_back(text_of(sparse::embed_manifest(remote, source, &traffic), model));
    EXPECT_LE(traffic.bytes, model.size());
  }
  for (const std::string& store : stores) {
    out.push_back(text_of(sparse::patch_store(remote, as_bytes(store), &traffic), model));
    EXPECT_LE(traffic.bytes, model.size());
  }
  return out;
}

class RewritesSameAsInMemory : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(RewritesSameAsInMemory, ForEveryModelAndEveryDamage) {
  const std::vector<ManifestSource> sources = {
      {std::string("https://example.com/m.c2pa"), std::string(5000, '\x5a')},
      test::store_only("s"),
      test::store_only(""),
      test::uri_only("https://example.com/other"),
      {},
  };
  std::size_t checked = 0;
  for (const std::string& model : models()) {
    std::vector<std::string> variants = damaged(model);
    variants.push_back(model);
    for (const std::string& variant : variants) {
      // A store of the embedded one's size, and one too long.
      const Result<std::uint64_t> size = store_size(as_bytes(variant));
      const std::string same(size ? *size : 3, 'P');
      const std::vector<std::string> stores = {same, same + "PPP"};
      ASSERT_EQ(rewrites_remotely(variant, GetParam(), sources, stores), rewrites_in_memory(variant, sources, stores))
          << testing::PrintToString(variant);
      ++checked;
    }
  }
  EXPECT_GT(checked, 10000u);
}

INSTANTIATE_TEST_SUITE_P(Sparse, RewritesSameAsInMemory, ::testing::Values(1, 64, sparse::kFirstWindow));

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

// Rewrites of models of many gigabytes fetch only their metadata, in as
// many requests as the reads, and name the data they carry over as one
// range of the model.
TEST(SparseRequests, RewritesCarryTheDataOverUnfetched) {
  const std::string encoded = base64::encode(as_bytes(std::string(3000, 's')));
  const std::string header = R"({"__metadata__":{"c2pa:manifest":")" + encoded +
                             R"("},"t":{"dtype":"U8","shape":[1],"data_offsets":[0,1]}})";
  const std::string onnx_head = test::kMinimalOnnx + varint(7 << 3 | 2) + varint(2 * kGiB);
  const std::string onnx_tail = onnx_field(8, "\x08\x0d") + onnx_entry("c2pa:manifest", encoded);
  const std::string gguf_head =
      test::GgufModel{.kvs = {gguf_store(std::string(3000, 's'))},
                      .tensors = {gguf_string("w") + le32(1) + le64(4) + le32(0) + le64(0)}}
          .head();
  struct Case {
    Served served;
    std::uint64_t data_start;  // the data carried over runs from here
    std::uint64_t data_end;    //   to here (0: the end)
    std::uint64_t requests;
  };
  const Case cases[] = {
      {{le64(header.size()) + header, 8 + header.size() + 14 * kGiB, ""}, 8 + header.size(), 0, 1},
      {{gguf_head, 20 * kGiB, ""}, (gguf_head.size() + 31) / 32 * 32, 0, 1},
      {{onnx_head, onnx_head.size() + 2 * kGiB + onnx_tail.size(), onnx_tail}, 0, onnx_head.size() + 2 * kGiB, 2},
  };
  const ManifestSource source = test::store_only(std::string(2000, 'n'));
  const std::string patch(3000, 'p');
  for (const Case& c : cases) {
    const Remote remote = c.served.remote();
    Traffic traffic[3];
    const Result<sparse::Rewrite> rewrites[] = {sparse::embed_manifest(remote, source, &traffic[0]),
                                                sparse::remove_manifest(remote, &traffic[1]),
                                                sparse::patch_store(remote, as_bytes(patch), &traffic[2])};
    const std::uint64_t data_end = c.data_end != 0 ? c.data_end : c.served.size;
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(rewrites[i]) << rewrites[i].error().message();
      EXPECT_LE(traffic[i].requests, c.requests);
      EXPECT_LE(traffic[i].bytes, 2 * sparse::kFirstWindow);
      EXPECT_TRUE(rewrites[i]->image().has_input());
      std::uint64_t total = 0;
      bool carried = false;
      for (const sparse::Rewrite::Part& part : rewrites[i]->parts()) {
        total += part.input ? part.input->length : part.zeros + part.bytes.size();
        if (part.input && part.input->start <= c.data_start &&
            part.input->start + part.input->length >= data_end) {
          carried = true;
        }
      }
      EXPECT_EQ(total, rewrites[i]->image().size());
      EXPECT_TRUE(carried) << i;
    }
    // A patch keeps the size; an embed of a shorter store shrinks the file.
    EXPECT_EQ(rewrites[2]->image().size(), c.served.size);
    EXPECT_LT(rewrites[0]->image().size(), c.served.size);
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
