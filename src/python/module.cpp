// The module `quillon`: its definition and its single exported entry point.
//
// The module is created once per process, by the first interpreter that
// imports it. A later import from that interpreter (after the module was
// dropped from sys.modules, say) gets the same module object back; an import
// from any other interpreter fails with ImportError, since the functions and
// the InternalError type belong to the first interpreter.

#include <cstdint>

#include "python/boundary.hpp"
#include "python/capi.hpp"
#include "python/functions.hpp"
#include "python/ref.hpp"

namespace quillon::python {
namespace {

constexpr std::int64_t kNoInterpreter = -1;

// The module definition and what the first import records in it. The module
// pointer is a strong reference kept for the life of the process; a static
// owner would release it after the interpreter is gone.
struct Definition {
  PyModuleDef module_def;
  std::int64_t interpreter;
  PyObject* module;
};

Definition definition = {
    {
        PyModuleDef_HEAD_INIT,
        "quillon",  // m_name
        "",         // m_doc
        0,          // m_size: no per-module state, so a re-import reaches PyInit_quillon
        nullptr,    // m_methods: functions are registered one by one, see add_function
        nullptr,    // m_slots
        nullptr,    // m_traverse
        nullptr,    // m_clear
        nullptr,    // m_free
    },
    kNoInterpreter,
    nullptr,
};

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

Ref create_module() {
  Ref module = Ref::steal(PyModule_Create2(&definition.module_def, PYTHON_ABI_VERSION));
  if (!module) return {};
  Ref module_name = Ref::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return {};
  for (PyMethodDef& method : module_functions()) {
    Ref function = Ref::steal(PyCMethod_New(&method, module.get(), module_name.get(), nullptr));
    if (!function || !add_function(module.get(), function.get())) return {};
  }
  return module;
}

// True when the calling interpreter is the one that imported first (and
// records it when this is the first import); false with an exception set.
bool check_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "cannot identify the importing interpreter");
    return false;
  }
  if (definition.interpreter == kNoInterpreter) definition.interpreter = id;
  if (id != definition.interpreter) {
    PyErr_SetString(PyExc_ImportError, "quillon does not support sub-interpreters");
    return false;
  }
  return true;
}

PyObject* import_module() {
  if (!check_interpreter()) return nullptr;
  if (!definition.module) {
    if (!create_internal_error()) return nullptr;
    definition.module = create_module().release();
    if (!definition.module) return nullptr;
  }
  return Ref::borrow(definition.module).release();
}

}  // namespace
}  // namespace quillon::python

PyMODINIT_FUNC PyInit_quillon(void) {
  return quillon::python::guarded(quillon::python::import_module);
}
