// The first and later imports of an extension module of this project.
//
// A module is created once per process, by the first interpreter that
// imports it. A later import from that interpreter (after the module was
// dropped from sys.modules, say) gets the same module object back; an import
// from any other interpreter fails with ImportError, since the functions and
// the InternalError type belong to the first interpreter.
#pragma once

#include <cstdint>
#include <span>

#include "python/capi.hpp"

namespace quillon::python {

inline constexpr std::int64_t kNoInterpreter = -1;

// A module's definition and what its first import records in it. The module
// pointer is a strong reference kept for the life of the process; a static
// owner would release it after the interpreter is gone. `module_def` has no
// methods and no per-module state (m_size 0), so a re-import reaches the
// module's PyInit function again.
struct ModuleDefinition {
  PyModuleDef module_def;
  std::span<PyMethodDef> (*functions)();  // registered in order, also listed in `__all__`
  std::int64_t interpreter = kNoInterpreter;
  PyObject* module = nullptr;
};

// The module for the importing interpreter: a new reference, or null with
// an exception set.
PyObject* import_module(ModuleDefinition& definition);

}  // namespace quillon::python
