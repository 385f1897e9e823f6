#include "binding/errors.hpp"

#include <string>

#include "binding/ref.hpp"

namespace quillon::binding {
namespace {

// The message as a new `str`. A detail may quote text taken from the model;
// decoding with replacement keeps a stray invalid byte from turning the
// error into a UnicodeDecodeError. Valid UTF-8, the normal case, comes
// through as is.
Ref message_text(const Error& error) {
  const std::string message = error.message();
  return Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

PyObject* filename_object(const Error& error, const PathArgument& model, const PathArgument* output) {
  if (error.path() == model.path) return Ref::borrow(model.object.get()).release();
  if (output != nullptr && error.path() == output->path) return Ref::borrow(output->object.get()).release();
  return PyUnicode_DecodeFSDefaultAndSize(error.path().data(), static_cast<Py_ssize_t>(error.path().size()));
}

// The exception object for `error`, without its kind.
Ref new_exception(const Error& error, const PathArgument& model, const PathArgument* output) {
  if (error.kind() == Error::Kind::SystemFailure) {
    Ref filename = Ref::steal(filename_object(error, model, output));
    if (!filename) return {};
    const std::string text = error.system_text();
    // OSError's constructor picks the subclass for the errno value.
    return Ref::steal(PyObject_CallFunction(PyExc_OSError, "is#O", error.system_code(), text.data(),
                                            static_cast<Py_ssize_t>(text.size()), filename.get()));
  }
  Ref text = message_text(error);
  if (!text) return {};
  PyObject* type = error.kind() == Error::Kind::Cancelled ? PyExc_RuntimeError : PyExc_ValueError;
  return Ref::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
}

}  // namespace

const char* kind_name(Error::Kind kind) {
  switch (kind) {
    case Error::Kind::UnrecognizedFormat:
      return "unrecognized_format";
    case Error::Kind::MalformedContainer:
      return "malformed_container";
    case Error::Kind::NoManifest:
      return "no_manifest";
    case Error::Kind::EmptySource:
      return "empty_source";
    case Error::Kind::MalformedReference:
      return "malformed_reference";
    case Error::Kind::DuplicateManifest:
      return "duplicate_manifest";
    case Error::Kind::MalformedExclusion:
      return "malformed_exclusion";
    case Error::Kind::StoreSizeMismatch:
      return "store_size_mismatch";
    case Error::Kind::ManifestTooLarge:
      return "manifest_too_large";
    case Error::Kind::SystemFailure:
      return "system_failure";
    case Error::Kind::Cancelled:
      return "cancelled";
  }
  return "unknown";
}

PyObject* raise_value_error(const Error& error) {
  Ref text = message_text(error);
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

PyObject* raise_error(const Error& error, const PathArgument& model, const PathArgument* output) {
  Ref exception = new_exception(error, model, output);
  if (!exception) return nullptr;
  Ref kind = Ref::steal(PyUnicode_FromString(kind_name(error.kind())));
  if (!kind || PyObject_SetAttrString(exception.get(), "kind", kind.get()) != 0) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

}  // namespace quillon::binding
