#include "safetensors/manifest.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "base/bytes.hpp"
#include "models.hpp"
#include "safetensors/header.hpp"
#include "small_stack.hpp"

namespace quillon::safetensors {
namespace {

constexpr std::string_view kData = "\x01\x02\x03\x04tensor-bytes";

using test::repeat;

// A SafeTensors file holding `header` and, unless given other, kData.
std::string st_file(std::string_view header, std::string_view data = kData) { return test::framed(header, data); }

std::string header_of(const std::string& file) {
  const auto n = load_le<std::uint64_t>(as_bytes(file).data());
  return file.substr(8, n);
}

std::string data_of(const std::string& file) { return file.substr(8 + header_of(file).size()); }

using test::message_of;

// The whole new file, or "error: <message>".
std::string image_of(const Result<FileImage>& image) {
  return image ? image->to_string() : "error: " + image.error().message();
}

std::string embedded(const std::string& file, std::optional<std::string> uri, std::optional<std::string> store) {
  return image_of(handler.embed(as_bytes(file), ManifestSource{std::move(uri), std::move(store)}));
}

std::string removed(const std::string& file) { return image_of(handler.remove(as_bytes(file))); }

std::string store_of(const std::string& file) {
  Result<std::string> store = handler.read_store(as_bytes(file));
  return store ? *store : "error: " + store.error().message();
}

std::string uri_of(const std::string& file) {
  Result<std::optional<std::string>> uri = handler.read_uri(as_bytes(file));
  if (!uri) return "error: " + uri.error().message();
  return uri->value_or("<absent>");
}

const std::string kNoManifest = "error: no C2PA manifest found in model";
const std::string kDuplicate = "error: more than one c2pa:manifest entry in the SafeTensors container";

TEST(SafeTensors, BrokenHeadersAndTheirErrorKinds) {
  const struct {
    std::string file;
    std::string tree_error;   // read_uri, embed, remove
    std::string store_error;  // read_store
  } cases[] = {
      {"1234567", "malformed model container: file shorter than SafeTensors header",
       "malformed model container: file shorter than SafeTensors header"},
      {st_file("{}", "").substr(0, 9), "malformed model container: header length exceeds file",
       "malformed model container: header length exceeds file"},
      {st_file("\f{}"), "malformed model container: unexpected byte 0xc at 0",
       "data hash exclusion is malformed: header length field does not span valid JSON: unexpected byte 0xc at 0"},
      {st_file("{\"a\":\"\xff\"}"), "malformed model container: header is not UTF-8",
       "data hash exclusion is malformed: header is not UTF-8"},
      {st_file("{} x"), "malformed model container: trailing data at byte 3",
       "data hash exclusion is malformed: header length field does not span valid JSON: trailing data at byte 3"},
      {st_file("[]"), "malformed model container: header is not a JSON object",
       "no C2PA manifest found in model"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(message_of(handler.read_uri(as_bytes(c.file))), c.tree_error);
    EXPECT_EQ(message_of(handler.embed(as_bytes(c.file), ManifestSource{"u", std::nullopt})), c.tree_error);
    EXPECT_EQ(message_of(handler.remove(as_bytes(c.file))), c.tree_error);
    EXPECT_EQ(message_of(handler.read_store(as_bytes(c.file))), c.store_error);
    // An empty source is rejected before the model is looked at.
    EXPECT_EQ(message_of(handler.embed(as_bytes(c.file), ManifestSource{})),
              "manifest source has neither an embedded store nor a URI");
  }
}

TEST(SafeTensors, EmbedPlacesC2paMembersLast) {
  const struct {
    std::string header;
    std::optional<std::string> uri;
    std::optional<std::string> store;
    std::string rewritten;
  } cases[] = {
      {R"({"t":{"dtype":"F32"}})", std::nullopt, "foo",
       R"({"t":{"dtype":"F32"},"__metadata__":{"c2pa:manifest":"Zm9v"}})"},
      {R"({"__metadata__":{"format":"pt"}})", "https://x/m", "foo",
       R"({"__metadata__":{"format":"pt","c2pa:manifest":"Zm9v","c2pa:manifest.uri":"https://x/m"}})"},
      {R"({"__metadata__":{"c2pa:manifest.uri":"old","a":"b"}})", std::nullopt, "fo",
       R"({"__metadata__":{"a":"b","c2pa:manifest":"Zm8="}})"},
      {R"({"__metadata__":{"c2pa:manifest":"b2xk","a":"b"}})", "new", std::nullopt,
       R"({"__metadata__":{"a":"b","c2pa:manifest.uri":"new"}})"},
      {R"({"__metadata__":{"c2pa:manifest":"YQ==","x":1,"c2pa:manifest":"Yg==","c2pa:manifest.uri":"a","c2pa:manifest.uri":"b"}})",
       "u", std::nullopt, R"({"__metadata__":{"x":1,"c2pa:manifest.uri":"u"}})"},
      {R"({"__metadata__":{}})", std::nullopt, "", R"({"__metadata__":{"c2pa:manifest":""}})"},
      {"{\"__metadata__\":{}}", "q\"b\\s\n\x01", std::nullopt,
       R"({"__metadata__":{"c2pa:manifest.uri":"q\"b\\s\n\u0001"}})"},
      {R"({"__metadata__":{"c2pa:manifest":"YQ=="},"__metadata__":{"c2pa:manifest":"Yg=="}})", std::nullopt, "c",
       R"({"__metadata__":{"c2pa:manifest":"Yw=="},"__metadata__":{"c2pa:manifest":"Yg=="}})"},
      {R"( { "t" : { "shape" : [ 123456789012345678901234567890, 1.0e+00 ] } }      )", std::nullopt, "",
       R"({"t":{"shape":[123456789012345678901234567890,1.0e+00]},"__metadata__":{"c2pa:manifest":""}})"},
      {"{}", "u", std::nullopt, R"({"__metadata__":{"c2pa:manifest.uri":"u"}})"},
      // Old C2PA values of any shape go whole; keys match with escapes resolved.
      {R"({"__metadata__":{"c2pa:manifest":{"a":[1,{"c2pa:manifest":2}]},"k":[]}})", "u", std::nullopt,
       R"({"__metadata__":{"k":[],"c2pa:manifest.uri":"u"}})"},
      {R"({"__metadata__":{"c2pa:manifest":"YQ==","k":"\/é	"}})", "u", std::nullopt,
       "{\"__metadata__\":{\"k\":\"/\xc3\xa9\\t\",\"c2pa:manifest.uri\":\"u\"}}"},
      // Only the first top-level "__metadata__" is edited.
      {R"({"t":{"__metadata__":{"c2pa:manifest":"YQ=="}}})", "u", std::nullopt,
       R"({"t":{"__metadata__":{"c2pa:manifest":"YQ=="}},"__metadata__":{"c2pa:manifest.uri":"u"}})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    const std::string file = st_file(c.header);
    const std::string out = embedded(file, c.uri, c.store);
    EXPECT_EQ(header_of(out), c.rewritten);
    EXPECT_EQ(data_of(out), kData);
  }
}

TEST(SafeTensors, EmbeddedDataReadsBackExactly) {
  std::string binary;
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  const std::string uris[] = {"", "https://example.com/m.c2pa", "q\"b\\s\n\x01\x1f\xc3\xa9"};
  const std::string stores[] = {"", "a", "ab", "abc", binary};
  const std::string base = st_file(R"({"__metadata__":{"format":"pt"},"t":{"data_offsets":[0,16]}})");
  for (const std::string& uri : uris) {
    for (const std::string& store : stores) {
      const std::string out = embedded(base, uri, store);
      EXPECT_EQ(store_of(out), store);
      EXPECT_EQ(uri_of(out), uri);
      EXPECT_EQ(data_of(out), kData);
      // A second embed replaces both members rather than adding to them.
      EXPECT_EQ(header_of(embedded(out, uri, store)), header_of(out));
    }
  }
}

TEST(SafeTensors, RewrittenHeaderIsCompactAndUnpadded) {
  // Padded with spaces to a multiple of 8, as the safetensors package writes.
  std::string header = R"({"__metadata__":{"c2pa:manifest":"Zm9v"},"t":{"dtype":"F32"}})";
  header.append(8 - header.size() % 8, ' ');
  const std::string file = st_file(header);
  EXPECT_EQ(store_of(file), "foo");
  EXPECT_EQ(uri_of(file), "<absent>");

  const std::string out = embedded(file, "u", std::nullopt);
  EXPECT_EQ(header_of(out), R"({"__metadata__":{"c2pa:manifest.uri":"u"},"t":{"dtype":"F32"}})");
  EXPECT_EQ(out.size(), 8 + header_of(out).size() + kData.size());

  Result<FileImage> image = handler.remove(as_bytes(file));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->piece_count(), 2u);  // the owned header and a view of the tensor data
  EXPECT_EQ(header_of(image->to_string()), R"({"t":{"dtype":"F32"}})");
}

TEST(SafeTensors, RemoveRewrites) {
  const struct {
    std::string header;
    std::string rewritten;
  } cases[] = {
      {R"({ "a" : 1 })", R"({"a":1})"},
      {R"({"__metadata__":{"format":"pt","c2pa:manifest":"Zm9v"}})", R"({"__metadata__":{"format":"pt"}})"},
      {R"({"a":1,"__metadata__":{"c2pa:manifest":"Zm9v","c2pa:manifest.uri":"u"},"b":2})", R"({"a":1,"b":2})"},
      {R"({"__metadata__":{},"a":1})", R"({"a":1})"},
      {R"({"__metadata__":{"c2pa:manifest":"YQ==","c2pa:manifest":"Yg==","k":"v","c2pa:manifest.uri":"a","c2pa:manifest.uri":"b"}})",
       R"({"__metadata__":{"k":"v"}})"},
      {R"({"__metadata__":{"c2pa:manifest":"YQ=="},"__metadata__":{"c2pa:manifest":"Yg=="}})",
       R"({"__metadata__":{"c2pa:manifest":"Yg=="}})"},
      {R"({"__metadata__":["c2pa:manifest"], "x": 1})", R"({"__metadata__":["c2pa:manifest"],"x":1})"},
      {R"({"__metadata__":{"C2PA:manifest":"Zm9v","c2pa:manifest ":"x"}})",
       R"({"__metadata__":{"C2PA:manifest":"Zm9v","c2pa:manifest ":"x"}})"},
      {R"({"__metadata__":{"\u00632pa:manifest":"Zm9v","k":1}})", R"({"__metadata__":{"k":1}})"},
      {R"({"__metadata__":{"c2pa:manifest":[[{"x":"]"}]]},"a":{"b":[]}})", R"({"a":{"b":[]}})"},
      {R"({"a":[],"__metadata__":{"c2pa:manifest.uri":"u"},"b":{}})", R"({"a":[],"b":{}})"},
      {"{\"a\x01\":\"\x1f\"}", R"({"a\u0001":"\u001f"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    const std::string out = removed(st_file(c.header));
    EXPECT_EQ(header_of(out), c.rewritten);
    EXPECT_EQ(data_of(out), kData);
  }
  EXPECT_EQ(removed(st_file("{}", "")), st_file("{}", ""));
}

TEST(SafeTensors, MetadataThatIsNotAnObject) {
  const std::string file = st_file(R"({"__metadata__":[1],"__metadata__":{"c2pa:manifest.uri":"u"}})");
  EXPECT_EQ(embedded(file, "x", std::nullopt), "error: malformed model container: __metadata__ is not a JSON object");
  EXPECT_EQ(uri_of(file), "<absent>");
  EXPECT_EQ(uri_of(st_file(R"({"__metadata__":"c2pa:manifest.uri"})")), "<absent>");
}

TEST(SafeTensors, ReadUriUsesTheFirstStringMember) {
  const struct {
    std::string header;
    std::string uri;
  } cases[] = {
      {R"({"a":1})", "<absent>"},
      {R"({"__metadata__":{"c2pa:manifest.uri":7}})", "<absent>"},
      {R"({"__metadata__":{"c2pa:manifest.uri":null,"c2pa:manifest.uri":"second"}})", "<absent>"},
      {R"({"__metadata__":{"c2pa:manifest.uri":"first","c2pa:manifest.uri":"second"}})", "first"},
      {R"({"__metadata__":{"c2pa:manifest.uri":"a\/b\u00e9"}})", "a/b\xc3\xa9"},
      {R"({"__metadata__":{"\u00632pa:manifest.uri":"escaped key"}})", "escaped key"},
      {R"({"__metadata__":{},"__metadata__":{"c2pa:manifest.uri":"second"}})", "<absent>"},
      {R"({"t":{"__metadata__":{"c2pa:manifest.uri":"nested"}}})", "<absent>"},
  };
  for (const auto& c : cases) EXPECT_EQ(uri_of(st_file(c.header)), c.uri) << c.header;
}

TEST(SafeTensors, ReadStoreScansRawText) {
  const struct {
    std::string header;
    std::string store;
  } cases[] = {
      {R"({"__metadata__":{"c2pa:manifest":"Zm9v"}})", "foo"},
      {R"({"__metadata__":{"c2pa:manifest":""}})", ""},
      {R"({"__metadata__":{"c2pa:manifest":5}})", kNoManifest},
      {R"({"__metadata__":{"c2pa:manifest":null,"c2pa:manifest":["Zm9v"],"c2pa:manifest":{"c2pa:manifest":"Zm9v"}}})",
       kNoManifest},
      {R"({"__metadata__":{"c2pa:manifest":5,"c2pa:manifest":"Zm9v"}})", "foo"},
      {R"({"__metadata__":{"\u00632pa:manifest":"Zm9v"}})", kNoManifest},
      {R"({"\u005f_metadata__":{"c2pa:manifest":"Zm9v"}})", kNoManifest},
      {R"({"c2pa:manifest":"Zm9v","m":{"c2pa:manifest":"Zm9v"}})", kNoManifest},
      {R"({"__metadata__":{"c2pa:manifest":"Zm9v","c2pa:manifest":"Zm9v"}})", kDuplicate},
      {R"({"__metadata__":{"c2pa:manifest":"Zm9v"},"__metadata__":{"c2pa:manifest":"YQ=="}})", kDuplicate},
      {R"({"t":{"__metadata__":{"c2pa:manifest":"Zm9v"}}})", "foo"},
      {R"([{"__metadata__":{"c2pa:manifest":"Zm9v"}}])", "foo"},
      // A nested metadata object takes over; members after it are not counted.
      {R"({"__metadata__":{"x":{"__metadata__":{}},"c2pa:manifest":"Zm9v"}})", kNoManifest},
      {R"({"__metadata__":{"x":{"__metadata__":{"c2pa:manifest":"Zm9v"}}}})", "foo"},
      {R"({"__metadata__":{"a":[1,{"b":2}],"c2pa:manifest":"Zm9v"}})", "foo"},
      // Quotation marks and backslashes inside other strings do not confuse the scan.
      {R"({"__metadata__":{"a\"":"\\","b":"\",\"c2pa:manifest\":\"YQ==","c2pa:manifest":"Zm9v"}})", "foo"},
      {R"({"__metadata__":{"c2pa:manifest" : "Zm9v" , "u" : "x"}})", "foo"},
      // Strings that end in an escaped backslash, right before the store member.
      {R"({"__metadata__":{"a":"\\","c2pa:manifest":"Zm9v"}})", "foo"},
      {R"({"__metadata__":{"a":"x\\\\","c2pa:manifest":"Zm9v"}})", "foo"},
      {R"({"__metadata__":{"a\\":"\\\"","c2pa:manifest":"Zm9v"}})", "foo"},
      {R"({"__metadata__":{"a":["\\"],"c2pa:manifest":"Zm9v"}})", "foo"},
      {R"({"__metadata__":{"a":"\\"},"__metadata__":{"c2pa:manifest":"Zm9v"}})", "foo"},
      {R"({"__metadata__":{"c2pa:manifest":"Zm9\/"}})", "error: malformed manifest reference: value is not valid Base64"},
      {R"({"__metadata__":{"c2pa:manifest":"Zm9"}})", "error: malformed manifest reference: value is not valid Base64"},
  };
  for (const auto& c : cases) EXPECT_EQ(store_of(st_file(c.header)), c.store) << c.header;
}

TEST(SafeTensors, SecondMetadataObjectCountsForReadStoreOnly) {
  const std::string file = st_file(R"({"__metadata__":{"k":1},"__metadata__":{"c2pa:manifest":"Yg=="}})");
  const std::string out = embedded(file, "u", "a");
  EXPECT_EQ(header_of(out),
            R"({"__metadata__":{"k":1,"c2pa:manifest":"YQ==","c2pa:manifest.uri":"u"},"__metadata__":{"c2pa:manifest":"Yg=="}})");
  EXPECT_EQ(uri_of(out), "u");
  EXPECT_EQ(store_of(out), kDuplicate);
}

// safetensors refuses headers over 100,000,000 bytes: an embed must not
// make a loadable file unloadable, but a file already past it stays as it was.
TEST(SafeTensors, EmbedKeepsTheHeaderWithinTheReadersLimit) {
  const std::string stamped = R"({"p":"","__metadata__":{"c2pa:manifest":""}})";
  const std::size_t fits = kMaxHeaderSize - stamped.size();  // filler bytes for a header of exactly the limit
  const std::string too_large =
      "error: manifest too large for the SafeTensors container: header over 100000000 bytes";
  const struct {
    const char* what;
    std::size_t filler;
    std::string expected;  // the new header's size, or the error
  } cases[] = {
      {"exactly the limit", fits, std::to_string(kMaxHeaderSize)},
      {"one byte over", fits + 1, too_large},
      {"input already over", kMaxHeaderSize, std::to_string(kMaxHeaderSize + stamped.size())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = st_file(R"({"p":")" + std::string(c.filler, 'x') + R"("})");
    const std::string out = embedded(file, std::nullopt, "");
    EXPECT_EQ(out.rfind("error", 0) == 0 ? out : std::to_string(header_of(out).size()), c.expected);
    EXPECT_EQ(header_of(removed(file)).size(), c.filler + 8);  // remove never refuses
  }
}

TEST(SafeTensors, DeepHeadersNeverExhaustTheStack) {
  on_small_stack([] {
    constexpr std::size_t kDeep = 1000000;
    const std::string open_arrays = st_file(repeat("[", kDeep));
    EXPECT_EQ(uri_of(open_arrays), "error: malformed model container: unexpected end of input");
    EXPECT_EQ(removed(open_arrays), "error: malformed model container: unexpected end of input");
    EXPECT_EQ(embedded(open_arrays, std::nullopt, "x"), "error: malformed model container: unexpected end of input");
    EXPECT_EQ(store_of(open_arrays),
              "error: data hash exclusion is malformed: header length field does not span valid JSON: "
              "unexpected end of input");

    const std::string closed_arrays = st_file(repeat("[", kDeep) + repeat("]", kDeep));
    EXPECT_EQ(uri_of(closed_arrays), "error: malformed model container: header is not a JSON object");
    EXPECT_EQ(store_of(closed_arrays), kNoManifest);

    // Valid and deep, with a store at the bottom.
    const std::string deep = R"({"a":)";
    const std::string objects =
        st_file(repeat(deep, kDeep) + R"({"__metadata__":{"c2pa:manifest":"Zm9v"}})" + repeat("}", kDeep));
    EXPECT_EQ(store_of(objects), "foo");
    EXPECT_EQ(uri_of(objects), "<absent>");
    const std::string stamped = embedded(objects, "u", std::nullopt);
    EXPECT_EQ(uri_of(stamped), "u");
    EXPECT_EQ(store_of(stamped), "foo");
    EXPECT_EQ(header_of(removed(objects)), header_of(objects));
  });
}

}  // namespace
}  // namespace quillon::safetensors
