#include "binding/module.hpp"

#include "binding/boundary.hpp"
#include "binding/ref.hpp"

namespace quillon::binding {
namespace {

// The module's `__all__` list, created empty when it does not exist yet.
Ref export_list(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (all || !PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
  PyErr_Clear();
  all = Ref::steal(PyList_New(0));
  if (all && PyObject_SetAttrString(module, "__all__", all.get()) != 0) return {};
  return all;
}

// Lists the function in `__all__` and sets it as the attribute of its name.
bool add_function(PyObject* module, PyObject* function) {
  Ref name = Ref::steal(PyObject_GetAttrString(function, "__name__"));
  if (!name) return false;
  Ref all = export_list(module);
  return all && PyList_Append(all.get(), name.get()) == 0 &&
         PyObject_SetAttr(module, name.get(), function) == 0;
}

}  // namespace

PyMethodDef method(const char* name, PyCFunctionWithKeywords function, const char* doc) {
  // The table stores every function under the generic pointer type.
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_VARARGS | METH_KEYWORDS,
          doc};
}

PyObject* ModuleDefinition::initialize() {
  return guarded([this] { return import(); });
}

PyObject* ModuleDefinition::import() {
  if (!check_interpreter()) return nullptr;
  if (!module_) {
    if (!create_internal_error()) return nullptr;
    module_ = create_module();
    if (!module_) return nullptr;
  }
  return Ref::borrow(module_).release();
}

// True when the calling interpreter is the one that imported first (and
// records it when this is the first import); false with an exception set.
bool ModuleDefinition::check_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "cannot identify the importing interpreter");
    return false;
  }
  if (interpreter_ == kNoInterpreter) interpreter_ = id;
  if (id != interpreter_) {
    PyErr_Format(PyExc_ImportError, "%s does not support sub-interpreters", module_def_.m_name);
    return false;
  }
  return true;
}

// A new module holding the functions, or null with an exception set.
PyObject* ModuleDefinition::create_module() {
  Ref module = Ref::steal(PyModule_Create2(&module_def_, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef& function : functions_) {
    Ref object = Ref::steal(PyCMethod_New(&function, module.get(), module_name.get(), nullptr));
    if (!object || !add_function(module.get(), object.get())) return nullptr;
  }
  return module.release();
}

}  // namespace quillon::binding
