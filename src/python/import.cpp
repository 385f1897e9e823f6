#include "python/import.hpp"

#include "python/boundary.hpp"
#include "python/ref.hpp"

namespace quillon::python {
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

Ref create_module(ModuleDefinition& definition) {
  Ref module = Ref::steal(PyModule_Create2(&definition.module_def, PYTHON_ABI_VERSION));
  if (!module) return {};
  Ref module_name = Ref::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return {};
  for (PyMethodDef& method : definition.functions()) {
    Ref function = Ref::steal(PyCMethod_New(&method, module.get(), module_name.get(), nullptr));
    if (!function || !add_function(module.get(), function.get())) return {};
  }
  return module;
}

// True when the calling interpreter is the one that imported first (and
// records it when this is the first import); false with an exception set.
bool check_interpreter(ModuleDefinition& definition) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "cannot identify the importing interpreter");
    return false;
  }
  if (definition.interpreter == kNoInterpreter) definition.interpreter = id;
  if (id != definition.interpreter) {
    PyErr_Format(PyExc_ImportError, "%s does not support sub-interpreters", definition.module_def.m_name);
    return false;
  }
  return true;
}

}  // namespace

PyObject* import_module(ModuleDefinition& definition) {
  if (!check_interpreter(definition)) return nullptr;
  if (!definition.module) {
    if (!create_internal_error()) return nullptr;
    definition.module = create_module(definition).release();
    if (!definition.module) return nullptr;
  }
  return Ref::borrow(definition.module).release();
}

}  // namespace quillon::python
