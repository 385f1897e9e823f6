#include "json/walk.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "base/utf8.hpp"

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

// Appends `text` with every byte that may not stand raw in a string literal
// escaped; no quotation marks.
void append_escaped(std::string& out, std::string_view text) {
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
}

// The value of the four hex digits at `p`, which a walk has checked.
std::uint32_t hex4_value(const char* p) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 4) | static_cast<std::uint32_t>(hex_value(p[i]));
  return value;
}

// Hands `piece` the text of a checked raw string in pieces: runs of plain
// bytes as they stand, each escape as the UTF-8 bytes it stands for.
template <class Piece>
void for_each_piece(std::string_view raw, Piece piece) {
  std::size_t pos = 0;
  while (pos < raw.size()) {
    const std::size_t escape = std::min(raw.find('\\', pos), raw.size());
    if (escape > pos) piece(raw.substr(pos, escape - pos));
    if (escape == raw.size()) return;
    const char letter = raw[escape + 1];
    pos = escape + 2;
    std::string decoded;
    switch (letter) {
      case 'b': decoded = '\b'; break;
      case 'f': decoded = '\f'; break;
      case 'n': decoded = '\n'; break;
      case 'r': decoded = '\r'; break;
      case 't': decoded = '\t'; break;
      case 'u': {
        std::uint32_t unit = hex4_value(raw.data() + pos);
        pos += kHexDigits;
        if (unit >= kHighSurrogateFirst && unit < kLowSurrogateFirst) {
          const std::uint32_t low = hex4_value(raw.data() + pos + 2);
          pos += 2 + kHexDigits;
          unit = kSupplementaryFirst + ((unit - kHighSurrogateFirst) << 10) + (low - kLowSurrogateFirst);
        }
        append_utf8(decoded, unit);
        break;
      }
      default: decoded = letter; break;  // '"', '\\' and '/' stand for themselves
    }
    piece(std::string_view(decoded));
  }
}

}  // namespace

namespace detail {

Scanner::Scanner(std::string_view text) : text_(text) {}

void Scanner::skip_space() {
  while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
}

bool Scanner::fail(std::string message) {
  error_ = std::move(message);
  return false;
}

bool Scanner::at_end_of_document() {
  skip_space();
  return pos_ == text_.size() || fail(at_offset("trailing data at byte", pos_));
}

bool Scanner::fail_after_element(bool in_array) {
  return fail(at_offset(in_array ? "expected ',' or ']' at" : "expected ',' or '}' at", pos_));
}

bool Scanner::key(std::string_view& raw) {
  skip_space();
  if (!next_is('"')) return fail(at_offset("expected object key at", pos_));
  if (!string(raw)) return false;
  skip_space();
  if (!next_is(':')) return fail(at_offset("expected ':' at", pos_));
  ++pos_;
  skip_space();
  return true;
}

bool Scanner::scalar(Kind& kind, std::string_view& raw) {
  if (pos_ == text_.size()) return fail("unexpected end of input");
  const char c = text_[pos_];
  const std::size_t start = pos_;
  if (c == '"') {
    kind = Kind::String;
    return string(raw);
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    // The longest run of number bytes, kept as text; its grammar is not checked.
    while (pos_ < text_.size() && is_number_byte(text_[pos_])) ++pos_;
    kind = Kind::Number;
    raw = text_.substr(start, pos_ - start);
    return true;
  }
  std::string_view word;
  switch (c) {
    case 't': word = "true"; kind = Kind::Bool; break;
    case 'f': word = "false"; kind = Kind::Bool; break;
    case 'n': word = "null"; kind = Kind::Null; break;
    default: {
      std::string message = "unexpected byte 0x";
      char hex[2];
      const auto written = std::to_chars(hex, hex + sizeof hex, static_cast<unsigned char>(c), 16);
      message.append(hex, written.ptr);
      message += " at ";
      message += std::to_string(pos_);
      return fail(std::move(message));
    }
  }
  // The byte after the word is left to the enclosing context.
  if (text_.substr(pos_, word.size()) != word) return fail(at_offset("invalid literal at", pos_));
  pos_ += word.size();
  raw = word;
  return true;
}

bool Scanner::string(std::string_view& raw) {
  ++pos_;  // the opening quotation mark
  const std::size_t start = pos_;
  for (;;) {
    // Each search resumes where the last one stopped, so a string full of
    // escapes is still searched once, not once per escape.
    if (next_quote_ < pos_) next_quote_ = std::min(text_.find('"', pos_), text_.size());
    if (next_backslash_ < pos_) next_backslash_ = std::min(text_.find('\\', pos_), text_.size());
    pos_ = std::min(next_quote_, next_backslash_);
    if (pos_ == text_.size()) return fail("unterminated string");
    if (text_[pos_] == '"') {
      raw = text_.substr(start, pos_ - start);
      ++pos_;
      return true;
    }
    if (pos_ + 1 == text_.size()) return fail("unterminated escape");
    const char letter = text_[pos_ + 1];
    pos_ += 2;
    switch (letter) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        break;
      case 'u':
        if (!unicode_escape()) return false;
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
bool Scanner::unicode_escape() {
  std::uint32_t unit;
  if (!hex4(unit)) return false;
  if (unit >= kLowSurrogateFirst && unit <= kLowSurrogateLast) return fail("invalid code point");
  if (unit < kHighSurrogateFirst || unit > kLowSurrogateLast) return true;
  if (text_.size() - pos_ < 2 || text_[pos_] != '\\' || text_[pos_ + 1] != 'u') {
    return fail("lone high surrogate");
  }
  pos_ += 2;
  std::uint32_t low;
  if (!hex4(low)) return false;
  if (low < kLowSurrogateFirst || low > kLowSurrogateLast) return fail("invalid low surrogate");
  return true;
}

bool Scanner::hex4(std::uint32_t& out) {
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

}  // namespace detail

void unescape(std::string& out, std::string_view raw) {
  for_each_piece(raw, [&out](std::string_view piece) { out.append(piece); });
}

void write_raw_string(std::string& out, std::string_view raw) {
  out += '"';
  for_each_piece(raw, [&out](std::string_view piece) { append_escaped(out, piece); });
  out += '"';
}

bool raw_equals(std::string_view raw, std::string_view text) {
  if (raw.find('\\') == std::string_view::npos) return raw == text;
  // An escape stands for at least one byte per six of its own, so a longer
  // raw text cannot match.
  if (raw.size() / 6 > text.size()) return false;
  std::string resolved;
  unescape(resolved, raw);
  return resolved == text;
}

void write_string(std::string& out, std::string_view text) {
  out += '"';
  append_escaped(out, text);
  out += '"';
}

}  // namespace quillon::json
