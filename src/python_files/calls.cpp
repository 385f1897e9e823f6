#include "python_files/calls.hpp"

#include <cstdlib>
#include <string_view>

#include "python/results.hpp"

namespace quillon::python {
namespace {

constexpr const char* kFallbackVariable = "QUILLON_FILES_FALLBACK";

files::WriteOptions fallback_options() {
  files::WriteOptions options;
  const char* value = std::getenv(kFallbackVariable);
  if (value != nullptr) {
    const std::string_view fallbacks = value;
    options.kernel_copy = fallbacks.find("copy") == std::string_view::npos;
    options.unnamed_temp = fallbacks.find("tmpfile") == std::string_view::npos;
  }
  return options;
}

PyObject* filename_object(const Error& error, const PathArgument& model, const PathArgument* output) {
  if (error.path() == model.path) return Ref::borrow(model.object.get()).release();
  if (output != nullptr && error.path() == output->path) return Ref::borrow(output->object.get()).release();
  return PyUnicode_DecodeFSDefaultAndSize(error.path().data(), static_cast<Py_ssize_t>(error.path().size()));
}

}  // namespace

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

std::optional<WriteCall> WriteCall::create(PyObject* progress) {
  if (progress == Py_None) progress = nullptr;
  if (progress != nullptr && !PyCallable_Check(progress)) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(progress)), "__name__"));
    if (name) PyErr_Format(PyExc_TypeError, "argument 'progress': '%U' object is not callable", name.get());
    return std::nullopt;
  }
  return WriteCall(progress);
}

Result<Ok> WriteCall::run(const std::function<Result<Ok>(const files::WriteOptions&)>& operation) {
  files::WriteOptions options = fallback_options();
  options.progress = [this](std::uint64_t done, std::uint64_t total) {
    return released_->held([&] { return report(done, total); });
  };
  Released released;
  released_ = &released;
  return operation(options);
}

// Runs with the lock held: signals first, so that Ctrl-C stops a copy even
// without a progress callable.
bool WriteCall::report(std::uint64_t done, std::uint64_t total) {
  bool go = PyErr_CheckSignals() == 0;
  if (go && progress_ != nullptr) {
    Ref result = Ref::steal(unless_thread_ends([&] {
      return PyObject_CallFunction(progress_, "KK", static_cast<unsigned long long>(done),
                                   static_cast<unsigned long long>(total));
    }));
    go = static_cast<bool>(result);
  }
  if (!go) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    pending_type_ = Ref::steal(type);
    pending_value_ = Ref::steal(value);
    pending_traceback_ = Ref::steal(traceback);
  }
  return go;
}

void WriteCall::restore_pending() {
  if (!pending_type_) {
    PyErr_SetString(PyExc_RuntimeError, "operation cancelled");
    return;
  }
  PyErr_Restore(pending_type_.release(), pending_value_.release(), pending_traceback_.release());
}

PyObject* raise_error(const Error& error, const PathArgument& model, const PathArgument* output) {
  if (error.kind() != Error::Kind::SystemFailure) return raise_value_error(error);
  Ref filename = Ref::steal(filename_object(error, model, output));
  if (!filename) return nullptr;
  const std::string text = error.system_text();
  Ref exception = Ref::steal(PyObject_CallFunction(PyExc_OSError, "is#O", error.system_code(), text.data(),
                                                   static_cast<Py_ssize_t>(text.size()), filename.get()));
  if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

}  // namespace quillon::python
