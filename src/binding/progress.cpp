#include "binding/progress.hpp"

#include <optional>

#include "binding/arguments.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/ref.hpp"
#include "binding/results.hpp"

namespace quillon::binding {
namespace {

// The progress reports of one write, and the exception that cancelled it,
// kept until the outcome is converted.
class WriteCall {
 public:
  // Nothing, with TypeError set, when `progress` is not callable.
  static std::optional<WriteCall> create(PyObject* progress) {
    if (progress == Py_None) progress = nullptr;
    if (progress != nullptr && !PyCallable_Check(progress)) {
      Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(progress)), "__name__"));
      if (name) PyErr_Format(PyExc_TypeError, "argument 'progress': '%U' object is not callable", name.get());
      return std::nullopt;
    }
    return WriteCall(progress);
  }

  Result<Ok> run(const std::function<Result<Ok>(Progress)>& operation) {
    WithoutInterpreterLock released(true);
    return operation([&](std::uint64_t done, std::uint64_t total) {
      return released.held([&] { return report(done, total); });
    });
  }

  Result<Ok> run_chunks(PyObject* iterator, const std::function<Result<Ok>(const NextChunk&)>& operation) {
    Ref chunk;  // destroyed after `released` takes the lock back
    WithoutInterpreterLock released(true);
    return operation([&]() -> Result<std::optional<Bytes>> {
      std::optional<Bytes> next;
      const bool go = released.held([&] {
        chunk = Ref();
        if (PyErr_CheckSignals() != 0) return stash();
        chunk = Ref::steal(unless_thread_ends([&] { return PyIter_Next(iterator); }));
        if (!chunk) return PyErr_Occurred() == nullptr || stash();
        next = bytes_argument(chunk.get(), "data");
        return next.has_value() || stash();
      });
      if (!go) return Error::cancelled();
      return next;
    });
  }

  // Restores the exception that cancelled the write.
  PyObject* raise_pending(const PathArgument& model, const PathArgument* output) {
    if (!pending_type_) return raise_error(Error::cancelled(), model, output);
    PyErr_Restore(pending_type_.release(), pending_value_.release(), pending_traceback_.release());
    return nullptr;
  }

 private:
  explicit WriteCall(PyObject* progress) : progress_(progress) {}

  // Runs with the lock held: signals first, so that Ctrl-C stops a copy
  // even without a progress callable.
  bool report(std::uint64_t done, std::uint64_t total) {
    bool go = PyErr_CheckSignals() == 0;
    if (go && progress_ != nullptr) {
      Ref result = Ref::steal(unless_thread_ends([&] {
        return PyObject_CallFunction(progress_, "KK", static_cast<unsigned long long>(done),
                                     static_cast<unsigned long long>(total));
      }));
      go = static_cast<bool>(result);
    }
    return go || stash();
  }

  // Keeps the exception set, which cancels the write; false.
  bool stash() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    pending_type_ = Ref::steal(type);
    pending_value_ = Ref::steal(value);
    pending_traceback_ = Ref::steal(traceback);
    return false;
  }

  PyObject* progress_;  // borrowed from the call's arguments; null for none
  Ref pending_type_, pending_value_, pending_traceback_;
};

}  // namespace

PyObject* write(PyObject* progress, const PathArgument& model, const PathArgument* output,
                const std::function<Result<Ok>(Progress)>& operation) {
  std::optional<WriteCall> call = WriteCall::create(progress);
  if (!call) return nullptr;
  const Result<Ok> done = call->run(operation);
  if (done) return new_none();
  if (done.error().kind() == Error::Kind::Cancelled) return call->raise_pending(model, output);
  return raise_error(done.error(), model, output);
}

PyObject* write_chunks(PyObject* iterator, const PathArgument& path,
                       const std::function<Result<Ok>(const NextChunk&)>& operation) {
  std::optional<WriteCall> call = WriteCall::create(nullptr);
  if (!call) return nullptr;
  const Result<Ok> done = call->run_chunks(iterator, operation);
  if (done) return new_none();
  if (done.error().kind() == Error::Kind::Cancelled) return call->raise_pending(path, nullptr);
  return raise_error(done.error(), path, nullptr);
}

}  // namespace quillon::binding
