// The module `quillon`: its eight functions, their table and the module's
// single exported entry point.
//
// Each binds and converts its arguments, calls exactly one core operation
// with a borrowed view of the model's buffer and converts the outcome: new
// `bytes` or `str`, None, or ValueError carrying the library error's message
// and nothing else (errors.hpp). The core work on a large model (detection,
// parsing and writing the result) runs without the interpreter lock (see
// gil.hpp). They keep nothing between calls.

#include <array>
#include <optional>
#include <string>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/module.hpp"
#include "binding/results.hpp"
#include "format/detect.hpp"
#include "format/dispatch.hpp"
#include "manifest/source.hpp"

namespace quillon::python {
namespace {

using namespace binding;

constexpr const char* kModel[] = {"model"};
constexpr const char* kModelStore[] = {"model", "store"};
constexpr const char* kModelUri[] = {"model", "uri"};
constexpr const char* kModelUriStore[] = {"model", "uri", "store"};

// The value of a successful outcome through `convert`, or its error as
// ValueError.
template <class T, class Convert>
PyObject* outcome(const Result<T>& result, Convert convert) {
  return result ? convert(*result) : raise_value_error(result.error());
}

PyObject* new_model(const FileImage& image) { return new_bytes(image); }

// `operation(model)`, run without the interpreter lock when the model is
// large. Detection is included: its probes may scan a hostile file's whole
// length.
template <class Operation>
auto on_model(Bytes model, Operation operation) {
  return without_lock_for(model.size(), [&] { return operation(model); });
}

// The image borrows from `model` and `source`; both outlive it here.
PyObject* embed(Bytes model, const ManifestSource& source) {
  return outcome(on_model(model, [&](Bytes m) { return quillon::embed_manifest(m, source); }), new_model);
}

PyObject* embed_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({"embed_manifest", kModelStore}, args, kwargs);
    if (!bound) return nullptr;
    const std::optional<Bytes> model = bytes_argument((*bound)[0].get(), "model");
    if (!model) return nullptr;
    const std::optional<Bytes> store = bytes_argument((*bound)[1].get(), "store");
    if (!store) return nullptr;
    return embed(*model, ManifestSource{std::nullopt, std::string(as_text(*store))});
  });
}

PyObject* embed_manifest_remote(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({"embed_manifest_remote", kModelUri}, args, kwargs);
    if (!bound) return nullptr;
    const std::optional<Bytes> model = bytes_argument((*bound)[0].get(), "model");
    if (!model) return nullptr;
    std::optional<std::string> uri = text_argument((*bound)[1].get(), "uri");
    if (!uri) return nullptr;
    return embed(*model, ManifestSource{std::move(uri), std::nullopt});
  });
}

PyObject* embed_manifest_both(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({"embed_manifest_both", kModelUriStore}, args, kwargs);
    if (!bound) return nullptr;
    const std::optional<Bytes> model = bytes_argument((*bound)[0].get(), "model");
    if (!model) return nullptr;
    std::optional<std::string> uri = text_argument((*bound)[1].get(), "uri");
    if (!uri) return nullptr;
    const std::optional<Bytes> store = bytes_argument((*bound)[2].get(), "store");
    if (!store) return nullptr;
    return embed(*model, ManifestSource{std::move(uri), std::string(as_text(*store))});
  });
}

// Binds and converts the single `model` argument of `function`, then runs
// `body` on its buffer.
template <class Body>
PyObject* with_model(const char* function, PyObject* args, PyObject* kwargs, Body body) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({function, kModel}, args, kwargs);
    if (!bound) return nullptr;
    const std::optional<Bytes> model = bytes_argument((*bound)[0].get(), "model");
    return model ? body(*model) : nullptr;
  });
}

PyObject* read_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_model("read_manifest", args, kwargs, [](Bytes model) {
    return outcome(on_model(model, quillon::read_manifest), [](const std::string& store) { return new_bytes(store); });
  });
}

PyObject* read_manifest_uri(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_model("read_manifest_uri", args, kwargs, [](Bytes model) {
    return outcome(on_model(model, quillon::read_manifest_uri),
                   [](const std::optional<std::string>& uri) { return uri ? new_text(*uri) : new_none(); });
  });
}

PyObject* remove_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_model("remove_manifest", args, kwargs,
                    [](Bytes model) { return outcome(on_model(model, quillon::remove_manifest), new_model); });
}

PyObject* detect_format(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_model("detect_format", args, kwargs, [](Bytes model) {
    const std::optional<Format> format = on_model(model, quillon::detect_format);
    return format ? new_text(format->display_name()) : new_none();
  });
}

PyObject* model_type(PyObject*, PyObject* args, PyObject* kwargs) {
  return with_model("model_type", args, kwargs, [](Bytes model) {
    const std::optional<Format> format = on_model(model, quillon::detect_format);
    return format ? new_text(format->asset_type()) : new_none();
  });
}

// In the order of `__all__`.
std::array<PyMethodDef, 8> methods = {{
    method("embed_manifest", embed_manifest,
           "embed_manifest(model, store)\n--\n\n"
           "Embed a C2PA Manifest Store into a model, auto-detecting the format."),
    method("embed_manifest_remote", embed_manifest_remote,
           "embed_manifest_remote(model, uri)\n--\n\n"
           "Embed a remote manifest URI into a model, auto-detecting the format."),
    method("embed_manifest_both", embed_manifest_both,
           "embed_manifest_both(model, uri, store)\n--\n\n"
           "Embed both a Manifest Store and a remote URI into a model."),
    method("read_manifest", read_manifest,
           "read_manifest(model)\n--\n\n"
           "Read the embedded C2PA Manifest Store from a model."),
    method("read_manifest_uri", read_manifest_uri,
           "read_manifest_uri(model)\n--\n\n"
           "Read the remote manifest URI from a model, or `None` if absent."),
    method("remove_manifest", remove_manifest,
           "remove_manifest(model)\n--\n\n"
           "Remove any C2PA metadata from a model."),
    method("detect_format", detect_format,
           "detect_format(model)\n--\n\n"
           "Detect the container format: `\"GGUF\"`, `\"SafeTensors\"`, `\"ONNX\"`, or `None`."),
    method("model_type", model_type,
           "model_type(model)\n--\n\n"
           "The canonical `c2pa.types.model.*` asset type string for the model's format,\n"
           "or `None` if the format is unrecognized."),
}};

constinit ModuleDefinition definition("quillon", methods);

}  // namespace
}  // namespace quillon::python

PyMODINIT_FUNC PyInit_quillon(void) { return quillon::python::definition.initialize(); }
