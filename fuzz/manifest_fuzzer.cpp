// The four manifest operations and format detection on any input, built once
// per container format (QUILLON_FUZZ_FORMAT names it): every input also goes
// straight to that format's handler, and each build starts from models of
// its own format.
//
// Checked on every input:
//   - dispatch agrees with detect_format: UnrecognizedFormat exactly when no
//     format is detected, and for the target format it returns exactly what
//     the handler returns when called directly;
//   - each operation fails only with the error kinds it can raise;
//   - an embed that succeeds (store, URI, both) yields a file of the same
//     format from which the reads return what was embedded, which remove
//     accepts, and which (GGUF, ONNX) embedding the same source again leaves
//     unchanged;
//   - a remove that succeeds (GGUF, ONNX) leaves no C2PA data behind;
//   - reading the store of a SafeTensors model agrees with a second,
//     independent implementation of the raw store scan;
//   - every read through the sparse driver (src/sparse), fetching pieces of
//     the input with a window the input chooses, returns exactly what the
//     in-memory read returns, and never fetches a byte twice.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/utf8.hpp"
#include "base64/base64.hpp"
#include "check.hpp"
#include "format/detect.hpp"
#include "format/dispatch.hpp"
#include "json/walk.hpp"
#include "safetensors/header.hpp"
#include "sparse/remote.hpp"

#ifndef QUILLON_FUZZ_FORMAT
#error "define QUILLON_FUZZ_FORMAT as GGUF, SafeTensors or ONNX"
#endif

namespace {

using quillon::Bytes;
using quillon::detect_format;
using quillon::Error;
using quillon::FileImage;
using quillon::Format;
using quillon::ManifestSource;
using quillon::Result;
using Kind = quillon::Error::Kind;
using Uri = std::optional<std::string>;

constexpr Format kTarget = Format::QUILLON_FUZZ_FORMAT;

// A URI that needs escaping in JSON and is longer than one varint byte's
// worth of protobuf length, used when the input offers no UTF-8 text.
constexpr std::string_view kFallbackUri =
    "https://example.com/manifests/\"quoted\"\\back\tslash\x01\x1f/\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"
    "/0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890";

// The target format's handler, called without detection.
const quillon::Handler& handler() { return quillon::handler_for(kTarget); }

bool is(const Error& error, Kind kind) { return error.kind() == kind; }

template <class T>
bool fails_with(const Result<T>& result, Kind kind) {
  return !result.ok() && is(result.error(), kind);
}

// Rendering never fails. (A trailing full stop is no fault: the JSON
// parser's "invalid escape \." names the escape byte it met.)
void check_message(const Error& error) { FUZZ_CHECK(!error.message().empty()); }

// The kinds each operation may fail with, whatever the input.
void check_read_store_error(const Error& error, std::optional<Format> format) {
  check_message(error);
  FUZZ_CHECK(!is(error, Kind::EmptySource));
  if (is(error, Kind::DuplicateManifest)) FUZZ_CHECK(format && error.format() == *format && *format != Format::GGUF);
  if (is(error, Kind::MalformedExclusion)) FUZZ_CHECK(format == Format::SafeTensors);
  if (is(error, Kind::MalformedReference)) FUZZ_CHECK(format && *format != Format::GGUF);
}

void check_rewrite_error(const Error& error) {
  check_message(error);
  FUZZ_CHECK(is(error, Kind::MalformedContainer) || is(error, Kind::UnrecognizedFormat));
}

template <class T>
bool same_outcome(const Result<T>& a, const Result<T>& b) {
  if (a.ok() != b.ok()) return false;
  return a.ok() ? *a == *b : a.error() == b.error();
}

bool same_outcome(const Result<FileImage>& a, const Result<FileImage>& b) {
  if (a.ok() != b.ok()) return false;
  return a.ok() ? a->to_string() == b->to_string() : a.error() == b.error();
}

std::string materialize(const FileImage& image) {
  std::string bytes = image.to_string();
  FUZZ_CHECK(bytes.size() == image.size());
  return bytes;
}

// Counts the raw "__metadata__" keys of a SafeTensors header written by
// embed (compact, keys unescaped). The raw store scan follows every such
// object, so once there are two, a nested or second one can hide the
// embedded store or contribute one of its own.
std::size_t metadata_keys(Bytes model) {
  auto bounds = quillon::safetensors::header_bounds(model);
  if (!bounds) return 0;
  std::string_view header = quillon::as_text(model.subspan(bounds->start, bounds->end - bounds->start));
  std::size_t count = 0;
  for (std::size_t at = header.find("\"__metadata__\":"); at != std::string_view::npos;
       at = header.find("\"__metadata__\":", at + 1)) {
    ++count;
  }
  return count;
}

// Whether `model`, a rewrite of an ONNX model, now also frames as
// SafeTensors: cutting entries from its front or appending to its end can
// make its first bytes a header length that fits. Detection then rightly
// prefers SafeTensors, and there is nothing more to check.
bool onnx_turned_safetensors(Format format, Bytes model) {
  return format == Format::ONNX && quillon::safetensors::is_safetensors(model);
}

// The raw store scan of SafeTensors, stated once more from its rules over
// the events of the JSON walk, with a frame per open container, to check
// the handler's scan against: the number of "c2pa:manifest" string values
// standing directly in a "__metadata__" object (at any depth; keys as raw
// bytes) and the content of the first. The innermost metadata object opened
// is the current one until it closes; a nested one takes over.
struct StoreScanReference {
  struct Frame {
    std::string_view key;  // the raw key of the member being read, if any
  };
  std::vector<Frame> frames;
  std::optional<std::size_t> metadata;  // index of the current metadata frame
  std::size_t count = 0;
  std::string_view first;

  std::string_view take_key() {
    if (frames.empty()) return {};
    return std::exchange(frames.back().key, std::string_view());
  }
  void begin(quillon::json::Kind kind) {
    const std::string_view key = take_key();
    frames.push_back({});
    if (kind == quillon::json::Kind::Object && key == "__metadata__") metadata = frames.size() - 1;
  }
  void end(quillon::json::Kind) {
    if (metadata == frames.size() - 1) metadata.reset();
    frames.pop_back();
  }
  void key(std::string_view raw) { frames.back().key = raw; }
  void scalar(quillon::json::Kind kind, std::string_view raw) {
    const std::string_view key = take_key();
    if (kind == quillon::json::Kind::String && metadata == frames.size() - 1 && key == "c2pa:manifest") {
      if (count++ == 0) first = raw;
    }
  }
};

// read_manifest of a SafeTensors model whose header is valid JSON agrees
// with the reference scan.
void check_store_scan(Bytes model) {
  auto bounds = quillon::safetensors::header_bounds(model);
  if (!bounds) return;
  std::string_view header = quillon::as_text(model.subspan(bounds->start, bounds->end - bounds->start));
  if (!quillon::is_utf8(header)) return;
  StoreScanReference expected;
  if (!quillon::json::walk(header, expected).empty()) return;
  auto read = quillon::read_manifest(model);
  if (expected.count == 0) {
    FUZZ_CHECK(fails_with(read, Kind::NoManifest));
  } else if (expected.count > 1) {
    FUZZ_CHECK(fails_with(read, Kind::DuplicateManifest));
  } else if (auto store = quillon::base64::decode(expected.first)) {
    FUZZ_CHECK(read.ok() && *read == *store);
  } else {
    FUZZ_CHECK(fails_with(read, Kind::MalformedReference));
  }
}

void check_no_c2pa(Format format, Bytes model) {
  if (format == Format::SafeTensors) return;  // a second "__metadata__" may keep its members
  FUZZ_CHECK(fails_with(quillon::read_manifest(model), Kind::NoManifest));
  auto uri = quillon::read_manifest_uri(model);
  FUZZ_CHECK(uri.ok() && !uri->has_value());
}

void check_store_read_back(Format format, Bytes model, const std::string& store) {
  auto read = quillon::read_manifest(model);
  if (read.ok() && *read == store) return;
  // Only the raw store scan of SafeTensors may legitimately disagree: a
  // third "c2pa:manifest" member survives embed (which replaces only the
  // first two), and other "__metadata__" objects are scanned too.
  FUZZ_CHECK(format == Format::SafeTensors);
  FUZZ_CHECK(fails_with(read, Kind::DuplicateManifest) || metadata_keys(model) >= 2);
}

void check_embedded(Format format, Bytes model, const ManifestSource& source) {
  auto embedded = quillon::embed_manifest(model, source);
  if (!embedded) {
    check_rewrite_error(embedded.error());
    return;
  }
  const std::string file = materialize(*embedded);
  Bytes out = quillon::as_bytes(file);
  if (onnx_turned_safetensors(format, out)) return;
  FUZZ_CHECK(detect_format(out) == format);

  if (format == Format::SafeTensors) check_store_scan(out);
  if (source.store) {
    check_store_read_back(format, out, *source.store);
  } else if (format != Format::SafeTensors) {
    FUZZ_CHECK(fails_with(quillon::read_manifest(out), Kind::NoManifest));
  }
  auto uri = quillon::read_manifest_uri(out);
  FUZZ_CHECK(uri.ok());
  if (source.uri) {
    FUZZ_CHECK(uri->has_value() && **uri == *source.uri);
  } else if (format != Format::SafeTensors) {
    FUZZ_CHECK(!uri->has_value());
  }

  auto removed = quillon::remove_manifest(out);
  FUZZ_CHECK(removed.ok());
  if (format != Format::SafeTensors) {
    const std::string removed_file = materialize(*removed);
    if (!onnx_turned_safetensors(format, quillon::as_bytes(removed_file))) {
      check_no_c2pa(format, quillon::as_bytes(removed_file));
    }
    auto again = quillon::embed_manifest(out, source);
    FUZZ_CHECK(again.ok() && again->to_string() == file);
  }
}

void check_removed(Format format, Bytes model) {
  auto removed = quillon::remove_manifest(model);
  if (!removed) {
    check_rewrite_error(removed.error());
    return;
  }
  const std::string file = materialize(*removed);
  Bytes out = quillon::as_bytes(file);
  if (onnx_turned_safetensors(format, out)) return;
  FUZZ_CHECK(detect_format(out) == format);
  check_no_c2pa(format, out);
  if (format != Format::SafeTensors) {
    auto again = quillon::remove_manifest(out);
    FUZZ_CHECK(again.ok() && again->to_string() == file);
  }
}

// Derives the sources to embed from the input itself, so that their sizes
// and contents vary with it: a store of up to about 1 KB (empty when the
// last byte is 0) and a URI from the input's second half when that is UTF-8.
ManifestSource store_from(Bytes model) {
  std::size_t length = model.empty() ? 0 : std::size_t{model.back()} * 4;
  Bytes store = model.first(std::min(length, model.size()));
  return {std::nullopt, std::string(quillon::as_text(store))};
}

ManifestSource uri_from(Bytes model) {
  Bytes tail = model.subspan(model.size() / 2);
  tail = tail.first(std::min<std::size_t>(tail.size(), 200));
  std::string uri = quillon::is_utf8(tail) ? std::string(quillon::as_text(tail)) : std::string(kFallbackUri);
  return {uri, std::nullopt};
}

void check_handler_matches_dispatch(Bytes model, const ManifestSource& source) {
  const quillon::Handler& direct = handler();
  FUZZ_CHECK(same_outcome(direct.read_store(model), quillon::read_manifest(model)));
  FUZZ_CHECK(same_outcome(direct.read_uri(model), quillon::read_manifest_uri(model)));
  FUZZ_CHECK(same_outcome(direct.embed(model, source), quillon::embed_manifest(model, source)));
  FUZZ_CHECK(same_outcome(direct.remove(model), quillon::remove_manifest(model)));
  FUZZ_CHECK(same_outcome(direct.store_ranges(model), quillon::store_ranges(model)));
  FUZZ_CHECK(same_outcome(direct.store_size(model), quillon::store_size(model)));
}

// The handler on input of any shape, as if detection had chosen it.
void check_handler_alone(Bytes model, const ManifestSource& source) {
  const quillon::Handler& direct = handler();
  const auto store = direct.read_store(model);
  if (!store) check_read_store_error(store.error(), kTarget);
  // The size rests on the same parse as the store and fails exactly as it does.
  const auto size = direct.store_size(model);
  FUZZ_CHECK(store ? size && *size == store->size() : !size && size.error() == store.error());
  if (auto uri = direct.read_uri(model); !uri) check_rewrite_error(uri.error());
  if (auto image = direct.embed(model, source); !image) check_rewrite_error(image.error());
  else materialize(*image);
  if (auto image = direct.remove(model); !image) check_rewrite_error(image.error());
  else materialize(*image);
  FUZZ_CHECK(fails_with(direct.embed(model, ManifestSource{}), Kind::EmptySource));
}

void check_unrecognized(Bytes model, const ManifestSource& source) {
  FUZZ_CHECK(fails_with(quillon::read_manifest(model), Kind::UnrecognizedFormat));
  FUZZ_CHECK(fails_with(quillon::read_manifest_uri(model), Kind::UnrecognizedFormat));
  FUZZ_CHECK(fails_with(quillon::embed_manifest(model, source), Kind::UnrecognizedFormat));
  FUZZ_CHECK(fails_with(quillon::embed_manifest(model, ManifestSource{}), Kind::UnrecognizedFormat));
  FUZZ_CHECK(fails_with(quillon::remove_manifest(model), Kind::UnrecognizedFormat));
}

void check_recognized(Format format, Bytes model, const ManifestSource& store, const ManifestSource& uri) {
  FUZZ_CHECK(fails_with(quillon::embed_manifest(model, ManifestSource{}), Kind::EmptySource));
  if (format == Format::SafeTensors) check_store_scan(model);
  if (auto read = quillon::read_manifest(model); !read) check_read_store_error(read.error(), format);
  if (auto read = quillon::read_manifest_uri(model); !read) {
    FUZZ_CHECK(is(read.error(), Kind::MalformedContainer));
  }
  check_removed(format, model);
  check_embedded(format, model, store);
  check_embedded(format, model, uri);
  check_embedded(format, model, ManifestSource{uri.uri, store.store});
}

bool same_outcome(const Result<quillon::Description>& a, const Result<quillon::Description>& b) {
  if (a.ok() != b.ok()) return false;
  if (!a.ok()) return a.error() == b.error();
  return a->format == b->format && a->uri == b->uri && a->store_size == b->store_size;
}

// The reads through the sparse driver against the in-memory ones. The
// window (1 to 64 bytes, from the input's first byte) makes most reads
// stop at absent bytes several times.
void check_sparse(Bytes model) {
  std::uint64_t fetched = 0;
  quillon::sparse::Remote remote{
      model.size(),
      [&](std::uint64_t offset, std::uint64_t length) -> Result<std::string> {
        FUZZ_CHECK(length > 0 && offset <= model.size() && length <= model.size() - offset);
        fetched += length;
        return std::string(quillon::as_text(model.subspan(offset, length)));
      },
      "model", model.empty() ? 1 : 1 + model[0] % 64u};
  const auto bounded = [&] {
    FUZZ_CHECK(fetched <= model.size());
    fetched = 0;
  };
  FUZZ_CHECK(same_outcome(quillon::sparse::detect_format(remote),
                          Result<std::optional<Format>>(quillon::detect_format(model))));
  bounded();
  FUZZ_CHECK(same_outcome(quillon::sparse::read_manifest(remote), quillon::read_manifest(model)));
  bounded();
  FUZZ_CHECK(same_outcome(quillon::sparse::read_manifest_uri(remote), quillon::read_manifest_uri(model)));
  bounded();
  FUZZ_CHECK(same_outcome(quillon::sparse::store_ranges(remote), quillon::store_ranges(model)));
  bounded();
  FUZZ_CHECK(same_outcome(quillon::sparse::store_size(remote), quillon::store_size(model)));
  bounded();
  FUZZ_CHECK(same_outcome(quillon::sparse::describe(remote), quillon::describe(model)));
  bounded();
}

void check_model(Bytes model) {
  check_sparse(model);
  const ManifestSource store = store_from(model);
  const ManifestSource uri = uri_from(model);

  std::optional<Format> format = detect_format(model);
  if (!format) {
    check_unrecognized(model, store);
  } else {
    check_recognized(*format, model, store, uri);
    if (*format == kTarget) check_handler_matches_dispatch(model, ManifestSource{uri.uri, store.store});
  }
  check_handler_alone(model, store);
}

// Mutations inside a SafeTensors header shift its end away from the length
// field, so most of them would only test the framing. The SafeTensors build
// therefore also runs each input with the length field rewritten to end the
// header at its last '}'.
std::optional<std::string> reframed(Bytes model) {
  if (kTarget != Format::SafeTensors || model.size() < quillon::safetensors::kLengthFieldSize) return std::nullopt;
  const std::string_view rest = quillon::as_text(model.subspan(quillon::safetensors::kLengthFieldSize));
  const std::size_t last = rest.rfind('}');
  if (last == std::string_view::npos) return std::nullopt;
  std::string out;
  quillon::store_le<std::uint64_t>(out, last + 1);
  out.append(rest);
  if (quillon::as_bytes(out).size() == model.size() &&
      std::equal(model.begin(), model.end(), quillon::as_bytes(out).begin())) {
    return std::nullopt;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  Bytes model(bytes, size);
  check_model(model);
  if (std::optional<std::string> framed = reframed(model)) check_model(quillon::as_bytes(*framed));
  return 0;
}
