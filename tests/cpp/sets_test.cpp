// Set facts: what ties a model to the other files of a set, read from its
// metadata, and the faults of that metadata.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/sets.hpp"
#include "models.hpp"

namespace quillon {
namespace {

using namespace test;

// The facts in one line, or the error's message.
std::string summary(const Result<SetFacts>& result) {
  if (!result) return result.error().message();
  const SetFacts& facts = *result;
  auto number = [](const std::optional<std::uint64_t>& value) { return value ? std::to_string(*value) : "-"; };
  std::string out = std::string(facts.format.display_name()) + " " + std::to_string(facts.tensor_count);
  switch (facts.format) {
    case Format::GGUF:
      return out + " split " + number(facts.split_no) + "/" + number(facts.split_count) + " of " +
             number(facts.split_tensors_count);
    case Format::SafeTensors:
      for (const std::string& name : facts.tensor_names) out += " " + name;
      return out + " bytes " + std::to_string(facts.tensor_bytes);
    case Format::ONNX:
      for (const ExternalData& data : facts.external_data) {
        out += " " + data.tensor + "@" + data.location + ":" + std::to_string(data.offset) + "+" + number(data.length);
      }
      return out;
  }
  return out;
}

std::string u16(std::uint16_t value) { return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)}; }

std::string splits(std::uint16_t no, std::uint16_t count, std::int32_t tensors) {
  return gguf_kv("split.no", 2, u16(no)) + gguf_kv("split.count", 2, u16(count)) +
         gguf_kv("split.tensors.count", 5, le32(static_cast<std::uint32_t>(tensors)));
}

// An ONNX model whose graph holds `tensors` as initializers.
std::string onnx_with(const std::vector<std::string>& tensors) {
  std::string graph;
  for (const std::string& tensor : tensors) graph += onnx_field(5, tensor);
  return kMinimalOnnx + onnx_field(7, graph);
}

std::string entry(std::string_view key, std::string_view value) {
  return onnx_field(13, onnx_field(1, key) + onnx_field(2, value));
}

// TensorProto: name, then its external data entries, then data_location.
std::string external(std::string_view name, const std::string& entries, std::uint64_t location = 1) {
  return onnx_field(8, name) + entries + varint(14 << 3) + varint(location);
}

struct Case {
  const char* name;
  std::string model;
  std::string expected;
};

std::vector<Case> cases() {
  const std::string kOffsets = R"(,"dtype":"U8","shape":[2])";
  return {
      {"gguf split as gguf-split writes it",
       GgufModel{.kvs = {gguf_kv("general.name", 8, gguf_string("m")), splits(1, 3, 5)},
                 .tensors = {gguf_tensor("a", {2}, 0, 0), gguf_tensor("b", {2}, 0, 32)},
                 .kv_count = 4,
                 .data = std::string(64, 'x')}
           .bytes(),
       "GGUF 2 split 1/3 of 5"},
      {"gguf without split keys", empty_gguf(), "GGUF 0 split -/- of -"},
      {"gguf split keys of other integer types",
       GgufModel{.kvs = {gguf_kv("split.no", 4, le32(2)), gguf_kv("split.count", 10, le64(4)),
                         gguf_kv("split.tensors.count", 0, "\x07")}}
           .bytes(),
       "GGUF 0 split 2/4 of 7"},
      {"gguf split keys negative or not integers; the first one counts",
       GgufModel{.kvs = {gguf_kv("split.no", 8, gguf_string("1")), gguf_kv("split.tensors.count", 5, le32(~0U)),
                         gguf_kv("split.count", 2, u16(2)), gguf_kv("split.count", 2, u16(9))}}
           .bytes(),
       "GGUF 0 split -/2 of -"},
      {"gguf cut short", GgufModel{.kvs = {splits(1, 2, 2)}}.head().substr(0, 40),
       "malformed model container: unexpected end of GGUF data"},
      {"safetensors shard", framed(R"({"__metadata__":{"format":"pt"},"b":{"data_offsets":[2,6])" + kOffsets +
                                   R"(},"a\u00e9":{"data_offsets":[0,2]}})", "abcdef"),
       "SafeTensors 2 b aé bytes 6"},
      {"safetensors without tensors", framed(R"({"__metadata__":{"data_offsets":[0,99]}})"), "SafeTensors 0 bytes 0"},
      {"safetensors data past the end", framed(R"({"t":{"data_offsets":[0,7]}})", "abc"),
       "malformed model container: tensor data ends past the end of the file"},
      {"safetensors offsets not integers", framed(R"({"t":{"data_offsets":[0,1.5]}})", "ab"),
       "malformed model container: data_offsets is not two integers"},
      {"safetensors offsets beyond 64 bits", framed(R"({"t":{"data_offsets":[0,18446744073709551616]}})", "ab"),
       "malformed model container: data_offsets is not two integers"},
      {"safetensors three offsets", framed(R"({"t":{"data_offsets":[0,1,2]}})", "ab"),
       "malformed model container: data_offsets is not two integers"},
      {"safetensors nested offsets", framed(R"({"t":{"data_offsets":[0,[1]]}})", "ab"),
       "malformed model container: data_offsets is not two integers"},
      {"safetensors offsets not an array", framed(R"({"t":{"data_offsets":"0,1"}})", "ab"),
       "malformed model container: data_offsets is not two integers"},
      {"safetensors tensor not an object", framed(R"({"t":[0,1]})", "ab"),
       "malformed model container: tensor entry is not an object"},
      {"safetensors name with a lone surrogate", framed(R"({"\ud800":{"data_offsets":[0,1]}})", "ab"),
       "malformed model container: lone high surrogate"},
      {"onnx external data", onnx_with({external("w", entry("location", "w.bin") + entry("offset", "4096") +
                                                           entry("length", "64")),
                                        onnx_field(8, "inline") + onnx_field(9, "raw"),
                                        external("v", entry("location", "sub/v.bin"))}),
       "ONNX 3 w@w.bin:4096+64 v@sub/v.bin:0+-"},
      {"onnx external entries without data_location EXTERNAL",
       onnx_with({external("w", entry("location", "w.bin"), 0)}), "ONNX 1"},
      {"onnx model without a graph", kMinimalOnnx, "ONNX 0"},
      {"onnx external data without a location", onnx_with({external("w", entry("offset", "0"))}),
       "malformed model container: external data without a location"},
      {"onnx offset not decimal", onnx_with({external("w", entry("location", "w") + entry("offset", "0x10"))}),
       "malformed model container: external data offset is not a decimal integer"},
      {"onnx length empty", onnx_with({external("w", entry("location", "w") + entry("length", ""))}),
       "malformed model container: external data length is not a decimal integer"},
      {"onnx location not UTF-8", onnx_with({external("w", entry("location", "\xff"))}),
       "malformed model container: external data location is not UTF-8"},
      {"onnx initializer cut short", kMinimalOnnx + onnx_field(7, onnx_field(5, "\x42\x05" "ab")),
       "malformed model container: unexpected end of ONNX protobuf"},
      {"onnx graph as a varint is passed over", kMinimalOnnx + varint(7 << 3) + varint(300), "ONNX 0"},
      {"no format", "not a model", "unrecognized ML model container format"},
  };
}

class SetFactsOf : public ::testing::TestWithParam<Case> {};

TEST_P(SetFactsOf, Model) { EXPECT_EQ(summary(set_facts(as_bytes(GetParam().model))), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Sets, SetFactsOf, ::testing::ValuesIn(cases()), [](const auto& info) {
  std::string name;
  for (const char c : std::string(info.param.name)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
});

// Counts come from the bytes: a model declaring four billion initializers
// in a few bytes costs nothing, and the external data kept is bounded.
TEST(SetFacts, TooManyExternalTensorsFail) {
  std::string tensor = onnx_field(5, external("", entry("location", "w")));
  std::string graph;
  graph.reserve(tensor.size() * (kMaxExternalTensors + 1));
  for (std::uint64_t i = 0; i <= kMaxExternalTensors; ++i) graph += tensor;
  EXPECT_EQ(summary(set_facts(as_bytes(kMinimalOnnx + onnx_field(7, graph)))),
            "malformed model container: more than 1048576 tensors with external data");
}

}  // namespace
}  // namespace quillon
