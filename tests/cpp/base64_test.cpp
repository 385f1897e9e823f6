#include "base64/base64.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include <random>
#include <string>
#include <vector>

namespace quillon::base64 {
namespace {

struct Vector {
  std::string plain;
  std::string text;
};

// RFC 4648, section 10.
const Vector kVectors[] = {
    {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

TEST(Base64, RfcVectorsEncodeAndDecode) {
  for (const Vector& v : kVectors) {
    EXPECT_EQ(encode(as_bytes(v.plain)), v.text) << v.plain;
    EXPECT_EQ(decode(v.text), v.plain) << v.text;
    EXPECT_EQ(decoded_size(v.text), v.plain.size()) << v.text;
  }
}

TEST(Base64, EveryAlphabetCharacterDecodesToItsValue) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  // Each character in the last position of a full group lands in the low
  // six bits of the third byte.
  for (std::size_t value = 0; value < alphabet.size(); ++value) {
    const auto bytes = decode(std::string("AAA") + alphabet[value]);
    ASSERT_TRUE(bytes) << alphabet[value];
    EXPECT_EQ(*bytes, std::string("\0\0", 2) + static_cast<char>(value));
  }
}

TEST(Base64, RejectsEveryNonCanonicalText) {
  const std::string rejects[] = {
      "Zh==",        // unused bits of "h" not zero
      "Zm9=",        // unused bits of "9" not zero
      "Zg=", "Zg", "Z", "Zm9vY",  // length not a multiple of 4
      "Z===", "====",             // more than two "="
      "=gA=", "Z=g=",             // padding in the first or second position
      "Zg=A",                     // padding not at the end of the group
      "Zg==Zm9v",                 // padding before the last group
      "Zm9v\n",                   // trailing line break
      "Zm9\n",                    // line break in place of a character
      "Zm 9", "Zm-9", "Zm_9", "Zm.9", "Zm@9", "Zm[9", "Zm`9", "Zm{9", "Zm:9", "Zm,9",
      std::string("Zm9\0", 4), "Zm9\x80", "Zm9\xC3",
  };
  for (const std::string& text : rejects) {
    EXPECT_FALSE(decode(text)) << text;
    EXPECT_FALSE(decoded_size(text)) << text;
  }
}

TEST(Base64, RoundTripsRandomBytesOfEveryLength) {
  std::mt19937 random(1234);
  for (std::size_t length = 0; length <= 300; ++length) {
    std::string plain(length, '\0');
    for (char& c : plain) c = static_cast<char>(random());
    const std::string text = encode(as_bytes(plain));
    ASSERT_EQ(text.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(decode(text), plain) << length;
  }
}

// Bit by bit, as the alphabet is defined: the reference the table and vector
// code must agree with.
std::string reference_encode(const std::string& plain) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < plain.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, plain.size() - i);
    std::uint32_t bits = 0;
    for (std::size_t j = 0; j < 3; ++j) bits = bits << 8 | (j < n ? static_cast<unsigned char>(plain[i + j]) : 0);
    for (std::size_t j = 0; j < 4; ++j) text += j <= n ? alphabet[(bits >> (18 - 6 * j)) & 0x3F] : '=';
  }
  return text;
}

std::string random_bytes(std::size_t length, std::mt19937& random) {
  std::string plain(length, '\0');
  for (char& c : plain) c = static_cast<char>(random());
  return plain;
}

// Lengths around the 24-byte (32-character) steps of the vector code and its
// 28-byte loads, each with every tail length, plus a long buffer.
std::vector<std::size_t> step_boundary_lengths() {
  std::vector<std::size_t> lengths;
  for (std::size_t steps : {1, 2, 3, 8}) {
    for (std::size_t delta = 0; delta < 12; ++delta) lengths.push_back(steps * 24 - 6 + delta);
  }
  for (std::size_t tail = 0; tail < 3; ++tail) lengths.push_back(65536 + tail);
  return lengths;
}

TEST(Base64, AgreesWithTheReferenceAcrossStepBoundaries) {
  std::mt19937 random(99);
  for (std::size_t length : step_boundary_lengths()) {
    const std::string plain = random_bytes(length, random);
    const std::string text = reference_encode(plain);
    EXPECT_EQ(encode(as_bytes(plain)), text) << length;
    EXPECT_EQ(decode(text), plain) << length;
  }
}

TEST(Base64, EveryByteValueInEveryGroupPositionRoundTrips) {
  // All 256 values at each offset modulo 3, across several vector steps.
  std::string plain;
  for (std::size_t shift = 0; shift < 3; ++shift) {
    for (int v = 0; v < 256; ++v) plain += std::string(shift, 'x') + static_cast<char>(v);
  }
  EXPECT_EQ(encode(as_bytes(plain)), reference_encode(plain));
  EXPECT_EQ(decode(reference_encode(plain)), plain);
}

TEST(Base64, RejectsAForeignByteAtEveryPosition) {
  std::mt19937 random(7);
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  // Three and a half vector steps, ending in "==", so every position of a
  // step and of the scalar tail is hit.
  const std::string text = encode(as_bytes(random_bytes(3 * 24 + 12 + 1, random)));
  ASSERT_EQ(text.substr(text.size() - 2), "==");
  for (int b = 0; b < 256; ++b) {
    if (alphabet.find(static_cast<char>(b)) != std::string::npos) continue;
    for (std::size_t position = 0; position + 2 < text.size(); ++position) {
      std::string bad = text;
      bad[position] = static_cast<char>(b);
      EXPECT_FALSE(decode(bad)) << "byte " << b << " at " << position;
      EXPECT_FALSE(decoded_size(bad)) << "byte " << b << " at " << position;
    }
  }
}

TEST(Base64, RejectsNonZeroUnusedBitsAfterLongInput) {
  const std::string head(128, 'A');
  const std::string rejects[] = {head + "Zh==", head + "Zm9=", head + "Z===", head + "Zg==" + "Zm9v"};
  for (const std::string& text : rejects) EXPECT_FALSE(decode(text)) << text.substr(head.size());
  EXPECT_EQ(decode(head + "Zg=="), std::string(96, '\0') + "f");
}

TEST(Base64, DecodedSizeChecksEverySliceOfALongText) {
  std::mt19937 random(5);
  // Long enough for several of decoded_size's slices of 4096 groups.
  const std::string plain = random_bytes(3 * 4096 * 3 + 1, random);
  const std::string text = encode(as_bytes(plain));
  EXPECT_EQ(decoded_size(text), plain.size());
  constexpr std::size_t kSlice = 4 * 4096;
  for (const std::size_t position : {std::size_t{0}, kSlice - 1, kSlice, 2 * kSlice + 3, text.size() - 3}) {
    for (const char foreign : {'=', '-'}) {
      std::string bad = text;
      bad[position] = foreign;
      EXPECT_FALSE(decoded_size(bad)) << foreign << " at " << position;
    }
  }
}

}  // namespace
}  // namespace quillon::base64
