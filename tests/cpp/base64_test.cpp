#include "base64/base64.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

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
  for (const std::string& text : rejects) EXPECT_FALSE(decode(text)) << text;
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

}  // namespace
}  // namespace quillon::base64
