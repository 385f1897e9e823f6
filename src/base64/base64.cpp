#include "base64/base64.hpp"

#include <cstdint>
#include <cstring>

namespace quillon::base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr std::size_t kGroupBytes = 3;
constexpr std::size_t kGroupChars = 4;

// Returned by `sextet` for a byte outside the alphabet. It lies above every
// 6-bit value, so OR-ing the four sextets of a group and testing this bit
// once checks all of them.
constexpr std::uint32_t kInvalid = 0x100;

// The 6-bit value of every byte, or kInvalid; built from the alphabet at
// compile time so decoding costs one load per character.
struct SextetTable {
  std::uint16_t value[256];
  constexpr SextetTable() : value() {
    for (auto& v : value) v = kInvalid;
    for (std::uint32_t i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint16_t>(i);
  }
};
constexpr SextetTable kSextets;

inline std::uint32_t sextet(unsigned char c) { return kSextets.value[c]; }

// Decodes one group of four characters into its 24 bits; false when any of
// them is outside the alphabet.
inline bool group_bits(const unsigned char* in, std::uint32_t& bits) {
  const std::uint32_t a = sextet(in[0]), b = sextet(in[1]), c = sextet(in[2]), d = sextet(in[3]);
  bits = (a << 18) | (b << 12) | (c << 6) | d;
  return ((a | b | c | d) & kInvalid) == 0;
}

}  // namespace

namespace {

// The two characters of every 12-bit value, in memory order.
struct PairTable {
  std::uint16_t pair[4096];
  constexpr PairTable() : pair() {
    for (std::uint32_t v = 0; v < 4096; ++v) {
      pair[v] = static_cast<std::uint16_t>(static_cast<unsigned char>(kAlphabet[v >> 6]) |
                                           (static_cast<unsigned char>(kAlphabet[v & 0x3F]) << 8));
    }
  }
};
constexpr PairTable kPairs;

}  // namespace

std::string encode(Bytes data) {
  const std::size_t whole = data.size() / kGroupBytes;
  const std::size_t rest = data.size() % kGroupBytes;
  std::string text((whole + (rest != 0)) * kGroupChars, '\0');
  const std::uint8_t* in = data.data();
  char* out = text.data();
  for (std::size_t i = 0; i < whole; ++i, in += kGroupBytes, out += kGroupChars) {
    const std::uint32_t bits = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
    const std::uint16_t high = kPairs.pair[bits >> 12], low = kPairs.pair[bits & 0xFFF];
    std::memcpy(out, &high, 2);
    std::memcpy(out + 2, &low, 2);
  }
  if (rest != 0) {
    const std::uint32_t bits = (std::uint32_t{in[0]} << 16) | (rest == 2 ? std::uint32_t{in[1]} << 8 : 0);
    out[0] = kAlphabet[bits >> 18];
    out[1] = kAlphabet[(bits >> 12) & 0x3F];
    out[2] = rest == 2 ? kAlphabet[(bits >> 6) & 0x3F] : kPad;
    out[3] = kPad;
  }
  return text;
}

std::optional<std::string> decode(std::string_view text) {
  if (text.size() % kGroupChars != 0) return std::nullopt;
  if (text.empty()) return std::string();
  const std::size_t groups = text.size() / kGroupChars;
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* last = in + (groups - 1) * kGroupChars;

  // Padding may stand only at the end of the last group, as "=" or "==".
  const std::size_t pad = last[3] != kPad ? 0 : last[2] != kPad ? 1 : 2;
  if (last[0] == kPad || last[1] == kPad) return std::nullopt;

  std::string out(groups * kGroupBytes - pad, '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  // Every group before the last is four alphabet characters; a stray "="
  // there is rejected by `sextet` like any other foreign byte.
  for (; in != last; in += kGroupChars, o += kGroupBytes) {
    std::uint32_t bits;
    if (!group_bits(in, bits)) return std::nullopt;
    o[0] = static_cast<unsigned char>(bits >> 16);
    o[1] = static_cast<unsigned char>(bits >> 8);
    o[2] = static_cast<unsigned char>(bits);
  }

  // Padding stands in for zero bits; "A" is the character of value zero.
  constexpr unsigned char kZero = 'A';
  const unsigned char tail[kGroupChars] = {last[0], last[1], pad == 2 ? kZero : last[2],
                                           pad >= 1 ? kZero : last[3]};
  std::uint32_t bits;
  if (!group_bits(tail, bits)) return std::nullopt;
  // The bits beyond the last written byte must be zero: only one encoding
  // of each byte string is canonical.
  const std::uint32_t unused_mask = pad == 0 ? 0 : pad == 1 ? 0xFF : 0xFFFF;
  if (bits & unused_mask) return std::nullopt;
  o[0] = static_cast<unsigned char>(bits >> 16);
  if (pad < 2) o[1] = static_cast<unsigned char>(bits >> 8);
  if (pad < 1) o[2] = static_cast<unsigned char>(bits);
  return out;
}

}  // namespace quillon::base64
