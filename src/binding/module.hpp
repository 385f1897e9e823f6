// An extension module of this project: its method table and its imports.
//
// A module is created once per process, by the first interpreter that
// imports it. A later import from that interpreter (after the module was
// dropped from sys.modules, say) gets the same module object back; an import
// from any other interpreter fails with ImportError, since the functions and
// the InternalError type belong to the first interpreter.
#pragma once

#include <cstdint>
#include <span>

#include "binding/capi.hpp"

namespace quillon::binding {

// The method table entry of a module function, which the interpreter calls
// with an argument tuple and a keyword dictionary; `doc` starts with the
// signature line that `inspect.signature` reads.
PyMethodDef method(const char* name, PyCFunctionWithKeywords function, const char* doc);

// A module's definition and what its first import records in it. The module
// pointer is a strong reference kept for the life of the process; a static
// owner would release it after the interpreter is gone. The PyModuleDef has
// no methods and no per-module state (m_size 0), so a re-import reaches the
// module's PyInit function again.
class ModuleDefinition {
 public:
  // `functions` are registered in order, and listed in `__all__` in that
  // order; the table lives as long as the process.
  constexpr ModuleDefinition(const char* name, std::span<PyMethodDef> functions)
      : module_def_{
            PyModuleDef_HEAD_INIT,
            name,
            "",       // m_doc
            0,        // m_size
            nullptr,  // m_methods: see `functions_`
            nullptr,  // m_slots
            nullptr,  // m_traverse
            nullptr,  // m_clear
            nullptr,  // m_free
        },
        functions_(functions) {}
  ModuleDefinition(const ModuleDefinition&) = delete;
  ModuleDefinition& operator=(const ModuleDefinition&) = delete;

  // What the module's PyInit function returns: the module for the importing
  // interpreter as a new reference, or null with an exception set.
  PyObject* initialize();

 private:
  static constexpr std::int64_t kNoInterpreter = -1;

  PyObject* import();
  bool check_interpreter();
  PyObject* create_module();

  PyModuleDef module_def_;
  std::span<PyMethodDef> functions_;
  std::int64_t interpreter_ = kNoInterpreter;
  PyObject* module_ = nullptr;
};

}  // namespace quillon::binding
