// How a format keeps its embedded store: as the raw bytes (GGUF) or as
// Base64 text (SafeTensors, ONNX). Each codec turns the one function that
// finds the stored bytes in a model into the store operations of the
// handler contract, so that reading the store, its size, its ranges and a
// same-size patch all rest on the same parse:
//
//   const Handler handler = with_store<Base64Store<store_text>>(read_uri, embed, remove);
//
// `Find` returns the stored bytes as a view into the model, or the error
// that reading the store must report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base64/base64.hpp"
#include "manifest/handler.hpp"

namespace quillon {

// The range of `part`, a view read through `model`, as offsets of the model.
inline ByteRange range_within(const View& model, Bytes part) { return {model.offset_of(part), part.size()}; }

template <Result<Bytes> (*Find)(const View&)>
struct RawStore {
  static Result<std::string> read_store(const View& model) {
    QUILLON_TRY_ASSIGN(const Bytes store, Find(model));
    return std::string(as_text(store));
  }
  static Result<std::vector<ByteRange>> store_ranges(const View& model) {
    QUILLON_TRY_ASSIGN(const Bytes store, Find(model));
    return std::vector<ByteRange>{range_within(model, store)};
  }
  static Result<std::uint64_t> store_size(const View& model) {
    QUILLON_TRY_ASSIGN(const Bytes store, Find(model));
    return std::uint64_t{store.size()};
  }
  static std::string encode_store(Bytes store) { return std::string(as_text(store)); }
};

inline constexpr const char* kNotBase64 = "value is not valid Base64";

template <Result<Bytes> (*Find)(const View&)>
struct Base64Store {
  static Result<std::string> read_store(const View& model) {
    QUILLON_TRY_ASSIGN(const Bytes text, Find(model));
    return decode(text);
  }
  static Result<std::vector<ByteRange>> store_ranges(const View& model) {
    QUILLON_TRY_ASSIGN(const Bytes text, Find(model));
    // A range is only worth handing out when the store there reads back.
    QUILLON_TRY(store_size_of(text));
    return std::vector<ByteRange>{range_within(model, text)};
  }
  static Result<std::uint64_t> store_size(const View& model) {
    QUILLON_TRY_ASSIGN(const Bytes text, Find(model));
    return store_size_of(text);
  }
  static std::string encode_store(Bytes store) { return base64::encode(store); }

 private:
  static Result<std::string> decode(Bytes text) {
    std::optional<std::string> store = base64::decode(as_text(text));
    if (!store) return Error::malformed_reference(kNotBase64);
    return std::move(*store);
  }
  static Result<std::uint64_t> store_size_of(Bytes text) {
    const std::optional<std::size_t> size = base64::decoded_size(as_text(text));
    if (!size) return Error::malformed_reference(kNotBase64);
    return std::uint64_t{*size};
  }
};

// A handler whose store operations come from `Store`, one of the codecs above.
template <class Store>
constexpr Handler with_store(decltype(Handler::read_uri) read_uri, decltype(Handler::embed) embed,
                             decltype(Handler::remove) remove) {
  return {.read_store = Store::read_store,
          .store_ranges = Store::store_ranges,
          .store_size = Store::store_size,
          .encode_store = Store::encode_store,
          .read_uri = read_uri,
          .embed = embed,
          .remove = remove};
}

}  // namespace quillon
