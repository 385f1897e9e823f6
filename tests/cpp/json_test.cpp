#include "json_tree.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "json/walk.hpp"
#include "models.hpp"
#include "small_stack.hpp"

namespace quillon::json {
namespace {

std::string written(const Value& value) {
  std::string out;
  write_value(out, value);
  return out;
}

// The compact form of `text`, or "error: <message>".
std::string rewrite(std::string_view text) {
  ParseResult result = parse(text);
  return result.ok() ? written(result.root) : "error: " + result.error;
}

std::string error_of(std::string_view text) {
  ParseResult result = parse(text);
  EXPECT_FALSE(result.ok()) << text;
  return result.error;
}

TEST(JsonParse, Messages) {
  const struct {
    std::string_view text;
    std::string_view message;
  } cases[] = {
      {"", "unexpected end of input"},
      {" \t\r\n", "unexpected end of input"},
      {"[", "unexpected end of input"},
      {R"({"a":)", "unexpected end of input"},
      {"[1,]", "unexpected byte 0x5d at 3"},
      {"\f{}", "unexpected byte 0xc at 0"},
      {"+1", "unexpected byte 0x2b at 0"},
      {".5", "unexpected byte 0x2e at 0"},
      {"\xc3\xa9", "unexpected byte 0xc3 at 0"},
      {R"({"a":1,})", "expected object key at 7"},
      {R"({"a" 1})", "expected ':' at 5"},
      {R"({"a")", "expected ':' at 4"},
      {"{1:2}", "expected object key at 1"},
      {"{", "expected object key at 1"},
      {"[1 2]", "expected ',' or ']' at 3"},
      {"[1", "expected ',' or ']' at 2"},
      {R"({"a":1)", "expected ',' or '}' at 6"},
      {R"({"a":1])", "expected ',' or '}' at 6"},
      {"nul", "invalid literal at 0"},
      {"[tru]", "invalid literal at 1"},
      {"falsy", "invalid literal at 0"},
      {"truex", "trailing data at byte 4"},
      {"1a", "trailing data at byte 1"},
      {R"({"a":1} x)", "trailing data at byte 8"},
      {"[] []", "trailing data at byte 3"},
      {R"("abc)", "unterminated string"},
      {R"("abc\)", "unterminated escape"},
      {R"("\x")", "invalid escape \\x"},
      {"\"\\\xc3\xa9\"", "invalid escape \\\xc3\x83"},
      {R"("\u12")", "truncated \\u escape"},
      {R"("\u12)", "truncated \\u escape"},
      {"\"\\u123\xc3\xa9\"", "invalid \\u escape"},
      {"\"\\u12\xc3\xa9\"", "invalid \\u hex"},
      {R"("\u12g4")", "invalid \\u hex"},
      {R"("\ud83d")", "lone high surrogate"},
      {R"("\ud83dx")", "lone high surrogate"},
      {R"("\ud83d\n")", "lone high surrogate"},
      {R"("\ud83d\u0041")", "invalid low surrogate"},
      {R"("\ud83d\ud83d")", "invalid low surrogate"},
      {R"("\ud83d\u00")", "truncated \\u escape"},
      {R"("\ude00")", "invalid code point"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error_of(c.text), c.message) << c.text;
    EXPECT_EQ(validate(c.text), c.message) << "validate: " << c.text;
  }
}

TEST(JsonParse, RoundTripsCompactly) {
  const struct {
    std::string_view text;
    std::string_view compact;
  } cases[] = {
      {" {} ", "{}"},
      {"[ ]", "[]"},
      {R"({"a":1,"a":2})", R"({"a":1,"a":2})"},
      {R"({ "b" : [ 1.50E+03 , -0 , 01 , 123456789012345678901234567890 ] , "a" : null })",
       R"({"b":[1.50E+03,-0,01,123456789012345678901234567890],"a":null})"},
      {"[-, 1.2.3, 1e, 3-4]", "[-,1.2.3,1e,3-4]"},
      {"[true,false,null]", "[true,false,null]"},
      {R"("\u00e9")", "\"\xc3\xa9\""},
      {R"("\ud83d\ude00")", "\"\xf0\x9f\x98\x80\""},
      {R"("\/\"\\\b\f\n\r\t")", R"("/\"\\\b\f\n\r\t")"},
      {"\"a\tb\x01\"", R"("a\tb\u0001")"},
      {R"("\u0000\u001b\u007f")", "\"\\u0000\\u001b\x7f\""},
      {R"("\u0041\u07ff\uffff")", "\"A\xdf\xbf\xef\xbf\xbf\""},
      {R"([[[]],{"":{}}])", R"([[[]],{"":{}}])"},
      {"\"\xe2\x82\xac/\"", "\"\xe2\x82\xac/\""},
      {"7", "7"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rewrite(c.text), c.compact) << c.text;
    EXPECT_EQ(validate(c.text), "") << "validate: " << c.text;
  }
}

TEST(JsonParse, KeepsDuplicatesAndResolvesKeyEscapes) {
  ParseResult result = parse(R"({"a":1,"\u0061":2,"b":{"c":"x"}})");
  ASSERT_TRUE(result.ok());
  const Members& members = result.root.members();
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[0].key, "a");
  EXPECT_EQ(members[1].key, "a");
  EXPECT_EQ(members[1].value.text(), "2");
  EXPECT_EQ(members[1].value.kind(), Value::Kind::Number);
  EXPECT_EQ(members[2].value.members()[0].value.kind(), Value::Kind::String);
}

TEST(JsonParse, LongStringsWithManyEscapes) {
  std::string text = "\"";
  std::string expected;
  for (int i = 0; i < 100000; ++i) {
    text += "ab\\n";
    expected += "ab\n";
  }
  text += '"';
  ParseResult result = parse(text);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.root.text(), expected);
  EXPECT_EQ(written(result.root), text);
}

TEST(JsonWrite, EscapesOnlyWhatItMust) {
  std::string out;
  std::string raw = "q\"b\\s/";
  for (int c = 0; c < 0x20; ++c) raw += static_cast<char>(c);
  raw += "\x7f\xc3\xa9";
  write_string(out, raw);
  EXPECT_EQ(out,
            "\"q\\\"b\\\\s/\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n"
            "\\u000b\\f\\r\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017"
            "\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d\\u001e\\u001f\x7f\xc3\xa9\"");

  Elements elements;
  elements.push_back(Value());
  elements.push_back(Value::boolean(false));
  elements.push_back(Value::string("x"));
  EXPECT_EQ(written(Value::array(std::move(elements))), R"([null,false,"x"])");
}

// Plain text is skipped eight bytes at a time: a byte that needs escaping
// must be found wherever it stands in a block, alone or not.
TEST(JsonWrite, FindsEscapesAtEveryPositionOfABlock) {
  const struct {
    char byte;
    std::string_view escaped;
  } cases[] = {
      {'\x1f', "\\u001f"}, {'\x00', "\\u0000"}, {'\x01', "\\u0001"}, {'\n', "\\n"},
      {'"', "\\\""},       {'\\', "\\\\"},      {' ', " "},            {'\x7f', "\x7f"},
  };
  for (const auto& c : cases) {
    for (std::size_t at = 0; at < 24; ++at) {
      std::string text(24, 'a');
      text[at] = c.byte;
      std::string expected = '"' + std::string(at, 'a');
      expected += c.escaped;
      expected += std::string(23 - at, 'a') + '"';
      std::string out;
      write_string(out, text);
      EXPECT_EQ(out, expected) << "byte " << int(c.byte) << " at " << at;
    }
  }
}

// What a walk hands its sinks for a string: the raw bytes between the
// quotation marks. Resolving, rewriting and comparing them must agree with
// the tree's resolved text.
TEST(JsonRawString, ResolvesRewritesAndComparesLikeTheTree) {
  const struct {
    std::string_view raw;
    std::string_view text;
  } cases[] = {
      {"", ""},
      {"plain", "plain"},
      {R"(\"\\\/\b\f\n\r\t)", "\"\\/\b\f\n\r\t"},
      {R"(\u0063\u00e9\u20ac\ud83d\ude00)", "c\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"a\\u0000b\x01", std::string_view("a\0b\x01", 4)},
      {R"(x\\)", "x\\"},
      {R"(__metadat\u0061__)", "__metadata__"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    std::string resolved;
    unescape(resolved, c.raw);
    EXPECT_EQ(resolved, c.text);
    std::string rewritten, written;
    write_raw_string(rewritten, c.raw);
    write_string(written, c.text);
    EXPECT_EQ(rewritten, written);
    EXPECT_TRUE(raw_equals(c.raw, c.text));
    EXPECT_FALSE(raw_equals(c.raw, std::string(c.text) + "x"));
    if (!c.text.empty()) {
      EXPECT_FALSE(raw_equals(c.raw, c.text.substr(1)));
    }
  }
}

TEST(JsonEdit, SetAndRemoveTouchOnlyTheFirstMatch) {
  ParseResult result = parse(R"({"a":1,"a":2})");
  ASSERT_TRUE(result.ok());
  Members& members = result.root.members();

  object_set(members, "a", Value::number("3"));
  EXPECT_EQ(written(result.root), R"({"a":3,"a":2})");
  object_set(members, "b", Value::boolean(true));
  EXPECT_EQ(written(result.root), R"({"a":3,"a":2,"b":true})");

  EXPECT_TRUE(object_remove(members, "a"));
  EXPECT_EQ(written(result.root), R"({"a":2,"b":true})");
  EXPECT_TRUE(object_remove(members, "a"));
  EXPECT_FALSE(object_remove(members, "a"));
  EXPECT_FALSE(object_remove(members, "B"));
  EXPECT_EQ(written(result.root), R"({"b":true})");
}

TEST(JsonEdit, RemoveAllKeepsTheRestInOrder) {
  ParseResult result = parse(R"({"k":1,"x":2,"k":3,"y":4,"k":5})");
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(object_remove_all(result.root.members(), "k"), 3u);
  EXPECT_EQ(object_remove_all(result.root.members(), "k"), 0u);
  EXPECT_EQ(written(result.root), R"({"x":2,"y":4})");
}

constexpr std::size_t kDeep = 1000000;

using test::repeat;

TEST(JsonDepth, DeepInputNeverExhaustsTheStack) {
  on_small_stack([] {
    EXPECT_EQ(error_of(repeat("[", kDeep)), "unexpected end of input");
    EXPECT_EQ(error_of(repeat(R"({"a":)", kDeep)), "unexpected end of input");
    EXPECT_EQ(error_of(repeat("[", kDeep) + "1" + repeat("]", kDeep - 1)),
              "expected ',' or ']' at " + std::to_string(2 * kDeep));

    // A failure deep inside, with completed siblings at every level.
    const std::string siblings = repeat("[[1],", kDeep / 2) + "x";
    EXPECT_EQ(error_of(siblings), "unexpected byte 0x78 at " + std::to_string(siblings.size() - 1));

    const std::string arrays = repeat("[", kDeep) + repeat("]", kDeep);
    EXPECT_EQ(rewrite(arrays), arrays);
    const std::string objects = repeat(R"({"a":)", kDeep) + "1" + repeat("}", kDeep);
    EXPECT_EQ(rewrite(objects), objects);
    const std::string mixed = repeat(R"([0,{"k":[)", kDeep / 4) + repeat("]}]", kDeep / 4);
    EXPECT_EQ(rewrite(mixed), mixed);
  });
}

TEST(JsonDepth, BuiltTreesReleaseWithoutRecursion) {
  on_small_stack([] {
    Value root;
    for (std::size_t i = 0; i < kDeep; ++i) {
      Members members;
      members.push_back(Member{"n", std::move(root)});
      Elements elements;
      elements.push_back(Value::object(std::move(members)));
      root = Value::array(std::move(elements));
    }
    Value moved = std::move(root);
    root = Value::number("1");  // reassigning a moved-from tree is fine too
    EXPECT_EQ(written(moved).size(), kDeep * 8 + 4);
  });
}

}  // namespace
}  // namespace quillon::json
