// The library's single error type.
//
// Every fallible operation returns its result or one `Error`. An error is a
// kind plus, for some kinds, a detail text or a `Format`; `message()` renders
// the text that Python callers see. Errors are plain values: cheap to move,
// safe to render any number of times, and rendering cannot fail (other than
// by running out of memory).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "base/format.hpp"

namespace quillon {

class Error {
 public:
  enum class Kind : std::uint8_t {
    UnrecognizedFormat,
    MalformedContainer,
    NoManifest,
    EmptySource,
    MalformedReference,
    DuplicateManifest,
    MalformedExclusion,
    StoreSizeMismatch,
    ManifestTooLarge,
    SystemFailure,  // a system call failed on a file: an errno value and the path
    Cancelled,      // the caller's progress callback asked to stop
  };

  static Error unrecognized_format() { return Error(Kind::UnrecognizedFormat); }
  static Error malformed_container(std::string detail) {
    return Error(Kind::MalformedContainer, std::move(detail));
  }
  static Error no_manifest() { return Error(Kind::NoManifest); }
  static Error empty_source() { return Error(Kind::EmptySource); }
  static Error malformed_reference(std::string detail) {
    return Error(Kind::MalformedReference, std::move(detail));
  }
  static Error duplicate_manifest(Format format) { return Error(format); }
  static Error malformed_exclusion(std::string detail) {
    return Error(Kind::MalformedExclusion, std::move(detail));
  }

  // A same-size store replacement whose new store encodes to `size` bytes
  // where the embedded one takes `embedded` bytes.
  static Error store_size_mismatch(std::uint64_t size, std::uint64_t embedded);
  // An embed whose result `format`'s own readers would refuse; `detail`
  // names the limit, e.g. "header over 100000000 bytes".
  static Error manifest_too_large(Format format, std::string detail) {
    return Error(Kind::ManifestTooLarge, std::move(detail), format);
  }
  // `description` replaces the system's text for `code` where the failure
  // is one the system has no words for (a FIFO given as a model, say).
  static Error system_failure(int code, std::string path, std::string description = {}) {
    Error error(Kind::SystemFailure, std::move(description));
    error.code_ = code;
    error.path_ = std::move(path);
    return error;
  }
  static Error cancelled() { return Error(Kind::Cancelled); }

  Kind kind() const { return kind_; }
  // The detail text of MalformedContainer, MalformedReference,
  // MalformedExclusion, StoreSizeMismatch and ManifestTooLarge; empty for
  // the other kinds.
  const std::string& detail() const { return detail_; }
  // The errno value and the path of a SystemFailure; 0 and empty otherwise.
  int system_code() const { return code_; }
  const std::string& path() const { return path_; }
  // What a SystemFailure says about its path: the description it was given,
  // or else the system's text for its errno value.
  std::string system_text() const;
  // The format a DuplicateManifest or ManifestTooLarge error names;
  // meaningless for other kinds.
  Format format() const { return format_; }

  // The full message text, for example
  // "malformed model container: unexpected end of GGUF data"; a
  // SystemFailure renders as "<path>: <system text>".
  std::string message() const;

  friend bool operator==(const Error& a, const Error& b) {
    return a.kind_ == b.kind_ && a.detail_ == b.detail_ && a.code_ == b.code_ && a.path_ == b.path_ &&
           (a.kind_ != Kind::DuplicateManifest || a.format_ == b.format_);
  }

 private:
  explicit Error(Kind kind, std::string detail = {}, Format format = Format::GGUF)
      : kind_(kind), detail_(std::move(detail)), format_(format) {}
  explicit Error(Format format) : kind_(Kind::DuplicateManifest), format_(format) {}

  Kind kind_;
  std::string detail_;
  Format format_ = Format::GGUF;
  int code_ = 0;
  std::string path_;
};

}  // namespace quillon
