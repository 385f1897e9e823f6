// A JSON tree for the tests and fuzzers: parse a UTF-8 text into a tree of
// `Value`s, edit object members by key, write the tree back compactly. The
// library itself never builds a tree; it walks the text (json/walk.hpp).
//
// A parse followed by a write keeps member order, duplicate keys and the
// exact text of every number; only insignificant whitespace and the form of
// string escapes change. Failures are the walk's message texts.
//
// `parse` and `validate` are the one walk of the grammar with a
// tree-building sink and with none. Nesting depth is bounded only by the
// input's length: walking, writing and releasing a tree all keep their own
// stacks on the heap, so no input can exhaust the call stack.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json/walk.hpp"

namespace quillon::json {

class Value;
struct Member;

using Elements = std::vector<Value>;
using Members = std::vector<Member>;  // in document order, duplicates kept

// One JSON value. Owns its payload and children exclusively; move-only, as
// a copy would have to walk the whole tree.
class Value {
 public:
  // The order of json::Kind matches the alternatives of `data_`.
  using Kind = json::Kind;

  Value() = default;  // Null
  static Value boolean(bool b);
  // `token` is the number's text exactly as it stood in the input.
  static Value number(std::string token);
  static Value string(std::string text);
  static Value array();  // empty
  static Value array(Elements elements);
  static Value object();  // empty
  static Value object(Members members);

  // Releases a tree of any depth without recursion.
  ~Value();
  Value(Value&&) noexcept = default;
  Value& operator=(Value&&) noexcept = default;
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;

  Kind kind() const { return static_cast<Kind>(data_.index()); }

  // Each accessor requires the matching kind (checked by assertions only).
  bool as_bool() const {
    assert(kind() == Kind::Bool);
    return *std::get_if<1>(&data_);
  }
  // The token of a Number, the unescaped text of a String.
  const std::string& text() const {
    assert(kind() == Kind::Number || kind() == Kind::String);
    return kind() == Kind::Number ? *std::get_if<2>(&data_) : *std::get_if<3>(&data_);
  }
  Elements& elements() {
    assert(kind() == Kind::Array);
    return *std::get_if<4>(&data_);
  }
  const Elements& elements() const {
    assert(kind() == Kind::Array);
    return *std::get_if<4>(&data_);
  }
  Members& members() {
    assert(kind() == Kind::Object);
    return *std::get_if<5>(&data_);
  }
  const Members& members() const {
    assert(kind() == Kind::Object);
    return *std::get_if<5>(&data_);
  }

 private:
  template <std::size_t I, class T>
  Value(std::in_place_index_t<I> index, T&& payload) : data_(index, std::forward<T>(payload)) {}

  // Moves the children that are non-empty containers onto `out`, releases
  // the others, and leaves this container empty.
  void take_children(Elements& out);

  std::variant<std::monostate, bool, std::string, std::string, Elements, Members> data_;
};

struct Member {
  std::string key;  // escapes resolved
  Value value;
};

// Defined here, where Member is complete.
inline Value Value::boolean(bool b) { return Value(std::in_place_index<1>, b); }
inline Value Value::number(std::string token) { return Value(std::in_place_index<2>, std::move(token)); }
inline Value Value::string(std::string text) { return Value(std::in_place_index<3>, std::move(text)); }
inline Value Value::array() { return array(Elements()); }
inline Value Value::object() { return object(Members()); }
inline Value Value::array(Elements elements) { return Value(std::in_place_index<4>, std::move(elements)); }
inline Value Value::object(Members members) { return Value(std::in_place_index<5>, std::move(members)); }

// The outcome of `parse`: the root value, or the message that ended it.
struct ParseResult {
  Value root;         // Null after a failure
  std::string error;  // empty exactly when the parse succeeded

  bool ok() const { return error.empty(); }
};

// Parses the complete document `text`, which must be valid UTF-8. Any kind
// of value may be the root.
ParseResult parse(std::string_view text);

// Checks `text` as parse() does and returns its message, or an empty text
// when it is valid; builds no tree.
std::string validate(std::string_view text);

// Appends the compact JSON form of `value` to `out`: no whitespace at all.
void write_value(std::string& out, const Value& value);

// Replaces the value of the first member keyed `key` (which keeps its place),
// or appends the member when none has that key.
void object_set(Members& members, std::string_view key, Value value);

// Removes the first member keyed `key`; false when there is none.
bool object_remove(Members& members, std::string_view key);

// Removes every member keyed `key` in one pass; returns how many went.
std::size_t object_remove_all(Members& members, std::string_view key);

// The first member keyed `key`, or nullptr.
Member* object_find(Members& members, std::string_view key);
const Member* object_find(const Members& members, std::string_view key);

}  // namespace quillon::json
