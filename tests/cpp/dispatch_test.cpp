// Dispatch: each operation routes to the detected format's handler and adds
// only UnrecognizedFormat of its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base64/base64.hpp"
#include "format/dispatch.hpp"
#include "models.hpp"

namespace quillon {
namespace {

using test::empty_gguf;
using test::framed;

using test::kMinimalOnnx;

std::vector<std::string> recognized_models() {
  return {empty_gguf(), test::safetensors_model("x"), kMinimalOnnx};
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
    EXPECT_EQ(detect_format(as_bytes(stamped)), detect_format(as_bytes(model)));
    EXPECT_EQ(read_manifest(as_bytes(stamped)).value(), *both.store);
    EXPECT_EQ(read_manifest_uri(as_bytes(stamped)).value(), both.uri);
    const std::string stripped = remove_manifest(as_bytes(stamped)).value().to_string();
    EXPECT_EQ(read_manifest(as_bytes(stripped)).error().kind(), Error::Kind::NoManifest);
    EXPECT_EQ(read_manifest_uri(as_bytes(stripped)).value(), std::nullopt);
  }
}

// The store as it stands in the file: raw in GGUF, Base64 text elsewhere.
std::string encoded(const std::string& model, const std::string& store) {
  return detect_format(as_bytes(model)) == Format::GGUF ? store : base64::encode(as_bytes(store));
}

TEST(Dispatch, StoreRangesHoldExactlyTheEncodedStore) {
  const ManifestSource both{std::string("https://example.com/m.c2pa"), std::string("\x00st\"ore\xff", 8)};
  for (const std::string& model : recognized_models()) {
    const std::string stamped = embed_manifest(as_bytes(model), both).value().to_string();
    const std::vector<ByteRange> ranges = store_ranges(as_bytes(stamped)).value();
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(stamped.substr(ranges[0].start, ranges[0].length), encoded(model, *both.store));
    EXPECT_EQ(store_size(as_bytes(stamped)).value(), both.store->size());
  }
}

TEST(Dispatch, SameSizePatchChangesOnlyTheStoreBytes) {
  const ManifestSource both{std::string("https://example.com/m.c2pa"), std::string(100, 'p')};
  const std::string signed_store = std::string(99, 's') + '\x01';
  for (const std::string& model : recognized_models()) {
    const std::string placeholder = embed_manifest(as_bytes(model), both).value().to_string();
    const std::vector<StorePatch> patches = patch_store(as_bytes(placeholder), as_bytes(signed_store)).value();
    std::string patched = placeholder;
    for (const StorePatch& patch : patches) {
      ASSERT_EQ(patch.bytes.size(), patch.range.length);
      patched.replace(patch.range.start, patch.range.length, patch.bytes);
    }
    EXPECT_EQ(read_manifest(as_bytes(patched)).value(), signed_store);
    EXPECT_EQ(read_manifest_uri(as_bytes(patched)).value(), both.uri);
    const std::vector<ByteRange> ranges = store_ranges(as_bytes(placeholder)).value();
    EXPECT_EQ(store_ranges(as_bytes(patched)).value(), ranges);
    EXPECT_EQ(patched.substr(0, ranges[0].start), placeholder.substr(0, ranges[0].start));
    const std::uint64_t end = ranges[0].start + ranges[0].length;
    EXPECT_EQ(patched.substr(end), placeholder.substr(end));
  }
}

// A model whose store cannot be read, and what is wrong with it.
struct Unreadable {
  std::string what;
  std::string model;
};

std::vector<Unreadable> unreadable_stores() {
  std::vector<Unreadable> out = {
      {"NoFormat", "GGU"},
      {"DamagedGguf", "GGUF\x07garbage"},
      {"DamagedHeader", framed("{nope")},
      // A store text that does not decode yields no range to sign around.
      {"NotBase64", framed(R"({"__metadata__":{"c2pa:manifest":"Zm9"}})")},
      {"TwoStores", framed(R"({"__metadata__":{"c2pa:manifest":"Zm9v","c2pa:manifest":"Zm9v"}})")},
  };
  for (const std::string& model : recognized_models()) {
    const std::string name(detect_format(as_bytes(model))->display_name());
    out.push_back({"Plain" + name, model});
    out.push_back({"UriOnly" + name,
                   embed_manifest(as_bytes(model), ManifestSource{std::string("u"), std::nullopt})->to_string()});
  }
  return out;
}

class StoreFailures : public ::testing::TestWithParam<Unreadable> {};

// Every operation that finds the store rests on the parse that reads it, and
// fails exactly as reading it does.
TEST_P(StoreFailures, AreThoseOfReadingTheStore) {
  const Bytes model = as_bytes(GetParam().model);
  const Result<std::string> store = read_manifest(model);
  ASSERT_FALSE(store);
  EXPECT_EQ(store_size(model).error(), store.error());
  EXPECT_EQ(store_ranges(model).error(), store.error());
  EXPECT_EQ(patch_store(model, as_bytes(std::string(30, 'x'))).error(), store.error());
}

INSTANTIATE_TEST_SUITE_P(Dispatch, StoreFailures, ::testing::ValuesIn(unreadable_stores()),
                         [](const auto& info) { return info.param.what; });

TEST(Dispatch, PatchOfAnotherSizeIsRefusedWithBothSizes) {
  struct Case {
    std::size_t new_size;
    std::string gguf_message, base64_message;
  };
  const Case cases[] = {
      {31, "new store does not fit the embedded one: it encodes to 31 bytes, the embedded store takes 30",
       "new store does not fit the embedded one: it encodes to 44 bytes, the embedded store takes 40"},
      {28, "new store does not fit the embedded one: it encodes to 28 bytes, the embedded store takes 30", ""},
  };
  for (const std::string& model : recognized_models()) {
    const bool gguf = detect_format(as_bytes(model)) == Format::GGUF;
    const std::string stamped =
        embed_manifest(as_bytes(model), ManifestSource{std::nullopt, std::string(30, 'x')}).value().to_string();
    for (const Case& c : cases) {
      const Result<std::vector<StorePatch>> patch = patch_store(as_bytes(stamped), as_bytes(std::string(c.new_size, 'y')));
      const std::string& expected = gguf ? c.gguf_message : c.base64_message;
      // 28 bytes encode to the same 40 Base64 characters as 30: that patch fits.
      EXPECT_EQ(patch ? "" : patch.error().message(), expected);
    }
  }
}

}  // namespace
}  // namespace quillon
