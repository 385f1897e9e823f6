#include "binding/arguments.hpp"

#include <string_view>

#include "binding/gil.hpp"

namespace quillon::binding {
namespace {

// Raises TypeError with `message`; the message itself may be null when
// building it failed, and then that failure stays the exception.
void raise_type_error(Ref message) {
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  raise_type_error(Ref::steal(PyUnicode_FromFormat(
      "%s() takes %zd positional arguments but %zd %s given", signature.function,
      static_cast<Py_ssize_t>(signature.parameters.size()), given, given == 1 ? "was" : "were")));
}

// What goes before the `index`th of `count` quoted names: "'model'",
// "'model' and 'uri'", "'model', 'uri', and 'store'".
std::string_view list_separator(std::size_t index, std::size_t count) {
  if (index == 0) return "";
  if (count == 2) return " and ";
  return index + 1 == count ? ", and " : ", ";
}

std::string quoted_list(std::span<const char* const> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    list += list_separator(i, names.size());
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

void raise_missing(const Signature& signature, std::span<const char* const> missing) {
  raise_type_error(Ref::steal(PyUnicode_FromFormat(
      "%s() missing %zd required positional argument%s: %s", signature.function,
      static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s",
      quoted_list(missing).c_str())));
}

// The position of the parameter that `keyword` names, or nothing. Parameter
// names are ASCII, so comparing code points is comparing the UTF-8 text, and
// a keyword that cannot be encoded simply names no parameter.
std::optional<std::size_t> parameter_index(const Signature& signature, PyObject* keyword) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) == 0) return i;
  }
  for (std::size_t i = 0; i < signature.keyword_only.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.keyword_only[i]) == 0) {
      return signature.parameters.size() + i;
    }
  }
  return std::nullopt;
}

// Fills parameters from the keyword dictionary; false with TypeError set.
bool bind_keywords(const Signature& signature, PyObject* kwargs, BoundArguments& bound) {
  Py_ssize_t position = 0;
  PyObject* keyword = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &position, &keyword, &value)) {
    if (!PyUnicode_Check(keyword)) {
      raise_type_error(Ref::steal(
          PyUnicode_FromFormat("%s() keywords must be strings", signature.function)));
      return false;
    }
    const std::optional<std::size_t> index = parameter_index(signature, keyword);
    if (!index) {
      raise_type_error(Ref::steal(PyUnicode_FromFormat(
          "%s() got an unexpected keyword argument '%U'", signature.function, keyword)));
      return false;
    }
    if (bound[*index]) {
      raise_type_error(Ref::steal(PyUnicode_FromFormat(
          "%s() got multiple values for argument '%s'", signature.function,
          signature.parameters[*index])));
      return false;
    }
    bound[*index] = Ref::borrow(value);
  }
  return true;
}

// The `__qualname__` of the object's type, or the fallback text when it
// cannot be read.
Ref type_name(PyObject* object) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) return name;
  PyErr_Clear();
  return Ref::steal(PyUnicode_FromString("<failed to extract type name>"));
}

void raise_conversion_error(PyObject* object, const char* parameter, const char* expected) {
  Ref name = type_name(object);
  if (!name) return;
  raise_type_error(Ref::steal(PyUnicode_FromFormat(
      "argument '%s': '%U' object cannot be converted to '%s'", parameter, name.get(), expected)));
}

// Exact type first: the common case needs no walk of the type's bases.
bool is_instance(PyObject* object, PyTypeObject* type) {
  return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type);
}

}  // namespace

Bytes buffer_of(PyObject* bytes) {
  return {reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(bytes)),
          static_cast<std::size_t>(PyBytes_Size(bytes))};
}

std::optional<BoundArguments> bind(const Signature& signature, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return std::nullopt;
  if (static_cast<std::size_t>(given) > signature.parameters.size()) {
    raise_too_many_positional(signature, given);
    return std::nullopt;
  }
  BoundArguments bound;
  for (Py_ssize_t i = 0; i < given; ++i) bound[i] = Ref::borrow(PyTuple_GetItem(args, i));
  if (kwargs && !bind_keywords(signature, kwargs, bound)) return std::nullopt;

  std::array<const char*, kMaxParameters> missing{};
  std::size_t missing_count = 0;
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (!bound[i]) missing[missing_count++] = signature.parameters[i];
  }
  if (missing_count > 0) {
    raise_missing(signature, std::span(missing.data(), missing_count));
    return std::nullopt;
  }
  return bound;
}

std::optional<Bytes> bytes_argument(PyObject* object, const char* parameter) {
  if (!is_instance(object, &PyBytes_Type)) {
    raise_conversion_error(object, parameter, "PyBytes");
    return std::nullopt;
  }
  return buffer_of(object);
}

std::optional<std::string> text_argument(PyObject* object, const char* parameter) {
  if (!is_instance(object, &PyUnicode_Type)) {
    raise_conversion_error(object, parameter, "PyString");
    return std::nullopt;
  }
  Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(object));
  if (!utf8) return std::nullopt;
  return std::string(as_text(buffer_of(utf8.get())));
}

std::optional<PathArgument> path_argument(PyObject* object) {
  // An os.PathLike (pathlib's paths among them) runs Python code here.
  PyObject* encoded = nullptr;
  if (!unless_thread_ends([&] { return PyUnicode_FSConverter(object, &encoded); })) return std::nullopt;
  Ref owner = Ref::steal(encoded);
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(owner.get(), &data, &size) != 0) return std::nullopt;
  return PathArgument{std::string(data, static_cast<std::size_t>(size)), Ref::borrow(object)};
}

}  // namespace quillon::binding
