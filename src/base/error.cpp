#include "base/error.hpp"

#include <cstring>

namespace quillon {

std::string Error::message() const {
  switch (kind_) {
    case Kind::UnrecognizedFormat:
      return "unrecognized ML model container format";
    case Kind::MalformedContainer:
      return "malformed model container: " + detail_;
    case Kind::NoManifest:
      return "no C2PA manifest found in model";
    case Kind::EmptySource:
      return "manifest source has neither an embedded store nor a URI";
    case Kind::MalformedReference:
      return "malformed manifest reference: " + detail_;
    case Kind::DuplicateManifest:
      return "more than one c2pa:manifest entry in the " + std::string(format_.display_name()) +
             " container";
    case Kind::MalformedExclusion:
      return "data hash exclusion is malformed: " + detail_;
    case Kind::StoreSizeMismatch:
      return "new store does not fit the embedded one: " + detail_;
    case Kind::ManifestTooLarge:
      return "manifest too large for the " + std::string(format_.display_name()) + " container: " + detail_;
    case Kind::SystemFailure:
      return path_ + ": " + system_text();
    case Kind::Cancelled:
      return "operation cancelled";
  }
  return {};
}

Error Error::store_size_mismatch(std::uint64_t size, std::uint64_t embedded) {
  return Error(Kind::StoreSizeMismatch, "it encodes to " + std::to_string(size) +
                                            " bytes, the embedded store takes " + std::to_string(embedded));
}

std::string Error::system_text() const {
  if (!detail_.empty()) return detail_;
  // strerror_r, which is thread-safe, comes in two forms: GNU's returns the
  // text (a static one, or the buffer), the POSIX one of other C libraries
  // fills the buffer and returns 0.
  struct Text {
    const char* buffer;
    const char* operator()(const char* gnu) const { return gnu; }
    const char* operator()(int posix) const { return posix == 0 ? buffer : "Unknown error"; }
  };
  char buffer[128] = {};
#ifdef _WIN32
  // The Windows C library's thread-safe form, with C11's contract.
  return Text{buffer}(strerror_s(buffer, sizeof buffer, code_));
#else
  return Text{buffer}(strerror_r(code_, buffer, sizeof buffer));
#endif
}

}  // namespace quillon
