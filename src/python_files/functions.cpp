// The module `quillon_files`: the operations of `quillon` on model files
// named by path, their table and the module's single exported entry point.
//
// Reads return what the `quillon` function returns on the file's bytes, with
// the same ValueError messages. Embed and remove write the new model to
// `output`, or replace `model` itself when `output` is None, through a
// temporary file that only a complete, synced result ever replaces the
// destination with. System failures raise OSError (the subclass the errno
// value selects) whose `filename` names the path concerned; every exception
// for a library error carries its `kind` (errors.hpp). The interpreter lock
// is released during all file work and parsing. `store_ranges` and
// `patch_store` locate the bytes that encode the embedded store and
// overwrite them with a store of the same encoded size, for signing.
//
// The reads also take a model that is not a local file: a URL
// ("https://...", "s3://..."), an open binary file object, or a
// quillon_remote.Source. The pure-Python package quillon_remote opens it
// (network code stays in Python), and the parse fetches only the byte ranges
// it needs through the source's `read(offset, length)` (sparse/remote.hpp).
// These reads keep the interpreter lock, which the source's own I/O
// releases: parsing takes microseconds beside each request. The writes hand
// such a model, or an `output` URL, to quillon_remote.writes, which plans
// the new model here and composes it where it lies (an S3 object from
// server-side copies) or streams it to its destination.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/module.hpp"
#include "binding/progress.hpp"
#include "binding/results.hpp"
#include "engine/operations.hpp"
#include "sparse/remote.hpp"

namespace quillon::python_files {
namespace {

using namespace binding;

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
PyObject* write_model(const BoundArguments& bound, std::size_t options_at, const PathArgument& model,
                      Operation operation) {
  PyObject* output_object = bound[options_at].get();
  std::optional<PathArgument> output;
  if (output_object != nullptr && output_object != Py_None) {
    output = path_argument(output_object);
    if (!output) return nullptr;
  }
  const std::string& destination = output ? output->path : model.path;
  return binding::write(bound[options_at + 1].get(), model, output ? &*output : nullptr, [&](Progress progress) {
    return operation(destination, engine::WriteOptions{std::move(progress)});
  });
}

bool is_remote(PyObject* object);

// Runs the write `function` through quillon_remote.writes when the bound
// `model` (or `output`, the first option after the `count` operands) is not
// a local file: the function of the same name there takes the same
// arguments. Sets `handed` and returns its result (nullptr when it raised);
// leaves `handed` false for a local write.
PyObject* write_elsewhere(const char* function, const BoundArguments& bound, std::size_t count,
                          std::span<const char* const> options, bool& handed) {
  handed = false;
  PyObject* output = options.empty() ? nullptr : bound[count].get();
  const bool remote = unless_thread_ends([&] {
    return is_remote(bound[0].get()) || (output != nullptr && output != Py_None && is_remote(output));
  });
  if (PyErr_Occurred() || !remote) return nullptr;
  handed = true;
  const Ref module = Ref::steal(unless_thread_ends([] { return PyImport_ImportModule("quillon_remote.writes"); }));
  if (!module) return nullptr;
  const Ref callable = Ref::steal(unless_thread_ends([&] { return PyObject_GetAttrString(module.get(), function); }));
  const Ref operands = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
  const Ref keywords = Ref::steal(PyDict_New());
  if (!callable || !operands || !keywords) return nullptr;
  for (std::size_t index = 0; index < count; ++index) {
    PyObject* operand = bound[index].get();
    Py_INCREF(operand);  // PyTuple_SetItem takes this reference, even when it fails
    if (PyTuple_SetItem(operands.get(), static_cast<Py_ssize_t>(index), operand) != 0) return nullptr;
  }
  for (std::size_t index = 0; index < options.size(); ++index) {
    PyObject* option = bound[count + index].get();
    if (option != nullptr && PyDict_SetItemString(keywords.get(), options[index], option) != 0) return nullptr;
  }
  return unless_thread_ends([&] { return PyObject_Call(callable.get(), operands.get(), keywords.get()); });
}

// An embed of what the bound arguments after `model` hold.
template <class Source>
PyObject* embed(const char* function, std::span<const char* const> parameters, PyObject* args, PyObject* kwargs,
                Source make_source) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({function, parameters, kWriteOptions}, args, kwargs);
    if (!bound) return nullptr;
    bool handed = false;
    PyObject* elsewhere = write_elsewhere(function, *bound, parameters.size(), kWriteOptions, handed);
    if (handed || PyErr_Occurred()) return elsewhere;
    const std::optional<PathArgument> model = path_argument((*bound)[0].get());
    if (!model) return nullptr;
    std::optional<ManifestSource> source = make_source(*bound);
    if (!source) return nullptr;
    return write_model(*bound, output_index(parameters), *model, [&](const std::string& output, const auto& options) {
      return engine::embed_manifest(model->path, *source, output, options);
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
    bool handed = false;
    PyObject* elsewhere = write_elsewhere("remove_manifest", *bound, 1, kWriteOptions, handed);
    if (handed || PyErr_Occurred()) return elsewhere;
    const std::optional<PathArgument> model = path_argument((*bound)[0].get());
    if (!model) return nullptr;
    return write_model(*bound, output_index(kModel), *model, [&](const std::string& output, const auto& options) {
      return engine::remove_manifest(model->path, output, options);
    });
  });
}

// True for an argument that names a model which is not a local file: a str
// that starts with a URL scheme of two letters or more and "://" (so that a
// Windows drive, "C://x", stays a path), or an object that is no path but
// can be read: a file object or a quillon_remote.Source.
bool is_remote(PyObject* object) {
  if (PyUnicode_Check(object)) {
    const Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(object));
    if (!utf8) {
      PyErr_Clear();  // not UTF-8: the path conversion reports it
      return false;
    }
    const std::string_view text = as_text(buffer_of(utf8.get()));
    const std::size_t colon = text.find("://");
    if (colon == std::string_view::npos || colon < 2) return false;
    auto scheme_char = [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
             c == '.';
    };
    const std::string_view scheme = text.substr(0, colon);
    return ((scheme[0] | 0x20) >= 'a' && (scheme[0] | 0x20) <= 'z') &&
           std::all_of(scheme.begin(), scheme.end(), scheme_char);
  }
  if (PyBytes_Check(object) || PyObject_HasAttrString(object, "__fspath__")) return false;
  return PyObject_HasAttrString(object, "read") || PyObject_HasAttrString(object, "readinto");
}

// The attribute `name` of `object` as UTF-8 text (str() of it), or nothing
// with an exception set.
std::optional<std::string> text_attribute(PyObject* object, const char* name) {
  const Ref value = Ref::steal(unless_thread_ends([&] { return PyObject_GetAttrString(object, name); }));
  if (!value) return std::nullopt;
  const Ref text = Ref::steal(unless_thread_ends([&] { return PyObject_Str(value.get()); }));
  if (!text) return std::nullopt;
  const Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(text.get()));
  if (!utf8) return std::nullopt;
  return std::string(as_text(buffer_of(utf8.get())));
}

// Runs the sparse `operation` on the remote model `target` and converts its
// result with `convert`. quillon_remote.source_for opens the source (or
// takes a Source as it is) with a first window the size of the parse's;
// a source opened here is closed here, even when the read fails.
template <class Operation, class Convert>
PyObject* read_remote(PyObject* target, Operation operation, Convert convert) {
  const Ref module = Ref::steal(unless_thread_ends([] { return PyImport_ImportModule("quillon_remote"); }));
  if (!module) return nullptr;
  const Ref opened = Ref::steal(unless_thread_ends([&] {
    return PyObject_CallMethod(module.get(), "source_for", "(OK)", target,
                               static_cast<unsigned long long>(sparse::kFirstWindow));
  }));
  if (!opened) return nullptr;
  PyObject* source = PyTuple_Check(opened.get()) && PyTuple_Size(opened.get()) == 2
                         ? PyTuple_GetItem(opened.get(), 0)
                         : nullptr;
  if (source == nullptr) {
    PyErr_SetString(PyExc_TypeError, "quillon_remote.source_for must return (source, owned)");
    return nullptr;
  }
  const bool owned = PyObject_IsTrue(PyTuple_GetItem(opened.get(), 1)) == 1;
  // Closes an opened source on every way out, keeping a pending exception.
  struct Closer {
    PyObject* source;
    bool owned;
    ~Closer() {
      if (!owned || thread_ended()) return;
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      PyObject* closed = PyObject_CallMethod(source, "close", nullptr);
      if (closed != nullptr) {
        Py_DECREF(closed);
      } else if (type != nullptr) {
        PyErr_Clear();  // the read's own error is the one to report
      } else {
        return;  // a failed close is the call's error
      }
      PyErr_Restore(type, value, traceback);
    }
  } closer{source, owned};

  const std::optional<std::string> name = text_attribute(source, "name");
  if (!name) return nullptr;
  const Ref size_object = Ref::steal(unless_thread_ends([&] { return PyObject_GetAttrString(source, "size"); }));
  if (!size_object) return nullptr;
  const unsigned long long size = PyLong_AsUnsignedLongLong(size_object.get());
  if (PyErr_Occurred()) return nullptr;

  // A Python exception in `read` ends the parse; it stays set and is raised.
  bool raised = false;
  sparse::Remote remote;
  remote.size = size;
  remote.name = *name;
  remote.fetch = [&](std::uint64_t offset, std::uint64_t length) -> Result<std::string> {
    const Ref data = Ref::steal(unless_thread_ends([&] {
      return PyObject_CallMethod(source, "read", "(KK)", static_cast<unsigned long long>(offset),
                                 static_cast<unsigned long long>(length));
    }));
    if (data && !PyBytes_Check(data.get())) {
      PyErr_Format(PyExc_TypeError, "%R.read() must return bytes", source);
    } else if (data) {
      return std::string(as_text(buffer_of(data.get())));
    }
    raised = true;
    return Error::cancelled();
  };
  const auto result = operation(remote);
  if (raised) return nullptr;
  if (!result) {
    const Ref name_object = Ref::steal(PyUnicode_FromStringAndSize(name->data(), static_cast<Py_ssize_t>(name->size())));
    if (!name_object) return nullptr;
    return raise_error(result.error(), PathArgument{*name, Ref::borrow(name_object.get())});
  }
  return convert(*result);
}

// Binds the single `model` argument of `function`; runs `read` on its path
// without the interpreter lock, or `remote` on a model that is not a local
// file; converts a success with `convert`.
template <class Read, class Remote, class Convert>
PyObject* read(const char* function, PyObject* args, PyObject* kwargs, Read read, Remote remote, Convert convert) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({function, kModel}, args, kwargs);
    if (!bound) return nullptr;
    PyObject* target = (*bound)[0].get();
    const bool elsewhere = unless_thread_ends([&] { return is_remote(target); });
    if (PyErr_Occurred()) return nullptr;
    if (elsewhere) return read_remote(target, [&](const sparse::Remote& model) { return remote(model, nullptr); },
                                      convert);
    const std::optional<PathArgument> model = path_argument(target);
    if (!model) return nullptr;
    const auto result = without_lock([&] { return read(model->path); });
    return result ? convert(*result) : raise_error(result.error(), *model);
  });
}

PyObject* read_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("read_manifest", args, kwargs, engine::read_manifest, sparse::read_manifest,
              [](const std::string& store) { return new_bytes(store); });
}

PyObject* read_manifest_uri(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("read_manifest_uri", args, kwargs, engine::read_manifest_uri, sparse::read_manifest_uri,
              [](const std::optional<std::string>& uri) { return uri ? new_text(*uri) : new_none(); });
}

PyObject* detect_format(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("detect_format", args, kwargs, engine::detect_format, sparse::detect_format, [](const std::optional<Format>& format) {
    return format ? new_text(format->display_name()) : new_none();
  });
}

PyObject* model_type(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("model_type", args, kwargs, engine::detect_format, sparse::detect_format, [](const std::optional<Format>& format) {
    return format ? new_text(format->asset_type()) : new_none();
  });
}

// {"format", "asset_type", "store_size", "uri"}: what `info` shows.
PyObject* new_description(const Description& description) {
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
  return read("describe", args, kwargs, engine::describe, sparse::describe, new_description);
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
  return read("store_ranges", args, kwargs, engine::store_ranges, sparse::store_ranges, new_range_list);
}

PyObject* patch_store(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({"patch_store", kModelStore}, args, kwargs);
    if (!bound) return nullptr;
    bool handed = false;
    PyObject* elsewhere = write_elsewhere("patch_store", *bound, 2, {}, handed);
    if (handed || PyErr_Occurred()) return elsewhere;
    const std::optional<PathArgument> model = path_argument((*bound)[0].get());
    if (!model) return nullptr;
    const std::optional<Bytes> store = bytes_argument((*bound)[1].get(), "store");
    if (!store) return nullptr;
    // The bytes object is immutable and referenced by the call's arguments.
    const Result<Ok> done = without_lock([&] { return engine::patch_store(model->path, *store); });
    return done ? new_none() : raise_error(done.error(), *model);
  });
}

PyObject* write_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({"write_file", kPathData, kProgressOption}, args, kwargs);
    if (!bound) return nullptr;
    const std::optional<PathArgument> path = path_argument((*bound)[0].get());
    if (!path) return nullptr;
    PyObject* content = (*bound)[1].get();
    if (!PyBytes_Check(content) && PyIter_Check(content)) {
      if (PyObject* progress = (*bound)[2].get(); progress != nullptr && progress != Py_None) {
        PyErr_SetString(PyExc_TypeError, "write_file() takes no progress with an iterator of chunks");
        return nullptr;
      }
      return binding::write_chunks(content, *path, [&](const binding::NextChunk& next) {
        return engine::write_chunks(path->path, next);
      });
    }
    const std::optional<Bytes> data = bytes_argument(content, "data");
    if (!data) return nullptr;
    // The bytes object is immutable and referenced by the call's arguments.
    return binding::write((*bound)[2].get(), *path, nullptr, [&](Progress progress) {
      return engine::write_file(path->path, *data, engine::WriteOptions{std::move(progress)});
    });
  });
}

// The set facts of one model file as a dict: "format" and "tensor_count",
// then by format "split_no", "split_count", "split_tensors_count" (each an
// int or None), "tensor_names" and "tensor_bytes", or "external_data" (a
// list of {"tensor", "location", "offset", "length"}).
PyObject* new_set_facts(const SetFacts& facts) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  auto set_in = [](PyObject* target, const char* key, PyObject* value) {
    const Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(target, key, owned.get()) == 0;
  };
  auto set = [&](const char* key, PyObject* value) { return set_in(dict.get(), key, value); };
  auto number = [](std::optional<std::uint64_t> value) {
    return value ? PyLong_FromUnsignedLongLong(*value) : new_none();
  };
  if (!set("format", new_text(facts.format.display_name())) ||
      !set("tensor_count", PyLong_FromUnsignedLongLong(facts.tensor_count))) {
    return nullptr;
  }
  switch (facts.format) {
    case Format::GGUF:
      if (!set("split_no", number(facts.split_no)) || !set("split_count", number(facts.split_count)) ||
          !set("split_tensors_count", number(facts.split_tensors_count))) {
        return nullptr;
      }
      break;
    case Format::SafeTensors: {
      Ref names = Ref::steal(PyList_New(0));
      if (!names) return nullptr;
      for (const std::string& name : facts.tensor_names) {
        const Ref text = Ref::steal(new_text(name));
        if (!text || PyList_Append(names.get(), text.get()) != 0) return nullptr;
      }
      if (!set("tensor_names", names.release()) || !set("tensor_bytes", number(facts.tensor_bytes))) return nullptr;
      break;
    }
    case Format::ONNX: {
      Ref list = Ref::steal(PyList_New(0));
      if (!list) return nullptr;
      for (const ExternalData& data : facts.external_data) {
        const Ref entry = Ref::steal(PyDict_New());
        if (!entry || !set_in(entry.get(), "tensor", new_text(data.tensor)) ||
            !set_in(entry.get(), "location", new_text(data.location)) ||
            !set_in(entry.get(), "offset", number(data.offset)) ||
            !set_in(entry.get(), "length", number(data.length)) || PyList_Append(list.get(), entry.get()) != 0) {
          return nullptr;
        }
      }
      if (!set("external_data", list.release())) return nullptr;
      break;
    }
  }
  return dict.release();
}

PyObject* set_facts(PyObject*, PyObject* args, PyObject* kwargs) {
  return read("set_facts", args, kwargs, engine::set_facts, sparse::set_facts, new_set_facts);
}

// ---- Plans: the rewrites as pieces, for a writer that composes the new
// file from the old one where it lies (an object store's part copies) ----

constexpr const char* kPlanOptions[] = {"store", "uri"};

// The parts of `rewrite` as a list in file order: `bytes` for each run of
// new bytes (zeros included), an (offset, length) tuple for each range of
// the model carried over.
PyObject* new_plan(const sparse::Rewrite& rewrite) {
  const std::vector<sparse::Rewrite::Part> parts = rewrite.parts();
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < parts.size();) {
    Ref item;
    if (parts[i].input) {
      item = Ref::steal(Py_BuildValue("(KK)", static_cast<unsigned long long>(parts[i].input->start),
                                      static_cast<unsigned long long>(parts[i].input->length)));
      ++i;
    } else {
      std::size_t end = i;
      std::uint64_t size = 0;
      for (; end < parts.size() && !parts[end].input; ++end) size += parts[end].zeros + parts[end].bytes.size();
      if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
      item = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
      if (!item) return nullptr;
      char* to = PyBytes_AsString(item.get());
      for (; i < end; ++i) {
        if (parts[i].bytes.empty()) {
          std::memset(to, 0, parts[i].zeros);
          to += parts[i].zeros;
        } else {
          std::memcpy(to, parts[i].bytes.data(), parts[i].bytes.size());
          to += parts[i].bytes.size();
        }
      }
    }
    if (PyList_Append(list.get(), item.get()) != 0) return nullptr;
  }
  return list.release();
}

// Runs the sparse rewrite `plan` on `target` as the reads run theirs: a
// model that is not a local file through quillon_remote, a local file read
// with pread without the interpreter lock.
template <class Plan>
PyObject* plan_model(PyObject* target, Plan plan) {
  const bool elsewhere = unless_thread_ends([&] { return is_remote(target); });
  if (PyErr_Occurred()) return nullptr;
  if (elsewhere) return read_remote(target, plan, new_plan);
  const std::optional<PathArgument> model = path_argument(target);
  if (!model) return nullptr;
  const Result<sparse::Rewrite> result = without_lock([&] { return engine::plan(model->path, plan); });
  return result ? new_plan(*result) : raise_error(result.error(), *model);
}

PyObject* plan_embed(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({"plan_embed", kModel, kPlanOptions}, args, kwargs);
    if (!bound) return nullptr;
    ManifestSource source;
    if (PyObject* store = (*bound)[1].get(); store != nullptr && store != Py_None) {
      const std::optional<Bytes> bytes = bytes_argument(store, "store");
      if (!bytes) return nullptr;
      source.store = std::string(as_text(*bytes));
    }
    if (PyObject* uri = (*bound)[2].get(); uri != nullptr && uri != Py_None) {
      source.uri = text_argument(uri, "uri");
      if (!source.uri) return nullptr;
    }
    // The parts view the source's bytes, which outlive them here.
    return plan_model((*bound)[0].get(), [&](const sparse::Remote& model) {
      return sparse::embed_manifest(model, source);
    });
  });
}

PyObject* plan_remove(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({"plan_remove", kModel}, args, kwargs);
    if (!bound) return nullptr;
    return plan_model((*bound)[0].get(), [](const sparse::Remote& model) { return sparse::remove_manifest(model); });
  });
}

PyObject* plan_patch(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const std::optional<BoundArguments> bound = bind({"plan_patch", kModelStore}, args, kwargs);
    if (!bound) return nullptr;
    // The bytes object is immutable and referenced by the call's arguments.
    const std::optional<Bytes> store = bytes_argument((*bound)[1].get(), "store");
    if (!store) return nullptr;
    return plan_model((*bound)[0].get(),
                      [&](const sparse::Remote& model) { return sparse::patch_store(model, *store); });
  });
}

// In the order of `__all__`.
std::array<PyMethodDef, 16> methods = {{
    method("embed_manifest", embed_manifest,
           "embed_manifest(model, store, *, output=None, progress=None)\n--\n\n"
           "Embed a C2PA Manifest Store into the model file `model`, writing the result to\n"
           "`output` (default: replace `model` in place)."),
    method("embed_manifest_remote", embed_manifest_remote,
           "embed_manifest_remote(model, uri, *, output=None, progress=None)\n--\n\n"
           "Embed a remote manifest URI into the model file `model`, writing the result to\n"
           "`output` (default: replace `model` in place)."),
    method("embed_manifest_both", embed_manifest_both,
           "embed_manifest_both(model, uri, store, *, output=None, progress=None)\n--\n\n"
           "Embed both a Manifest Store and a remote URI into the model file `model`."),
    method("read_manifest", read_manifest,
           "read_manifest(model)\n--\n\n"
           "Read the embedded C2PA Manifest Store from the model file `model`."),
    method("read_manifest_uri", read_manifest_uri,
           "read_manifest_uri(model)\n--\n\n"
           "Read the remote manifest URI from the model file `model`, or `None` if absent."),
    method("remove_manifest", remove_manifest,
           "remove_manifest(model, *, output=None, progress=None)\n--\n\n"
           "Remove any C2PA metadata from the model file `model`, writing the result to\n"
           "`output` (default: replace `model` in place)."),
    method("detect_format", detect_format,
           "detect_format(model)\n--\n\n"
           "Detect the container format of the file `model`: `\"GGUF\"`, `\"SafeTensors\"`,\n"
           "`\"ONNX\"`, or `None`."),
    method("model_type", model_type,
           "model_type(model)\n--\n\n"
           "The canonical `c2pa.types.model.*` asset type string for the file's format,\n"
           "or `None` if the format is unrecognized."),
    method("describe", describe,
           "describe(model)\n--\n\n"
           "The format, asset type, store size and remote URI of the file `model`, from one read of it."),
    method("store_ranges", store_ranges,
           "store_ranges(model)\n--\n\n"
           "The (start, length) byte ranges of the file `model` that encode its embedded\n"
           "Manifest Store: what a C2PA data hash excludes."),
    method("patch_store", patch_store,
           "patch_store(model, store)\n--\n\n"
           "Replace the embedded Manifest Store of the file `model` in place by `store`,\n"
           "whose encoded form must be exactly as long, writing only the store's bytes."),
    method("write_file", write_file,
           "write_file(path, data, *, progress=None)\n--\n\n"
           "Replace the file `path` with one holding `data`, as the writes of the other\n"
           "functions do: the old file stays intact until the new one is complete.\n"
           "`data` is bytes, or an iterator of bytes chunks written in turn (no progress)."),
    method("set_facts", set_facts,
           "set_facts(model)\n--\n\n"
           "What ties the model `model` (a path, URL, file object or Source) to the other files of a set: GGUF split entries,\n"
           "SafeTensors tensor names and data size, ONNX external data locations."),
    method("plan_embed", plan_embed,
           "plan_embed(model, *, store=None, uri=None)\n--\n\n"
           "The file that embed_manifest would write for `model` carrying `store` and/or\n"
           "`uri`, as a list in file order: `bytes` of new content and (offset, length)\n"
           "ranges of `model` carried over, of which only the metadata is read."),
    method("plan_remove", plan_remove,
           "plan_remove(model)\n--\n\n"
           "The file that remove_manifest would write for `model`, as plan_embed lists it."),
    method("plan_patch", plan_patch,
           "plan_patch(model, store)\n--\n\n"
           "The file that patch_store would leave of `model` with `store` in place of the\n"
           "embedded one, as plan_embed lists it."),
}};

constinit ModuleDefinition definition("quillon_files", methods);

}  // namespace
}  // namespace quillon::python_files

PyMODINIT_FUNC PyInit_quillon_files(void) { return quillon::python_files::definition.initialize(); }
