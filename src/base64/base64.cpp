#include "base64/base64.hpp"

#include <cstdint>
#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(QUILLON_BASE64_PORTABLE)
#define QUILLON_BASE64_AVX2 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace quillon::base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr std::size_t kGroupBytes = 3;
constexpr std::size_t kGroupChars = 4;

// ---------------------------------------------------------------------------
// Portable code: table lookups, one group at a time. It handles every input
// on machines without a vector path and the tail that a vector loop leaves.

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

// Encodes `groups` whole groups of three bytes.
void encode_groups(const std::uint8_t* in, std::size_t groups, char* out) {
  for (std::size_t i = 0; i < groups; ++i, in += kGroupBytes, out += kGroupChars) {
    const std::uint32_t bits = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
    const std::uint16_t high = kPairs.pair[bits >> 12], low = kPairs.pair[bits & 0xFFF];
    std::memcpy(out, &high, 2);
    std::memcpy(out + 2, &low, 2);
  }
}

// Set in a decoded group for any character outside the alphabet. It lies
// above the 24 data bits, so OR-ing the four table entries of a group and
// testing this bit once checks all of them.
constexpr std::uint32_t kInvalid = 0x1000000;

// For each position in a group, the bits that every byte contributes to the
// group's 24-bit value, or kInvalid. Built from the alphabet at compile time,
// so a group costs four loads and three ORs.
struct SextetTables {
  std::uint32_t at[kGroupChars][256];
  constexpr SextetTables() : at() {
    for (auto& position : at) {
      for (auto& v : position) v = kInvalid;
    }
    for (std::uint32_t i = 0; i < 64; ++i) {
      const auto c = static_cast<unsigned char>(kAlphabet[i]);
      for (std::size_t p = 0; p < kGroupChars; ++p) at[p][c] = i << (6 * (kGroupChars - 1 - p));
    }
  }
};
constexpr SextetTables kSextets;

// The 24 bits of one group of four characters, with kInvalid set when any
// of them is outside the alphabet.
inline std::uint32_t group_bits(const unsigned char* in) {
  return kSextets.at[0][in[0]] | kSextets.at[1][in[1]] | kSextets.at[2][in[2]] | kSextets.at[3][in[3]];
}

// Decodes `groups` whole groups of four alphabet characters; false at the
// first character outside the alphabet.
bool decode_groups(const unsigned char* in, std::size_t groups, unsigned char* out) {
  for (std::size_t i = 0; i < groups; ++i, in += kGroupChars, out += kGroupBytes) {
    const std::uint32_t bits = group_bits(in);
    if (bits & kInvalid) return false;
    out[0] = static_cast<unsigned char>(bits >> 16);
    out[1] = static_cast<unsigned char>(bits >> 8);
    out[2] = static_cast<unsigned char>(bits);
  }
  return true;
}

// ---------------------------------------------------------------------------
// AVX2: 24 bytes to 32 characters and back per step, chosen at run time so
// one build still runs on every x86-64 machine. The technique is the
// well-known one of shuffling each group's bytes into a 32-bit lane, moving
// the sextets apart (encode) or together (decode) with multiplies, and
// mapping sextets to characters with 16-entry lookups by nibble.

#ifdef QUILLON_BASE64_AVX2

constexpr std::size_t kStepBytes = 24;
constexpr std::size_t kStepChars = 32;

bool cpu_has_avx2() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28;
  if ((c & (kOsxsave | kAvx)) != (kOsxsave | kAvx)) return false;
  // The operating system must save the upper halves of the vector registers.
  unsigned xcr0_low, xcr0_high;
  __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  constexpr unsigned kSseAndAvxState = 0x6;
  if ((xcr0_low & kSseAndAvxState) != kSseAndAvxState) return false;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  constexpr unsigned kAvx2 = 1u << 5;
  return (b & kAvx2) != 0;
}

bool have_avx2() {
  static const bool available = cpu_has_avx2();
  return available;
}

// The characters of 32 sextets, one per byte.
__attribute__((target("avx2"))) inline __m256i sextets_to_chars(__m256i sextets) {
  // A class per sextet: 0 for 26..51 (lowercase), 1..10 for the digits,
  // 11 for "+", 12 for "/", 13 for 0..25 (uppercase); each class adds its
  // own offset to the sextet.
  __m256i cls = _mm256_subs_epu8(sextets, _mm256_set1_epi8(51));
  const __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), sextets);
  cls = _mm256_or_si256(cls, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
  const __m256i offsets = _mm256_setr_epi8(
      'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
      '+' - 62, '/' - 63, 'A', 0, 0, 'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
      '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
  return _mm256_add_epi8(sextets, _mm256_shuffle_epi8(offsets, cls));
}

// Encodes as many whole steps as fit; returns the bytes consumed. Each step
// loads 28 bytes (two overlapping 16-byte halves) and uses 24 of them.
__attribute__((target("avx2"))) std::size_t encode_avx2(const std::uint8_t* in, std::size_t size, char* out) {
  constexpr std::size_t kLoadBytes = 28;
  // Bytes b0 b1 b2 of each group go to a 32-bit lane as b1 b0 b2 b1, so
  // every sextet lies whole inside one 16-bit half of the lane.
  const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                          1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  std::size_t done = 0;
  for (; done + kLoadBytes <= size; done += kStepBytes, out += kStepChars) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done + 12));
    const __m256i lanes = _mm256_shuffle_epi8(_mm256_set_m128i(high, low), spread);
    // Sextets 0 and 2 of each lane move down by a high multiply, sextets 1
    // and 3 up by a low one; each lands in a byte of its own.
    const __m256i down = _mm256_mulhi_epu16(_mm256_and_si256(lanes, _mm256_set1_epi32(0x0FC0FC00)),
                                            _mm256_set1_epi32(0x04000040));
    const __m256i up = _mm256_mullo_epi16(_mm256_and_si256(lanes, _mm256_set1_epi32(0x003F03F0)),
                                          _mm256_set1_epi32(0x01000010));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), sextets_to_chars(_mm256_or_si256(down, up)));
  }
  return done;
}

// Decodes as many whole steps as fit into `in[0, size)`, writing at most
// `room` bytes; returns the characters consumed, or nothing when a step holds
// a character outside the alphabet. Each step stores 32 bytes, 24 of them
// meaningful, so it needs 8 bytes of room beyond its own.
__attribute__((target("avx2"))) std::optional<std::size_t> decode_avx2(const unsigned char* in, std::size_t size,
                                                                        unsigned char* out, std::size_t room) {
  // Character classes by high and low nibble: a character is in the
  // alphabet exactly when the two class masks share no bit.
  const __m256i by_low = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                          0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                          0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i by_high = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                           0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                           0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  // What to add to a valid character to get its sextet, by high nibble
  // ("/" shares its nibble with "+" and is moved to index 1).
  const __m256i shift = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                         0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i slash = _mm256_set1_epi8('/');
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  // Within each 128-bit half: the three bytes of each 32-bit lane, high
  // byte first; then the two halves' 12 bytes joined.
  const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                        2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);

  std::size_t done = 0, written = 0;
  for (; done + kStepChars <= size && written + kStepChars <= room; done += kStepChars, written += kStepBytes) {
    const __m256i chars = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + done));
    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(chars, 4), nibble);
    const __m256i low = _mm256_and_si256(chars, nibble);
    if (!_mm256_testz_si256(_mm256_shuffle_epi8(by_low, low), _mm256_shuffle_epi8(by_high, high))) {
      return std::nullopt;
    }
    const __m256i index = _mm256_add_epi8(_mm256_cmpeq_epi8(chars, slash), high);
    const __m256i sextets = _mm256_add_epi8(chars, _mm256_shuffle_epi8(shift, index));
    // a b c d -> (a << 6 | b), (c << 6 | d) -> a << 18 | b << 12 | c << 6 | d
    const __m256i pairs = _mm256_maddubs_epi16(sextets, _mm256_set1_epi32(0x01400140));
    const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(groups, pack), join);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + written), bytes);
  }
  return done;
}

#endif  // QUILLON_BASE64_AVX2

}  // namespace

std::string encode(Bytes data) {
  const std::size_t whole = data.size() / kGroupBytes;
  const std::size_t rest = data.size() % kGroupBytes;
  std::string text((whole + (rest != 0)) * kGroupChars, '\0');
  const std::uint8_t* in = data.data();
  char* out = text.data();
  std::size_t groups = whole;
#ifdef QUILLON_BASE64_AVX2
  if (have_avx2()) {
    const std::size_t done = encode_avx2(in, whole * kGroupBytes, out);
    in += done;
    out += done / kGroupBytes * kGroupChars;
    groups -= done / kGroupBytes;
  }
#endif
  encode_groups(in, groups, out);
  in += groups * kGroupBytes;
  out += groups * kGroupChars;
  if (rest != 0) {
    const std::uint32_t bits = (std::uint32_t{in[0]} << 16) | (rest == 2 ? std::uint32_t{in[1]} << 8 : 0);
    out[0] = kAlphabet[bits >> 18];
    out[1] = kAlphabet[(bits >> 12) & 0x3F];
    out[2] = rest == 2 ? kAlphabet[(bits >> 6) & 0x3F] : kPad;
    out[3] = kPad;
  }
  return text;
}

namespace {

// The number of "=" ending `text`, or nothing when `text` cannot be
// canonical for its length or the place of its padding. `text` is not empty.
std::optional<std::size_t> padding(std::string_view text) {
  if (text.size() % kGroupChars != 0) return std::nullopt;
  const char* last = text.data() + text.size() - kGroupChars;
  // Padding may stand only at the end of the last group, as "=" or "==".
  const std::size_t pad = last[3] != kPad ? 0 : last[2] != kPad ? 1 : 2;
  if (last[0] == kPad || last[1] == kPad) return std::nullopt;
  return pad;
}

// Decodes `groups` whole groups of four alphabet characters into `out`,
// which has room for `room` >= 3 * groups bytes; false at the first
// character outside the alphabet, "=" included.
bool decode_body(const unsigned char* in, std::size_t groups, unsigned char* out, std::size_t room) {
#ifdef QUILLON_BASE64_AVX2
  if (have_avx2()) {
    const std::optional<std::size_t> done = decode_avx2(in, groups * kGroupChars, out, room);
    if (!done) return false;
    in += *done;
    out += *done / kGroupChars * kGroupBytes;
    groups -= *done / kGroupChars;
  }
#else
  (void)room;
#endif
  return decode_groups(in, groups, out);
}

// The 24 bits of the last group, which holds `pad` "=", or nothing when
// it is not canonical.
std::optional<std::uint32_t> last_group(const unsigned char* last, std::size_t pad) {
  // Padding stands in for zero bits; "A" is the character of value zero.
  constexpr unsigned char kZero = 'A';
  const unsigned char tail[kGroupChars] = {last[0], last[1], pad == 2 ? kZero : last[2],
                                           pad >= 1 ? kZero : last[3]};
  const std::uint32_t bits = group_bits(tail);
  if (bits & kInvalid) return std::nullopt;
  // The bits beyond the last written byte must be zero: only one encoding
  // of each byte string is canonical.
  const std::uint32_t unused_mask = pad == 0 ? 0 : pad == 1 ? 0xFF : 0xFFFF;
  if (bits & unused_mask) return std::nullopt;
  return bits;
}

}  // namespace

std::optional<std::string> decode(std::string_view text) {
  if (text.empty()) return std::string();
  const std::optional<std::size_t> pad = padding(text);
  if (!pad) return std::nullopt;
  const std::size_t groups = text.size() / kGroupChars;
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* last = in + (groups - 1) * kGroupChars;

  std::string out(groups * kGroupBytes - *pad, '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  if (!decode_body(in, groups - 1, o, out.size())) return std::nullopt;
  const std::optional<std::uint32_t> bits = last_group(last, *pad);
  if (!bits) return std::nullopt;
  o += (groups - 1) * kGroupBytes;
  o[0] = static_cast<unsigned char>(*bits >> 16);
  if (*pad < 2) o[1] = static_cast<unsigned char>(*bits >> 8);
  if (*pad < 1) o[2] = static_cast<unsigned char>(*bits);
  return out;
}

std::optional<std::size_t> decoded_size(std::string_view text) {
  if (text.empty()) return 0;
  const std::optional<std::size_t> pad = padding(text);
  if (!pad) return std::nullopt;
  const std::size_t groups = text.size() / kGroupChars;
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  // The body is decoded slice by slice into one scratch buffer: the same
  // checks as `decode`, in bounded memory.
  constexpr std::size_t kSliceGroups = 4096;
  unsigned char scratch[kSliceGroups * kGroupBytes];
  for (std::size_t done = 0; done < groups - 1;) {
    const std::size_t slice = std::min(kSliceGroups, groups - 1 - done);
    if (!decode_body(in + done * kGroupChars, slice, scratch, sizeof scratch)) return std::nullopt;
    done += slice;
  }
  if (!last_group(in + (groups - 1) * kGroupChars, *pad)) return std::nullopt;
  return groups * kGroupBytes - *pad;
}

}  // namespace quillon::base64
