#include "python_files/functions.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "files/operations.hpp"
#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/results.hpp"
#include "python_files/calls.hpp"

namespace quillon::python {
namespace {

constexpr const char* kModel[] = {"model"};
constexpr const char* kModelStore[] = {"model", "store"};
constexpr const char* kModelUri[] = {"model", "uri"};
constexpr const char* kModelUriStore[] = {"model", "uri", "store"};
constexpr const char* kWriteOptions[] = {"output", "progress"};
constexpr const char* kPathData[] = {"path", "data"};
constexpr const char* kProgressOption[] = {"progress"};

// Where a write's keyword-only arguments sit among the bound ones.
constexpr std::size_t output_index(std::span<const char* const> parameters) { return parameters.size(); }

// Writes what `operation` makes of `model` to the `output` argument (or
// over `model` when it is absent or None), with the call's `progress`.
template <class Operation>
PyObject* write(const BoundArguments& bound, std::size_t options_at, const PathArgument& model,
                Operation operation) {
  PyObject* output_object = bound[options_at].get();
  std::optional<PathArgument> output;
  if (output_object != nullptr && output_object != Py_None) {
    output = path_argument(output_object);
    if (!output) return nullptr;
  }
  std::optional<WriteCall> call = WriteCall::create(bound[options_at + 1].get());
  if (!call) return nullptr;
  const std::string& destination = output ? output->path : model.path;
  const Result<Ok> done =
      call->run([&](const files::WriteOptions& options) { return operation(destination, options); });
  if (done) return new_none();
  if (done.error().kind() == Error::Kind::Cancelled) {
    call->restore_pending();
    return nullptr;
  }
  return raise_error(done.error(), model, output ? &*output : nullptr);
}

// An embed of what the bound arguments after `model` hold.
template <class Source>
PyObject* embed(const char* function, std::span<const char* const> parameters, PyObject* args, PyObject* kwargs,
                Source make_source) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({function, parameters, kWriteOptions}, args, kwargs);
    if (!bound) return nullptr;
    const std::optional<PathArgument> model = path_argument((*bound)[0].get());
    if (!model) return nullptr;
    std::optional<ManifestSource> source = make_source(*bound);
    if (!source) return nullptr;
    return write(*bound, output_index(parameters), *model, [&](const std::string& output, const auto& options) {
      return files::embed_manifest(model->path, *source, output, options);
    });
  });
}

std::optional<std::string> store_at(const BoundArguments& bound, std::size_t index) {
  const std::optional<Bytes> store = bytes_argument(bound[index].get(), "store");
  if (!store) return std::nullopt;
  return std::string(as_text(*store));
}

PyObject* embed_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return embed("embed_manifest", kModelStore, args, kwargs, [](const BoundArguments& bound) {
    std::optional<std::string> store = store_at(bound, 1);
    return store ? std::optional(ManifestSource{std::nullopt, std::move(store)}) : std::nullopt;
  });
}

PyObject* embed_manifest_remote(PyObject*, PyObject* args, PyObject* kwargs) {
  return embed("embed_manifest_remote", kModelUri, args, kwargs, [](const BoundArguments& bound) {
    std::optional<std::string> uri = text_argument(bound[1].get(), "uri");
    return uri ? std::optional(ManifestSource{std::move(uri), std::nullopt}) : std::nullopt;
  });
}

PyObject* embed_manifest_both(PyObject*, PyObject* args, PyObject* kwargs) {
  return embed("embed_manifest_both", kModelUriStore, args, kwargs,
               [](const BoundArguments& bound) -> std::optional<ManifestSource> {
                 std::optional<std::string> uri = text_argument(bound[1].get(), "uri");
                 if (!uri) return std::nullopt;
                 std::optional<std::string> store = store_at(bound, 2);
                 if (!store) return std::nullopt;
                 return ManifestSource{std::move(uri), std::move(store)};
               });
}

PyObject* remove_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({"remove_manifest", kModel, kWriteOptions}, args, kwargs);
    if (!bound) return nullptr;
    const std::optional<PathArgument> model = path_argument((*bound)[0].get());
    if (!model) return nullptr;
    return write(*bound, output_index(kModel), *model, [&](const std::string& output, const auto& options) {
      return files::remove_manifest(model->path, output, options);
    });
  });
}

// Binds the single `model` argument of `function`, runs `read` on its path
// without the interpreter lock and converts a success with `convert`.
template <class Read, class Convert>
PyObject* read(const char* function, PyObject* args, PyObject* kwargs, Read read, Convert convert) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({function, kModel}, args, kwargs);
    if (!bound) return nullptr;
    const std::optional<PathArgument> model = path_argument((*bound)[0].get());
    if (!model) return nullptr;
    const auto result = unlocked([&] { return read(model->path); });
    return result ? convert(*result) : raise_error(result.error(), *model);
  });
}

PyObject* read_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("read_manifest", args, kwargs, files::read_manifest,
              [](const std::string& store) { return new_bytes(store); });
}

PyObject* read_manifest_uri(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("read_manifest_uri", args, kwargs, files::read_manifest_uri,
              [](const std::optional<std::string>& uri) { return uri ? new_text(*uri) : new_none(); });
}

PyObject* detect_format(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("detect_format", args, kwargs, files::detect_format, [](const std::optional<Format>& format) {
    return format ? new_text(format->display_name()) : new_none();
  });
}

PyObject* model_type(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("model_type", args, kwargs, files::detect_format, [](const std::optional<Format>& format) {
    return format ? new_text(format->asset_type()) : new_none();
  });
}

// {"format", "asset_type", "store_size", "uri"}: what `info` shows.
PyObject* new_description(const files::Description& description) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  auto set = [&](const char* key, PyObject* value) {
    const Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(dict.get(), key, owned.get()) == 0;
  };
  const bool filled =
      set("format", new_text(description.format.display_name())) &&
      set("asset_type", new_text(description.format.asset_type())) &&
      set("store_size", description.store_size ? PyLong_FromUnsignedLongLong(*description.store_size) : new_none()) &&
      set("uri", description.uri ? new_text(*description.uri) : new_none());
  if (!filled) return nullptr;
  return dict.release();
}

PyObject* describe(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("describe", args, kwargs, files::describe, new_description);
}

// A list of (start, length) tuples.
PyObject* new_range_list(const std::vector<ByteRange>& ranges) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const ByteRange& range : ranges) {
    Ref pair = Ref::steal(Py_BuildValue("(KK)", static_cast<unsigned long long>(range.start),
                                        static_cast<unsigned long long>(range.length)));
    if (!pair || PyList_Append(list.get(), pair.get()) != 0) return nullptr;
  }
  return list.release();
}

PyObject* store_ranges(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("store_ranges", args, kwargs, files::store_ranges, new_range_list);
}

PyObject* patch_store(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({"patch_store", kModelStore}, args, kwargs);
    if (!bound) return nullptr;
    const std::optional<PathArgument> model = path_argument((*bound)[0].get());
    if (!model) return nullptr;
    const std::optional<Bytes> store = bytes_argument((*bound)[1].get(), "store");
    if (!store) return nullptr;
    // The bytes object is immutable and referenced by the call's arguments.
    const Result<Ok> done = unlocked([&] { return files::patch_store(model->path, *store); });
    return done ? new_none() : raise_error(done.error(), *model);
  });
}

PyObject* write_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({"write_file", kPathData, kProgressOption}, args, kwargs);
    if (!bound) return nullptr;
    const std::optional<PathArgument> path = path_argument((*bound)[0].get());
    if (!path) return nullptr;
    const std::optional<Bytes> data = bytes_argument((*bound)[1].get(), "data");
    if (!data) return nullptr;
    std::optional<WriteCall> call = WriteCall::create((*bound)[2].get());
    if (!call) return nullptr;
    // The bytes object is immutable and referenced by the call's arguments.
    const Result<Ok> done =
        call->run([&](const files::WriteOptions& options) { return files::write_file(path->path, *data, options); });
    if (done) return new_none();
    if (done.error().kind() == Error::Kind::Cancelled) {
      call->restore_pending();
      return nullptr;
    }
    return raise_error(done.error(), *path);
  });
}

PyCFunction entry(PyCFunctionWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kCallingConvention = METH_VARARGS | METH_KEYWORDS;

std::array<PyMethodDef, 12> methods = {{
    {"embed_manifest", entry(embed_manifest), kCallingConvention,
     "embed_manifest(model, store, *, output=None, progress=None)\n--\n\n"
     "Embed a C2PA Manifest Store into the model file `model`, writing the result to\n"
     "`output` (default: replace `model` in place)."},
    {"embed_manifest_remote", entry(embed_manifest_remote), kCallingConvention,
     "embed_manifest_remote(model, uri, *, output=None, progress=None)\n--\n\n"
     "Embed a remote manifest URI into the model file `model`, writing the result to\n"
     "`output` (default: replace `model` in place)."},
    {"embed_manifest_both", entry(embed_manifest_both), kCallingConvention,
     "embed_manifest_both(model, uri, store, *, output=None, progress=None)\n--\n\n"
     "Embed both a Manifest Store and a remote URI into the model file `model`."},
    {"read_manifest", entry(read_manifest), kCallingConvention,
     "read_manifest(model)\n--\n\n"
     "Read the embedded C2PA Manifest Store from the model file `model`."},
    {"read_manifest_uri", entry(read_manifest_uri), kCallingConvention,
     "read_manifest_uri(model)\n--\n\n"
     "Read the remote manifest URI from the model file `model`, or `None` if absent."},
    {"remove_manifest", entry(remove_manifest), kCallingConvention,
     "remove_manifest(model, *, output=None, progress=None)\n--\n\n"
     "Remove any C2PA metadata from the model file `model`, writing the result to\n"
     "`output` (default: replace `model` in place)."},
    {"detect_format", entry(detect_format), kCallingConvention,
     "detect_format(model)\n--\n\n"
     "Detect the container format of the file `model`: `\"GGUF\"`, `\"SafeTensors\"`,\n"
     "`\"ONNX\"`, or `None`."},
    {"model_type", entry(model_type), kCallingConvention,
     "model_type(model)\n--\n\n"
     "The canonical `c2pa.types.model.*` asset type string for the file's format,\n"
     "or `None` if the format is unrecognized."},
    {"describe", entry(describe), kCallingConvention,
     "describe(model)\n--\n\n"
     "The format, asset type, store size and remote URI of the file `model`, from one read of it."},
    {"store_ranges", entry(store_ranges), kCallingConvention,
     "store_ranges(model)\n--\n\n"
     "The (start, length) byte ranges of the file `model` that encode its embedded\n"
     "Manifest Store: what a C2PA data hash excludes."},
    {"patch_store", entry(patch_store), kCallingConvention,
     "patch_store(model, store)\n--\n\n"
     "Replace the embedded Manifest Store of the file `model` in place by `store`,\n"
     "whose encoded form must be exactly as long, writing only the store's bytes."},
    {"write_file", entry(write_file), kCallingConvention,
     "write_file(path, data, *, progress=None)\n--\n\n"
     "Replace the file `path` with one holding `data`, as the writes of the other\n"
     "functions do: the old file stays intact until the new one is complete."},
}};

}  // namespace

std::span<PyMethodDef> file_functions() { return methods; }

}  // namespace quillon::python
