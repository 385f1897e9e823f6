#include "json_tree.hpp"

#include <algorithm>

#include "json/walk.hpp"

namespace quillon::json {
namespace {

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

// Builds the tree of `parse` from the events of a walk. Containers under
// construction sit on a heap stack, so depth never reaches the call stack.
// An object's member is appended, with a Null placeholder, at its key; the
// value replaces the placeholder when complete.
class TreeBuilder {
 public:
  void begin(Value::Kind container) {
    open_.push_back(container == Value::Kind::Array ? Value::array() : Value::object());
  }
  void end(Value::Kind) {
    Value done = std::move(open_.back());
    open_.pop_back();
    add(std::move(done));
  }
  void key(std::string_view raw) {
    Member member;
    unescape(member.key, raw);
    open_.back().members().push_back(std::move(member));
  }
  void scalar(Value::Kind kind, std::string_view raw) {
    Value value;  // Null
    if (kind == Value::Kind::Bool) {
      value = Value::boolean(raw == "true");
    } else if (kind == Value::Kind::Number) {
      value = Value::number(std::string(raw));
    } else if (kind == Value::Kind::String) {
      std::string text;
      unescape(text, raw);
      value = Value::string(std::move(text));
    }
    add(std::move(value));
  }

  Value take_root() { return std::move(root_); }

 private:
  void add(Value&& value) {
    if (open_.empty()) {
      root_ = std::move(value);
    } else if (open_.back().kind() == Value::Kind::Array) {
      open_.back().elements().push_back(std::move(value));
    } else {
      open_.back().members().back().value = std::move(value);
    }
  }

  Elements open_;  // innermost last
  Value root_;
};

// A sink that keeps nothing: the walk alone checks the document.
struct NoSink {
  void begin(Value::Kind) {}
  void end(Value::Kind) {}
  void key(std::string_view) {}
  void scalar(Value::Kind, std::string_view) {}
};

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

ParseResult parse(std::string_view text) {
  TreeBuilder builder;
  ParseResult result;
  result.error = walk(text, builder);
  if (result.ok()) result.root = builder.take_root();
  return result;
}

std::string validate(std::string_view text) {
  NoSink sink;
  return walk(text, sink);
}

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
