#include "onnx/manifest.hpp"

#include <gtest/gtest.h>

#include <string>

#include "models.hpp"
#include "onnx/entry.hpp"

namespace quillon::onnx {
namespace {

using namespace std::string_literals;

using test::onnx_entry;
using test::onnx_field;
using test::store_only;
using test::uri_only;

const std::string kStoreKey = "c2pa:manifest";
const std::string kUriKey = "c2pa:manifest.uri";
// ir_version 7, a small graph, a producer name.
const std::string kHead = "\x08\x07"s + onnx_field(7, "\x0A\x01x") + onnx_field(2, "tool");
const std::string kTail = "\x10\x05"s + onnx_field(8, "\x08\x0D");

std::string embedded(const std::string& model, const ManifestSource& source) {
  Result<FileImage> image = handler.embed(as_bytes(model), source);
  EXPECT_TRUE(image) << image.error().message();
  return image ? image->to_string() : "";
}

std::string removed(const std::string& model) {
  Result<FileImage> image = handler.remove(as_bytes(model));
  EXPECT_TRUE(image) << image.error().message();
  return image ? image->to_string() : "";
}

TEST(OnnxEntry, EncodesTheDocumentedLayout) {
  struct Case {
    ManifestSource source;
    std::string appended;
  } cases[] = {
      {store_only(""), "\x72\x11\x0A\x0D"s + kStoreKey + "\x12\x00"s},
      {uri_only("a"), "\x72\x16\x0A\x11"s + kUriKey + "\x12\x01\x61"s},
      {store_only("abc"), "\x72\x15\x0A\x0D"s + kStoreKey + "\x12\x04YWJj"s},
      // 225 bytes give 300 Base64 characters: value length AC 02, and the
      // entry length 318 = 1 + 1 + 13 + 1 + 2 + 300 takes two bytes too.
      {store_only(std::string(225, '\0')), "\x72\xBE\x02\x0A\x0D"s + kStoreKey + "\x12\xAC\x02"s + std::string(300, 'A')},
      {{"a", "abc"}, "\x72\x15\x0A\x0D"s + kStoreKey + "\x12\x04YWJj\x72\x16\x0A\x11"s + kUriKey + "\x12\x01\x61"s},
  };
  for (const Case& c : cases) EXPECT_EQ(embedded(kHead, c.source), kHead + c.appended);
  EXPECT_EQ(entry_head(kUriKey, 1) + "a", "\x72\x16\x0A\x11"s + kUriKey + "\x12\x01\x61"s);
}

TEST(OnnxEntry, LastKeyAndValueFieldsWinWhateverTheirWireType) {
  const std::string bytes = onnx_field(1, "first") + "\x18\x01"s + onnx_field(1, "key") + onnx_field(2, "v1") + "\x10\x05"s;
  Result<Entry> parsed = parse_entry(as_bytes(bytes));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(as_text(*parsed->key), "key");
  EXPECT_EQ(as_text(*parsed->value), "\x05");  // the varint field 2 came last

  Result<Entry> empty = parse_entry(Bytes{});
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->key);
  EXPECT_FALSE(empty->value);

  EXPECT_EQ(parse_entry(as_bytes("\x0B")).error(), Error::malformed_container("unsupported wire type 3"));
}

TEST(OnnxEntry, OnlyTheExactKeysAreC2pa) {
  struct Case {
    std::string bytes;
    bool c2pa;
  } cases[] = {
      {onnx_field(1, kStoreKey), true},
      {onnx_field(1, kUriKey) + onnx_field(2, "u"), true},
      {onnx_field(1, kStoreKey) + onnx_field(1, "other"), false},
      {onnx_field(1, "other") + onnx_field(1, kStoreKey), true},
      {onnx_field(1, "C2PA:manifest"), false},
      {onnx_field(1, "c2pa:manifest.uri2"), false},
      {onnx_field(1, "c2pa:"), false},
      {onnx_field(1, "c2pa:manifest\0"s), false},
      {onnx_field(2, kStoreKey), false},
      {"", false},
  };
  for (const Case& c : cases) {
    Result<bool> answer = entry_is_c2pa(as_bytes(c.bytes));
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, c.c2pa) << c.bytes;
  }
}

TEST(OnnxManifest, ModelWithoutMetadata) {
  EXPECT_EQ(handler.read_store(as_bytes(kHead)).error(), Error::no_manifest());
  Result<std::optional<std::string>> uri = handler.read_uri(as_bytes(kHead));
  ASSERT_TRUE(uri);
  EXPECT_FALSE(*uri);
  EXPECT_EQ(removed(kHead), kHead);
}

TEST(OnnxManifest, EmbeddedDataReadsBack) {
  const std::string stores[] = {"", "a", std::string("\0\xFF\x80", 3), std::string(1000, 'z')};
  for (const std::string& store : stores) {
    const std::string model = embedded(kHead, {"https://x.test/m", store});
    Result<std::string> read = handler.read_store(as_bytes(model));
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(*read, store);
    EXPECT_EQ(handler.read_uri(as_bytes(model)).value(), "https://x.test/m");
    EXPECT_EQ(removed(model), kHead);
  }
}

TEST(OnnxManifest, EmbedReplacesEveryC2paEntryWhereverItStands) {
  const std::string other = onnx_entry("author", "me");
  const std::string prefixed = onnx_entry("c2pa:manifest.other", "x");
  const std::string cased = onnx_entry("C2PA:manifest", "YWJj");
  const std::string model = kHead + onnx_entry(kUriKey, "old") + other + onnx_entry(kStoreKey, "YQ==") + prefixed +
                            cased + onnx_entry(kStoreKey, "Yg==") + kTail;
  const std::string kept = kHead + other + prefixed + cased + kTail;

  EXPECT_EQ(removed(model), kept);
  EXPECT_EQ(handler.read_store(as_bytes(model)).error(), Error::duplicate_manifest(Format::ONNX));
  EXPECT_EQ(embedded(model, {"new", "abc"}), kept + onnx_entry(kStoreKey, "YWJj") + onnx_entry(kUriKey, "new"));
  // Whatever the source holds, both keys go.
  EXPECT_EQ(embedded(model, uri_only("u")), kept + onnx_entry(kUriKey, "u"));
  EXPECT_EQ(embedded(model, store_only("abc")), kept + onnx_entry(kStoreKey, "YWJj"));

  const std::string twice = embedded(embedded(model, {"one", "1"}), store_only("abc"));
  EXPECT_EQ(twice, kept + onnx_entry(kStoreKey, "YWJj"));
  EXPECT_EQ(handler.read_store(as_bytes(twice)).value(), "abc");
  EXPECT_FALSE(handler.read_uri(as_bytes(twice)).value());
}

TEST(OnnxManifest, ReadStoreFailures) {
  struct Case {
    std::string model;
    Error error;
  } cases[] = {
      {kHead + onnx_entry(kStoreKey, "\xFF"), Error::malformed_container("store is not UTF-8")},
      {kHead + onnx_entry(kStoreKey, "YWJj\n"), Error::malformed_reference("value is not valid Base64")},
      {kHead + onnx_entry(kStoreKey, "YWJ"), Error::malformed_reference("value is not valid Base64")},
      // An entry without a value field is not a store entry.
      {kHead + onnx_field(14, onnx_field(1, kStoreKey)), Error::no_manifest()},
      {kHead + onnx_entry("C2PA:manifest", "YWJj"), Error::no_manifest()},
      {kHead + onnx_entry(kStoreKey, "") + onnx_entry(kStoreKey, ""), Error::duplicate_manifest(Format::ONNX)},
      // A malformed entry after the store still fails the read.
      {kHead + onnx_entry(kStoreKey, "YWJj") + onnx_field(14, "\x0B"), Error::malformed_container("unsupported wire type 3")},
      {kHead + "\x72\x05\x0A"s, Error::malformed_container("unexpected end of ONNX protobuf")},
  };
  for (const Case& c : cases) {
    Result<std::string> read = handler.read_store(as_bytes(c.model));
    ASSERT_FALSE(read) << c.model;
    EXPECT_EQ(read.error(), c.error) << read.error().message();
  }
}

TEST(OnnxManifest, ReadUriStopsAtTheFirstUriEntry) {
  struct Case {
    std::string model;
    std::optional<std::string> uri;
  } cases[] = {
      {kHead + onnx_entry(kUriKey, "first") + onnx_entry(kUriKey, "second"), "first"},
      {kHead + onnx_field(14, onnx_field(1, kUriKey)), ""},
      {kHead + onnx_entry(kUriKey, "u") + onnx_field(14, "\x0B") + onnx_entry(kUriKey, "\xFF"), "u"},
      {kHead + onnx_entry("c2pa:manifest.URI", "u") + onnx_entry(kStoreKey, "YQ=="), std::nullopt},
  };
  for (const Case& c : cases) {
    Result<std::optional<std::string>> read = handler.read_uri(as_bytes(c.model));
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(*read, c.uri);
  }
  EXPECT_EQ(handler.read_uri(as_bytes(kHead + onnx_entry(kUriKey, "\xC0\x80"))).error(),
            Error::malformed_container("URI is not UTF-8"));
  EXPECT_EQ(handler.read_uri(as_bytes(kHead + onnx_field(14, "\x0B") + onnx_entry(kUriKey, "u"))).error(),
            Error::malformed_container("unsupported wire type 3"));
}

TEST(OnnxManifest, MalformedEntriesFailEmbedAndRemove) {
  const std::string models[] = {
      kHead + onnx_field(14, "\x0B") + kTail,
      kHead + onnx_entry(kUriKey, "u") + onnx_field(14, "\x0B"),
      // A field 14 of any wire type is an entry: here a 32-bit one.
      kHead + "\x75\x0B\x00\x00\x00"s,
  };
  const Error expected = Error::malformed_container("unsupported wire type 3");
  for (const std::string& model : models) {
    EXPECT_EQ(handler.remove(as_bytes(model)).error(), expected);
    EXPECT_EQ(handler.embed(as_bytes(model), uri_only("u")).error(), expected);
  }
  EXPECT_EQ(handler.remove(as_bytes(kHead + "\x3A\x05"s)).error(), Error::malformed_container("unexpected end of ONNX protobuf"));
  // The source is checked before the model is looked at.
  EXPECT_EQ(handler.embed(as_bytes("\x0B"), ManifestSource{}).error(), Error::empty_source());
}

TEST(OnnxManifest, NonLengthDelimitedEntriesAreParsedAndKept) {
  // A 32-bit field 14 whose four bytes read as two varint fields 1 and 2.
  const std::string model = kHead + "\x75\x08\x01\x10\x02"s;
  EXPECT_EQ(removed(model), model);
  EXPECT_EQ(handler.read_store(as_bytes(model)).error(), Error::no_manifest());
}

TEST(OnnxManifest, KeptRunsCoalesceIntoFewPieces) {
  std::string model;
  for (int i = 0; i < 100000; ++i) model += "\x08\x01";
  model += onnx_entry(kUriKey, "old");
  for (int i = 0; i < 100000; ++i) model += "\x10\x02";

  Result<FileImage> kept = handler.remove(as_bytes(model));
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->piece_count(), 2u);
  EXPECT_EQ(kept->size(), 400000u);

  const ManifestSource source{"new", "abc"};  // the image borrows the URI
  Result<FileImage> image = handler.embed(as_bytes(model), source);
  ASSERT_TRUE(image);
  EXPECT_LE(image->piece_count(), 6u);
  EXPECT_EQ(handler.read_uri(as_bytes(image->to_string())).value(), "new");
}

}  // namespace
}  // namespace quillon::onnx
