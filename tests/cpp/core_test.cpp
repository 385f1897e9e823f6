// Error messages, format names, SafeTensors framing and format detection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.hpp"
#include "base/utf8.hpp"
#include "format/detect.hpp"
#include "manifest/file_image.hpp"
#include "models.hpp"
#include "safetensors/header.hpp"

namespace quillon {
namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

// An 8-byte little-endian header length, which need not be the header's,
// followed by `header`.
std::vector<std::uint8_t> framed(std::uint64_t length, std::string_view header) {
  const std::string out = test::le64(length) + std::string(header);
  return {out.begin(), out.end()};
}

TEST(Error, Messages) {
  const struct {
    Error error;
    const char* message;
  } cases[] = {
      {Error::unrecognized_format(), "unrecognized ML model container format"},
      {Error::malformed_container("unexpected end of GGUF data"),
       "malformed model container: unexpected end of GGUF data"},
      {Error::no_manifest(), "no C2PA manifest found in model"},
      {Error::empty_source(), "manifest source has neither an embedded store nor a URI"},
      {Error::malformed_reference("value is not valid Base64"),
       "malformed manifest reference: value is not valid Base64"},
      {Error::duplicate_manifest(Format::GGUF), "more than one c2pa:manifest entry in the GGUF container"},
      {Error::duplicate_manifest(Format::SafeTensors),
       "more than one c2pa:manifest entry in the SafeTensors container"},
      {Error::duplicate_manifest(Format::ONNX), "more than one c2pa:manifest entry in the ONNX container"},
      {Error::malformed_exclusion("header is not UTF-8"),
       "data hash exclusion is malformed: header is not UTF-8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.message(), c.message);
    EXPECT_EQ(c.error.message(), c.message) << "rendering twice gives the same text";
  }
}

TEST(Format, NamesAndAssetTypes) {
  EXPECT_EQ(Format(Format::GGUF).display_name(), "GGUF");
  EXPECT_EQ(Format(Format::SafeTensors).display_name(), "SafeTensors");
  EXPECT_EQ(Format(Format::ONNX).display_name(), "ONNX");
  EXPECT_EQ(Format(Format::GGUF).asset_type(), "c2pa.types.model");
  EXPECT_EQ(Format(Format::SafeTensors).asset_type(), "c2pa.types.model");
  EXPECT_EQ(Format(Format::ONNX).asset_type(), "c2pa.types.model.onnx");
}

TEST(HeaderBounds, Framing) {
  EXPECT_EQ(safetensors::header_bounds(bytes({1, 0, 0, 0, 0, 0, 0})).error().detail(),
            "file shorter than SafeTensors header");
  EXPECT_EQ(safetensors::header_bounds(framed(3, "{}")).error().detail(), "header length exceeds file");
  // 8 + N would wrap to 0: still "exceeds", never a wrapped, accepted range.
  EXPECT_EQ(safetensors::header_bounds(framed(0xFFFFFFFFFFFFFFF8ULL, "{}")).error().detail(),
            "header length exceeds file");
  EXPECT_EQ(safetensors::header_bounds(framed(~0ULL, "{}")).error().detail(), "header length exceeds file");
  auto empty = safetensors::header_bounds(framed(0, ""));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->start, 8u);
  EXPECT_EQ(empty->end, 8u);
  auto whole = safetensors::header_bounds(framed(2, "{}"));
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->end, 10u);
}

TEST(Detect, Probes) {
  using F = std::optional<Format>;
  const struct {
    std::vector<std::uint8_t> model;
    F expected;
  } cases[] = {
      {{}, std::nullopt},
      {bytes({'G', 'G', 'U', 'F'}), Format::GGUF},
      {bytes({'G', 'G', 'U', 'F', 0xFF, 0xFF}), Format::GGUF},
      {bytes({'G', 'G', 'U'}), std::nullopt},
      {framed(0, ""), std::nullopt},
      {framed(2, " {"), Format::SafeTensors},
      {framed(5, "\r\n\t {"), Format::SafeTensors},
      {framed(2, "\x0c{"), Format::SafeTensors},
      {framed(2, "\x0b{"), std::nullopt},
      {framed(3, "  "), std::nullopt},
      {framed(3, "{}"), std::nullopt},  // one byte short
      {framed(2, "[]"), std::nullopt},
      {bytes({0x08, 0x07}), Format::ONNX},
      {bytes({0x3A, 0x00}), Format::ONNX},
      {bytes({0x10, 0x01}), std::nullopt},
      {bytes({0x08, 0x07, 0x12}), std::nullopt},  // trailing partial field
      {bytes({0x10, 0x01, 0x08, 0x07}), Format::ONNX},
      {bytes({0x0B}), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(detect_format(c.model), c.expected) << ::testing::PrintToString(c.model);
  }
}

TEST(Utf8, StrictValidation) {
  const struct {
    std::vector<std::uint8_t> text;
    bool valid;
  } cases[] = {
      {{}, true},
      {bytes({0x00}), true},
      {bytes({'a', 0xC3, 0xA9}), true},                     // é
      {bytes({0xF0, 0x9F, 0x98, 0x80}), true},              // U+1F600
      {bytes({0xEF, 0xBF, 0xBF}), true},                    // U+FFFF
      {bytes({0xF4, 0x8F, 0xBF, 0xBF}), true},              // U+10FFFF
      {bytes({0xC0, 0x80}), false},                         // overlong NUL
      {bytes({0xE0, 0x80, 0x80}), false},                   // overlong
      {bytes({0xF0, 0x80, 0x80, 0x80}), false},             // overlong
      {bytes({0xED, 0xA0, 0x80}), false},                   // surrogate
      {bytes({0xF4, 0x90, 0x80, 0x80}), false},             // above U+10FFFF
      {bytes({0xF5, 0x80, 0x80, 0x80}), false},
      {bytes({0xC3}), false},                               // truncated
      {bytes({'a', 'b', 'c', 'd', 'e', 'f', 'g', 0xE2, 0x82}), false},
      {bytes({0x80}), false},                               // lone continuation
      {bytes({0xFF, 0xFE}), false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_utf8(Bytes(c.text)), c.valid) << ::testing::PrintToString(c.text);
}

TEST(FileImage, PiecesCoalesceAndWriteOnce) {
  const std::string model = "abcdefgh";
  const Bytes view = as_bytes(model);
  FileImage image;
  image.append_owned("XY");
  image.append_view(view.subspan(0, 3));
  image.append_view(view.subspan(3, 2));  // touches the previous view
  image.append_view(view.subspan(6, 2));  // gap: a new piece
  image.append_zeros(2);
  image.append_zeros(1);
  image.append_view({});
  EXPECT_EQ(image.piece_count(), 4u);
  EXPECT_EQ(image.size(), 12u);
  EXPECT_EQ(image.to_string(), std::string("XYabcdegh\0\0\0", 12));
}

TEST(FileImage, ShortRunsAreCopiedTogether) {
  const std::size_t kShort = FileImage::kShortRun;
  std::string model(2 * kShort, '\0');
  for (std::size_t i = 0; i < model.size(); ++i) model[i] = static_cast<char>('a' + i % 26);
  const Bytes view = as_bytes(model);
  FileImage image;
  image.append_copy(as_bytes("head"));
  image.append_run(view.subspan(0, 10));          // copied next to "head"
  image.append_run(view.subspan(20, 10));         // and next to that
  image.append_run(view.subspan(100, kShort));    // long: a view
  image.append_run(view.subspan(100 + kShort, 5));  // continues the view
  image.append_run(view.subspan(50, 5));          // copied again
  image.append_zeros(3);
  EXPECT_EQ(image.piece_count(), 4u);
  EXPECT_EQ(image.to_string(), "head" + model.substr(0, 10) + model.substr(20, 10) + model.substr(100, kShort + 5) +
                                   model.substr(50, 5) + std::string(3, '\0'));

  // Megabytes of short runs take a few pieces, and the copies outlive what
  // they were copied from and move with the image.
  FileImage runs;
  std::string expected;
  {
    std::string source(std::size_t{3} << 20, '\0');
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i % 251);
    for (std::size_t at = 0; at + 200 <= source.size(); at += 200) {
      const std::string_view run = std::string_view(source).substr(at, 100 + at % 97);
      runs.append_run(as_bytes(run));
      expected += run;
    }
  }
  EXPECT_LE(runs.piece_count(), 16u);
  const FileImage moved = std::move(runs);
  EXPECT_EQ(moved.to_string(), expected);
}

}  // namespace
}  // namespace quillon
