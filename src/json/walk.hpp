// One walk of the JSON grammar, shared by everything that reads JSON text:
// the SafeTensors header scans and rewrites, and the tests' JSON tree. The
// grammar, its messages and their positions exist only here and in the
// scanner behind it. Failures are plain message texts (byte offsets in
// decimal), which callers wrap into their own errors.
//
// `walk(text, sink)` reads `text` (valid UTF-8) once, front to back, and
// reports what it meets to `sink`, in document order. A sink is any class
// with these four members:
//
//   void begin(Kind container);  // '[' (Array) or '{' (Object) read
//   void end(Kind container);    // its ']' or '}' read
//   void key(std::string_view raw);  // an object member's key; its value follows
//   void scalar(Kind kind, std::string_view raw);  // Null, Bool, Number or String
//
// `raw` views `text`: for a string (key or value) the bytes between its
// quotation marks, escapes checked but not resolved (see `unescape`,
// `write_raw_string`, `raw_equals`); for a number its token; for a literal
// its word. Events stop at the first error, so a sink may see the start of a
// broken document but never anything the grammar does not allow.
//
// The walk keeps its open containers as one bit per level and never
// recurses: a text of n bytes costs at most n / 16 bytes of stack, whatever
// its shape.
// Reentrant; the sink is the only state outside the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace quillon::json {

// The kinds of JSON value.
enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };

namespace detail {

// The open containers of a walk, innermost last: one bit per level (set for
// an array), in blocks of a deque, so that growing never copies the levels
// already open. Only the levels that can still close are kept: a level
// needs a closing byte for itself and for each level inside it, so when more
// levels are open than bytes remain, the outermost can never close (the
// document fails first) and their bits are let go. The bits kept are thus at
// most the smaller of the depth and the bytes left: half the text at worst.
class OpenContainers {
 public:
  bool empty() const { return depth_ == 0; }
  bool innermost_is_array() const { return (words_.back() >> ((depth_ - 1) % 64)) & 1; }
  // Opens a level with `remaining` bytes of text left after its opening byte.
  void push(bool is_array, std::size_t remaining) {
    if (depth_ % 64 == 0) words_.push_back(0);
    if (is_array) words_.back() |= std::uint64_t{1} << (depth_ % 64);
    ++depth_;
    while (depth_ - forgotten_ > remaining + 2 * 64) {
      words_.pop_front();
      forgotten_ += 64;
    }
  }
  void pop() {
    --depth_;
    words_.back() &= ~(std::uint64_t{1} << (depth_ % 64));
    if (depth_ % 64 == 0) words_.pop_back();
  }

 private:
  std::deque<std::uint64_t> words_;  // levels [forgotten_, depth_)
  std::size_t depth_ = 0;
  std::size_t forgotten_ = 0;  // a multiple of 64
};

// The token-level half of the walk: whitespace, strings, numbers, literals,
// keys, and every message. Not a template, so it exists once.
class Scanner {
 public:
  explicit Scanner(std::string_view text);

  void skip_space();
  bool next_is(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
  void advance() { ++pos_; }
  std::size_t remaining() const { return text_.size() - pos_; }

  // The value at the current position, which is not '[' or '{': its kind
  // and raw text. False, with the message kept, when no value is there.
  bool scalar(Kind& kind, std::string_view& raw);
  // A member's key, its ':' and the whitespace around them.
  bool key(std::string_view& raw);
  // Records the message for a byte that cannot follow a value inside an
  // array or object. Always false.
  bool fail_after_element(bool in_array);
  // True at the end of the text; else records the trailing-data message.
  bool at_end_of_document();

  std::string take_error() { return std::move(error_); }

 private:
  bool string(std::string_view& raw);
  bool unicode_escape();
  bool hex4(std::uint32_t& out);
  bool fail(std::string message);

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string error_;
  // Where the next '"' and '\\' are, each found once per stretch of text.
  std::size_t next_quote_ = 0;
  std::size_t next_backslash_ = 0;
};

}  // namespace detail

// Walks the complete document `text`, reporting to `sink`. Returns the
// empty text when the document is valid, else the message that ended it.
template <class Sink>
std::string walk(std::string_view text, Sink& sink) {
  detail::Scanner scan(text);
  detail::OpenContainers open;
  scan.skip_space();
  for (;;) {
    // A value starts here.
    if (scan.next_is('[') || scan.next_is('{')) {
      const bool is_array = scan.next_is('[');
      const Kind kind = is_array ? Kind::Array : Kind::Object;
      scan.advance();
      sink.begin(kind);
      scan.skip_space();
      if (scan.next_is(is_array ? ']' : '}')) {
        scan.advance();
        sink.end(kind);
      } else {
        open.push(is_array, scan.remaining());
        if (!is_array) {
          std::string_view raw;
          if (!scan.key(raw)) return scan.take_error();
          sink.key(raw);
        }
        continue;
      }
    } else {
      Kind kind;
      std::string_view raw;
      if (!scan.scalar(kind, raw)) return scan.take_error();
      sink.scalar(kind, raw);
    }

    // A value is complete: go on to its next sibling, closing every
    // container that has none.
    for (;;) {
      if (open.empty()) return scan.at_end_of_document() ? std::string() : scan.take_error();
      const bool in_array = open.innermost_is_array();
      scan.skip_space();
      if (scan.next_is(',')) {
        scan.advance();
        if (in_array) {
          scan.skip_space();
        } else {
          std::string_view raw;
          if (!scan.key(raw)) return scan.take_error();
          sink.key(raw);
        }
        break;
      }
      if (!scan.next_is(in_array ? ']' : '}')) {
        scan.fail_after_element(in_array);
        return scan.take_error();
      }
      scan.advance();
      open.pop();
      sink.end(in_array ? Kind::Array : Kind::Object);
    }
  }
}

// Appends the text that the raw string `raw` (as a walk reported it) stands
// for, escapes resolved.
void unescape(std::string& out, std::string_view raw);

// Appends the raw string `raw` to `out` as write_string would write the text
// it stands for, without resolving it into a buffer first.
void write_raw_string(std::string& out, std::string_view raw);

// Appends `text` to `out` as a JSON string literal, quotation marks included.
// Escapes only '"', '\\' and characters below U+0020.
void write_string(std::string& out, std::string_view text);

// Whether the raw string `raw` stands for exactly `text`. Decodes only what
// can still match.
bool raw_equals(std::string_view raw, std::string_view text);

}  // namespace quillon::json
