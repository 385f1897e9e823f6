// Base64: decoding is strict, so any text that decodes is exactly the
// encoding of what it decodes to; and encode then decode is the identity.
// decoded_size accepts exactly what decode accepts.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/bytes.hpp"
#include "base64/base64.hpp"
#include "check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  quillon::Bytes data(bytes, size);
  std::string_view text = quillon::as_text(data);

  const auto decoded_size = quillon::base64::decoded_size(text);
  if (auto decoded = quillon::base64::decode(text)) {
    FUZZ_CHECK(decoded_size == decoded->size());
    FUZZ_CHECK(size % 4 == 0);
    FUZZ_CHECK(decoded->size() <= size / 4 * 3);
    FUZZ_CHECK(quillon::base64::encode(quillon::as_bytes(*decoded)) == text);
  } else {
    FUZZ_CHECK(!decoded_size);
  }

  std::string encoded = quillon::base64::encode(data);
  FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
  auto round_trip = quillon::base64::decode(encoded);
  FUZZ_CHECK(round_trip && *round_trip == text);
  return 0;
}
