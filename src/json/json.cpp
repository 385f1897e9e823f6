#include "json/json.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "utf8/utf8.hpp"

namespace quillon::json {
namespace {

constexpr std::size_t kHexDigits = 4;  // after \u
constexpr std::uint32_t kHighSurrogateFirst = 0xD800;
constexpr std::uint32_t kLowSurrogateFirst = 0xDC00;
constexpr std::uint32_t kLowSurrogateLast = 0xDFFF;
constexpr std::uint32_t kSupplementaryFirst = 0x10000;
constexpr char kLowerHex[] = "0123456789abcdef";

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_number_byte(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

bool is_nonempty_container(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Array:
      return !value.elements().empty();
    case Value::Kind::Object:
      return !value.members().empty();
    default:
      return false;
  }
}

// "<lead> <offset>", the form of every message that reports a position.
std::string at_offset(std::string_view lead, std::size_t offset) {
  std::string message(lead);
  message += ' ';
  message += std::to_string(offset);
  return message;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The next occurrence of one byte at or after a position that only moves
// forward. Each search resumes where the last one stopped, so a string full
// of escapes is still scanned once, not once per escape.
class NextByte {
 public:
  NextByte(std::string_view text, char byte) : text_(text), byte_(byte) { search(0); }

  std::size_t from(std::size_t pos) {
    if (found_ < pos) search(pos);
    return found_;
  }

 private:
  void search(std::size_t pos) {
    const void* hit = std::memchr(text_.data() + pos, byte_, text_.size() - pos);
    found_ = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data()) : text_.size();
  }

  std::string_view text_;
  char byte_;
  std::size_t found_ = 0;  // first `byte_` at or after the last search start, or the text length
};

// One parse. Containers under construction sit on a heap stack (`open`), so
// the nesting depth costs memory, never call-stack frames. An object's member
// is appended, with a Null placeholder, as soon as its key and ':' are read;
// the value replaces the placeholder when complete.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text), quotes_(text, '"'), backslashes_(text, '\\') {}

  ParseResult run() {
    ParseResult result;
    if (!parse_document(result.root)) {
      result.root = Value();
      result.error = std::move(error_);
    }
    return result;
  }

 private:
  bool parse_document(Value& root);
  bool parse_scalar(Value& out);
  bool parse_number(Value& out);
  bool parse_literal(std::string_view word, Value value, Value& out);
  bool parse_string(std::string& out);
  bool parse_unicode_escape(std::string& out);
  bool parse_hex4(std::uint32_t& out);
  bool parse_key(Members& members);

 public:
  // The same grammar and messages as run(), building nothing.
  std::string validate() {
    return validate_document() ? std::string() : std::move(error_);
  }

 private:
  bool validate_document();
  bool skip_scalar();
  bool skip_key();
  std::string scratch_;  // receives string contents that validation drops

  bool at_end() const { return pos_ == text_.size(); }
  bool next_is(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
  void skip_space() {
    while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
  }
  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string error_;
  NextByte quotes_;
  NextByte backslashes_;
};

bool Parser::parse_document(Value& root) {
  Elements open;  // containers being filled, innermost last
  skip_space();
  for (;;) {
    // A value starts at pos_.
    Value value;
    if (next_is('[') || next_is('{')) {
      const bool is_array = text_[pos_] == '[';
      ++pos_;
      skip_space();
      if (next_is(is_array ? ']' : '}')) {
        ++pos_;
        value = is_array ? Value::array() : Value::object();
      } else {
        open.push_back(is_array ? Value::array() : Value::object());
        if (!is_array && !parse_key(open.back().members())) return false;
        continue;
      }
    } else if (!parse_scalar(value)) {
      return false;
    }

    // Hand the finished value to its container; each container that closes
    // right after it is in turn a finished value for the one outside.
    for (;;) {
      if (open.empty()) {
        root = std::move(value);
        skip_space();
        return at_end() || fail(at_offset("trailing data at byte", pos_));
      }
      Value& parent = open.back();
      const bool is_array = parent.kind() == Value::Kind::Array;
      if (is_array) {
        parent.elements().push_back(std::move(value));
      } else {
        parent.members().back().value = std::move(value);
      }
      skip_space();
      if (next_is(',')) {
        ++pos_;
        if (is_array) {
          skip_space();
        } else if (!parse_key(parent.members())) {
          return false;
        }
        break;
      }
      if (!next_is(is_array ? ']' : '}')) {
        return fail(at_offset(is_array ? "expected ',' or ']' at" : "expected ',' or '}' at", pos_));
      }
      ++pos_;
      value = std::move(parent);
      open.pop_back();
    }
  }
}

bool Parser::parse_scalar(Value& out) {
  if (at_end()) return fail("unexpected end of input");
  const char c = text_[pos_];
  switch (c) {
    case '"': {
      std::string text;
      if (!parse_string(text)) return false;
      out = Value::string(std::move(text));
      return true;
    }
    case 't':
      return parse_literal("true", Value::boolean(true), out);
    case 'f':
      return parse_literal("false", Value::boolean(false), out);
    case 'n':
      return parse_literal("null", Value(), out);
    default:
      break;
  }
  if (c == '-' || (c >= '0' && c <= '9')) return parse_number(out);
  const auto byte = static_cast<unsigned char>(c);
  std::string message = "unexpected byte 0x";
  char hex[2];
  const auto written = std::to_chars(hex, hex + sizeof hex, byte, 16);
  message.append(hex, written.ptr);
  message += " at ";
  message += std::to_string(pos_);
  return fail(std::move(message));
}

// The longest run of number bytes, kept as text; its grammar is not checked.
bool Parser::parse_number(Value& out) {
  const std::size_t start = pos_;
  while (pos_ < text_.size() && is_number_byte(text_[pos_])) ++pos_;
  out = Value::number(std::string(text_.substr(start, pos_ - start)));
  return true;
}

// The byte after the word is left to the enclosing context.
bool Parser::parse_literal(std::string_view word, Value value, Value& out) {
  if (text_.substr(pos_, word.size()) != word) return fail(at_offset("invalid literal at", pos_));
  pos_ += word.size();
  out = std::move(value);
  return true;
}

bool Parser::parse_string(std::string& out) {
  ++pos_;  // the opening quotation mark
  for (;;) {
    const std::size_t run_end = std::min(quotes_.from(pos_), backslashes_.from(pos_));
    out.append(text_.data() + pos_, run_end - pos_);
    pos_ = run_end;
    if (at_end()) return fail("unterminated string");
    if (text_[pos_] == '"') {
      ++pos_;
      return true;
    }
    if (pos_ + 1 == text_.size()) return fail("unterminated escape");
    const char letter = text_[pos_ + 1];
    pos_ += 2;
    switch (letter) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u':
        if (!parse_unicode_escape(out)) return false;
        break;
      default: {
        // The byte is named as the code point of the same value, U+0000 to U+00FF.
        std::string message = "invalid escape \\";
        append_utf8(message, static_cast<unsigned char>(letter));
        return fail(std::move(message));
      }
    }
  }
}

// With pos_ just past "\u".
bool Parser::parse_unicode_escape(std::string& out) {
  std::uint32_t unit;
  if (!parse_hex4(unit)) return false;
  if (unit >= kLowSurrogateFirst && unit <= kLowSurrogateLast) return fail("invalid code point");
  if (unit < kHighSurrogateFirst || unit > kLowSurrogateLast) {
    append_utf8(out, unit);
    return true;
  }
  if (text_.size() - pos_ < 2 || text_[pos_] != '\\' || text_[pos_ + 1] != 'u') {
    return fail("lone high surrogate");
  }
  pos_ += 2;
  std::uint32_t low;
  if (!parse_hex4(low)) return false;
  if (low < kLowSurrogateFirst || low > kLowSurrogateLast) return fail("invalid low surrogate");
  append_utf8(out, kSupplementaryFirst + ((unit - kHighSurrogateFirst) << 10) + (low - kLowSurrogateFirst));
  return true;
}

bool Parser::parse_hex4(std::uint32_t& out) {
  if (text_.size() - pos_ < kHexDigits) return fail("truncated \\u escape");
  const std::string_view digits = text_.substr(pos_, kHexDigits);
  if (!is_utf8(digits)) return fail("invalid \\u escape");
  out = 0;
  for (const char c : digits) {
    const int digit = hex_value(c);
    if (digit < 0) return fail("invalid \\u hex");
    out = (out << 4) | static_cast<std::uint32_t>(digit);
  }
  pos_ += kHexDigits;
  return true;
}

// Reads a member's key and ':' and the whitespace after it, then appends the
// member with a placeholder value.
bool Parser::parse_key(Members& members) {
  skip_space();
  if (!next_is('"')) return fail(at_offset("expected object key at", pos_));
  std::string key;
  if (!parse_string(key)) return false;
  skip_space();
  if (!next_is(':')) return fail(at_offset("expected ':' at", pos_));
  ++pos_;
  skip_space();
  members.push_back(Member{std::move(key), Value()});
  return true;
}

bool Parser::validate_document() {
  std::vector<bool> open;  // innermost last; true for an array
  skip_space();
  for (;;) {
    if (next_is('[') || next_is('{')) {
      const bool is_array = text_[pos_] == '[';
      ++pos_;
      skip_space();
      if (next_is(is_array ? ']' : '}')) {
        ++pos_;
      } else {
        open.push_back(is_array);
        if (!is_array && !skip_key()) return false;
        continue;
      }
    } else if (!skip_scalar()) {
      return false;
    }
    for (;;) {
      if (open.empty()) {
        skip_space();
        return at_end() || fail(at_offset("trailing data at byte", pos_));
      }
      const bool is_array = open.back();
      skip_space();
      if (next_is(',')) {
        ++pos_;
        if (is_array) {
          skip_space();
        } else if (!skip_key()) {
          return false;
        }
        break;
      }
      if (!next_is(is_array ? ']' : '}')) {
        return fail(at_offset(is_array ? "expected ',' or ']' at" : "expected ',' or '}' at", pos_));
      }
      ++pos_;
      open.pop_back();
    }
  }
}

bool Parser::skip_scalar() {
  if (!at_end() && text_[pos_] == '"') {
    scratch_.clear();
    return parse_string(scratch_);
  }
  if (!at_end() && (text_[pos_] == '-' || (text_[pos_] >= '0' && text_[pos_] <= '9'))) {
    while (pos_ < text_.size() && is_number_byte(text_[pos_])) ++pos_;
    return true;
  }
  Value ignored;
  return parse_scalar(ignored);  // literals and every error
}

bool Parser::skip_key() {
  skip_space();
  if (!next_is('"')) return fail(at_offset("expected object key at", pos_));
  scratch_.clear();
  if (!parse_string(scratch_)) return false;
  skip_space();
  if (!next_is(':')) return fail(at_offset("expected ':' at", pos_));
  ++pos_;
  skip_space();
  return true;
}

void write_scalar(std::string& out, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null:
      out += "null";
      break;
    case Value::Kind::Bool:
      out += value.as_bool() ? "true" : "false";
      break;
    case Value::Kind::Number:
      out += value.text();
      break;
    case Value::Kind::String:
      write_string(out, value.text());
      break;
    case Value::Kind::Array:
      out += "[]";
      break;
    case Value::Kind::Object:
      out += "{}";
      break;
  }
}

// The escape for a byte that may not stand raw in a string literal, or an
// empty view when the byte is written as it is.
std::string_view short_escape(unsigned char c) {
  switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\f': return "\\f";
    case '\r': return "\\r";
    default: return {};
  }
}

std::uint64_t load_word(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Whether any of the eight bytes of `word` is below 0x20, '"' or '\\'. The
// classic zero-byte test: exact about whether some byte matches.
bool word_needs_escape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const std::uint64_t control = (word - kOnes * 0x20) & ~word;
  const std::uint64_t quote = word ^ (kOnes * '"');
  const std::uint64_t backslash = word ^ (kOnes * '\\');
  return ((control | ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash)) & kHighs) != 0;
}

}  // namespace

Value::~Value() {
  // Containers of scalars release through the ordinary destructors; anything
  // deeper is flattened onto a heap worklist so depth never reaches the
  // call stack.
  Elements* elements = std::get_if<4>(&data_);
  Members* members = std::get_if<5>(&data_);
  const bool nested =
      (elements && std::any_of(elements->begin(), elements->end(), is_nonempty_container)) ||
      (members && std::any_of(members->begin(), members->end(),
                              [](const Member& m) { return is_nonempty_container(m.value); }));
  if (!nested) return;
  Elements pending;
  take_children(pending);
  while (!pending.empty()) {
    Value last = std::move(pending.back());
    pending.pop_back();
    last.take_children(pending);
  }
}

void Value::take_children(Elements& out) {
  if (Elements* elements = std::get_if<4>(&data_)) {
    for (Value& element : *elements) {
      if (is_nonempty_container(element)) out.push_back(std::move(element));
    }
    elements->clear();
  } else if (Members* members = std::get_if<5>(&data_)) {
    for (Member& member : *members) {
      if (is_nonempty_container(member.value)) out.push_back(std::move(member.value));
    }
    members->clear();
  }
}

ParseResult parse(std::string_view text) { return Parser(text).run(); }

std::string validate(std::string_view text) { return Parser(text).validate(); }

void write_value(std::string& out, const Value& root) {
  // Open containers with the index of the child to write next.
  struct Open {
    const Value* container;
    std::size_t next;
  };
  std::vector<Open> open;
  const Value* value = &root;
  for (;;) {
    if (!is_nonempty_container(*value)) {
      write_scalar(out, *value);
    } else if (value->kind() == Value::Kind::Array) {
      out += '[';
      open.push_back({value, 1});
      value = &value->elements().front();
      continue;
    } else {
      const Member& first = value->members().front();
      out += '{';
      write_string(out, first.key);
      out += ':';
      open.push_back({value, 1});
      value = &first.value;
      continue;
    }

    // `value` is written: move on to its next sibling, closing every
    // container that has none left.
    for (;;) {
      if (open.empty()) return;
      Open& top = open.back();
      if (top.container->kind() == Value::Kind::Array) {
        const Elements& elements = top.container->elements();
        if (top.next < elements.size()) {
          out += ',';
          value = &elements[top.next++];
          break;
        }
        out += ']';
      } else {
        const Members& members = top.container->members();
        if (top.next < members.size()) {
          const Member& member = members[top.next++];
          out += ',';
          write_string(out, member.key);
          out += ':';
          value = &member.value;
          break;
        }
        out += '}';
      }
      open.pop_back();
    }
  }
}

void write_string(std::string& out, std::string_view text) {
  out += '"';
  const char* p = text.data();
  const char* const end = p + text.size();
  const char* run_start = p;
  while (p < end) {
    // Plain text (Base64 stores, names) has no byte to escape: skip eight
    // bytes at a time while none of them needs it.
    while (end - p >= 8 && !word_needs_escape(load_word(p))) p += 8;
    if (p == end) break;
    const auto c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') {
      ++p;
      continue;
    }
    out.append(run_start, static_cast<std::size_t>(p - run_start));
    ++p;
    run_start = p;
    const std::string_view escape = short_escape(c);
    if (!escape.empty()) {
      out += escape;
    } else {
      const char code[] = {'\\', 'u', '0', '0', kLowerHex[c >> 4], kLowerHex[c & 0xF]};
      out.append(code, sizeof code);
    }
  }
  out.append(run_start, static_cast<std::size_t>(end - run_start));
  out += '"';
}

Member* object_find(Members& members, std::string_view key) {
  const auto it = std::find_if(members.begin(), members.end(), [&](const Member& m) { return m.key == key; });
  return it == members.end() ? nullptr : &*it;
}

const Member* object_find(const Members& members, std::string_view key) {
  const auto it = std::find_if(members.begin(), members.end(), [&](const Member& m) { return m.key == key; });
  return it == members.end() ? nullptr : &*it;
}

void object_set(Members& members, std::string_view key, Value value) {
  if (Member* member = object_find(members, key)) {
    member->value = std::move(value);
  } else {
    members.push_back(Member{std::string(key), std::move(value)});
  }
}

bool object_remove(Members& members, std::string_view key) {
  const auto it = std::find_if(members.begin(), members.end(), [&](const Member& m) { return m.key == key; });
  if (it == members.end()) return false;
  members.erase(it);
  return true;
}

std::size_t object_remove_all(Members& members, std::string_view key) {
  return std::erase_if(members, [&](const Member& m) { return m.key == key; });
}

}  // namespace quillon::json
