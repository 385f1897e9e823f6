// Dispatch: each operation routes to the detected format's handler and adds
// only UnrecognizedFormat of its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/dispatch.hpp"

namespace quillon {
namespace {

std::string framed(std::string_view header, std::string_view data = "") {
  std::string out;
  store_le<std::uint64_t>(out, header.size());
  return out + std::string(header) + std::string(data);
}

// A GGUF v3 file with no metadata and no tensors: 24-byte header, 8 bytes of padding.
std::string empty_gguf() {
  std::string out = "GGUF";
  store_le<std::uint32_t>(out, 3);
  store_le<std::uint64_t>(out, 0);
  store_le<std::uint64_t>(out, 0);
  return out + std::string(8, '\0');
}

const std::string kOnnx("\x08\x07", 2);  // ir_version 7 and nothing else

std::vector<std::string> recognized_models() {
  return {empty_gguf(), framed(R"({"t":{"dtype":"U8","shape":[1],"data_offsets":[0,1]}})", "x"), kOnnx};
}

// Every operation's error message on `model`, or "" where it succeeds.
std::vector<std::string> outcomes(Bytes model, const ManifestSource& source) {
  std::vector<std::string> out;
  auto note = [&](const auto& result) { out.push_back(result ? "" : result.error().message()); };
  note(read_manifest(model));
  note(embed_manifest(model, source));
  note(remove_manifest(model));
  note(read_manifest_uri(model));
  return out;
}

TEST(Dispatch, UnrecognizedInputFailsEveryOperation) {
  const std::string unrecognized[] = {"", "GGU", std::string("\x10\x01", 2), std::string("\x08\x07\x12", 3),
                                      framed("[]")};
  ManifestSource source{std::nullopt, std::string("s")};
  for (const std::string& model : unrecognized) {
    for (const std::string& message : outcomes(as_bytes(model), source)) {
      EXPECT_EQ(message, "unrecognized ML model container format") << ::testing::PrintToString(model);
    }
  }
}

TEST(Dispatch, DamagedModelsKeepTheirHandlersErrors) {
  ManifestSource source{std::string("u"), std::nullopt};
  for (const std::string& message : outcomes(as_bytes(std::string("GGUF\x07garbage")), source)) {
    EXPECT_EQ(message, "malformed model container: unsupported GGUF version 1918985991");
  }
  const std::string bad_json = framed("{nope");
  auto results = outcomes(as_bytes(bad_json), source);
  EXPECT_EQ(results[0], "data hash exclusion is malformed: header length field does not span valid JSON: "
                        "expected object key at 1");
  for (int i = 1; i < 4; ++i) EXPECT_EQ(results[i], "malformed model container: expected object key at 1");
}

TEST(Dispatch, EmptySourceOnlyAfterDetection) {
  const ManifestSource empty;
  EXPECT_EQ(embed_manifest(as_bytes(std::string("")), empty).error().message(),
            "unrecognized ML model container format");
  for (const std::string& model : recognized_models()) {
    EXPECT_EQ(embed_manifest(as_bytes(model), empty).error().kind(), Error::Kind::EmptySource);
  }
}

TEST(Dispatch, RoundTripOnEveryFormat) {
  const ManifestSource both{std::string("https://example.com/m.c2pa"), std::string("\x00store\xff", 7)};
  for (const std::string& model : recognized_models()) {
    EXPECT_EQ(read_manifest_uri(as_bytes(model)).value(), std::nullopt);
    EXPECT_EQ(read_manifest(as_bytes(model)).error().kind(), Error::Kind::NoManifest);
    const std::string stamped = embed_manifest(as_bytes(model), both).value().to_string();
    EXPECT_EQ(Format::detect(as_bytes(stamped)), Format::detect(as_bytes(model)));
    EXPECT_EQ(read_manifest(as_bytes(stamped)).value(), *both.store);
    EXPECT_EQ(read_manifest_uri(as_bytes(stamped)).value(), both.uri);
    const std::string stripped = remove_manifest(as_bytes(stamped)).value().to_string();
    EXPECT_EQ(read_manifest(as_bytes(stripped)).error().kind(), Error::Kind::NoManifest);
    EXPECT_EQ(read_manifest_uri(as_bytes(stripped)).value(), std::nullopt);
  }
}

}  // namespace
}  // namespace quillon
