// JSON codec: validate, parse and the raw-string helpers agree; a parse either fails with a message or yields a tree whose
// compact text parses again to a tree that writes the same text; any text
// written as a string literal parses back to itself; the member operations
// keep their first-match contracts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/utf8.hpp"
#include "check.hpp"
#include "json/walk.hpp"
#include "json_tree.hpp"

namespace {

namespace json = quillon::json;

std::string compact(const json::Value& value) {
  std::string out;
  json::write_value(out, value);
  return out;
}

// Edits keyed by the first member's key, which may occur more than once.
void check_members(json::Members& members) {
  if (members.empty()) {
    FUZZ_CHECK(!json::object_remove(members, ""));
    return;
  }
  const std::string key = members.front().key;
  const std::size_t size = members.size();
  const auto count = static_cast<std::size_t>(
      std::count_if(members.begin(), members.end(), [&](const json::Member& m) { return m.key == key; }));
  FUZZ_CHECK(json::object_find(members, key) == &members.front());

  json::object_set(members, key, json::Value::number("1"));
  FUZZ_CHECK(members.size() == size && members.front().value.kind() == json::Value::Kind::Number);
  FUZZ_CHECK(json::object_remove(members, key) && members.size() == size - 1);
  FUZZ_CHECK(json::object_remove_all(members, key) == count - 1);
  FUZZ_CHECK(json::object_find(members, key) == nullptr && members.size() == size - count);

  json::object_set(members, key, json::Value::string("x"));
  FUZZ_CHECK(members.size() == size - count + 1 && members.back().key == key);
}

// Every string the walk reports resolves, rewrites and compares as the
// tree's resolved text does.
struct RawStrings {
  void begin(json::Value::Kind) {}
  void end(json::Value::Kind) {}
  void key(std::string_view raw) { check(raw); }
  void scalar(json::Value::Kind kind, std::string_view raw) {
    if (kind == json::Value::Kind::String) check(raw);
  }
  static void check(std::string_view raw) {
    std::string text;
    json::unescape(text, raw);
    std::string rewritten, written;
    json::write_raw_string(rewritten, raw);
    json::write_string(written, text);
    FUZZ_CHECK(rewritten == written);
    FUZZ_CHECK(json::raw_equals(raw, text));
  }
};

void check_round_trip(std::string_view text) {
  json::ParseResult parsed = json::parse(text);
  // Every sink sees the same walk: the same message, or none.
  FUZZ_CHECK(json::validate(text) == parsed.error);
  RawStrings strings;
  FUZZ_CHECK(json::walk(text, strings) == parsed.error);
  if (!parsed.ok()) {
    FUZZ_CHECK(parsed.root.kind() == json::Value::Kind::Null);
    return;
  }
  std::string first = compact(parsed.root);
  FUZZ_CHECK(quillon::is_utf8(first));
  json::ParseResult again = json::parse(first);
  FUZZ_CHECK(again.ok());
  FUZZ_CHECK(compact(again.root) == first);
  if (parsed.root.kind() == json::Value::Kind::Object) check_members(parsed.root.members());
}

void check_string_literal(std::string_view text) {
  std::string literal;
  json::write_string(literal, text);
  json::ParseResult parsed = json::parse(literal);
  FUZZ_CHECK(parsed.ok());
  FUZZ_CHECK(parsed.root.kind() == json::Value::Kind::String);
  FUZZ_CHECK(parsed.root.text() == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(bytes), size);
  if (!quillon::is_utf8(text)) return 0;  // parse's precondition; callers validate first
  check_round_trip(text);
  check_string_literal(text);
  return 0;
}
